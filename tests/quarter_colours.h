#pragma once
#include <windows.h>

// The picture the tests that record the screen show, in a window of their
// own: four quarters, in the first set of colours, then the second, then the
// third. The Windows workflow checks the first, middle and last frame of each
// recording they keep against the same figures.
struct Colour {
    BYTE red, green, blue;
};
// Top-left, top-right, bottom-left, bottom-right. No two are alike, so a
// mirrored, flipped, shifted or stale picture shows.
const Colour QUARTER_COLOURS[3][4] = {
    {{200, 40, 40}, {40, 160, 40}, {40, 60, 200}, {200, 200, 40}},
    {{40, 180, 180}, {180, 40, 180}, {230, 140, 30}, {120, 120, 120}},
    {{240, 240, 240}, {30, 30, 30}, {150, 90, 40}, {90, 170, 230}},
};
// The encoder's 4:2:0 and colour matrix may move a flat colour this far.
const int COLOUR_TOLERANCE = 24;

inline int shownColourSet; // what the quarters window paints

inline LRESULT CALLBACK QuartersWindowProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
    if (message != WM_PAINT)
        return DefWindowProcW(window, message, wParam, lParam);
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client = {};
    GetClientRect(window, &client);
    for (int quarter = 0; quarter < 4; quarter++) {
        const Colour& colour = QUARTER_COLOURS[shownColourSet][quarter];
        RECT area = {quarter % 2 * client.right / 2, quarter / 2 * client.bottom / 2,
                     (quarter % 2 + 1) * client.right / 2, (quarter / 2 + 1) * client.bottom / 2};
        HBRUSH brush = CreateSolidBrush(RGB(colour.red, colour.green, colour.blue));
        FillRect(dc, &area, brush);
        DeleteObject(brush);
    }
    EndPaint(window, &paint);
    return 0;
}

// A topmost window in the first colours over `area` (screen pixels), painted
// before this returns; it takes no focus. Null if it cannot be made.
inline HWND ShowQuarters(const RECT& area) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = QuartersWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"quorvelTestQuarters";
    RegisterClassW(&windowClass); // a second registration fails harmlessly
    shownColourSet = 0;
    HWND window = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE,
                                  L"quorvelTestQuarters", L"", WS_POPUP | WS_VISIBLE, area.left,
                                  area.top, area.right - area.left, area.bottom - area.top, nullptr,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
    if (window)
        UpdateWindow(window);
    return window;
}

inline void ShowColourSet(HWND window, int colourSet) {
    shownColourSet = colourSet;
    InvalidateRect(window, nullptr, FALSE);
    UpdateWindow(window);
}
