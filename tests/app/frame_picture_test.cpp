#include <gtest/gtest.h>
#include "program_harness.h"
#include "requested_dpi.h"
#include "ui/scratch_folder.h"

namespace {

constexpr COLORREF BACKDROP = RGB(0, 160, 80);
constexpr COLORREF TOOLBAR = RGB(32, 32, 36);
constexpr COLORREF IDLE_SIDE = RGB(70, 70, 74);
constexpr COLORREF BLACK = RGB(0, 0, 0);
constexpr COLORREF WHITE = RGB(255, 255, 255);

// A plain green window over the whole screen beneath the frame, standing in for
// the desktop so that what shows through the hole is known.
HWND CreateBackdrop() {
    WNDCLASSEXW backdropClass = {};
    backdropClass.cbSize = sizeof(backdropClass);
    backdropClass.lpfnWndProc = DefWindowProcW;
    backdropClass.hInstance = GetModuleHandleW(nullptr);
    backdropClass.hbrBackground = CreateSolidBrush(BACKDROP);
    backdropClass.lpszClassName = L"quorvelTestBackdrop";
    RegisterClassExW(&backdropClass);
    HWND backdrop = CreateWindowExW(0, L"quorvelTestBackdrop", L"", WS_POPUP | WS_VISIBLE, 0, 0,
                                    GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                                    nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    PumpMessagesFor(100);
    return backdrop;
}

// How many pixels of the 5 x 5 square around a point are dark, as text is on a
// button's light face.
int DarkPixelsAround(int x, int y) {
    int dark = 0;
    for (int row = y - 2; row <= y + 2; ++row) {
        for (int column = x - 2; column <= x + 2; ++column) {
            COLORREF colour = ReadScreenPixel(column, row);
            if (GetRValue(colour) < 0x80 && GetGValue(colour) < 0x80 && GetBValue(colour) < 0x80) {
                ++dark;
            }
        }
    }
    return dark;
}

} // namespace

// The program itself, started with no settings file, seen on the screen.
class ProgramPicture : public ::testing::Test {
  protected:
    void SetUp() override {
        settingsFolder = MakeScratchFolder(L"picture");
        localAppData.Set(settingsFolder);
        // The figures are those of the default frame, at (200, 200) and 680 x 460.
        std::string lack = WorkAreaLacks({200, 200, 880, 660});
        if (!lack.empty())
            GTEST_SKIP() << lack;
        backdrop = CreateBackdrop();
        ASSERT_NE(backdrop, nullptr);
        ASSERT_EQ(WaitForScreenPixel(100, 100, BACKDROP, 3000), BACKDROP);
        ASSERT_TRUE(StartProgram(&program, 15000)) << "no frame window from the program";
    }

    void TearDown() override {
        EndProgram(&program);
        DestroyWindow(backdrop);
        RemoveFolderTree(settingsFolder);
    }

    void ExpectPixel(int x, int y, COLORREF expected, const char* what) {
        COLORREF seen = WaitForScreenPixel(x, y, expected, 3000);
        EXPECT_EQ(seen, expected) << what << " at " << x << "," << y << ": 0x" << std::hex << seen;
    }

    LocalAppDataOverride localAppData;
    std::wstring settingsFolder;
    HWND backdrop = nullptr;
    RunningProgram program = {};
};

TEST_F(ProgramPicture, ShowsTheHollowFrameAtItsDefaultPlace) {
    RECT windowRect = {};
    GetWindowRect(program.frameWindow, &windowRect);
    EXPECT_EQ(windowRect.left, 200);
    EXPECT_EQ(windowRect.top, 200);
    EXPECT_EQ(windowRect.right, 880);
    EXPECT_EQ(windowRect.bottom, 660);

    // Toolbar strip: between STOP and the status text, and under the buttons.
    ExpectPixel(368, 220, TOOLBAR, "toolbar strip");
    ExpectPixel(700, 232, TOOLBAR, "toolbar strip");
    // Frame sides, idle grey.
    ExpectPixel(203, 400, IDLE_SIDE, "left side");
    ExpectPixel(876, 400, IDLE_SIDE, "right side");
    ExpectPixel(500, 656, IDLE_SIDE, "bottom side");
    // Black outer and white inner outline, on all four edges.
    ExpectPixel(200, 400, BLACK, "outer outline left");
    ExpectPixel(201, 400, WHITE, "inner outline left");
    ExpectPixel(879, 400, BLACK, "outer outline right");
    ExpectPixel(878, 400, WHITE, "inner outline right");
    ExpectPixel(500, 200, BLACK, "outer outline top");
    ExpectPixel(500, 201, WHITE, "inner outline top");
    ExpectPixel(500, 659, BLACK, "outer outline bottom");
    ExpectPixel(500, 658, WHITE, "inner outline bottom");
    // The desktop through the hole, up to its edge pixels, and around the frame.
    ExpectPixel(540, 440, BACKDROP, "hole");
    ExpectPixel(205, 400, BACKDROP, "hole's left edge");
    ExpectPixel(874, 400, BACKDROP, "hole's right edge");
    ExpectPixel(500, 234, BACKDROP, "hole's top edge");
    ExpectPixel(500, 654, BACKDROP, "hole's bottom edge");
    ExpectPixel(150, 150, BACKDROP, "outside the frame");

    // The close button shows its cross, whose strokes meet in the middle; a
    // missing glyph shows as an empty box there instead.
    HWND closeButton = GetDlgItem(program.frameWindow, 103);
    ASSERT_NE(closeButton, nullptr);
    RECT closeRect = {};
    GetWindowRect(closeButton, &closeRect);
    EXPECT_GT(DarkPixelsAround((closeRect.left + closeRect.right) / 2,
                               (closeRect.top + closeRect.bottom) / 2),
              0)
        << "no cross in the close button";
}

TEST_F(ProgramPicture, CloseButtonEndsTheProgramWithExitCodeZero) {
    HWND closeButton = GetDlgItem(program.frameWindow, 103);
    ASSERT_NE(closeButton, nullptr);
    PostMessageW(closeButton, BM_CLICK, 0, 0);
    DWORD exitCode = 99;
    ASSERT_TRUE(WaitForProgramExit(&program, 10000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_FALSE(IsWindow(program.frameWindow));
}

TEST_F(ProgramPicture, ResolutionPresetResizesTheRunningFrame) {
    std::string lack = WorkAreaLacks({200, 200, 1490, 959});
    if (!lack.empty())
        GTEST_SKIP() << lack;
    PostMessageW(program.frameWindow, WM_COMMAND, 212, 0); // 720p
    DWORD start = GetTickCount();
    RECT windowRect = {};
    do {
        PumpMessagesFor(20);
        GetWindowRect(program.frameWindow, &windowRect);
    } while (windowRect.right != 1490 && GetTickCount() - start < 5000);
    EXPECT_EQ(windowRect.right - windowRect.left, 1290);
    EXPECT_EQ(windowRect.bottom - windowRect.top, 759);
    // The hole grew with it: what was the right side is now desktop.
    ExpectPixel(876, 400, BACKDROP, "former right side");
    ExpectPixel(1486, 400, IDLE_SIDE, "new right side");
}
