#include <gtest/gtest.h>
#include <cstring>
#include <vector>
#include "common/command_ids.h"
#include "frame_fixture.h"
#include "options_menu_recorder.h"
#include "requested_dpi.h"
#include "ui/frame_geometry.h"
#include "ui/frame_window.h"

namespace {

// The colours the frame must show, written out rather than taken from the code.
constexpr COLORREF IDLE_GREY = RGB(70, 70, 74);
constexpr COLORREF RECORDING_RED = RGB(220, 40, 40);
constexpr COLORREF TOOLBAR_DARK = RGB(32, 32, 36);

struct BorderAttribute {
    HWND window;
    DWORD attribute;
    DWORD value;
    DWORD size;
};

std::vector<BorderAttribute> borderAttributes;

HRESULT WINAPI RecordBorderAttribute(HWND window, DWORD attribute, LPCVOID value, DWORD size) {
    DWORD firstWord = 0;
    if (value && size >= sizeof(firstWord)) {
        memcpy(&firstWord, value, sizeof(firstWord));
    }
    borderAttributes.push_back({window, attribute, firstWord, size});
    return realUserApi.DwmSetWindowAttribute(window, attribute, value, size);
}

RECT WindowRect(HWND window) {
    RECT rect = {};
    GetWindowRect(window, &rect);
    return rect;
}

bool HasUpdateRegion(HWND window) {
    return GetUpdateRect(window, nullptr, FALSE) != FALSE;
}

LONG FontHeight(HGDIOBJ font) {
    return FontDescription(font).lfHeight;
}

// Live GDI objects of this process. GetGuiResources answers 0 under Wine, where
// every live object answers GetObjectType on the low 16 bits of its handle.
int CountGdiObjects() {
    DWORD fromSystem = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (fromSystem != 0) {
        return static_cast<int>(fromSystem);
    }
    int counted = 0;
    for (UINT_PTR value = 1; value <= 0xFFFF; ++value) {
        if (GetObjectType(reinterpret_cast<HGDIOBJ>(value)) != 0) {
            ++counted;
        }
    }
    return counted;
}

// The frame has no non-client area, where default non-client painting would
// show. This procedure in front of the frame's gives it a border of
// NON_CLIENT_BORDER pixels and hands every other message to the frame's, so
// that anything the frame's handlers let draw there can be seen.
constexpr int NON_CLIENT_BORDER = 8;
constexpr COLORREF MARKER = RGB(255, 0, 255);

LRESULT CALLBACK WithNonClientBorder(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCALCSIZE && wParam) {
        RECT* proposed = &reinterpret_cast<NCCALCSIZE_PARAMS*>(lParam)->rgrc[0];
        InflateRect(proposed, -NON_CLIENT_BORDER, -NON_CLIENT_BORDER);
        return 0;
    }
    return CallWindowProcW(FrameWndProc, window, message, wParam, lParam);
}

// Gives the frame a non-client border and fills its top band with MARKER;
// false if the marker did not reach the screen.
bool MarkNonClientBorder(HWND window) {
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WithNonClientBorder));
    SetWindowPos(window, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    PumpMessages(50);
    RECT windowRect = {};
    GetWindowRect(window, &windowRect);
    RECT band = {0, 0, windowRect.right - windowRect.left, NON_CLIENT_BORDER};
    HDC dc = GetWindowDC(window);
    HBRUSH marker = CreateSolidBrush(MARKER);
    FillRect(dc, &band, marker);
    DeleteObject(marker);
    ReleaseDC(window, dc);
    return WaitForScreenColour(windowRect.left + 300, windowRect.top + 4, MARKER, 2000) == MARKER;
}

// Whether the top band still shows the marker across its width, once what was
// drawn has had time to reach the screen.
bool NonClientBorderStillMarked(HWND window) {
    PumpMessages(300);
    RECT windowRect = {};
    GetWindowRect(window, &windowRect);
    HDC screen = GetDC(nullptr);
    bool marked = true;
    for (int x = windowRect.left + 20; x < windowRect.right - 20 && marked; x += 40) {
        for (int y = windowRect.top; y < windowRect.top + NON_CLIENT_BORDER && marked; ++y) {
            marked = GetPixel(screen, x, y) == MARKER;
        }
    }
    ReleaseDC(nullptr, screen);
    return marked;
}

LPARAM Point(int x, int y) {
    return MAKELPARAM(x, y);
}

// A right-click as the mouse makes it: through the hit test and the default
// handling of the press, not as a message sent straight to the window.
void RightClickAt(int x, int y) {
    SetCursorPos(x, y);
    PumpMessages(50);
    INPUT clicks[2] = {};
    clicks[0].type = INPUT_MOUSE;
    clicks[0].mi.dwFlags = MOUSEEVENTF_RIGHTDOWN;
    clicks[1].type = INPUT_MOUSE;
    clicks[1].mi.dwFlags = MOUSEEVENTF_RIGHTUP;
    // Press and release queued together, so that a handler that tracks the
    // press cannot wait for a release that is never sent.
    SendInput(2, clicks, sizeof(INPUT));
    PumpMessages(200);
}

// 32-bit pixels of a screen area, or of text drawn on the toolbar colour.
std::vector<DWORD> ReadPixels(HDC source, int x, int y, int width, int height) {
    HDC memory = CreateCompatibleDC(source);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, source, x, y, SRCCOPY);
    GdiFlush();
    const DWORD* first = static_cast<const DWORD*>(bits);
    std::vector<DWORD> pixels(first, first + width * height);
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    return pixels;
}

std::vector<DWORD> RenderStatusText(const WCHAR* text, int width, int height) {
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ previousBitmap = SelectObject(memory, bitmap);
    RECT area = {0, 0, width, height};
    HBRUSH toolbar = CreateSolidBrush(TOOLBAR_DARK);
    FillRect(memory, &area, toolbar);
    DeleteObject(toolbar);
    SetBkMode(memory, TRANSPARENT);
    SetTextColor(memory, RGB(220, 220, 220));
    HGDIOBJ previousFont = SelectObject(memory, uiFont);
    DrawTextW(memory, text, -1, &area, DT_SINGLELINE | DT_VCENTER);
    SelectObject(memory, previousFont);
    std::vector<DWORD> pixels = ReadPixels(memory, 0, 0, width, height);
    SelectObject(memory, previousBitmap);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// Whether the status text rectangle of the default window at (200, 200) shows
// exactly this text (rows 0 and 1 carry the outlines and are left out).
bool StatusTextShows(const WCHAR* text) {
    const int left = 200 + 174;
    const int width = 680 - 174 - 40;
    const int top = 200 + 2;
    const int height = 34 - 2;
    std::vector<DWORD> expected = RenderStatusText(text, width, 34);
    expected.erase(expected.begin(), expected.begin() + 2 * width);
    DWORD start = GetTickCount();
    do {
        PumpMessages(20);
        HDC screen = GetDC(nullptr);
        std::vector<DWORD> seen = ReadPixels(screen, left, top, width, height);
        ReleaseDC(nullptr, screen);
        if (seen == expected) {
            return true;
        }
    } while (GetTickCount() - start < 2000);
    return false;
}

} // namespace

// --- Creation and destruction -------------------------------------------------

using FrameLifetime = FrameWindowTest;

// Also run by the test at 144 DPI, where a font left unscaled shows.
TEST_F(FrameLifetime, CreationTakesWindowDpiAndMakesSystemFontForButtons) {
    DestroyWindow(window);
    int exitCode = 0;
    TakeQuitMessage(&exitCode);
    // Left over from elsewhere; creation must read the window's own.
    windowDpi = GetDpiForSystem() == 120 ? 144 : 120;
    uiFont = nullptr;
    symbolFont = nullptr;
    borderAttributes.clear();
    userApi.DwmSetWindowAttribute = RecordBorderAttribute;
    window = CreateFrameWindow(GetModuleHandleW(nullptr));
    ASSERT_NE(window, nullptr);
    // No system border around the frame (Windows 11 draws one otherwise).
    ASSERT_EQ(1u, borderAttributes.size());
    EXPECT_EQ(window, borderAttributes[0].window);
    EXPECT_EQ(34u, borderAttributes[0].attribute) << "DWMWA_BORDER_COLOR";
    EXPECT_EQ(0xFFFFFFFEu, borderAttributes[0].value) << "DWMWA_COLOR_NONE";
    EXPECT_EQ(4u, borderAttributes[0].size);
    int dpi = static_cast<int>(GetDpiForWindow(window));
    if (RequestedDpi() != 0) {
        ASSERT_EQ(dpi, static_cast<int>(RequestedDpi())) << "not the DPI this run asks for";
    }
    EXPECT_EQ(windowDpi, dpi);
    ASSERT_NE(uiFont, nullptr);
    LOGFONTW stock = FontDescription(GetStockObject(SYSTEM_FONT));
    LOGFONTW made = FontDescription(uiFont);
    EXPECT_EQ(made.lfHeight, MulDiv(stock.lfHeight, dpi, 96));
    EXPECT_EQ(made.lfWidth, MulDiv(stock.lfWidth, dpi, 96));
    EXPECT_STREQ(made.lfFaceName, stock.lfFaceName);
    EXPECT_EQ(made.lfWeight, stock.lfWeight);
    EXPECT_EQ(made.lfCharSet, stock.lfCharSet);
    EXPECT_TRUE(DrawsItsText(recButton));
    EXPECT_TRUE(DrawsItsText(stopButton));
    EXPECT_TRUE(DrawsItsText(closeButton));
}

TEST_F(FrameLifetime, DestroyDeletesFontAndPostsQuitWithZero) {
    HFONT font = uiFont;
    HFONT symbols = symbolFont;
    ASSERT_EQ(GetObjectType(font), static_cast<DWORD>(OBJ_FONT));
    DestroyWindow(window);
    EXPECT_EQ(uiFont, nullptr);
    EXPECT_EQ(GetObjectType(font), 0u);
    EXPECT_EQ(symbolFont, nullptr);
    EXPECT_TRUE(!symbols || GetObjectType(symbols) == 0) << "symbol font leaked";
    int exitCode = -1;
    ASSERT_TRUE(TakeQuitMessage(&exitCode));
    EXPECT_EQ(exitCode, 0);
}

TEST_F(FrameLifetime, DestroyWithoutFontStillPostsQuit) {
    DeleteObject(uiFont);
    uiFont = nullptr;
    DestroyWindow(window);
    EXPECT_EQ(uiFont, nullptr);
    int exitCode = -1;
    ASSERT_TRUE(TakeQuitMessage(&exitCode));
    EXPECT_EQ(exitCode, 0);
}

TEST_F(FrameLifetime, RepaintsPresetsAndDpiChangesLeaveAsManyGdiObjects) {
    UpdateWindow(window);
    PumpMessages(50);
    int before = CountGdiObjects();
    ASSERT_GT(before, 0);

    for (int pass = 0; pass < 500; ++pass) {
        InvalidateRect(window, nullptr, TRUE);
        UpdateWindow(window);
    }
    // The size changes run the same handlers on a window marked hidden, without
    // the 30-40 ms that Wine spends on the X side of each visible resize.
    SetWindowLongPtrW(window, GWL_STYLE,
                      GetWindowLongPtrW(window, GWL_STYLE) & ~LONG_PTR{WS_VISIBLE});
    const unsigned presets[] = {ID_RES_360P, ID_RES_720P, ID_RES_1080P};
    for (int pass = 0; pass < 500; ++pass) {
        SendMessageW(window, WM_COMMAND, presets[pass % 3], 0);
    }
    for (int pass = 0; pass < 500; ++pass) {
        int dpi = pass % 2 ? 96 : 144;
        RECT suggested = {200, 200, 200 + MulDiv(680, dpi, 96), 200 + MulDiv(460, dpi, 96)};
        SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                     reinterpret_cast<LPARAM>(&suggested));
    }
    PumpMessages(50);
    EXPECT_EQ(CountGdiObjects(), before);
}

TEST_F(FrameLifetime, CloseCommandTakesTheClosePathAndEndsTheLoop) {
    // No LOCALAPPDATA: the close path writes no settings file from a test.
    WCHAR localAppData[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", localAppData, MAX_PATH);
    SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr);
    EXPECT_EQ(SendMessageW(window, WM_COMMAND, ID_CLOSE, reinterpret_cast<LPARAM>(closeButton)), 0);
    SetEnvironmentVariableW(L"LOCALAPPDATA", length ? localAppData : nullptr);
    EXPECT_FALSE(IsWindow(window));
    int exitCode = -1;
    ASSERT_TRUE(TakeQuitMessage(&exitCode));
    EXPECT_EQ(exitCode, 0);
}

// --- Non-client messages ------------------------------------------------------

using FrameNonClient = FrameWindowTest;

TEST_F(FrameNonClient, CalcSizeWithWParamKeepsTheProposedRectAsClient) {
    NCCALCSIZE_PARAMS params = {};
    params.rgrc[0] = {10, 20, 300, 400};
    params.rgrc[1] = {10, 20, 300, 400};
    params.rgrc[2] = {0, 0, 290, 380};
    WINDOWPOS position = {};
    params.lppos = &position;
    EXPECT_EQ(SendMessageW(window, WM_NCCALCSIZE, TRUE, reinterpret_cast<LPARAM>(&params)), 0);
    EXPECT_EQ(params.rgrc[0].left, 10);
    EXPECT_EQ(params.rgrc[0].top, 20);
    EXPECT_EQ(params.rgrc[0].right, 300);
    EXPECT_EQ(params.rgrc[0].bottom, 400);

    // So the client area covers the whole window.
    RECT client = {};
    GetClientRect(window, &client);
    RECT windowRect = WindowRect(window);
    EXPECT_EQ(client.right, windowRect.right - windowRect.left);
    EXPECT_EQ(client.bottom, windowRect.bottom - windowRect.top);
}

TEST_F(FrameNonClient, CalcSizeWithoutWParamIsTheDefault) {
    RECT proposed = {10, 20, 300, 400};
    RECT byDefault = proposed;
    LRESULT defaultResult =
        DefWindowProcW(window, WM_NCCALCSIZE, FALSE, reinterpret_cast<LPARAM>(&byDefault));
    // The default takes the thick frame off; the frame's own answer would leave it.
    ASSERT_GT(byDefault.left, proposed.left);
    EXPECT_EQ(SendMessageW(window, WM_NCCALCSIZE, FALSE, reinterpret_cast<LPARAM>(&proposed)),
              defaultResult);
    EXPECT_EQ(proposed.left, byDefault.left);
    EXPECT_EQ(proposed.top, byDefault.top);
    EXPECT_EQ(proposed.right, byDefault.right);
    EXPECT_EQ(proposed.bottom, byDefault.bottom);
}

TEST_F(FrameNonClient, ActivationChangeIsAllowedAndLeavesOutlineAlone) {
    ASSERT_TRUE(MarkNonClientBorder(window));
    EXPECT_NE(SendMessageW(window, WM_NCACTIVATE, FALSE, 0), 0);
    EXPECT_TRUE(NonClientBorderStillMarked(window)) << "deactivation painted a frame";
    EXPECT_NE(SendMessageW(window, WM_NCACTIVATE, TRUE, 0), 0);
    EXPECT_TRUE(NonClientBorderStillMarked(window)) << "activation painted a frame";
}

TEST_F(FrameNonClient, NcPaintDrawsNothingAndReturnsZero) {
    ASSERT_TRUE(MarkNonClientBorder(window));
    EXPECT_EQ(SendMessageW(window, WM_NCPAINT, 1, 0), 0);
    EXPECT_TRUE(NonClientBorderStillMarked(window));
}

// --- The three roads to the options menu ---------------------------------------

class FrameMenuRoads : public FrameWindowTest {
  protected:
    void SetUp() override {
        FrameWindowTest::SetUp();
        RecordOptionsMenu();
    }
};

TEST_F(FrameMenuRoads, KeyboardContextMenuOpensBelowTheToolbarStrip) {
    EXPECT_EQ(SendMessageW(window, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window), -1), 0);
    ASSERT_EQ(menuRecord.trackCalls, 1);
    EXPECT_EQ(menuRecord.x, 224);
    EXPECT_EQ(menuRecord.y, 234);
    EXPECT_EQ(menuRecord.owner, window);
}

TEST_F(FrameMenuRoads, KeyboardContextMenuOffsetsScaleWithDpi) {
    windowDpi = 120;
    SendMessageW(window, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window), -1);
    ASSERT_EQ(menuRecord.trackCalls, 1);
    EXPECT_EQ(menuRecord.x, 230);
    EXPECT_EQ(menuRecord.y, 243);
}

TEST_F(FrameMenuRoads, ContextMenuWithMouseCoordinatesIsIgnored) {
    // A right-click on a button reaches the frame this way.
    EXPECT_EQ(
        SendMessageW(window, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(recButton), Point(230, 215)),
        0);
    EXPECT_EQ(
        SendMessageW(window, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window), Point(0xFFFF, 215)),
        0);
    EXPECT_EQ(
        SendMessageW(window, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window), Point(230, 0xFFFF)),
        0);
    EXPECT_EQ(menuRecord.trackCalls, 0);
}

TEST_F(FrameMenuRoads, RightClickInCaptionZoneOpensAtTheMousePoint) {
    EXPECT_EQ(SendMessageW(window, WM_NCRBUTTONUP, HTCAPTION, Point(400, 220)), 0);
    ASSERT_EQ(menuRecord.trackCalls, 1);
    EXPECT_EQ(menuRecord.x, 400);
    EXPECT_EQ(menuRecord.y, 220);
}

TEST_F(FrameMenuRoads, CaptionPointLeftOfThePrimaryMonitorKeepsItsSign) {
    SendMessageW(window, WM_NCRBUTTONUP, HTCAPTION, Point(-40, -12));
    ASSERT_EQ(menuRecord.trackCalls, 1);
    EXPECT_EQ(menuRecord.x, -40);
    EXPECT_EQ(menuRecord.y, -12);
}

TEST_F(FrameMenuRoads, RightClickOnSideOrCornerOpensNothing) {
    SendMessageW(window, WM_NCRBUTTONUP, HTLEFT, Point(201, 400));
    SendMessageW(window, WM_NCRBUTTONUP, HTBOTTOMRIGHT, Point(879, 659));
    SendMessageW(window, WM_NCRBUTTONUP, HTTOP, Point(400, 201));
    PumpMessages(50);
    EXPECT_EQ(menuRecord.trackCalls, 0);
}

TEST_F(FrameMenuRoads, MouseRightClickInCaptionZoneOpensTheMenuThere) {
    RightClickAt(600, 215);
    ASSERT_EQ(menuRecord.trackCalls, 1);
    EXPECT_EQ(menuRecord.x, 600);
    EXPECT_EQ(menuRecord.y, 215);
}

TEST_F(FrameMenuRoads, MouseRightClickOnButtonOrSideOpensNothing) {
    RightClickAt(240, 217); // REC
    RightClickAt(202, 400); // left side
    RightClickAt(879, 659); // bottom-right corner
    EXPECT_EQ(menuRecord.trackCalls, 0);
}

TEST_F(FrameMenuRoads, MouseRightClickInToolbarWhileRecordingOpensTheMenu) {
    isRecording = 1;
    RightClickAt(600, 215);
    ASSERT_EQ(menuRecord.trackCalls, 1);
    EXPECT_EQ(menuRecord.x, 600);
    EXPECT_EQ(menuRecord.y, 215);
    RightClickAt(202, 400); // a side while recording
    EXPECT_EQ(menuRecord.trackCalls, 1);
}

TEST_F(FrameMenuRoads, RecordingRightClickInToolbarOpensAtTheScreenPoint) {
    isRecording = 1;
    EXPECT_EQ(SendMessageW(window, WM_RBUTTONUP, 0, Point(300, 33)), 0);
    ASSERT_EQ(menuRecord.trackCalls, 1);
    EXPECT_EQ(menuRecord.x, 500);
    EXPECT_EQ(menuRecord.y, 233);
}

TEST_F(FrameMenuRoads, RecordingRightClickOnFrameSideOpensNothing) {
    isRecording = 1;
    EXPECT_EQ(SendMessageW(window, WM_RBUTTONUP, 0, Point(2, 34)), 0);
    EXPECT_EQ(SendMessageW(window, WM_RBUTTONUP, 0, Point(300, 457)), 0);
    PumpMessages(50);
    EXPECT_EQ(menuRecord.trackCalls, 0);
}

TEST_F(FrameMenuRoads, ChoiceFromTheMenuReachesTheCommands) {
    menuRecord.chooseId = ID_FPS_60;
    SendMessageW(window, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window), -1);
    PumpMessages(50);
    EXPECT_EQ(currentFps, 60);
}

// --- Commands -----------------------------------------------------------------

using FrameCommands = FrameWindowTest;

TEST_F(FrameCommands, RateCommandsSetTheRateAndRepaint) {
    const struct {
        unsigned id;
        int fps;
    } rates[] = {{ID_FPS_120, 120}, {ID_FPS_60, 60}, {ID_FPS_10, 10}, {ID_FPS_30, 30}};
    for (const auto& rate : rates) {
        ValidateRect(window, nullptr);
        EXPECT_EQ(SendMessageW(window, WM_COMMAND, rate.id, 0), 0);
        EXPECT_EQ(currentFps, rate.fps);
        EXPECT_TRUE(HasUpdateRegion(window)) << rate.id;
    }
}

TEST_F(FrameCommands, NotificationCodeInTheHighWordIsNotLookedAt) {
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(ID_FPS_10, BN_CLICKED),
                 reinterpret_cast<LPARAM>(recButton));
    EXPECT_EQ(currentFps, 10);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(ID_FPS_120, 1), 0);
    EXPECT_EQ(currentFps, 120);
}

TEST_F(FrameCommands, PointerCommandTogglesWithoutRepaint) {
    ValidateRect(window, nullptr);
    SendMessageW(window, WM_COMMAND, ID_RECORD_MOUSE, 0);
    EXPECT_EQ(recordMouse, 1);
    EXPECT_FALSE(HasUpdateRegion(window));
    SendMessageW(window, WM_COMMAND, ID_RECORD_MOUSE, 0);
    EXPECT_EQ(recordMouse, 0);
}

TEST_F(FrameCommands, SizeCommandsApplyTheirPresets) {
    std::string lack = WorkAreaLacks({200, 200, 1490, 959});
    if (!lack.empty())
        GTEST_SKIP() << lack;
    SendMessageW(window, WM_COMMAND, ID_RES_720P, 0);
    RECT capture = GetCaptureRect(window);
    EXPECT_EQ(capture.right - capture.left, 1280);
    EXPECT_EQ(capture.bottom - capture.top, 720);
    SendMessageW(window, WM_COMMAND, ID_RES_360P, 0);
    capture = GetCaptureRect(window);
    EXPECT_EQ(capture.right - capture.left, 640);
    EXPECT_EQ(capture.bottom - capture.top, 360);
    RECT windowRect = WindowRect(window);
    EXPECT_EQ(windowRect.left, 200);
    EXPECT_EQ(windowRect.top, 200);
}

TEST_F(FrameCommands, RateAndPointerCommandsApplyWhileRecording) {
    // The menu greys them; a running recording keeps its own copy of the values.
    isRecording = 1;
    SendMessageW(window, WM_COMMAND, ID_FPS_120, 0);
    SendMessageW(window, WM_COMMAND, ID_RECORD_MOUSE, 0);
    EXPECT_EQ(currentFps, 120);
    EXPECT_EQ(recordMouse, 1);
}

TEST_F(FrameCommands, StrayIdsChangeNothing) {
    const unsigned strays[] = {0, 100, 104, 200, 205, 210, 214, 220, 222, 999, 0xFFFF};
    RECT before = WindowRect(window);
    for (unsigned id : strays) {
        ValidateRect(window, nullptr);
        EXPECT_EQ(SendMessageW(window, WM_COMMAND, id, 0), 0);
        EXPECT_FALSE(HasUpdateRegion(window)) << id;
    }
    PumpMessages(50);
    RECT after = WindowRect(window);
    EXPECT_TRUE(EqualRect(&before, &after));
    EXPECT_EQ(currentFps, 30);
    EXPECT_EQ(recordMouse, 0);
    EXPECT_EQ(isRecording, 0);
    EXPECT_TRUE(IsWindow(window));
}

// --- DPI change ---------------------------------------------------------------

using FrameDpiChange = FrameWindowTest;

TEST_F(FrameDpiChange, RecreatesFontForButtonsAndTakesSuggestedRect) {
    HFONT oldFont = uiFont;
    HFONT oldSymbols = symbolFont;
    RECT suggested = {300, 250, 1320, 940};
    // The low word is not used: the new DPI is the high word.
    EXPECT_EQ(SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(96, 144),
                           reinterpret_cast<LPARAM>(&suggested)),
              0);
    EXPECT_EQ(windowDpi, 144);
    ASSERT_NE(uiFont, nullptr);
    EXPECT_EQ(FontHeight(uiFont), MulDiv(FontHeight(GetStockObject(SYSTEM_FONT)), 144, 96));
    EXPECT_TRUE(uiFont == oldFont || GetObjectType(oldFont) == 0) << "old font leaked";
    EXPECT_TRUE(!oldSymbols || symbolFont == oldSymbols || GetObjectType(oldSymbols) == 0)
        << "old symbol font leaked";
    EXPECT_TRUE(DrawsItsText(recButton));
    EXPECT_TRUE(DrawsItsText(stopButton));
    EXPECT_TRUE(DrawsItsText(closeButton));

    RECT windowRect = WindowRect(window);
    EXPECT_TRUE(EqualRect(&windowRect, &suggested));
    // The resize lays out and recuts at the new DPI: border 8, strip 51.
    RECT capture = GetCaptureRect(window);
    EXPECT_EQ(capture.left, 308);
    EXPECT_EQ(capture.top, 301);
    EXPECT_EQ(capture.right, 1312);
    EXPECT_EQ(capture.bottom, 932);
    RECT rec = WindowRect(recButton);
    EXPECT_EQ(rec.left - windowRect.left, 9);
    EXPECT_EQ(rec.right - rec.left, 114);
    EXPECT_EQ(rec.bottom - rec.top, 36);
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    GetWindowRgn(window, region);
    EXPECT_TRUE(PtInRegion(region, 7, 300));
    EXPECT_FALSE(PtInRegion(region, 8, 300));
    DeleteObject(region);
}

// --- Painting -----------------------------------------------------------------

using FramePainting = FrameWindowTest;

TEST_F(FramePainting, IdleFrameIsGreyInsideBlackAndWhiteOutline) {
    EXPECT_EQ(WaitForScreenColour(203, 400, IDLE_GREY, 3000), IDLE_GREY);
    EXPECT_EQ(WaitForScreenColour(876, 400, IDLE_GREY, 500), IDLE_GREY);
    EXPECT_EQ(WaitForScreenColour(500, 656, IDLE_GREY, 500), IDLE_GREY);
    EXPECT_EQ(WaitForScreenColour(200, 400, RGB(0, 0, 0), 500), RGB(0, 0, 0));
    EXPECT_EQ(WaitForScreenColour(201, 400, RGB(255, 255, 255), 500), RGB(255, 255, 255));
    EXPECT_EQ(WaitForScreenColour(879, 400, RGB(0, 0, 0), 500), RGB(0, 0, 0));
    EXPECT_EQ(WaitForScreenColour(878, 400, RGB(255, 255, 255), 500), RGB(255, 255, 255));
    EXPECT_EQ(WaitForScreenColour(500, 200, RGB(0, 0, 0), 500), RGB(0, 0, 0));
    EXPECT_EQ(WaitForScreenColour(500, 201, RGB(255, 255, 255), 500), RGB(255, 255, 255));
    EXPECT_EQ(WaitForScreenColour(500, 659, RGB(0, 0, 0), 500), RGB(0, 0, 0));
    // The toolbar strip between STOP and the status text, and below the buttons.
    EXPECT_EQ(WaitForScreenColour(368, 220, TOOLBAR_DARK, 500), TOOLBAR_DARK);
    EXPECT_EQ(WaitForScreenColour(700, 232, TOOLBAR_DARK, 500), TOOLBAR_DARK);
}

TEST_F(FramePainting, RecordingPaintsTheSidesRed) {
    isRecording = 1;
    InvalidateRect(window, nullptr, TRUE);
    EXPECT_EQ(WaitForScreenColour(203, 400, RECORDING_RED, 3000), RECORDING_RED);
    EXPECT_EQ(WaitForScreenColour(500, 656, RECORDING_RED, 500), RECORDING_RED);
    EXPECT_EQ(WaitForScreenColour(368, 220, TOOLBAR_DARK, 500), TOOLBAR_DARK);
    EXPECT_EQ(WaitForScreenColour(200, 400, RGB(0, 0, 0), 500), RGB(0, 0, 0));
    EXPECT_EQ(WaitForScreenColour(201, 400, RGB(255, 255, 255), 500), RGB(255, 255, 255));
}

TEST_F(FramePainting, StatusTextShowsCaptureSizeAndRateOrTheSavingProgress) {
    EXPECT_TRUE(StatusTextShows(L"670 \u00D7 421 \u00D7 30 Hz"));
    EXPECT_FALSE(StatusTextShows(L"670 \u00D7 421 \u00D7 10 Hz"));
    SendMessageW(window, WM_COMMAND, ID_FPS_60, 0);
    EXPECT_TRUE(StatusTextShows(L"670 \u00D7 421 \u00D7 60 Hz"));
    // A copy to another drive shows its progress in the text's place.
    recordingStage = RECORDING_SAVING;
    savePercent = 42;
    InvalidateRect(window, nullptr, FALSE);
    EXPECT_TRUE(StatusTextShows(L"Saving 42 %"));
}

TEST(StatusText, ReadsWidthTimesHeightTimesRate) {
    WCHAR text[STATUS_TEXT_CAPACITY];
    RECT capture = {205, 234, 875, 655};
    FormatStatusText(text, &capture, 30);
    EXPECT_STREQ(text, L"670 \u00D7 421 \u00D7 30 Hz");
    RECT wide = {-1000, -20, 1920, 1060};
    FormatStatusText(text, &wide, 120);
    EXPECT_STREQ(text, L"2920 \u00D7 1080 \u00D7 120 Hz");
}
