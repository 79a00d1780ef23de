#pragma once
#include <windows.h>

// The user32 calls that take the foreground or run a modal loop, so that a test
// can look at the options menu as built instead of driving the menu loop; and
// the DPI awareness start-up asks for, which Wine gives every process anyway.
// Defaults are the real ones.
struct UserApi {
    decltype(&::SetForegroundWindow) SetForegroundWindow;
    decltype(&::TrackPopupMenu) TrackPopupMenu;
    decltype(&::SetProcessDpiAwarenessContext) SetProcessDpiAwarenessContext;
};

extern UserApi userApi;
extern const UserApi realUserApi;
