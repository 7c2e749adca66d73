// The real server's status window, driven through pipes as a host drives it:
// shown in place while the server waits for requests, serviced between them,
// shown in the idle mode too, and gone after an orderly end.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desktop.h"
#include "host/server/scanserver.h"
#include "service/scan.h"
#include "statuswindow/statuswindow.h"
#include "support/capture.h"
#include "support/piped_child.h"

using ScanHost::CScanServer;

namespace {

const char kBanner[] = "info:Quenmoor Plugin Scan Server (x86)\n";
const ScanHost::Milliseconds kTimeout{20000};

std::wstring ServerPath()
{
    return ProgramFolder() + L"\\RavoZazora-x86.exe";
}

// Lines as the server wrote them, each with its line feed.
std::string Raw(const std::vector<ScanHost::CServerLine> &lines)
{
    std::string raw;
    for (const ScanHost::CServerLine &line : lines)
        raw += (line.level.empty() ? line.text : line.level + ":" + line.text) + "\n";
    return raw;
}

// Starts the real server as a host does, with its pipes and the host window
// on the command line, and checks that it wrote its banner and then "ready:".
// It inherits this program's display.
void StartServer(CScanServer &server, HWND reference)
{
    ScanHost::CServerOptions options;
    options.serverPath = ServerPath();
    options.referenceWindow = reinterpret_cast<uintptr_t>(reference);
    std::string error;
    ASSERT_TRUE(server.Start(options, kTimeout, &error)) << error;
    EXPECT_EQ(kBanner, Raw(server.Banner()));
}

// Closes the request pipe; the server's exit code.
std::optional<uint32_t> Finish(CScanServer &server)
{
    server.CloseRequests(kTimeout);
    return server.WaitExit(kTimeout);
}

// The status windows of the process, found by class and title.
std::vector<HWND> StatusWindows(uint32_t processId)
{
    return FindWindowsOf(processId, L"QuenmoorRavoZazora", L"Quenmoor Scan Server");
}

// The bytes the server's request handler writes for request, taken in this
// process through the same code the server runs.
std::string AnswerInProcess(const wchar_t *request)
{
    COutputCapture capture;
    HandleRequest(Simple::CWideString(request));
    return capture.Text();
}

class GdiplusEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(StartGdiplus()); }
    void TearDown() override { StopGdiplus(); }
};
const auto *const gdiplusEnvironment = ::testing::AddGlobalTestEnvironment(new GdiplusEnvironment);

RECT WindowRect(HWND window)
{
    RECT rect = {};
    GetWindowRect(window, &rect);
    return rect;
}

// Where a 120 x 120 status window belongs on a work area.
RECT BottomRight(const RECT &work)
{
    return {work.right - 130, work.bottom - 130, work.right - 10, work.bottom - 10};
}

class ServerWindowTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (HWND window : windows_)
            DestroyWindow(window);
    }

    // A window of this test program that stands for the host's window.
    HWND HostWindow(const RECT &area, COLORREF colour = RGB(40, 120, 200))
    {
        HWND window = CreatePlainWindow(area, colour, false);
        EXPECT_NE(nullptr, window);
        windows_.push_back(window);
        PumpMessages(20);
        return window;
    }

    std::vector<HWND> windows_;
};

TEST_F(ServerWindowTest, ShowsWhileServingAndGoesAtTheEnd)
{
    HWND host = HostWindow({100, 100, 300, 200});
    CScanServer server;
    ASSERT_NO_FATAL_FAILURE(StartServer(server, host));

    std::vector<HWND> windows = StatusWindows(server.ProcessId());
    ASSERT_EQ(1u, windows.size()) << "the server's status window, found by class and title";
    HWND status = windows[0];
    // 120 x 120, 10 pixels in from the corner of the 800 x 600 work area.
    EXPECT_EQ((RECT{670, 470, 790, 590}), WindowRect(status));
    LONG exStyle = GetWindowLongW(status, GWL_EXSTYLE);
    EXPECT_EQ(WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TOPMOST,
              exStyle & (WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TOPMOST | WS_EX_APPWINDOW));

    // The server services its window only between requests: a hit test sent
    // now is answered once the next request arrives, with the caption code.
    DWORD_PTR hit = 0;
    std::thread hitTest([&] {
        SendMessageTimeoutW(status, WM_NCHITTEST, 0, MAKELPARAM(700, 500), SMTO_NORMAL, 20000, &hit);
    });
    Sleep(200);
    const wchar_t request[] = L"C:\\no such folder\\plugin.dll";
    ScanHost::CExchange answer = server.Request("C:\\no such folder\\plugin.dll", kTimeout);
    hitTest.join();
    EXPECT_EQ((DWORD_PTR)HTCAPTION, hit);
    EXPECT_EQ(ScanHost::EExchangeEnd::Ready, answer.end);
    EXPECT_EQ(AnswerInProcess(request), Raw(answer.lines));
    EXPECT_TRUE(IsWindow(status));
    EXPECT_EQ((RECT{670, 470, 790, 590}), WindowRect(status));

    EXPECT_EQ(std::optional<uint32_t>(0), Finish(server));
    EXPECT_FALSE(IsWindow(status));
}

TEST_F(ServerWindowTest, SitsOnTheHostWindowsMonitor)
{
    std::vector<RECT> monitors = MonitorWorkAreas();
    ASSERT_GE(monitors.size(), 2u) << "needs a second monitor: scripts/winenv.sh starts Xvfb with two screens";
    RECT second = monitors[1];
    ASSERT_GT(second.right, monitors[0].right + 120);
    // On the part of the second monitor that the first one doesn't cover.
    HWND host = HostWindow({monitors[0].right + 10, 100, monitors[0].right + 110, 160});
    CScanServer server;
    ASSERT_NO_FATAL_FAILURE(StartServer(server, host));
    std::vector<HWND> windows = StatusWindows(server.ProcessId());
    ASSERT_EQ(1u, windows.size());
    EXPECT_EQ(BottomRight(second), WindowRect(windows[0]));
    EXPECT_EQ(std::optional<uint32_t>(0), Finish(server));
}

// Keeps build/artifacts/status-window.png: the primary screen while the server
// waits for a request, its picture composited on a black window behind it.
TEST_F(ServerWindowTest, ItsPictureShowsOnTheScreen)
{
    HostWindow({670, 470, 790, 590}, RGB(0, 0, 0));
    HWND host = HostWindow({100, 100, 300, 200});
    CScanServer server;
    ASSERT_NO_FATAL_FAILURE(StartServer(server, host));
    ASSERT_EQ(1u, StatusWindows(server.ProcessId()).size());

    // The picture the server carries, as it hands it to the window.
    HBITMAP section = LoadPngResource(GetModuleHandleW(nullptr));
    ASSERT_NE(nullptr, section);
    Picture expected = SectionPicture(section);
    DeleteObject(section);

    Picture screen;
    std::string difference = WaitForPictureOnScreen(expected, {670, 470}, {0, 0, 800, 600}, screen);
    EXPECT_TRUE(SavePng(screen, ArtifactPath(L"status-window.png")));
    EXPECT_EQ("", difference);
    EXPECT_EQ(std::optional<uint32_t>(0), Finish(server));
}

TEST_F(ServerWindowTest, ShowsInTheIdleMode)
{
    // Idle: without arguments, with the pipes as its standard handles.
    CPipedChild server;
    std::string error;
    ASSERT_TRUE(server.Start(ServerPath(), L"", true, &error)) << error;
    std::string banner;
    EXPECT_EQ(ScanHost::ERead::Line, server.channel.ReadLine(&banner, kTimeout));
    EXPECT_EQ(std::string(kBanner, sizeof kBanner - 2), banner);
    std::vector<HWND> windows;
    for (int i = 0; i < 100 && windows.empty(); i++, Sleep(50))
        windows = StatusWindows(server.process.ProcessId());
    ASSERT_EQ(1u, windows.size());
    // The foreground window of the moment placed it: at the corner of its monitor.
    RECT rect = WindowRect(windows[0]);
    MONITORINFO info = {};
    info.cbSize = sizeof(info);
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(windows[0], MONITOR_DEFAULTTONEAREST), &info));
    EXPECT_EQ(BottomRight(info.rcWork), rect);
    // No requests are served: nothing follows the banner.
    EXPECT_EQ(ScanHost::EWrite::Written, server.channel.Write("C:\\plugin.dll\n", kTimeout));
    std::string line;
    EXPECT_EQ(ScanHost::ERead::Timeout, server.channel.ReadLine(&line, ScanHost::Milliseconds(500))) << line;
    server.process.Terminate();
}

}  // namespace
