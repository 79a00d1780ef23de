#include "ui/options_menu.h"
#include "common/command_ids.h"
#include "common/ui_state.h"
#include "ui/frame_geometry.h"
#include "ui/user_api.h"

namespace {

UINT CheckedWhen(bool condition) {
    return condition ? MF_CHECKED : MF_UNCHECKED;
}

} // namespace

void ShowOptionsMenu(HWND window, int x, int y) {
    // While recording the choices can be seen but not made.
    UINT grey = isRecording ? MF_GRAYED : MF_ENABLED;

    HMENU rateMenu = CreatePopupMenu();
    AppendMenuW(rateMenu, MF_STRING | grey | CheckedWhen(currentFps == 120), ID_FPS_120, L"120");
    AppendMenuW(rateMenu, MF_STRING | grey | CheckedWhen(currentFps == 60), ID_FPS_60, L"60");
    AppendMenuW(rateMenu, MF_STRING | grey | CheckedWhen(currentFps == 30), ID_FPS_30, L"30");
    AppendMenuW(rateMenu, MF_STRING | grey | CheckedWhen(currentFps == 10), ID_FPS_10, L"10");

    RECT captureRect = GetCaptureRect(window);
    int width = captureRect.right - captureRect.left;
    int height = captureRect.bottom - captureRect.top;
    HMENU sizeMenu = CreatePopupMenu();
    AppendMenuW(sizeMenu, MF_STRING | grey | CheckedWhen(width == 640 && height == 360),
                ID_RES_360P, L"360p");
    AppendMenuW(sizeMenu, MF_STRING | grey | CheckedWhen(width == 1280 && height == 720),
                ID_RES_720P, L"720p");
    AppendMenuW(sizeMenu, MF_STRING | grey | CheckedWhen(width == 1920 && height == 1080),
                ID_RES_1080P, L"1080p");

    HMENU topMenu = CreatePopupMenu();
    AppendMenuW(topMenu, MF_POPUP, reinterpret_cast<UINT_PTR>(rateMenu), L"Frame rate");
    AppendMenuW(topMenu, MF_POPUP, reinterpret_cast<UINT_PTR>(sizeMenu), L"Resolution");
    AppendMenuW(topMenu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(topMenu, MF_STRING | grey | CheckedWhen(recordMouse != 0), ID_RECORD_MOUSE,
                L"Record mouse pointer");

    // Without the foreground the menu would not close on a click elsewhere.
    userApi.SetForegroundWindow(window);
    userApi.TrackPopupMenu(topMenu, TPM_RIGHTBUTTON, x, y, 0, window, nullptr);
    DestroyMenu(topMenu);
}
