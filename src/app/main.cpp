#include <windows.h>
#include <ole2.h>
#include "app/leftovers.h"
#include "app/settings.h"
#include "app/startup.h"
#include "control/shell_api.h"
#include "ui/user_api.h"

namespace {

using SetAwarenessFunction = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Windows 10 before version 1703 lacks the call: looked up, so that such a
    // system says why instead of refusing to load the exe.
    FARPROC setAwareness =
        userApi.GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetProcessDpiAwarenessContext");
    if (!setAwareness) {
        shellApi.MessageBoxW(nullptr, L"quorvel needs Windows 10 version 1703 or later.",
                             L"quorvel", MB_OK | MB_ICONERROR);
        return 1;
    }
    // First of all: from here on every window coordinate is a physical pixel.
    reinterpret_cast<SetAwarenessFunction>(reinterpret_cast<void (*)()>(setAwareness))(
        DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    OleInitialize(nullptr);
    LoadSettings();
    // What a crash or a power cut left of a recording is kept before anything else.
    RecoverLeftovers();
    if (!CreateFrameWindow(instance)) {
        return 1;
    }

    // 0 is the quit message from the window's destruction, -1 a failure: both end the loop.
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    OleUninitialize();
    return 0;
}
