// The real server's status window, driven through pipes as a host drives it:
// shown in place while the server waits for requests, serviced between them,
// shown in the idle mode too, and gone after an orderly end.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desktop.h"
#include "host/scanhost.h"
#include "service/scan.h"
#include "statuswindow/statuswindow.h"
#include "support/capture.h"

using ScanHost::CServerProcess;

namespace {

const char kBanner[] = "info:Quenmoor Plugin Scan Server (x86)\n";
const ScanHost::Milliseconds kTimeout{20000};

// Starts the real server as a host does: serving, with its pipes and the host
// window on the command line, or idle, without arguments and with the pipes as
// its standard handles. It inherits this program's display.
void StartServer(CServerProcess &server, HWND reference, bool idle = false)
{
    ScanHost::CLaunch launch;
    launch.serverPath = ProgramFolder() + L"\\RavoZazora-x86.exe";
    launch.referenceWindow = reference;
    if (idle) {
        launch.rawArguments = L"";
        launch.standardHandles = true;
    }
    std::string error;
    ASSERT_TRUE(server.Start(launch, &error)) << error;
}

// Takes the banner and the first "ready:".
void ExpectBannerAndReady(CServerProcess &server)
{
    ScanHost::CResponse banner = server.ReadUntilReady(kTimeout);
    EXPECT_EQ(ScanHost::EEnd::Ready, banner.end);
    EXPECT_EQ(kBanner, banner.raw);
}

// Closes the request pipe; the server's exit code.
std::optional<DWORD> Finish(CServerProcess &server)
{
    server.CloseInput();
    return server.WaitExit(kTimeout);
}

// The server's status windows, found by class and title.
std::vector<HWND> StatusWindows(const CServerProcess &server)
{
    return FindWindowsOf(server.ProcessId(), L"QuenmoorRavoZazora", L"Quenmoor Scan Server");
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
    CServerProcess server;
    ASSERT_NO_FATAL_FAILURE(StartServer(server, host));
    ASSERT_NO_FATAL_FAILURE(ExpectBannerAndReady(server));

    std::vector<HWND> windows = StatusWindows(server);
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
    server.Send("C:\\no such folder\\plugin.dll");
    ScanHost::CResponse answer = server.ReadUntilReady(kTimeout);
    hitTest.join();
    EXPECT_EQ((DWORD_PTR)HTCAPTION, hit);
    EXPECT_EQ(ScanHost::EEnd::Ready, answer.end);
    EXPECT_EQ(AnswerInProcess(request), answer.raw);
    EXPECT_TRUE(IsWindow(status));
    EXPECT_EQ((RECT{670, 470, 790, 590}), WindowRect(status));

    EXPECT_EQ(std::optional<DWORD>(0), Finish(server));
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
    CServerProcess server;
    ASSERT_NO_FATAL_FAILURE(StartServer(server, host));
    ASSERT_NO_FATAL_FAILURE(ExpectBannerAndReady(server));
    std::vector<HWND> windows = StatusWindows(server);
    ASSERT_EQ(1u, windows.size());
    EXPECT_EQ(BottomRight(second), WindowRect(windows[0]));
    EXPECT_EQ(std::optional<DWORD>(0), Finish(server));
}

// Keeps build/artifacts/status-window.png: the primary screen while the server
// waits for a request, its picture composited on a black window behind it.
TEST_F(ServerWindowTest, ItsPictureShowsOnTheScreen)
{
    HostWindow({670, 470, 790, 590}, RGB(0, 0, 0));
    HWND host = HostWindow({100, 100, 300, 200});
    CServerProcess server;
    ASSERT_NO_FATAL_FAILURE(StartServer(server, host));
    ASSERT_NO_FATAL_FAILURE(ExpectBannerAndReady(server));
    ASSERT_EQ(1u, StatusWindows(server).size());

    // The picture the server carries, as it hands it to the window.
    HBITMAP section = LoadPngResource(GetModuleHandleW(nullptr));
    ASSERT_NE(nullptr, section);
    Picture expected = SectionPicture(section);
    DeleteObject(section);

    Picture screen;
    std::string difference = WaitForPictureOnScreen(expected, {670, 470}, {0, 0, 800, 600}, screen);
    EXPECT_TRUE(SavePng(screen, ArtifactPath(L"status-window.png")));
    EXPECT_EQ("", difference);
    EXPECT_EQ(std::optional<DWORD>(0), Finish(server));
}

TEST_F(ServerWindowTest, ShowsInTheIdleMode)
{
    CServerProcess server;
    ASSERT_NO_FATAL_FAILURE(StartServer(server, nullptr, true));
    std::string banner;
    EXPECT_EQ(ScanHost::ERead::Line, server.ReadLine(&banner, kTimeout));
    EXPECT_EQ(std::string(kBanner, sizeof kBanner - 2), banner);
    std::vector<HWND> windows;
    for (int i = 0; i < 100 && windows.empty(); i++, Sleep(50))
        windows = StatusWindows(server);
    ASSERT_EQ(1u, windows.size());
    // The foreground window of the moment placed it: at the corner of its monitor.
    RECT rect = WindowRect(windows[0]);
    MONITORINFO info = {};
    info.cbSize = sizeof(info);
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(windows[0], MONITOR_DEFAULTTONEAREST), &info));
    EXPECT_EQ(BottomRight(info.rcWork), rect);
    // No requests are served: nothing follows the banner.
    server.Send("C:\\plugin.dll");
    std::string line;
    EXPECT_EQ(ScanHost::ERead::Timeout, server.ReadLine(&line, ScanHost::Milliseconds(500))) << line;
    server.Terminate();
}

}  // namespace
