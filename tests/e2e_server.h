// Driving the real scan server in end-to-end tests: start it through the host
// library's CScanServer, send one request, and take everything it wrote up to
// the next "ready:" as "level:text" lines with the parsed report. Generous
// timeouts, as the server runs under Wine.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "host/channel/channel.h"
#include "host/report/report.h"
#include "host/server/scanserver.h"

namespace ScanHost {

// How one test exchange ended; Timeout is the library's Silent. The tests
// name it here, beside the library's types.
enum class EEnd {
    Ready,
    Closed,
    Timeout,
};

}  // namespace ScanHost

namespace E2E {

const ScanHost::Milliseconds kTimeout{90000};

// The server executable of this build as a Windows path.
std::wstring ServerPath();

std::string Utf8(const std::wstring &text);

// Splits output bytes into lines without their line feeds; a last line the
// server ended without a line feed is kept.
std::vector<std::string> SplitLines(const std::string &raw);

// The response to one request.
struct CScan {
    std::vector<std::string> lines;         // every line, report included, "ready:" not
    std::vector<std::string> reportLines;   // the ">" lines as written, level included
    ScanHost::EEnd end = ScanHost::EEnd::Timeout;
    bool parsed = false;                    // the report was one well-formed object
    std::string parseError;
    ScanHost::CReport report;
    // The lines before the report object.
    std::vector<std::string> LogLines() const;
};

class CServer {
public:
    CServer() = default;
    // Ends the server in order and waits for it, so that a test's temporary
    // files are no longer held when the test removes them.
    ~CServer();
    CServer(const CServer &) = delete;
    CServer &operator=(const CServer &) = delete;

    // Starts the server (with a dump folder when one is given) and takes its
    // banner and first "ready:".
    testing::AssertionResult Start(const std::wstring &dumpFolder = std::wstring());
    CScan Scan(const std::wstring &request);
    // Writes bytes as they are, or a request with its line feed; false when
    // the server does not take them.
    bool SendRaw(std::string_view bytes);
    bool Send(const std::string &request);
    // The response to what was sent since the last one: everything up to the
    // next "ready:" or the end of the output.
    CScan Response(ScanHost::Milliseconds timeout = kTimeout);
    // Closes the request pipe and returns the lines written until the output
    // ended; *exitCode is the exit code, or nothing when the server did not end.
    std::vector<std::string> Shutdown(std::optional<unsigned long> *exitCode);

    ScanHost::CScanServer process;
};

// The lines with the module handle of "Looking for entry point in module %p"
// replaced by "<module>" when it has the form of eight upper-case
// hexadecimal digits (otherwise the line stays as it is and fails to match).
std::vector<std::string> WithoutHandles(const std::vector<std::string> &lines);

// The module handle of each "Looking for entry point" line, in order.
std::vector<std::string> Handles(const std::vector<std::string> &lines);

// What DbgHelp reads back from a minidump file.
struct CDump {
    bool readable = false;         // it starts with "MDMP" and has an exception stream
    std::string problem;           // why it is not readable
    DWORD exceptionCode = 0;
    DWORD exceptionThreadId = 0;   // the thread the exception stream names
    std::vector<DWORD> threadIds;  // the threads of the thread list
};
CDump ReadDump(const std::wstring &path);

}  // namespace E2E
