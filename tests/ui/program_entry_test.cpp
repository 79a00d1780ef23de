#include <gtest/gtest.h>
#include <windows.h>
#include <ole2.h>
#include <string>
#include "common/ui_state.h"
#include "control/shell_api.h"
#include "ui/frame_fixture.h"
#include "ui/scratch_folder.h"

namespace {

// Vetoes the creation of frame windows on this thread, as a system that
// refuses the window would; the frame class itself registers normally.
LRESULT CALLBACK RefuseFrameCreation(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND) {
        const CBT_CREATEWNDW* creation = reinterpret_cast<const CBT_CREATEWNDW*>(lParam);
        const WCHAR* className = creation->lpcs->lpszClass;
        if (!IS_INTRESOURCE(className) && lstrcmpW(className, L"quorvelFrame") == 0)
            return 1;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// What start-up had done when it asked for the awareness: the settings file
// holds fps=60, so a 60 here means they were loaded (and the work area asked
// for) at an unaware DPI.
struct AwarenessRequest {
    HMODULE lookedUpIn;
    DPI_AWARENESS_CONTEXT context;
    int fpsThen;
};

AwarenessRequest request;
bool awarenessMissing;
std::wstring shownText;

// Wine makes every process per-monitor aware, so only the request shows.
BOOL WINAPI RecordAwareness(DPI_AWARENESS_CONTEXT context) {
    request.context = context;
    request.fpsThen = currentFps;
    return TRUE;
}

// As the real look-up, but with the awareness call recorded, or missing as
// before Windows 10 version 1703.
FARPROC WINAPI FindAwareness(HMODULE module, LPCSTR name) {
    if (lstrcmpA(name, "SetProcessDpiAwarenessContext") != 0)
        return realUserApi.GetProcAddress(module, name);
    request.lookedUpIn = module;
    if (awarenessMissing)
        return nullptr;
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(RecordAwareness));
}

// Start-up looks for leftover recordings here, not in the real temporary folder.
std::wstring emptyTempFolder;
DWORD WINAPI AnswerEmptyTempFolder(DWORD capacity, LPWSTR path) {
    lstrcpynW(path, emptyTempFolder.c_str(), static_cast<int>(capacity));
    return static_cast<DWORD>(emptyTempFolder.size());
}

int WINAPI RecordBox(HWND, LPCWSTR text, LPCWSTR caption, UINT type) {
    shownText = std::wstring(text) + L" | " + caption + L" | " + std::to_wstring(type);
    return IDOK;
}

// A settings folder whose file asks for 60 fps, and start-up's calls recorded.
std::wstring PrepareStart(LocalAppDataOverride* localAppData, bool missing) {
    std::wstring scratch = MakeScratchFolder(L"entry");
    CreateDirectoryW((scratch + L"\\quorvel").c_str(), nullptr);
    WriteFileBytes(scratch + L"\\quorvel\\settings.ini", "[settings]\r\nfps=60\r\n");
    localAppData->Set(scratch);
    ResetUiState();
    request = AwarenessRequest{};
    awarenessMissing = missing;
    shownText.clear();
    userApi.GetProcAddress = FindAwareness;
    shellApi.MessageBoxW = RecordBox;
    emptyTempFolder = scratch + L"\\";
    shellApi.GetTempPathW = AnswerEmptyTempFolder;
    return scratch;
}

TEST(ProgramEntry, FrameWindowThatCannotBeCreatedEndsWithOneAndNoWindow) {
    LocalAppDataOverride localAppData;
    std::wstring scratch = PrepareStart(&localAppData, false);
    HHOOK hook = SetWindowsHookExW(WH_CBT, RefuseFrameCreation, nullptr, GetCurrentThreadId());
    ASSERT_NE(nullptr, hook);
    // Should the window be created after all, the loop ends at once instead of
    // holding up the run.
    PostQuitMessage(77);

    char noArguments[] = "";
    int result = WinMain(GetModuleHandleW(nullptr), nullptr, noArguments, SW_SHOWDEFAULT);

    UnhookWindowsHookEx(hook);
    // This path ends the process, so it leaves OLE to the process's end.
    OleUninitialize();
    EXPECT_EQ(1, result);
    EXPECT_EQ(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2, request.context)
        << "the program does not ask for per-monitor DPI awareness (v2)";
    EXPECT_EQ(GetModuleHandleW(L"user32.dll"), request.lookedUpIn);
    EXPECT_EQ(30, request.fpsThen) << "the awareness came after the settings";
    EXPECT_EQ(60, currentFps) << "the settings were loaded";
    EXPECT_TRUE(shownText.empty());
    EXPECT_EQ(nullptr, mainWindow);
    EXPECT_EQ(nullptr, FindWindowW(L"quorvelFrame", L"quorvel"));
    if (mainWindow)
        DestroyWindow(mainWindow);
    int exitCode = 0;
    TakeQuitMessage(&exitCode);
    ResetUiState();
    shellApi = realShellApi;
    RemoveFolderTree(scratch);
}

TEST(ProgramEntry, WindowsBefore1703IsToldWhatItNeedsAndEndsWithOne) {
    LocalAppDataOverride localAppData;
    std::wstring scratch = PrepareStart(&localAppData, true);

    char noArguments[] = "";
    int result = WinMain(GetModuleHandleW(nullptr), nullptr, noArguments, SW_SHOWDEFAULT);

    EXPECT_EQ(1, result);
    EXPECT_EQ(L"quorvel needs Windows 10 version 1703 or later. | quorvel | " +
                  std::to_wstring(MB_OK | MB_ICONERROR),
              shownText);
    EXPECT_EQ(30, currentFps) << "nothing more was done";
    EXPECT_EQ(nullptr, mainWindow);
    ResetUiState();
    shellApi = realShellApi;
    RemoveFolderTree(scratch);
}

} // namespace
