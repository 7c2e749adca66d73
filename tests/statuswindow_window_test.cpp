// The status window on the screen: class and styles, placement on the work
// area of the reference window's monitor, hit testing, activation, the picture
// as it shows, and the window that is not made without a picture. Runs on the
// X screens that scripts/winenv.sh starts: an 800x600 primary monitor and a
// 1024x768 second one.
#include "statuswindow/statuswindow.h"

#include <gtest/gtest.h>

#include <gdiplus.h>

#include <cstdint>
#include <vector>

#include "desktop.h"

namespace {

const wchar_t kClass[] = L"QuenmoorRavoZazora";
const wchar_t kTitle[] = L"Quenmoor Scan Server";

// Where a width x height status window belongs on a work area.
RECT BottomRight(const RECT &work, int width, int height)
{
    return {work.right - width - 10, work.bottom - height - 10, work.right - 10, work.bottom - 10};
}

// A 100 x 60 rectangle on the given monitor's work area and on no other monitor.
RECT OnlyOn(const RECT &monitor, const std::vector<RECT> &all)
{
    for (int y = monitor.top; y + 60 <= monitor.bottom; y += 20)
        for (int x = monitor.left; x + 100 <= monitor.right; x += 20) {
            RECT candidate = {x, y, x + 100, y + 60}, overlap;
            bool alone = true;
            for (const RECT &other : all)
                if (!(other == monitor) && IntersectRect(&overlap, &candidate, &other))
                    alone = false;
            if (alone)
                return candidate;
        }
    return {};
}

class StatusWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        monitors_ = MonitorWorkAreas();
        ASSERT_FALSE(monitors_.empty());
        ASSERT_EQ((RECT{0, 0, 800, 600}), monitors_[0]) << "the tests expect the 800x600 primary screen of winenv.sh";
    }

    void TearDown() override
    {
        // The helper windows go first: under Wine, destroying the active
        // window of an ordinary kind waits two seconds for the X server.
        for (HWND window : windows_)
            DestroyWindow(window);
        DestroyStatusWindow();
        if (g_hbmStatus)
            DeleteObject(g_hbmStatus);
        g_hbmStatus = nullptr;
        g_hwndReference = nullptr;
    }

    HWND Plain(const RECT &area, COLORREF colour = RGB(40, 120, 200), bool activate = false)
    {
        HWND window = CreatePlainWindow(area, colour, activate);
        EXPECT_NE(nullptr, window);
        windows_.push_back(window);
        return window;
    }

    // The second monitor's work area; fails the test when there is none.
    RECT SecondMonitor()
    {
        if (monitors_.size() < 2) {
            ADD_FAILURE() << "needs a second monitor: scripts/winenv.sh starts Xvfb with two screens";
            return {};
        }
        return monitors_[1];
    }

    RECT StatusRect()
    {
        RECT rect = {};
        GetWindowRect(g_hwndStatus, &rect);
        return rect;
    }

    static HMODULE Self() { return GetModuleHandleW(nullptr); }

    std::vector<RECT> monitors_;
    std::vector<HWND> windows_;
};

TEST_F(StatusWindowTest, IsALayeredTopmostToolWindowOfItsOwnClass)
{
    HWND reference = Plain({100, 100, 300, 200});
    CreateStatusWindow(Self(), reference);
    ASSERT_NE(nullptr, g_hwndStatus);
    EXPECT_EQ(reference, g_hwndReference);

    std::vector<HWND> found = FindWindowsOf(GetCurrentProcessId(), kClass, kTitle);
    ASSERT_EQ(1u, found.size());
    EXPECT_EQ(g_hwndStatus, found[0]);

    LONG exStyle = GetWindowLongW(g_hwndStatus, GWL_EXSTYLE);
    EXPECT_EQ(WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TOPMOST,
              exStyle & (WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TOPMOST));
    EXPECT_EQ(0, exStyle & WS_EX_APPWINDOW) << "would put the window in the taskbar";
    LONG style = GetWindowLongW(g_hwndStatus, GWL_STYLE);
    EXPECT_EQ(WS_POPUP | WS_VISIBLE, style & (WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_THICKFRAME | WS_SYSMENU));
    EXPECT_EQ(GetDesktopWindow(), GetAncestor(g_hwndStatus, GA_PARENT));
    EXPECT_EQ(nullptr, GetWindow(g_hwndStatus, GW_OWNER));

    EXPECT_EQ(0u, GetClassLongPtrW(g_hwndStatus, GCL_STYLE));
    EXPECT_EQ((ULONG_PTR)(COLOR_WINDOW + 1), GetClassLongPtrW(g_hwndStatus, GCLP_HBRBACKGROUND));
    EXPECT_EQ((ULONG_PTR)LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW), GetClassLongPtrW(g_hwndStatus, GCLP_HCURSOR));
    EXPECT_EQ(0u, GetClassLongPtrW(g_hwndStatus, GCLP_HICON));
    EXPECT_EQ((ULONG_PTR)StatusWndProc, (ULONG_PTR)GetWindowLongPtrW(g_hwndStatus, GWLP_WNDPROC));

    EXPECT_EQ(g_hwndStatus, GetActiveWindow());
}

TEST_F(StatusWindowTest, SitsTenPixelsInFromTheBottomRightOfThePrimaryWorkArea)
{
    CreateStatusWindow(Self(), Plain({100, 100, 300, 200}));
    ASSERT_NE(nullptr, g_hwndStatus);
    // 120 x 120 on an 800 x 600 work area: x 670 to 789, y 470 to 589.
    EXPECT_EQ((RECT{670, 470, 790, 590}), StatusRect());
}

TEST_F(StatusWindowTest, SitsOnTheReferenceWindowsMonitor)
{
    RECT second = SecondMonitor();
    RECT place = OnlyOn(second, monitors_);
    ASSERT_NE(0, place.right) << "no place on the second monitor alone";
    // Another window is in the foreground: the reference decides, not the foreground.
    Plain({100, 100, 300, 200}, RGB(90, 90, 90), true);
    HWND reference = Plain(place);
    CreateStatusWindow(Self(), reference);
    ASSERT_NE(nullptr, g_hwndStatus);
    EXPECT_EQ(BottomRight(second, 120, 120), StatusRect());
}

TEST_F(StatusWindowTest, WithoutReferenceTheForegroundWindowDecides)
{
    RECT second = SecondMonitor();
    RECT place = OnlyOn(second, monitors_);
    ASSERT_NE(0, place.right) << "no place on the second monitor alone";
    HWND foreground = Plain(place, RGB(90, 90, 90), true);
    // Other test programs may take the foreground in between; try a few times.
    for (int attempt = 0; attempt < 5; attempt++) {
        SetForegroundWindow(foreground);
        PumpMessages(50);
        CreateStatusWindow(Self(), nullptr);
        if (g_hwndReference == foreground)
            break;
        DestroyStatusWindow();
    }
    ASSERT_EQ(foreground, g_hwndReference);
    ASSERT_NE(nullptr, g_hwndStatus);
    EXPECT_EQ(BottomRight(second, 120, 120), StatusRect());
}

TEST_F(StatusWindowTest, AReferenceOffEveryMonitorUsesTheNearestOne)
{
    RECT second = SecondMonitor();
    ASSERT_GT(second.right, 800);
    // Below and to the right of both monitors, nearer to the larger second one.
    HWND reference = Plain({second.right + 400, second.bottom + 200, second.right + 500, second.bottom + 260});
    CreateStatusWindow(Self(), reference);
    ASSERT_NE(nullptr, g_hwndStatus);
    EXPECT_EQ(BottomRight(second, 120, 120), StatusRect());
}

TEST_F(StatusWindowTest, AStaleReferencePlacesOnThePrimaryScreen)
{
    HWND gone = CreatePlainWindow({900, 100, 1000, 200}, RGB(0, 0, 0), false);
    DestroyWindow(gone);
    CreateStatusWindow(Self(), gone);
    ASSERT_NE(nullptr, g_hwndStatus);
    EXPECT_EQ((RECT{670, 470, 790, 590}), StatusRect());
}

TEST_F(StatusWindowTest, TakesItsSizeFromThePicture)
{
    Picture png;
    png.width = 40;
    png.height = 24;
    png.pixels.assign(40 * 24, 0xC0204060);
    ResourceModule module({{L"PNG", kStatusImageId, EncodePng(png)}});
    ASSERT_NE(nullptr, module.module());
    CreateStatusWindow(module.module(), Plain({100, 100, 300, 200}));
    ASSERT_NE(nullptr, g_hwndStatus);
    EXPECT_EQ((RECT{750, 566, 790, 590}), StatusRect());
    DestroyStatusWindow();  // before its module goes
}

TEST_F(StatusWindowTest, EveryPointIsCaptionAndClosingEndsNothingElse)
{
    CreateStatusWindow(Self(), Plain({100, 100, 300, 200}));
    ASSERT_NE(nullptr, g_hwndStatus);
    const POINT points[] = {{670, 470}, {730, 530}, {789, 589}, {789, 470}};
    for (POINT p : points)
        EXPECT_EQ(HTCAPTION, SendMessageW(g_hwndStatus, WM_NCHITTEST, 0, MAKELPARAM(p.x, p.y)))
            << p.x << "," << p.y;

    HWND window = g_hwndStatus;
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(nullptr, g_hwndStatus);
    MSG quit;
    EXPECT_FALSE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the window posted a quit message";
    ActivateStatusWindow();   // no window: nothing happens
    DestroyStatusWindow();
}

TEST_F(StatusWindowTest, ActivationBringsItBack)
{
    CreateStatusWindow(Self(), Plain({100, 100, 300, 200}));
    ASSERT_NE(nullptr, g_hwndStatus);
    HWND other = Plain({300, 300, 400, 400}, RGB(200, 200, 200), true);
    SetActiveWindow(other);
    ASSERT_EQ(other, GetActiveWindow());
    ActivateStatusWindow();
    EXPECT_EQ(g_hwndStatus, GetActiveWindow());
}

TEST_F(StatusWindowTest, DestroyingKeepsThePicture)
{
    CreateStatusWindow(Self(), Plain({100, 100, 300, 200}));
    ASSERT_NE(nullptr, g_hwndStatus);
    HWND window = g_hwndStatus;
    HBITMAP picture = g_hbmStatus;
    DestroyStatusWindow();
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(nullptr, g_hwndStatus);
    BITMAP bitmap = {};
    EXPECT_EQ((int)sizeof(bitmap), GetObjectW(picture, sizeof(bitmap), &bitmap));
    EXPECT_EQ(picture, g_hbmStatus);
    EXPECT_TRUE(FindWindowsOf(GetCurrentProcessId(), kClass, kTitle).empty());
}

TEST_F(StatusWindowTest, NoPictureNoWindow)
{
    struct {
        const char *name;
        std::vector<ResourceModule::Resource> resources;
    } const cases[] = {
        {"no picture in the module", {}},
        {"a picture that can't be decoded", {{L"PNG", kStatusImageId, "GIF89a, or so it says"}}},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.name);
        ResourceModule module(test.resources);
        ASSERT_NE(nullptr, module.module());
        HWND reference = Plain({100, 100, 300, 200});
        CreateStatusWindow(module.module(), reference);
        EXPECT_EQ(nullptr, g_hwndStatus);
        EXPECT_EQ(nullptr, g_hbmStatus);
        EXPECT_EQ(reference, g_hwndReference);
        EXPECT_TRUE(FindWindowsOf(GetCurrentProcessId(), kClass, kTitle).empty());
        ActivateStatusWindow();
        DestroyStatusWindow();
    }
}

// Takes a picture of the primary screen with the status window on it, keeps it
// as build/artifacts/status-window-in-process.png and checks the window's part of it
// against the picture. A black window lies behind the status window, so every
// pixel shows the premultiplied picture on black.
TEST_F(StatusWindowTest, ShowsThePictureOnTheScreen)
{
    Plain({670, 470, 790, 590}, RGB(0, 0, 0));
    CreateStatusWindow(Self(), Plain({100, 100, 300, 200}, RGB(40, 120, 200)));
    ASSERT_NE(nullptr, g_hwndStatus);
    Picture expected = SectionPicture(g_hbmStatus);
    ASSERT_EQ(120, expected.width);

    Picture screen;
    std::string difference = WaitForPictureOnScreen(expected, {670, 470}, {0, 0, 800, 600}, screen);
    EXPECT_TRUE(SavePng(screen, ArtifactPath(L"status-window-in-process.png")));
    EXPECT_EQ("", difference);
    // The reference window around it is untouched.
    EXPECT_EQ(0xFF2878C8u, screen.at(150, 150));
}

}  // namespace
