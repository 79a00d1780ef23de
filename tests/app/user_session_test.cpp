#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "common/command_ids.h"
#include "program_harness.h"
#include "ui/scratch_folder.h"

namespace {

constexpr COLORREF IDLE_SIDE = RGB(70, 70, 74);

struct ChildText {
    std::wstring className;
    std::wstring text;
};

BOOL CALLBACK CollectChild(HWND child, LPARAM parameter) {
    WCHAR className[64] = {};
    WCHAR text[512] = {};
    GetClassNameW(child, className, 64);
    GetWindowTextW(child, text, 512);
    reinterpret_cast<std::vector<ChildText>*>(parameter)->push_back({className, text});
    return TRUE;
}

// The text of a message box of another process: its one static with text.
std::wstring MessageBoxText(HWND box) {
    std::vector<ChildText> children;
    EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&children));
    for (const ChildText& child : children) {
        if (lstrcmpiW(child.className.c_str(), L"Static") == 0 && !child.text.empty())
            return child.text;
    }
    return L"<no text>";
}

// A left click where a user would make it: the pointer moved onto the middle
// of the control, button down, button up.
void ClickAt(HWND control) {
    RECT rect = {};
    GetWindowRect(control, &rect);
    int x = (rect.left + rect.right) / 2;
    int y = (rect.top + rect.bottom) / 2;
    int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    INPUT inputs[3] = {};
    for (INPUT& input : inputs) {
        input.type = INPUT_MOUSE;
        input.mi.dx = MulDiv(x, 65535, screenWidth - 1);
        input.mi.dy = MulDiv(y, 65535, screenHeight - 1);
    }
    inputs[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_ABSOLUTE;
    inputs[2].mi.dwFlags = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE;
    SendInput(3, inputs, sizeof(INPUT));
}

bool WaitForEnabledState(HWND control, bool enabled, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while ((IsWindowEnabled(control) != FALSE) != enabled) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        PumpMessagesFor(20);
    }
    return true;
}

// quorvel.exe as a user meets it under Wine on Xvfb, with its settings in a
// scratch folder.
class UserSession : public ::testing::Test {
  protected:
    void SetUp() override {
        localAppDataFolder = MakeScratchFolder(L"session");
        localAppData.Set(localAppDataFolder);
        settingsFile = localAppDataFolder + L"\\quorvel\\settings.ini";
        ASSERT_TRUE(StartProgram(&program, 15000)) << "no frame window from the program";
        recButton = GetDlgItem(program.frameWindow, ID_REC);
        stopButton = GetDlgItem(program.frameWindow, ID_STOP);
        closeButton = GetDlgItem(program.frameWindow, ID_CLOSE);
        ASSERT_NE(nullptr, recButton);
        ASSERT_NE(nullptr, stopButton);
        ASSERT_NE(nullptr, closeButton);
    }

    void TearDown() override {
        EndProgram(&program);
        RemoveFolderTree(localAppDataFolder);
    }

    LocalAppDataOverride localAppData;
    std::wstring localAppDataFolder;
    std::wstring settingsFile;
    RunningProgram program = {};
    HWND recButton = nullptr;
    HWND stopButton = nullptr;
    HWND closeButton = nullptr;
};

TEST_F(UserSession, RecWithoutDesktopDuplicationShowsTheErrorThenIdleAndCloseSavesSettings) {
    EXPECT_TRUE(IsWindowEnabled(recButton));
    EXPECT_FALSE(IsWindowEnabled(stopButton));

    ClickAt(recButton);
    HWND box = WaitForProgramWindow(program.process.dwProcessId, L"#32770", L"quorvel", 15000);
    ASSERT_NE(nullptr, box) << "no message box after REC";
    EXPECT_EQ(L"DuplicateOutput failed (GPU/monitor mismatch?)", MessageBoxText(box));
    EXPECT_EQ(program.frameWindow, GetWindow(box, GW_OWNER));

    HWND okButton = GetDlgItem(box, IDOK);
    ASSERT_NE(nullptr, okButton);
    ClickAt(okButton);
    DWORD start = GetTickCount();
    while (IsWindow(box) && GetTickCount() - start < 5000)
        PumpMessagesFor(20);
    ASSERT_FALSE(IsWindow(box)) << "OK did not close the box";

    EXPECT_TRUE(WaitForEnabledState(recButton, true, 3000));
    EXPECT_FALSE(IsWindowEnabled(stopButton));
    RECT frame = {};
    GetWindowRect(program.frameWindow, &frame);
    int sideX = frame.left + 3;
    int sideY = (frame.top + frame.bottom) / 2;
    EXPECT_EQ(IDLE_SIDE, WaitForScreenPixel(sideX, sideY, IDLE_SIDE, 3000)) << "left side grey";
    EXPECT_EQ(IDLE_SIDE, WaitForScreenPixel(frame.right - 4, sideY, IDLE_SIDE, 3000))
        << "right side grey";

    // Choices of the run, made through the menu's commands, and a moved frame.
    PostMessageW(program.frameWindow, WM_COMMAND, ID_FPS_60, 0);
    PostMessageW(program.frameWindow, WM_COMMAND, ID_RECORD_MOUSE, 0);
    SetWindowPos(program.frameWindow, nullptr, 300, 250, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    PumpMessagesFor(200);
    GetWindowRect(program.frameWindow, &frame);

    ClickAt(closeButton);
    DWORD exitCode = 99;
    ASSERT_TRUE(WaitForProgramExit(&program, 15000, &exitCode))
        << "the close button left it running";
    EXPECT_EQ(0u, exitCode);

    ASSERT_TRUE(PathExists(settingsFile));
    EXPECT_EQ(L"60", StoredSetting(settingsFile, L"settings", L"fps"));
    EXPECT_EQ(L"1", StoredSetting(settingsFile, L"settings", L"recordMouse"));
    EXPECT_EQ(L"300", StoredSetting(settingsFile, L"window", L"x"));
    EXPECT_EQ(L"250", StoredSetting(settingsFile, L"window", L"y"));
    EXPECT_EQ(std::to_wstring(frame.right - frame.left),
              StoredSetting(settingsFile, L"window", L"w"));
    EXPECT_EQ(std::to_wstring(frame.bottom - frame.top),
              StoredSetting(settingsFile, L"window", L"h"));
    EXPECT_EQ(L"0", StoredSetting(settingsFile, L"window", L"maximized"));
}

TEST_F(UserSession, NextStartOpensWhereTheLastOneClosed) {
    SetWindowPos(program.frameWindow, nullptr, 320, 180, 800, 500, SWP_NOZORDER | SWP_NOACTIVATE);
    PumpMessagesFor(200);
    ClickAt(closeButton);
    DWORD exitCode = 99;
    ASSERT_TRUE(WaitForProgramExit(&program, 15000, &exitCode));
    EndProgram(&program);

    ASSERT_TRUE(StartProgram(&program, 15000));
    RECT frame = {};
    GetWindowRect(program.frameWindow, &frame);
    EXPECT_EQ(320, frame.left);
    EXPECT_EQ(180, frame.top);
    EXPECT_EQ(800, frame.right - frame.left);
    EXPECT_EQ(500, frame.bottom - frame.top);
}

} // namespace
