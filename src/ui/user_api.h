#pragma once
#include <windows.h>

// The user32 calls that take the foreground or run a modal loop, so that a test
// can look at the options menu as built instead of driving the menu loop.
// Defaults are the real ones.
struct UserApi {
    decltype(&::SetForegroundWindow) SetForegroundWindow;
    decltype(&::TrackPopupMenu) TrackPopupMenu;
};

extern UserApi userApi;
extern const UserApi realUserApi;
