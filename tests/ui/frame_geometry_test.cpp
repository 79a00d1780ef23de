#include <gtest/gtest.h>
#include <cstring>
#include "common/command_ids.h"
#include "frame_fixture.h"
#include "requested_dpi.h"
#include "ui/frame_geometry.h"

namespace {

LRESULT HitTest(HWND window, int x, int y) {
    return SendMessageW(window, WM_NCHITTEST, 0, MAKELPARAM(x, y));
}

RECT WindowRect(HWND window) {
    RECT rect = {};
    GetWindowRect(window, &rect);
    return rect;
}

void ExpectRect(const RECT& rect, LONG left, LONG top, LONG right, LONG bottom) {
    EXPECT_EQ(rect.left, left);
    EXPECT_EQ(rect.top, top);
    EXPECT_EQ(rect.right, right);
    EXPECT_EQ(rect.bottom, bottom);
}

// A child's rectangle in its parent's client coordinates.
RECT ChildRect(HWND child, HWND parent) {
    RECT rect = WindowRect(child);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

} // namespace

// --- Hit test on a real window at (100, 100, 780, 560) -------------------------

class FrameHitTest : public FrameWindowTest {
  protected:
    void SetUp() override {
        FrameWindowTest::SetUp();
        SetWindowPos(window, nullptr, 100, 100, 680, 460, SWP_NOZORDER | SWP_NOACTIVATE);
        RECT rect = WindowRect(window);
        ASSERT_EQ(rect.left, 100);
        ASSERT_EQ(rect.bottom, 560);
    }
};

TEST_F(FrameHitTest, IdleEdgesCornersCaptionAndHoleAnswerTheirCodes) {
    EXPECT_EQ(HitTest(window, 105, 100), HTTOPLEFT);
    EXPECT_EQ(HitTest(window, 106, 100), HTTOP);
    EXPECT_EQ(HitTest(window, 774, 100), HTTOPRIGHT);
    EXPECT_EQ(HitTest(window, 773, 100), HTTOP);
    EXPECT_EQ(HitTest(window, 100, 300), HTLEFT);
    EXPECT_EQ(HitTest(window, 779, 300), HTRIGHT);
    EXPECT_EQ(HitTest(window, 100, 559), HTBOTTOMLEFT);
    EXPECT_EQ(HitTest(window, 779, 559), HTBOTTOMRIGHT);
    EXPECT_EQ(HitTest(window, 400, 554), HTBOTTOM);
    EXPECT_EQ(HitTest(window, 400, 553), HTCLIENT);
    EXPECT_EQ(HitTest(window, 400, 105), HTTOP);
    EXPECT_EQ(HitTest(window, 400, 106), HTCAPTION);
    EXPECT_EQ(HitTest(window, 400, 133), HTCAPTION);
    EXPECT_EQ(HitTest(window, 400, 134), HTCLIENT);
}

TEST_F(FrameHitTest, VisibleSidesAnswerOnlyResizeCodes) {
    // The grip (6) is wider than the side (5): every side pixel sizes the window.
    for (int x = 100; x < 105; ++x) {
        EXPECT_EQ(HitTest(window, x, 300), HTLEFT) << "x " << x;
    }
    for (int x = 775; x < 780; ++x) {
        EXPECT_EQ(HitTest(window, x, 300), HTRIGHT) << "x " << x;
    }
    for (int y = 555; y < 560; ++y) {
        EXPECT_EQ(HitTest(window, 400, y), HTBOTTOM) << "y " << y;
    }
}

TEST_F(FrameHitTest, RecordingAnswersClientEverywhere) {
    isRecording = 1;
    const POINT points[] = {{105, 100}, {106, 100}, {774, 100}, {100, 300}, {779, 559},
                            {400, 105}, {400, 106}, {400, 133}, {400, 134}, {100, 559}};
    for (const POINT& point : points) {
        EXPECT_EQ(HitTest(window, point.x, point.y), HTCLIENT) << point.x << "," << point.y;
    }
}

TEST_F(FrameHitTest, ZonesScaleWithWindowDpi) {
    windowDpi = 120; // grip 8, toolbar strip 43
    EXPECT_EQ(HitTest(window, 107, 100), HTTOPLEFT);
    EXPECT_EQ(HitTest(window, 108, 100), HTTOP);
    EXPECT_EQ(HitTest(window, 772, 300), HTRIGHT);
    EXPECT_EQ(HitTest(window, 400, 107), HTTOP);
    EXPECT_EQ(HitTest(window, 400, 108), HTCAPTION);
    EXPECT_EQ(HitTest(window, 400, 142), HTCAPTION);
    EXPECT_EQ(HitTest(window, 400, 143), HTCLIENT);
}

TEST_F(FrameHitTest, PointsLeftOfThePrimaryMonitorKeepTheirSign) {
    // lParam carries 16-bit words: -296 must not be read as 65240.
    SetWindowPos(window, nullptr, -300, 100, 680, 460, SWP_NOZORDER | SWP_NOACTIVATE);
    ASSERT_EQ(WindowRect(window).left, -300);
    EXPECT_EQ(HitTest(window, -296, 300), HTLEFT);
    EXPECT_EQ(HitTest(window, -200, 120), HTCAPTION);
    EXPECT_EQ(HitTest(window, 376, 300), HTRIGHT);
}

TEST(FrameHitRules, FirstMatchingRowDecidesOnTinyWindow) {
    // A window narrower than two grips: corners win over sides, left over right.
    RECT windowRect = {0, 0, 10, 10};
    EXPECT_EQ(ClassifyFramePoint(&windowRect, 5, 5, 6, 34), HTTOPLEFT);
    EXPECT_EQ(ClassifyFramePoint(&windowRect, 5, 9, 6, 34), HTBOTTOMLEFT);
    EXPECT_EQ(ClassifyFramePoint(&windowRect, 6, 9, 6, 34), HTBOTTOMRIGHT);
    EXPECT_EQ(ClassifyFramePoint(&windowRect, 6, 2, 6, 34), HTTOPRIGHT);
}

// --- The default window ------------------------------------------------------

using DefaultFrameWindow = FrameWindowTest;

TEST_F(DefaultFrameWindow, Is680By460At200With670By421CaptureRect) {
    ASSERT_EQ(GetDpiForWindow(window), 96u);
    ExpectRect(WindowRect(window), 200, 200, 880, 660);
    RECT client = {};
    GetClientRect(window, &client);
    ExpectRect(client, 0, 0, 680, 460);
    ExpectRect(GetCaptureRect(window), 205, 234, 875, 655);
    EXPECT_EQ(mainWindow, window);
}

TEST_F(DefaultFrameWindow, IsVisibleTopmostToolPopupWithoutCaption) {
    LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
    LONG_PTR exStyle = GetWindowLongPtrW(window, GWL_EXSTYLE);
    EXPECT_EQ(style & (WS_POPUP | WS_THICKFRAME), WS_POPUP | WS_THICKFRAME);
    EXPECT_EQ(style & WS_CAPTION, 0);
    EXPECT_EQ(style & WS_SYSMENU, 0);
    EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
    EXPECT_NE(style & WS_VISIBLE, 0);
    EXPECT_EQ(exStyle & (WS_EX_TOPMOST | WS_EX_TOOLWINDOW), WS_EX_TOPMOST | WS_EX_TOOLWINDOW);
    // A tool window without WS_EX_APPWINDOW gets no taskbar button.
    EXPECT_EQ(exStyle & WS_EX_APPWINDOW, 0);
}

TEST_F(DefaultFrameWindow, ClassIsQuorvelFrameWithArrowAndNoBackground) {
    WCHAR className[64] = {};
    GetClassNameW(window, className, 64);
    EXPECT_STREQ(className, L"quorvelFrame");
    WCHAR title[64] = {};
    GetWindowTextW(window, title, 64);
    EXPECT_STREQ(title, L"quorvel");
    EXPECT_EQ(GetClassLongPtrW(window, GCL_STYLE), 0u);
    EXPECT_EQ(GetClassLongPtrW(window, GCLP_HBRBACKGROUND), 0u);
    EXPECT_EQ(reinterpret_cast<HCURSOR>(GetClassLongPtrW(window, GCLP_HCURSOR)),
              LoadCursorW(nullptr, IDC_ARROW));
    EXPECT_EQ(GetParent(window), nullptr);
    EXPECT_EQ(GetMenu(window), nullptr);
}

TEST_F(DefaultFrameWindow, SavedPlacementReplacesTheDefaultSize) {
    DestroyWindow(window);
    int exitCode = 0;
    TakeQuitMessage(&exitCode);
    savedPlacement.length = sizeof(WINDOWPLACEMENT);
    savedPlacement.showCmd = SW_SHOWNORMAL;
    savedPlacement.rcNormalPosition = {150, 120, 950, 720};
    placementValid = 1;
    window = CreateFrameWindow(GetModuleHandleW(nullptr));
    ASSERT_NE(window, nullptr);
    ExpectRect(WindowRect(window), 150, 120, 950, 720);
    EXPECT_TRUE(IsWindowVisible(window));
}

LRESULT CALLBACK RefuseCreation(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        return FALSE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

TEST(FrameWindowStartup, WindowThatCannotBeCreatedGivesNull) {
    // A class of that name whose windows refuse creation: registration of the
    // frame class fails and creation then fails, as when the system refuses.
    HINSTANCE instance = GetModuleHandleW(nullptr);
    UnregisterClassW(L"quorvelFrame", instance);
    WNDCLASSEXW refusing = {};
    refusing.cbSize = sizeof(refusing);
    refusing.lpfnWndProc = RefuseCreation;
    refusing.hInstance = instance;
    refusing.lpszClassName = L"quorvelFrame";
    ASSERT_NE(RegisterClassExW(&refusing), 0);
    ResetUiState();
    EXPECT_EQ(CreateFrameWindow(instance), nullptr);
    EXPECT_EQ(mainWindow, nullptr);
    UnregisterClassW(L"quorvelFrame", instance);
    ResetUiState();
}

// --- Capture size presets -----------------------------------------------------

using CaptureSizePreset = FrameWindowTest;

TEST_F(CaptureSizePreset, At96DpiWindowIs1290By759AndCaptureExactly1280By720) {
    std::string lack = WorkAreaLacks({200, 200, 1490, 959});
    if (!lack.empty())
        GTEST_SKIP() << lack;
    SetCaptureSize(window, 1280, 720);
    ExpectRect(WindowRect(window), 200, 200, 1490, 959);
    RECT capture = GetCaptureRect(window);
    EXPECT_EQ(capture.right - capture.left, 1280);
    EXPECT_EQ(capture.bottom - capture.top, 720);
    EXPECT_EQ(capture.left, 205);
    EXPECT_EQ(capture.top, 234);
}

TEST_F(CaptureSizePreset, At120DpiWindowIs1292By769AndCaptureExactly1280By720) {
    std::string lack = WorkAreaLacks({200, 200, 1492, 969});
    if (!lack.empty())
        GTEST_SKIP() << lack;
    windowDpi = 120;
    SetCaptureSize(window, 1280, 720);
    ExpectRect(WindowRect(window), 200, 200, 1492, 969);
    ExpectRect(GetCaptureRect(window), 206, 243, 1486, 963);
}

TEST_F(CaptureSizePreset, At192Dpi360pStopsAtMinimumTrackingSize) {
    // 640 x 360 would need a 660 x 438 window, below the 720 x 480 minimum.
    windowDpi = 192;
    SendMessageW(window, WM_COMMAND, ID_RES_360P, 0);
    ExpectRect(WindowRect(window), 200, 200, 920, 680);
    RECT capture = GetCaptureRect(window);
    EXPECT_EQ(capture.right - capture.left, 700);
    EXPECT_EQ(capture.bottom - capture.top, 402);
}

// Also run by the test at 144 DPI, where a border left unscaled shows.
TEST_F(CaptureSizePreset, KeepsTheFrameAndItsButtonsOnTheWorkArea) {
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor));
    const RECT work = monitor.rcWork;
    const int border = ScaleForDpi(FRAME_BORDER);
    const int strip = ScaleForDpi(FRAME_TOOLBAR_HEIGHT);
    const SIZE frame720 = {1280 + 2 * border, 720 + strip + border};
    std::string lack =
        WorkAreaLacks({work.left, work.top, work.left + frame720.cx, work.top + frame720.cy});
    if (!lack.empty())
        GTEST_SKIP() << lack;
    SetWindowPos(window, nullptr, work.right - 700, work.bottom - 480, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);

    // 720p fits: the right and bottom edges come back onto the work area.
    SendMessageW(window, WM_COMMAND, ID_RES_720P, 0);
    ExpectRect(WindowRect(window), work.right - frame720.cx, work.bottom - frame720.cy, work.right,
               work.bottom);
    RECT capture = GetCaptureRect(window);
    EXPECT_EQ(capture.right - capture.left, 1280);
    EXPECT_EQ(capture.bottom - capture.top, 720);

    // 1080p does not fit a 1080-pixel screen: the platform caps the size, and the
    // frame, wider only by its side borders, is centred at the work area's top with
    // every button whole on it.
    SetWindowPos(window, nullptr, work.right - 700, work.bottom - 480, 680, 460,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageW(window, WM_COMMAND, ID_RES_1080P, 0);
    RECT frame = WindowRect(window);
    int overhang = (frame.right - frame.left) - (work.right - work.left);
    if (overhang <= 0 || overhang > 2 * border)
        GTEST_SKIP() << "the 1080p frame is " << frame.right - frame.left << " wide on a "
                     << work.right - work.left << "-wide work area: no overhang of 1 to "
                     << 2 * border << " pixels to centre";
    EXPECT_EQ(frame.left, work.left - overhang / 2);
    EXPECT_EQ(frame.right, work.right + overhang - overhang / 2);
    EXPECT_EQ(frame.top, work.top);
    EXPECT_GT(frame.bottom - frame.top, work.bottom - work.top)
        << "the frame fits the work area's height: nothing here overhangs it";
    for (HWND button : {recButton, stopButton, closeButton}) {
        RECT rect = WindowRect(button);
        RECT onWork = {};
        IntersectRect(&onWork, &rect, &work);
        EXPECT_TRUE(EqualRect(&onWork, &rect)) << "button " << GetDlgCtrlID(button);
    }
    // The capture area is what the platform allowed, not what was asked for.
    capture = GetCaptureRect(window);
    EXPECT_EQ(capture.right - capture.left, frame.right - frame.left - 2 * border);
    EXPECT_EQ(capture.bottom - capture.top, frame.bottom - frame.top - strip - border);
}

TEST(PresetPlacement, CentresOnlyAFrameWiderThanTheWorkAreaByItsSideBordersAtMost) {
    const RECT work = {0, 0, 1920, 1040};
    ExpectRect(MovePresetOntoWorkArea({300, 200, 2234, 1292}, &work, 7), -7, 0, 1927, 1092);
    ExpectRect(MovePresetOntoWorkArea({300, 200, 2235, 400}, &work, 7), 0, 200, 1935, 400);
}

TEST_F(CaptureSizePreset, WhileRecordingNothingChanges) {
    isRecording = 1;
    SetCaptureSize(window, 1280, 720);
    SendMessageW(window, WM_COMMAND, ID_RES_360P, 0);
    ExpectRect(WindowRect(window), 200, 200, 880, 660);
}

TEST_F(CaptureSizePreset, ResizeRelaysButtonsAndRecutsTheHole) {
    std::string lack = WorkAreaLacks({200, 200, 1490, 959});
    if (!lack.empty())
        GTEST_SKIP() << lack;
    SendMessageW(window, WM_COMMAND, ID_RES_720P, 0);
    ExpectRect(ChildRect(closeButton, window), 1260, 5, 1284, 29);
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(GetWindowRgn(window, region), ERROR);
    RECT box = {};
    GetRgnBox(region, &box);
    ExpectRect(box, 0, 0, 1290, 759);
    EXPECT_TRUE(PtInRegion(region, 1286, 500));  // the new right side
    EXPECT_FALSE(PtInRegion(region, 1000, 500)); // inside the new hole
    DeleteObject(region);
}

// --- Minimum tracking size ----------------------------------------------------

using MinimumTrackingSize = FrameWindowTest;

TEST_F(MinimumTrackingSize, GetMinMaxInfoSetsOnlyMinTrackSize) {
    MINMAXINFO info;
    memset(&info, 0x5A, sizeof(info));
    MINMAXINFO before = info;
    EXPECT_EQ(SendMessageW(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info)), 0);
    EXPECT_EQ(info.ptMinTrackSize.x, 360);
    EXPECT_EQ(info.ptMinTrackSize.y, 240);
    EXPECT_EQ(info.ptMaxTrackSize.x, before.ptMaxTrackSize.x);
    EXPECT_EQ(info.ptMaxSize.y, before.ptMaxSize.y);
    EXPECT_EQ(info.ptMaxPosition.x, before.ptMaxPosition.x);

    windowDpi = 144;
    SendMessageW(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.ptMinTrackSize.x, 540);
    EXPECT_EQ(info.ptMinTrackSize.y, 360);
}

TEST_F(MinimumTrackingSize, SetWindowPosCannotShrinkBelowIt) {
    SetWindowPos(window, nullptr, 0, 0, 100, 50, SWP_NOMOVE | SWP_NOZORDER);
    ExpectRect(WindowRect(window), 200, 200, 560, 440);
}

// --- Toolbar buttons ----------------------------------------------------------

using ToolbarButtons = FrameWindowTest;

TEST_F(ToolbarButtons, SitInTheStripAt96Dpi) {
    ExpectRect(ChildRect(recButton, window), 6, 5, 82, 29);
    ExpectRect(ChildRect(stopButton, window), 86, 5, 162, 29);
    ExpectRect(ChildRect(closeButton, window), 650, 5, 674, 29);
}

TEST_F(ToolbarButtons, ScaleEachMetricOnItsOwnAt120Dpi) {
    std::string lack = WorkAreaLacks({200, 200, 1492, 969});
    if (!lack.empty())
        GTEST_SKIP() << lack;
    windowDpi = 120;
    SetCaptureSize(window, 1280, 720); // window 1292 wide
    ExpectRect(ChildRect(recButton, window), 8, 6, 103, 36);
    ExpectRect(ChildRect(stopButton, window), 108, 6, 203, 36);
    ExpectRect(ChildRect(closeButton, window), 1254, 6, 1284, 36);
}

TEST_F(ToolbarButtons, StopXIsASumOfScaledMetrics) {
    // At 100 DPI 76, 4 and 6 scale to 79, 4 and 6: STOP at 89, where scaling 86 gives 90.
    windowDpi = 100;
    SendMessageW(window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(680, 460));
    EXPECT_EQ(ChildRect(stopButton, window).left, 89);
}

TEST_F(ToolbarButtons, CarryTextsIdsAndStyles) {
    struct Expected {
        HWND button;
        const WCHAR* text;
        int id;
        BOOL enabled;
    };
    const Expected buttons[] = {{recButton, L"\u25CF REC", 101, TRUE},
                                {stopButton, L"\u25A0 STOP", 102, FALSE},
                                {closeButton, L"\u2715", 103, TRUE}};
    for (const Expected& expected : buttons) {
        ASSERT_NE(expected.button, nullptr);
        WCHAR text[32] = {};
        GetWindowTextW(expected.button, text, 32);
        EXPECT_STREQ(text, expected.text);
        EXPECT_EQ(GetDlgCtrlID(expected.button), expected.id);
        EXPECT_EQ(GetDlgItem(window, expected.id), expected.button);
        EXPECT_EQ(IsWindowEnabled(expected.button), expected.enabled) << expected.id;
        WCHAR className[32] = {};
        GetClassNameW(expected.button, className, 32);
        EXPECT_EQ(_wcsicmp(className, L"BUTTON"), 0);
        LONG_PTR style = GetWindowLongPtrW(expected.button, GWL_STYLE);
        // A plain push button: no BS_ bits, no WS_TABSTOP.
        EXPECT_EQ(style & 0xFFFF, BS_PUSHBUTTON);
        EXPECT_EQ(style & WS_TABSTOP, 0);
        EXPECT_NE(style & WS_VISIBLE, 0);
        EXPECT_EQ(GetWindowLongPtrW(expected.button, GWL_EXSTYLE) & ~WS_EX_NOPARENTNOTIFY, 0);
        EXPECT_TRUE(DrawsItsText(expected.button));
    }
}

// --- Window region ------------------------------------------------------------

using FrameRegion = FrameWindowTest;

TEST_F(FrameRegion, ExcludesTheHoleAndIncludesEveryFramePixel) {
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    ASSERT_EQ(GetWindowRgn(window, region), COMPLEXREGION);
    HRGN expected = CreateRectRgn(0, 0, 680, 460);
    HRGN hole = CreateRectRgn(5, 34, 675, 455);
    CombineRgn(expected, expected, hole, RGN_DIFF);
    EXPECT_TRUE(EqualRgn(region, expected));
    DeleteObject(hole);
    DeleteObject(expected);

    // Outline pixels and the last pixel of each side are in; the hole's edge pixels out.
    EXPECT_TRUE(PtInRegion(region, 0, 0));
    EXPECT_TRUE(PtInRegion(region, 1, 1));
    EXPECT_TRUE(PtInRegion(region, 679, 459));
    EXPECT_TRUE(PtInRegion(region, 678, 458));
    EXPECT_TRUE(PtInRegion(region, 4, 200));
    EXPECT_FALSE(PtInRegion(region, 5, 200));
    EXPECT_FALSE(PtInRegion(region, 674, 200));
    EXPECT_TRUE(PtInRegion(region, 675, 200));
    EXPECT_TRUE(PtInRegion(region, 300, 33));
    EXPECT_FALSE(PtInRegion(region, 300, 34));
    EXPECT_FALSE(PtInRegion(region, 300, 454));
    EXPECT_TRUE(PtInRegion(region, 300, 455));
    DeleteObject(region);
}

TEST_F(FrameRegion, HoleIsExactlyTheCaptureRect) {
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(GetWindowRgn(window, region), ERROR);
    RECT capture = GetCaptureRect(window);
    RECT windowRect = WindowRect(window);
    // Every window pixel: in the region exactly when it is not in the capture rect.
    int wrong = 0;
    for (int y = windowRect.top; y < windowRect.bottom; ++y) {
        for (int x = windowRect.left; x < windowRect.right; ++x) {
            POINT screen = {x, y};
            bool captured = PtInRect(&capture, screen) != FALSE;
            bool framed = PtInRegion(region, x - windowRect.left, y - windowRect.top) != FALSE;
            if (captured == framed) {
                ++wrong;
            }
        }
    }
    EXPECT_EQ(wrong, 0);
    DeleteObject(region);
}

TEST_F(FrameRegion, FollowsTheDpiOfTheWindow) {
    windowDpi = 192; // border 10, toolbar strip 68
    UpdateFrameRegion(window);
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(GetWindowRgn(window, region), ERROR);
    EXPECT_TRUE(PtInRegion(region, 9, 200));
    EXPECT_FALSE(PtInRegion(region, 10, 200));
    EXPECT_TRUE(PtInRegion(region, 300, 67));
    EXPECT_FALSE(PtInRegion(region, 300, 68));
    EXPECT_TRUE(PtInRegion(region, 300, 450));
    EXPECT_FALSE(PtInRegion(region, 300, 449));
    DeleteObject(region);
}
