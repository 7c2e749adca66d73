// Driving the real scan server in end-to-end tests.
#include "tests/e2e_server.h"

#include <dbghelp.h>

#include <string.h>

#include <regex>

#include "host/text/utf8.h"
#include "tests/fixtures/fixture_files.h"

namespace E2E {

namespace {

const char kLookingFor[] = "info:Looking for entry point in module ";

// A line as the server wrote it.
std::string Joined(const ScanHost::CServerLine &line)
{
    return line.level.empty() ? line.text : line.level + ":" + line.text;
}

std::vector<std::string> Joined(const std::vector<ScanHost::CServerLine> &lines)
{
    std::vector<std::string> joined;
    for (const ScanHost::CServerLine &line : lines)
        joined.push_back(Joined(line));
    return joined;
}

ScanHost::EEnd EndOf(ScanHost::EExchangeEnd end)
{
    switch (end) {
    case ScanHost::EExchangeEnd::Ready:
        return ScanHost::EEnd::Ready;
    case ScanHost::EExchangeEnd::Closed:
        return ScanHost::EEnd::Closed;
    case ScanHost::EExchangeEnd::Silent:
        break;
    }
    return ScanHost::EEnd::Timeout;
}

}  // namespace

std::wstring ServerPath()
{
    return FixtureFiles::WindowsPath(std::string(TEST_BIN_DIR) + "/RavoZazora-x86.exe");
}

std::string Utf8(const std::wstring &text)
{
    return ScanHost::ToUtf8(text);
}

std::vector<std::string> SplitLines(const std::string &raw)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < raw.size()) {
        size_t end = raw.find('\n', start);
        if (end == std::string::npos)
            end = raw.size();
        lines.push_back(raw.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> CScan::LogLines() const
{
    std::vector<std::string> log;
    for (const std::string &line : lines) {
        if (line.compare(0, 2, ">:") == 0)
            break;
        log.push_back(line);
    }
    return log;
}

testing::AssertionResult CServer::Start(const std::wstring &dumpFolder)
{
    ScanHost::CServerOptions options;
    options.serverPath = ServerPath();
    options.dumpFolder = dumpFolder;
    std::string error;
    if (!process.Start(options, kTimeout, &error))
        return testing::AssertionFailure() << "cannot start " << Utf8(options.serverPath) << ": " << error;
    std::vector<std::string> banner = Joined(process.Banner());
    if (banner != std::vector<std::string>{"info:Quenmoor Plugin Scan Server (x86)"})
        return testing::AssertionFailure() << "unexpected banner: " << testing::PrintToString(banner);
    return testing::AssertionSuccess();
}

namespace {

CScan ToScan(const ScanHost::CExchange &exchange)
{
    CScan scan;
    scan.end = EndOf(exchange.end);
    scan.lines = Joined(exchange.lines);
    for (const std::string &line : scan.lines)
        if (line.compare(0, 2, ">:") == 0)
            scan.reportLines.push_back(line);
    scan.parsed = ScanHost::ParseReport(exchange.report, &scan.report, &scan.parseError);
    return scan;
}

}  // namespace

CScan CServer::Scan(const std::wstring &request)
{
    return ToScan(process.Request(Utf8(request), kTimeout));
}

bool CServer::SendRaw(std::string_view bytes)
{
    return process.Write(bytes, kTimeout);
}

bool CServer::Send(const std::string &request)
{
    return SendRaw(request + "\n");
}

CScan CServer::Response(ScanHost::Milliseconds timeout)
{
    ScanHost::CExchange exchange;
    process.ReadOn(&exchange, timeout);
    return ToScan(exchange);
}

CServer::~CServer()
{
    if (!process.IsRunning())
        return;
    // A server that serves ends within moments; one held by a plug-in never.
    const ScanHost::Milliseconds kGrace{10000};
    process.CloseRequests(kGrace);
    if (!process.WaitExit(kGrace)) {
        process.Terminate();
        process.WaitExit(kTimeout);
    }
}

std::vector<std::string> CServer::Shutdown(std::optional<unsigned long> *exitCode)
{
    std::vector<std::string> rest = Joined(process.CloseRequests(kTimeout).lines);
    std::optional<uint32_t> code = process.WaitExit(kTimeout);
    *exitCode = code ? std::optional<unsigned long>(*code) : std::nullopt;
    return rest;
}

std::vector<std::string> WithoutHandles(const std::vector<std::string> &lines)
{
    static const std::regex handle("[0-9A-F]{8}");
    std::vector<std::string> result = lines;
    for (std::string &line : result) {
        if (line.compare(0, sizeof kLookingFor - 1, kLookingFor) == 0 &&
            std::regex_match(line.substr(sizeof kLookingFor - 1), handle))
            line = std::string(kLookingFor) + "<module>";
    }
    return result;
}

std::vector<std::string> Handles(const std::vector<std::string> &lines)
{
    std::vector<std::string> handles;
    for (const std::string &line : lines)
        if (line.compare(0, sizeof kLookingFor - 1, kLookingFor) == 0)
            handles.push_back(line.substr(sizeof kLookingFor - 1));
    return handles;
}

CDump ReadDump(const std::wstring &path)
{
    CDump dump;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        dump.problem = "cannot open";
        return dump;
    }
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const void *view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    MINIDUMP_DIRECTORY *entry = nullptr;
    void *stream = nullptr;
    ULONG size = 0;
    if (!view) {
        dump.problem = "cannot map";
    } else if (memcmp(view, "MDMP", 4) != 0) {
        dump.problem = "no MDMP signature";
    } else if (!MiniDumpReadDumpStream(const_cast<void *>(view), ExceptionStream, &entry, &stream, &size) ||
               size < sizeof(MINIDUMP_EXCEPTION_STREAM)) {
        dump.problem = "no exception stream";
    } else {
        const MINIDUMP_EXCEPTION_STREAM *exception = static_cast<const MINIDUMP_EXCEPTION_STREAM *>(stream);
        dump.readable = true;
        dump.exceptionCode = exception->ExceptionRecord.ExceptionCode;
        dump.exceptionThreadId = exception->ThreadId;
        if (MiniDumpReadDumpStream(const_cast<void *>(view), ThreadListStream, &entry, &stream, &size) &&
            size >= sizeof(ULONG32)) {
            const MINIDUMP_THREAD_LIST *threads = static_cast<const MINIDUMP_THREAD_LIST *>(stream);
            ULONG32 fits = (size - sizeof(ULONG32)) / sizeof(MINIDUMP_THREAD);
            for (ULONG32 i = 0; i < threads->NumberOfThreads && i < fits; ++i)
                dump.threadIds.push_back(threads->Threads[i].ThreadId);
        }
    }
    if (view)
        UnmapViewOfFile(view);
    if (mapping)
        CloseHandle(mapping);
    CloseHandle(file);
    return dump;
}

}  // namespace E2E
