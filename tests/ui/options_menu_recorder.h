#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "ui/user_api.h"

// One menu item as it was when the menu was handed to TrackPopupMenu.
struct MenuItemSnapshot {
    std::wstring text;
    UINT id;
    bool popup;
    bool separator;
    bool checked;
    bool grayed;
    std::vector<MenuItemSnapshot> items; // a submenu's items
};

// What the options menu handed to the platform on its last opening.
struct MenuRecord {
    int foregroundCalls;
    HWND foregroundWindow;
    int trackCalls;
    int trackCallsAtForeground;
    HMENU menu;
    UINT flags;
    int x;
    int y;
    int reserved;
    HWND owner;
    const RECT* excludeRect;
    std::vector<HMENU> submenus;
    std::vector<MenuItemSnapshot> items;
    UINT chooseId; // posted as WM_COMMAND to the owner, as the real menu does
};

inline MenuRecord menuRecord;

inline std::vector<MenuItemSnapshot> SnapshotMenu(HMENU menu) {
    std::vector<MenuItemSnapshot> items;
    int count = GetMenuItemCount(menu);
    for (int index = 0; index < count; ++index) {
        WCHAR text[64] = {};
        MENUITEMINFOW info = {};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_SUBMENU | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = 64;
        GetMenuItemInfoW(menu, static_cast<UINT>(index), TRUE, &info);
        MenuItemSnapshot item = {};
        item.text = text;
        item.id = info.wID;
        item.popup = info.hSubMenu != nullptr;
        item.separator = (info.fType & MFT_SEPARATOR) != 0;
        item.checked = (info.fState & MFS_CHECKED) != 0;
        item.grayed = (info.fState & MF_GRAYED) != 0;
        if (info.hSubMenu) {
            menuRecord.submenus.push_back(info.hSubMenu);
            item.items = SnapshotMenu(info.hSubMenu);
        }
        items.push_back(item);
    }
    return items;
}

inline BOOL WINAPI RecordSetForegroundWindow(HWND window) {
    ++menuRecord.foregroundCalls;
    menuRecord.foregroundWindow = window;
    menuRecord.trackCallsAtForeground = menuRecord.trackCalls;
    return TRUE;
}

inline BOOL WINAPI RecordTrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved,
                                        HWND owner, const RECT* excludeRect) {
    ++menuRecord.trackCalls;
    menuRecord.menu = menu;
    menuRecord.flags = flags;
    menuRecord.x = x;
    menuRecord.y = y;
    menuRecord.reserved = reserved;
    menuRecord.owner = owner;
    menuRecord.excludeRect = excludeRect;
    menuRecord.submenus.clear();
    menuRecord.items = SnapshotMenu(menu);
    if (menuRecord.chooseId) {
        PostMessageW(owner, WM_COMMAND, menuRecord.chooseId, 0);
        return TRUE;
    }
    return FALSE; // dismissed
}

// Replaces the menu's modal calls with the recorders above.
inline void RecordOptionsMenu() {
    menuRecord = MenuRecord{};
    userApi.SetForegroundWindow = RecordSetForegroundWindow;
    userApi.TrackPopupMenu = RecordTrackPopupMenu;
}
