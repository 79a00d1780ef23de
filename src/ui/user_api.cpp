#include "ui/user_api.h"

// Start-up has made sure the system has it; 96 stands in only where it never
// runs. Asked for on each call: it is called only at creation and DPI changes.
static UINT WINAPI LookedUpDpiForWindow(HWND window) {
    using DpiForWindow = UINT(WINAPI*)(HWND);
    FARPROC found = ::GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow");
    if (!found)
        return 96;
    return reinterpret_cast<DpiForWindow>(reinterpret_cast<void (*)()>(found))(window);
}

const UserApi realUserApi = {
    ::SetForegroundWindow,   ::TrackPopupMenu,     ::GetProcAddress,
    ::DwmSetWindowAttribute, LookedUpDpiForWindow,
};

UserApi userApi = realUserApi;
