#include <gtest/gtest.h>
#include <windows.h>
#include <ole2.h>
#include <string>
#include "common/ui_state.h"
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

DPI_AWARENESS_CONTEXT askedAwareness;

// Wine makes every process per-monitor aware, so only the request shows.
BOOL WINAPI RecordAwareness(DPI_AWARENESS_CONTEXT context) {
    askedAwareness = context;
    return TRUE;
}

TEST(ProgramEntry, FrameWindowThatCannotBeCreatedEndsWithOneAndNoWindow) {
    std::wstring scratch = MakeScratchFolder(L"entry");
    LocalAppDataOverride localAppData;
    localAppData.Set(scratch);
    ResetUiState();
    askedAwareness = nullptr;
    userApi.SetProcessDpiAwarenessContext = RecordAwareness;
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
    EXPECT_EQ(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2, askedAwareness)
        << "the program does not ask for per-monitor DPI awareness (v2)";
    EXPECT_EQ(nullptr, mainWindow);
    EXPECT_EQ(nullptr, FindWindowW(L"quorvelFrame", L"quorvel"));
    if (mainWindow)
        DestroyWindow(mainWindow);
    int exitCode = 0;
    TakeQuitMessage(&exitCode);
    ResetUiState();
    RemoveFolderTree(scratch);
}

} // namespace
