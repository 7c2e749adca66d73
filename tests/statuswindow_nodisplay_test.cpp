// The server without any display (CTest runs this program with DISPLAY unset,
// so under Wine neither it nor the server it starts finds an X server): no
// status window, nothing about it in the output, and a full scan writes the
// same lines as the scan code does in this process.
#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "service/scan.h"
#include "support/capture.h"
#include "tests/e2e_server.h"
#include "tests/fixtures/fixture_files.h"

namespace {

// The lines the request handler writes for request, in this process.
std::vector<std::string> ScanInProcess(const std::wstring &request)
{
    COutputCapture capture;
    HandleRequest(Simple::CWideString(request.c_str()));
    return E2E::WithoutHandles(E2E::SplitLines(capture.Text()));
}

TEST(ServerWithoutDisplay, AFullScanWritesWhatTheScanCodeWrites)
{
    wchar_t display[256];
    ASSERT_EQ(0u, GetEnvironmentVariableW(L"DISPLAY", display, 256))
        << "meant to run without a display: CTest starts it with DISPLAY unset";

    FixtureFiles::CTempFolder folder;
    std::wstring dll = FixtureFiles::Stage(folder, "fx_effect", L"Headless",
                                           "trace=0\nid=0x48454144\nname=Headless\nvendor=Fixture Works\n"
                                           "inputs=2\noutputs=2\ncategory=1\n");
    ASSERT_FALSE(dll.empty());

    E2E::CServer server;
    ASSERT_TRUE(server.Start());  // the banner and "ready:", nothing else
    E2E::CScan scan = server.Scan(dll);
    ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
    ASSERT_TRUE(scan.parsed) << scan.parseError;
    EXPECT_EQ(scan.report.error, "");
    EXPECT_EQ(scan.report.idText, "48454144");
    EXPECT_EQ(scan.report.name, "Headless");
    EXPECT_EQ(scan.report.numOutputs, 2);
    EXPECT_EQ(E2E::WithoutHandles(scan.lines), ScanInProcess(dll));

    HWND window = FindWindowW(L"QuenmoorRavoZazora", L"Quenmoor Scan Server");
    DWORD owner = 0;
    if (window)
        GetWindowThreadProcessId(window, &owner);
    EXPECT_NE(owner, server.process.ProcessId()) << "the server made a status window";

    std::optional<unsigned long> exitCode;
    EXPECT_TRUE(server.Shutdown(&exitCode).empty());
    EXPECT_EQ(exitCode, std::optional<unsigned long>(0));
}

}  // namespace
