#include "app/startup.h"
#include "common/ui_state.h"
#include "ui/frame_window.h"
#include "ui/user_api.h"

namespace {

// DWMWA_BORDER_COLOR and DWMWA_COLOR_NONE, which older SDK headers lack.
constexpr DWORD BORDER_COLOR_ATTRIBUTE = 34;
constexpr DWORD BORDER_COLOR_NONE = 0xFFFFFFFE;

constexpr int DEFAULT_WINDOW_X = 200;
constexpr int DEFAULT_WINDOW_Y = 200;
constexpr int DEFAULT_WINDOW_WIDTH = 680;
constexpr int DEFAULT_WINDOW_HEIGHT = 460;

} // namespace

HWND CreateFrameWindow(HINSTANCE instance) {
    WNDCLASSEXW frameClass = {};
    frameClass.cbSize = sizeof(frameClass);
    frameClass.lpfnWndProc = FrameWndProc;
    frameClass.hInstance = instance;
    frameClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    frameClass.lpszClassName = L"quorvelFrame";
    // A failed registration shows as a failed creation below.
    RegisterClassExW(&frameClass);

    mainWindow = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, L"quorvelFrame", L"quorvel",
                                 WS_POPUP | WS_THICKFRAME, DEFAULT_WINDOW_X, DEFAULT_WINDOW_Y,
                                 DEFAULT_WINDOW_WIDTH, DEFAULT_WINDOW_HEIGHT, nullptr, nullptr,
                                 instance, nullptr);
    if (!mainWindow) {
        return nullptr;
    }

    // A system without the attribute keeps its usual border.
    DWORD borderColour = BORDER_COLOR_NONE;
    userApi.DwmSetWindowAttribute(mainWindow, BORDER_COLOR_ATTRIBUTE, &borderColour,
                                  sizeof(borderColour));

    if (placementValid) {
        SetWindowPlacement(mainWindow, &savedPlacement);
    } else {
        int dpi = static_cast<int>(userApi.GetDpiForWindow(mainWindow));
        SetWindowPos(mainWindow, nullptr, 0, 0, MulDiv(DEFAULT_WINDOW_WIDTH, dpi, 96),
                     MulDiv(DEFAULT_WINDOW_HEIGHT, dpi, 96), SWP_NOMOVE | SWP_NOZORDER);
    }
    ShowWindow(mainWindow, SW_SHOW);
    return mainWindow;
}
