#include <windows.h>
#include <ole2.h>
#include "app/settings.h"
#include "app/startup.h"
#include "ui/user_api.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // From here on every window coordinate is a physical pixel.
    userApi.SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    OleInitialize(nullptr);
    LoadSettings();
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
