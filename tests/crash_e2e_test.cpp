// End-to-end crashes: a plug-in that faults, in any of the ways plug-ins do,
// ends the server with exit code 9 and leaves exactly one time-stamped
// minidump in the dump folder (none without a folder), which DbgHelp reads
// back with the plug-in's exception, after every line written before the
// fault reached the host; a fault inside effClose alone is survived. Dumps
// whose time-stamped name is taken get "-2", "-3"... instead of replacing a
// file.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e_server.h"
#include "tests/fixtures/fixture_config.h"
#include "tests/fixtures/fixture_files.h"

using E2E::CScan;
using E2E::CServer;
using E2E::Utf8;
using E2E::WithoutHandles;
using FixtureFiles::CTempFolder;
using FixtureFiles::ListFiles;
using FixtureFiles::ReadTrace;
using FixtureFiles::Stage;
using Lines = std::vector<std::string>;

namespace {

const char kAllMidiNo[] =
    "canDo.receiveVstMidiEvent=-1\ncanDo.receiveVstEvents=-1\ncanDo.sendVstMidiEvent=-1\ncanDo.sendVstEvents=-1\n";

// Seconds since 1601 of a local time.
long long Seconds(const SYSTEMTIME &time)
{
    FILETIME file;
    if (!SystemTimeToFileTime(&time, &file))
        return -1;
    return ((static_cast<long long>(file.dwHighDateTime) << 32) | file.dwLowDateTime) / 10000000;
}

Lines Dumps(const std::wstring &folder)
{
    Lines dumps;
    for (const std::wstring &name : ListFiles(folder))
        if (name.size() > 5 && name.compare(name.size() - 5, 5, L".mdmp") == 0)
            dumps.push_back(Utf8(name));
    return dumps;
}

enum class EDumpFolder { Given, None, TooLong };

struct CCrashCase {
    const char *label;
    const char *config;
    EDumpFolder dumpFolder;
    const char *faultTraced;     // the trace line the fixture wrote before faulting
    DWORD exceptionCode;         // what the dump's exception stream holds
};

// abort(), also the one that ends an uncaught C++ exception of a plug-in
// built with MinGW, is dumped as a fatal application exit.
const CCrashCase kCrashCases[] = {
    {"InEntryPoint", "crash=entry\n", EDumpFolder::Given, "fault entry", EXCEPTION_ACCESS_VIOLATION},
    {"InEntryPointWithoutDumpFolder", "crash=entry\n", EDumpFolder::None, "fault entry", 0},
    {"InEntryPointWithTooLongDumpFolder", "crash=entry\n", EDumpFolder::TooLong, "fault entry", 0},
    // The plug-in's own filter and abort handler, installed from its entry
    // point, are replaced before the queries: the server writes the dump.
    {"InQueryAfterOwnFilter", "ownFilter=1\ncrash=query\n", EDumpFolder::Given, "fault query",
     EXCEPTION_ACCESS_VIOLATION},
    {"AbortInQueryAfterOwnHandler", "ownFilter=1\ncrash=query\nfault=abort\n", EDumpFolder::Given, "fault query",
     STATUS_FATAL_APP_EXIT},
    {"WildRead", "crash=entry\nfault=read\n", EDumpFolder::Given, "fault entry", EXCEPTION_ACCESS_VIOLATION},
    {"IntegerDivisionByZero", "crash=entry\nfault=divide\n", EDumpFolder::Given, "fault entry",
     EXCEPTION_INT_DIVIDE_BY_ZERO},
    {"IllegalInstruction", "crash=entry\nfault=illegal\n", EDumpFolder::Given, "fault entry",
     EXCEPTION_ILLEGAL_INSTRUCTION},
    {"Breakpoint", "crash=entry\nfault=breakpoint\n", EDumpFolder::Given, "fault entry", EXCEPTION_BREAKPOINT},
    {"UncaughtCppException", "crash=entry\nfault=throw\n", EDumpFolder::Given, "fault entry",
     STATUS_FATAL_APP_EXIT},
    {"StackOverflow", "crash=entry\nfault=stack\n", EDumpFolder::Given, "fault entry", EXCEPTION_STACK_OVERFLOW},
    {"StackOverflowWithoutDumpFolder", "crash=entry\nfault=stack\n", EDumpFolder::None, "fault entry", 0},
    {"Abort", "crash=entry\nfault=abort\n", EDumpFolder::Given, "fault entry", STATUS_FATAL_APP_EXIT},
    {"AbortWithoutDumpFolder", "crash=entry\nfault=abort\n", EDumpFolder::None, "fault entry", 0},
    // A thread of the plug-in faults while the main thread waits inside the
    // entry point.
    {"OnPluginThread", "crash=thread\n", EDumpFolder::Given, "fault thread", EXCEPTION_ACCESS_VIOLATION},
    {"StackOverflowOnPluginThread", "crash=thread\nfault=stack\n", EDumpFolder::Given, "fault thread",
     EXCEPTION_STACK_OVERFLOW},
    {"AbortOnPluginThread", "crash=thread\nfault=abort\n", EDumpFolder::Given, "fault thread",
     STATUS_FATAL_APP_EXIT},
};

void PrintTo(const CCrashCase &c, std::ostream *out)
{
    *out << c.label;
}

class CrashTest : public testing::TestWithParam<CCrashCase> {};

TEST_P(CrashTest, DumpAndExitCode9AfterEveryLine)
{
    const CCrashCase &c = GetParam();
    CTempFolder plugins;
    CTempFolder dumps;
    std::wstring dll = Stage(plugins, "fx_effect", L"Crashing", std::string("name=Crashing\n") + kAllMidiNo + c.config);
    ASSERT_FALSE(dll.empty());
    ASSERT_FALSE(dumps.path.empty());
    std::wstring dumpFolder;
    if (c.dumpFolder == EDumpFolder::Given)
        dumpFolder = dumps.path;
    else if (c.dumpFolder == EDumpFolder::TooLong)
        dumpFolder = dumps.path + L"\\" + std::wstring(250, L'd');
    wchar_t current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    Lines dumpsHereBefore = Dumps(current);

    CServer server;
    ASSERT_TRUE(server.Start(dumpFolder));
    SYSTEMTIME before;
    GetLocalTime(&before);
    CScan scan = server.Scan(dll);
    EXPECT_EQ(scan.end, ScanHost::EEnd::Closed);
    std::optional<DWORD> exitCode = server.process.WaitExit(E2E::kTimeout);
    SYSTEMTIME after;
    GetLocalTime(&after);
    EXPECT_EQ(exitCode, std::optional<DWORD>(9));

    // Every line up to the one the plug-in caused right before its fault.
    EXPECT_EQ(WithoutHandles(scan.lines),
              (Lines{"info:Scanning plugin: '" + Utf8(dll) + "'", "info:Loading library...",
                     "info:Looking for entry point in module <module>", "info:Found VSTPluginMain()",
                     "info:Calling entry point...", "info:Audio master callback: 3 - audioMasterIdle",
                     "warn:Unhandled audioMaster opCode - 3"}));
    Lines trace = ReadTrace(dll);
    EXPECT_NE(std::find(trace.begin(), trace.end(), c.faultTraced), trace.end());
    EXPECT_EQ(std::find(trace.begin(), trace.end(), "own filter"), trace.end());
    EXPECT_EQ(std::find(trace.begin(), trace.end(), "thread fault survived"), trace.end());

    Lines written = Dumps(dumps.path);
    EXPECT_EQ(Dumps(plugins.path), Lines{});
    EXPECT_EQ(Dumps(current), dumpsHereBefore);
    if (c.dumpFolder != EDumpFolder::Given) {
        EXPECT_EQ(written, Lines{});
        return;
    }
    ASSERT_EQ(written.size(), 1u) << "exactly one dump";
    std::smatch parts;
    static const std::regex pattern("RavoZazora-x86-(\\d{4})-(\\d{2})-(\\d{2})-(\\d{2})-(\\d{2})-(\\d{2})\\.mdmp");
    ASSERT_TRUE(std::regex_match(written[0], parts, pattern)) << written[0];
    SYSTEMTIME stamped = {};
    stamped.wYear = static_cast<WORD>(std::stoi(parts[1]));
    stamped.wMonth = static_cast<WORD>(std::stoi(parts[2]));
    stamped.wDay = static_cast<WORD>(std::stoi(parts[3]));
    stamped.wHour = static_cast<WORD>(std::stoi(parts[4]));
    stamped.wMinute = static_cast<WORD>(std::stoi(parts[5]));
    stamped.wSecond = static_cast<WORD>(std::stoi(parts[6]));
    // Named after the local time of the crash.
    EXPECT_GE(Seconds(stamped), Seconds(before) - 1) << written[0];
    EXPECT_LE(Seconds(stamped), Seconds(after) + 1) << written[0];
    E2E::CDump dump = E2E::ReadDump(dumps / std::wstring(written[0].begin(), written[0].end()));
    ASSERT_TRUE(dump.readable) << dump.problem;
    EXPECT_EQ(dump.exceptionCode, c.exceptionCode) << std::hex << dump.exceptionCode;
    EXPECT_NE(std::find(dump.threadIds.begin(), dump.threadIds.end(), dump.exceptionThreadId), dump.threadIds.end())
        << "the crashing thread is among the dump's threads";
}

INSTANTIATE_TEST_SUITE_P(E2E, CrashTest, testing::ValuesIn(kCrashCases),
                         [](const testing::TestParamInfo<CCrashCase> &info) { return std::string(info.param.label); });

// A fault inside effClose is caught there: the scan finishes, no dump is
// written, and the server serves on, also for the same fault again.
TEST(CrashTest, FaultInEffCloseIsSurvived)
{
    CTempFolder plugins;
    CTempFolder dumps;
    std::wstring dll = Stage(plugins, "fx_effect", L"BadClose",
                             std::string("name=Bad Close\nid=0x42434C53\ncrash=close\n") + kAllMidiNo);
    std::wstring plain = Stage(plugins, "fx_effect", L"Plain", std::string("name=Plain\n") + kAllMidiNo);
    CServer server;
    ASSERT_TRUE(server.Start(dumps.path));
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        CScan scan = server.Scan(dll);
        ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
        Lines log = scan.LogLines();
        ASSERT_GE(log.size(), 5u);
        EXPECT_EQ(Lines(log.end() - 5, log.end()),
                  (Lines{"info:Dispatching effClose...", "info:Audio master callback: 3 - audioMasterIdle",
                         "warn:Unhandled audioMaster opCode - 3", "info:Freeing library...", "info:Finished"}));
        ASSERT_TRUE(scan.parsed) << scan.parseError;
        EXPECT_EQ(scan.report.error, "");
        EXPECT_EQ(scan.report.name, "Bad Close");
        EXPECT_EQ(scan.report.idText, "42434C53");
    }
    Lines trace = ReadTrace(dll);
    EXPECT_EQ(std::count(trace.begin(), trace.end(), "fault close"), 2);
    EXPECT_EQ(trace.back(), "detach");

    CScan next = server.Scan(plain);
    ASSERT_EQ(next.end, ScanHost::EEnd::Ready);
    EXPECT_EQ(next.report.name, "Plain");
    std::optional<unsigned long> exitCode;
    server.Shutdown(&exitCode);
    EXPECT_EQ(exitCode, std::optional<unsigned long>(0));
    EXPECT_EQ(Dumps(dumps.path), Lines{});
}

// The time stamp and number of a dump file name: 1 for the plain name, n for
// one ending in "-n". False when the name has neither form.
bool ParseDumpName(const std::string &name, std::string *stamp, int *number)
{
    static const std::regex pattern(
        "RavoZazora-x86-(\\d{4}-\\d{2}-\\d{2}-\\d{2}-\\d{2}-\\d{2})(-([2-9]|[1-9]\\d+))?\\.mdmp");
    std::smatch parts;
    if (!std::regex_match(name, parts, pattern))
        return false;
    *stamp = parts[1];
    *number = parts[3].matched ? std::stoi(parts[3]) : 1;
    return true;
}

std::wstring Widen(const std::string &ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// A plug-in that faults in its entry point.
std::wstring StageCrashing(const CTempFolder &plugins)
{
    return Stage(plugins, "fx_effect", L"Crashing", std::string("trace=0\n") + kAllMidiNo + "crash=entry\n");
}

// Three servers that crash in the same second into one folder keep three
// dumps: per time stamp the plain name, then "-2" and "-3".
TEST(DumpNameTest, ServersCrashingInOneSecondKeepEveryDump)
{
    const int kServers = 3;
    CTempFolder plugins;
    CTempFolder dumps;
    std::wstring dll = StageCrashing(plugins);
    ASSERT_FALSE(dll.empty());
    CServer servers[kServers];
    for (CServer &server : servers)
        ASSERT_TRUE(server.Start(dumps.path));

    // Right after a second begins, so that the crashes share it.
    SYSTEMTIME now;
    GetLocalTime(&now);
    WORD second = now.wSecond;
    while (now.wSecond == second) {
        Sleep(1);
        GetLocalTime(&now);
    }
    for (CServer &server : servers)
        ASSERT_TRUE(server.Send(Utf8(dll)));
    for (CServer &server : servers) {
        EXPECT_EQ(server.Response().end, ScanHost::EEnd::Closed);
        EXPECT_EQ(server.process.WaitExit(E2E::kTimeout), std::optional<DWORD>(9));
    }

    Lines written = Dumps(dumps.path);
    ASSERT_EQ(written.size(), static_cast<size_t>(kServers));
    std::map<std::string, std::vector<int>> numbers;
    for (const std::string &name : written) {
        std::string stamp;
        int number = 0;
        ASSERT_TRUE(ParseDumpName(name, &stamp, &number)) << name;
        numbers[stamp].push_back(number);
        E2E::CDump dump = E2E::ReadDump(dumps / Widen(name));
        EXPECT_TRUE(dump.readable) << name << ": " << dump.problem;
        EXPECT_EQ(dump.exceptionCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION)) << name;
    }
    for (auto &[stamp, list] : numbers) {
        std::sort(list.begin(), list.end());
        std::vector<int> expected(list.size());
        for (size_t i = 0; i < expected.size(); ++i)
            expected[i] = static_cast<int>(i) + 1;
        EXPECT_EQ(list, expected) << "the names of " << stamp;
    }
    if (numbers.size() > 1)
        std::cout << "note: the crashes fell into " << numbers.size() << " seconds\n";
}

// A name that is taken is left alone: the dump takes the first free number.
TEST(DumpNameTest, TakenNamesAreKept)
{
    CTempFolder plugins;
    CTempFolder dumps;
    std::wstring dll = StageCrashing(plugins);
    ASSERT_FALSE(dll.empty());
    CServer server;
    ASSERT_TRUE(server.Start(dumps.path));

    // The plain name and "-2" of every second from just before the crash to
    // well after it hold a file of their own.
    const int kSecondsAhead = 120;
    const std::string kKeep = "not a dump";
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME file;
    ASSERT_TRUE(SystemTimeToFileTime(&now, &file));
    unsigned long long start = (static_cast<unsigned long long>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
    Lines taken;
    for (int offset = -2; offset <= kSecondsAhead; ++offset) {
        unsigned long long at = start + static_cast<long long>(offset) * 10000000;
        FILETIME shifted = {static_cast<DWORD>(at), static_cast<DWORD>(at >> 32)};
        SYSTEMTIME time;
        ASSERT_TRUE(FileTimeToSystemTime(&shifted, &time));
        for (int number = 1; number <= 2; ++number) {
            wchar_t name[MAX_PATH];
            swprintf(name, MAX_PATH, number == 1 ? L"RavoZazora-x86-%.4i-%.2i-%.2i-%.2i-%.2i-%.2i.mdmp"
                                                 : L"RavoZazora-x86-%.4i-%.2i-%.2i-%.2i-%.2i-%.2i-2.mdmp",
                     time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond);
            taken.push_back(Utf8(name));
            HANDLE placeholder = CreateFileW((dumps / name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                             FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(placeholder, INVALID_HANDLE_VALUE);
            DWORD count = 0;
            WriteFile(placeholder, kKeep.data(), static_cast<DWORD>(kKeep.size()), &count, nullptr);
            CloseHandle(placeholder);
        }
    }

    CScan scan = server.Scan(dll);
    EXPECT_EQ(scan.end, ScanHost::EEnd::Closed);
    EXPECT_EQ(server.process.WaitExit(E2E::kTimeout), std::optional<DWORD>(9));

    Lines added;
    for (const std::string &name : Dumps(dumps.path)) {
        if (std::find(taken.begin(), taken.end(), name) != taken.end()) {
            std::string bytes;
            EXPECT_TRUE(FixtureFiles::ReadFileBytes(dumps / Widen(name), &bytes));
            EXPECT_EQ(bytes, kKeep) << name;
        } else {
            added.push_back(name);
        }
    }
    EXPECT_EQ(Dumps(dumps.path).size(), taken.size() + 1);
    ASSERT_EQ(added.size(), 1u);
    std::string stamp;
    int number = 0;
    ASSERT_TRUE(ParseDumpName(added[0], &stamp, &number)) << added[0];
    EXPECT_EQ(number, 3) << added[0];
    EXPECT_TRUE(E2E::ReadDump(dumps / Widen(added[0])).readable);
}

}  // namespace
