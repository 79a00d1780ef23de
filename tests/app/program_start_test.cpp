#include <gtest/gtest.h>
#include "program_harness.h"
#include "requested_dpi.h"
#include "ui/scratch_folder.h"

namespace {

// What a first start shows at a display's DPI: the window at (200, 200), its
// capture hole in window coordinates, and where the menu key opens the menu,
// relative to the window.
struct StartFigures {
    UINT dpi;
    SIZE window;
    RECT hole;
    POINT menuOffset;
};

const StartFigures FIRST_START[] = {
    {96, {680, 460}, {5, 34, 675, 455}, {24, 34}},
    {144, {1020, 690}, {8, 51, 1012, 682}, {36, 51}},
};

void PressKeys(const WORD* keys, int count) {
    INPUT inputs[8] = {};
    for (int index = 0; index < count; ++index) {
        inputs[index].type = INPUT_KEYBOARD;
        inputs[index].ki.wVk = keys[index];
        inputs[count + index].type = INPUT_KEYBOARD;
        inputs[count + index].ki.wVk = keys[count - 1 - index];
        inputs[count + index].ki.dwFlags = KEYEVENTF_KEYUP;
    }
    SendInput(static_cast<UINT>(2 * count), inputs, sizeof(INPUT));
}

} // namespace

// Also run under a Wine prefix set to 144 DPI, by run_at_144_dpi.sh.
TEST(ProgramStart, OpensAtTheDefaultSizeOfTheDisplayDpiAndTheMenuKeyOpensBelowTheStrip) {
    // Physical pixels, as the program sees them.
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    UINT dpi = GetDpiForSystem();
    if (RequestedDpi() != 0) {
        ASSERT_EQ(dpi, RequestedDpi()) << "the prefix is not at the DPI this run asks for";
    }
    const StartFigures* expected = nullptr;
    for (const StartFigures& figures : FIRST_START) {
        if (figures.dpi == dpi) {
            expected = &figures;
        }
    }
    ASSERT_NE(expected, nullptr) << "no figures for " << dpi << " DPI";

    LocalAppDataOverride localAppData;
    std::wstring settingsFolder = MakeScratchFolder(L"start");
    localAppData.Set(settingsFolder);
    RunningProgram program = {};
    ASSERT_TRUE(StartProgram(&program, 15000)) << "no frame window from the program";

    RECT frame = {};
    GetWindowRect(program.frameWindow, &frame);
    EXPECT_EQ(frame.left, 200);
    EXPECT_EQ(frame.top, 200);
    EXPECT_EQ(frame.right - frame.left, expected->window.cx);
    EXPECT_EQ(frame.bottom - frame.top, expected->window.cy);

    // The capture area is the hole the window region leaves.
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    EXPECT_NE(GetWindowRgn(program.frameWindow, region), ERROR);
    HRGN ring = CreateRectRgn(0, 0, expected->window.cx, expected->window.cy);
    HRGN hole = CreateRectRgnIndirect(&expected->hole);
    CombineRgn(ring, ring, hole, RGN_DIFF);
    EXPECT_TRUE(EqualRgn(region, ring)) << "the capture hole is not where it belongs";
    DeleteObject(hole);
    DeleteObject(ring);
    DeleteObject(region);

    SetForegroundWindow(program.frameWindow);
    PumpMessagesFor(200);
    const WORD shiftF10[2] = {VK_SHIFT, VK_F10};
    PressKeys(shiftF10, 2);
    HWND menu = WaitForProgramWindow(program.process.dwProcessId, L"#32768", nullptr, 5000);
    ASSERT_NE(menu, nullptr) << "Shift+F10 opened no menu";
    RECT menuRect = {};
    GetWindowRect(menu, &menuRect);
    EXPECT_EQ(menuRect.left - frame.left, expected->menuOffset.x);
    EXPECT_EQ(menuRect.top - frame.top, expected->menuOffset.y);

    const WORD escape[1] = {VK_ESCAPE};
    PressKeys(escape, 1);
    EndProgram(&program);
    RemoveFolderTree(settingsFolder);
}
