#pragma once
#include <windows.h>

// 96-DPI metrics of the frame window; always used through ScaleForDpi.
constexpr int FRAME_BORDER = 5;
constexpr int FRAME_TOOLBAR_HEIGHT = 34;
constexpr int FRAME_GRIP = 6;
constexpr int BUTTON_TOP = 5;
constexpr int BUTTON_HEIGHT = 24;
constexpr int BUTTON_MARGIN = 6;
constexpr int TEXT_BUTTON_WIDTH = 76;
constexpr int BUTTON_GAP = 4;
constexpr int CLOSE_BUTTON_WIDTH = 24;
constexpr int STATUS_TEXT_LEFT = 174;
constexpr int STATUS_TEXT_RIGHT_INSET = 40;
constexpr int MIN_TRACK_WIDTH = 360;
constexpr int MIN_TRACK_HEIGHT = 240;
constexpr int MENU_KEY_OFFSET_X = 24;

RECT GetCaptureRect(HWND window);
void SetCaptureSize(HWND window, int width, int height);
void LayoutToolbarButtons(HWND window);
void UpdateFrameRegion(HWND window);
LRESULT HitTestFrame(HWND window, int x, int y);
SIZE GetMinTrackSize();

// The capture hole in client coordinates for a client rectangle, at windowDpi.
// Not normalized: a client narrower than two borders gives a negative width.
RECT GetCaptureHole(const RECT* client);

// A window rectangle moved onto a work area with its size kept: right and bottom
// edges first, then left and top, so a larger one aligns with the work area's left
// and top edges. An edge past the coordinate range stops at its end.
RECT MoveOntoWorkArea(RECT rect, const RECT* workArea);

// MoveOntoWorkArea for a frame sized by a preset; one wider than the work area by
// no more than its two side borders (border is already scaled) is centred on it.
RECT MovePresetOntoWorkArea(RECT rect, const RECT* workArea, int border);

// The hit-test code for a cursor point on an idle frame whose window rectangle
// is windowRect; grip and toolbarHeight are already scaled.
LRESULT ClassifyFramePoint(const RECT* windowRect, int x, int y, int grip, int toolbarHeight);
