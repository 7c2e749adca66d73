// The scan server as the scanner drives it, CScanServer over the real
// server: a start that fails names its step and leaves nothing running, a
// stop returns at once and lets the server end in order, and a hung server
// is ended in the background while a fresh one already serves.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "host/process/handle.h"
#include "host/server/scanserver.h"
#include "tests/e2e_server.h"
#include "tests/fixtures/fixture_files.h"

using FixtureFiles::CTempFolder;
using FixtureFiles::Stage;
using ScanHost::CExchange;
using ScanHost::CHandle;
using ScanHost::CScanServer;
using ScanHost::CServerOptions;
using ScanHost::EExchangeEnd;

namespace {

CServerOptions Options(const std::wstring &serverPath = E2E::ServerPath())
{
    CServerOptions options;
    options.serverPath = serverPath;
    return options;
}

// A handle on the process that sees it end and gives its exit code.
CHandle Watch(uint32_t processId)
{
    return CHandle(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
}

// The exit code once the process has ended; nothing when it still runs
// after timeout.
std::optional<DWORD> ExitCodeOf(const CHandle &process, ScanHost::Milliseconds timeout)
{
    DWORD code = 0;
    if (WaitForSingleObject(process.Get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.Get(), &code))
        return std::nullopt;
    return code;
}

// Serves one request for a file that is not there.
void ExpectServes(CScanServer &server)
{
    CExchange exchange = server.Request("C:\\no\\such\\plugin.dll", E2E::kTimeout);
    EXPECT_EQ(exchange.end, EExchangeEnd::Ready);
    EXPECT_FALSE(exchange.report.empty());
}

struct SStartCase {
    const char *label;
    std::wstring serverPath;
    ScanHost::Milliseconds startLimit;
    const char *step;
    std::vector<uint32_t> codes;  // any of these
};

TEST(ScanServerStart, AFailedStartNamesItsStepAndLeavesNothingRunning)
{
    const std::wstring bin = FixtureFiles::WindowsPath(TEST_BIN_DIR);
    const SStartCase cases[] = {
        {"no such program", bin + L"\\no-such-server.exe", E2E::kTimeout, "CreateProcessW",
         {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND}},
        // A program that ends at once, without a word.
        {"ends before ready", bin + L"\\process-child.exe", E2E::kTimeout,
         "waiting for the server's first \"ready:\"", {ERROR_BROKEN_PIPE}},
        {"not ready in time", E2E::ServerPath(), ScanHost::Milliseconds(0), "waiting for the server's first \"ready:\"",
         {ERROR_TIMEOUT}},
    };
    for (const SStartCase &c : cases) {
        SCOPED_TRACE(c.label);
        CScanServer server;
        ScanHost::CError error;
        ASSERT_FALSE(server.Start(Options(c.serverPath), c.startLimit, &error));
        EXPECT_EQ(error.step, c.step);
        EXPECT_NE(std::find(c.codes.begin(), c.codes.end(), error.code), c.codes.end()) << error.Text();
        EXPECT_FALSE(server.IsRunning());
        EXPECT_EQ(server.ProcessId(), 0u);
        // Nothing half started: the same object starts a real server next.
        ASSERT_TRUE(server.Start(Options(), E2E::kTimeout, &error)) << error.Text();
        ExpectServes(server);
    }
}

TEST(ScanServerStop, ReturnsAtOnceAndTheServerEndsInOrder)
{
    CScanServer server;
    std::string error;
    ASSERT_TRUE(server.Start(Options(), E2E::kTimeout, &error)) << error;
    ExpectServes(server);
    CHandle process = Watch(server.ProcessId());
    ASSERT_TRUE(process);
    server.Stop();
    EXPECT_FALSE(server.IsRunning());
    EXPECT_EQ(ExitCodeOf(process, E2E::kTimeout), std::optional<DWORD>(0));
}

// A plug-in that never returns from its entry point: the request ends in
// silence with every line written so far, Stop leaves the server to the
// background (it still runs when Stop has returned) and it is ended after the
// grace, while a fresh server already serves.
TEST(ScanServerStop, EndsAHungServerInTheBackground)
{
    CTempFolder folder;
    std::wstring dll = Stage(folder, "fx_effect", L"Hung", "trace=0\nname=Hung\nhang=entry\n");
    ASSERT_FALSE(dll.empty());
    CScanServer server;
    std::string error;
    ASSERT_TRUE(server.Start(Options(), E2E::kTimeout, &error)) << error;
    CExchange exchange = server.Request(E2E::Utf8(dll), ScanHost::Milliseconds(2000));
    EXPECT_EQ(exchange.end, EExchangeEnd::Silent);
    std::vector<std::string> texts;
    for (const ScanHost::CServerLine &line : exchange.lines)
        texts.push_back(line.text);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Calling entry point..."), texts.end());
    EXPECT_TRUE(exchange.report.empty());

    CHandle hung = Watch(server.ProcessId());
    ASSERT_TRUE(hung);
    server.Stop();
    EXPECT_EQ(ExitCodeOf(hung, ScanHost::Milliseconds(0)), std::nullopt) << "Stop waited for the hung server";
    ASSERT_TRUE(server.Start(Options(), E2E::kTimeout, &error)) << error;
    ExpectServes(server);
    std::optional<DWORD> code = ExitCodeOf(hung, E2E::kTimeout);
    ASSERT_TRUE(code) << "the hung server was never ended";
    EXPECT_NE(*code, 0u);
}

}  // namespace
