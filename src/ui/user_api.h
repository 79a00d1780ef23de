#pragma once
#include <windows.h>

#include <dwmapi.h>

// The user32 calls that take the foreground or run a modal loop, so that a test
// can look at the options menu as built instead of driving the menu loop; the
// look-up of the DPI awareness start-up asks for, which Wine gives every process
// anyway and older Windows lacks; and the frame's border attribute, which only
// Windows 11 shows. Defaults are the real ones.
struct UserApi {
    decltype(&::SetForegroundWindow) SetForegroundWindow;
    decltype(&::TrackPopupMenu) TrackPopupMenu;
    decltype(&::GetProcAddress) GetProcAddress;
    decltype(&::DwmSetWindowAttribute) DwmSetWindowAttribute;
    // Looked up too: imported, it would keep Windows 10 before version 1607 from
    // loading the exe before start-up could say which Windows quorvel needs.
    decltype(&::GetDpiForWindow) GetDpiForWindow;
};

extern UserApi userApi;
extern const UserApi realUserApi;
