#include "ui/frame_geometry.h"
#include <climits>
#include "common/ui_state.h"

RECT GetCaptureHole(const RECT* client) {
    // Each metric is scaled on its own, so that the hole of a size preset is
    // exactly the preset at every DPI.
    int border = ScaleForDpi(FRAME_BORDER);
    RECT hole = {border, ScaleForDpi(FRAME_TOOLBAR_HEIGHT), client->right - border,
                 client->bottom - border};
    return hole;
}

RECT GetCaptureRect(HWND window) {
    RECT client = {};
    GetClientRect(window, &client);
    RECT hole = GetCaptureHole(&client);
    POINT topLeft = {hole.left, hole.top};
    POINT bottomRight = {hole.right, hole.bottom};
    ClientToScreen(window, &topLeft);
    ClientToScreen(window, &bottomRight);
    RECT captureRect = {topLeft.x, topLeft.y, bottomRight.x, bottomRight.y};
    return captureRect;
}

namespace {

LONG ClampToLong(long long value) {
    if (value > LONG_MAX) {
        return LONG_MAX;
    }
    return value < LONG_MIN ? LONG_MIN : static_cast<LONG>(value);
}

// A grown frame can run off its monitor, taking the toolbar's buttons with it.
void MoveOntoMonitorWorkArea(HWND window, HMONITOR monitor) {
    MONITORINFO monitorInfo = {};
    monitorInfo.cbSize = sizeof(monitorInfo);
    if (!GetMonitorInfoW(monitor, &monitorInfo)) {
        return;
    }
    RECT windowRect = {};
    GetWindowRect(window, &windowRect);
    RECT moved = MovePresetOntoWorkArea(windowRect, &monitorInfo.rcWork, ScaleForDpi(FRAME_BORDER));
    if (moved.left != windowRect.left || moved.top != windowRect.top) {
        SetWindowPos(window, nullptr, moved.left, moved.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    }
}

} // namespace

RECT MoveOntoWorkArea(RECT rect, const RECT* workArea) {
    // In 64 bits: a size near 2^31 read from a settings file must not wrap.
    long long width = static_cast<long long>(rect.right) - rect.left;
    long long height = static_cast<long long>(rect.bottom) - rect.top;
    long long left = rect.left;
    long long top = rect.top;
    if (left + width > workArea->right) {
        left = workArea->right - width;
    }
    if (top + height > workArea->bottom) {
        top = workArea->bottom - height;
    }
    if (left < workArea->left) {
        left = workArea->left;
    }
    if (top < workArea->top) {
        top = workArea->top;
    }
    RECT moved = {ClampToLong(left), ClampToLong(top), ClampToLong(left + width),
                  ClampToLong(top + height)};
    return moved;
}

RECT MovePresetOntoWorkArea(RECT rect, const RECT* workArea, int border) {
    // Here a wider frame starts at the work area's left edge. 1080p on a 1080-line
    // screen overhangs by its side borders alone: centred, both borders overhang
    // and the whole toolbar, the close button at its right end too, is on the work area.
    RECT moved = MoveOntoWorkArea(rect, workArea);
    long long overhang = (static_cast<long long>(moved.right) - moved.left) -
                         (static_cast<long long>(workArea->right) - workArea->left);
    if (overhang > 0 && overhang <= 2LL * border) {
        moved.left -= static_cast<LONG>(overhang / 2);
        moved.right -= static_cast<LONG>(overhang / 2);
    }
    return moved;
}

void SetCaptureSize(HWND window, int width, int height) {
    // A running recording keeps the capture rect it started with.
    if (isRecording) {
        return;
    }
    // The monitor the frame is on before it grows is the one it stays on.
    HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST);
    int border = ScaleForDpi(FRAME_BORDER);
    int windowWidth = width + border + border;
    int windowHeight = height + ScaleForDpi(FRAME_TOOLBAR_HEIGHT) + border;
    SetWindowPos(window, nullptr, 0, 0, windowWidth, windowHeight, SWP_NOMOVE | SWP_NOZORDER);
    MoveOntoMonitorWorkArea(window, monitor);
}

void LayoutToolbarButtons(HWND window) {
    RECT client = {};
    GetClientRect(window, &client);
    int top = ScaleForDpi(BUTTON_TOP);
    int height = ScaleForDpi(BUTTON_HEIGHT);
    int margin = ScaleForDpi(BUTTON_MARGIN);
    int textWidth = ScaleForDpi(TEXT_BUTTON_WIDTH);
    int closeWidth = ScaleForDpi(CLOSE_BUTTON_WIDTH);
    MoveWindow(recButton, margin, top, textWidth, height, TRUE);
    MoveWindow(stopButton, textWidth + ScaleForDpi(BUTTON_GAP) + margin, top, textWidth, height,
               TRUE);
    MoveWindow(closeButton, client.right - closeWidth - margin, top, closeWidth, height, TRUE);
}

void UpdateFrameRegion(HWND window) {
    RECT client = {};
    GetClientRect(window, &client);
    HRGN region = CreateRectRgn(0, 0, client.right, client.bottom);
    RECT hole = GetCaptureHole(&client);
    if (hole.right > hole.left && hole.bottom > hole.top) {
        HRGN holeRegion = CreateRectRgn(hole.left, hole.top, hole.right, hole.bottom);
        CombineRgn(region, region, holeRegion, RGN_DIFF);
        DeleteObject(holeRegion);
    }
    // The system owns the region from here on.
    SetWindowRgn(window, region, TRUE);
}

LRESULT ClassifyFramePoint(const RECT* windowRect, int x, int y, int grip, int toolbarHeight) {
    bool nearLeft = x < windowRect->left + grip;
    bool nearRight = x >= windowRect->right - grip;
    bool nearTop = y < windowRect->top + grip;
    bool nearBottom = y >= windowRect->bottom - grip;
    if (nearTop && nearLeft) {
        return HTTOPLEFT;
    }
    if (nearTop && nearRight) {
        return HTTOPRIGHT;
    }
    if (nearBottom && nearLeft) {
        return HTBOTTOMLEFT;
    }
    if (nearBottom && nearRight) {
        return HTBOTTOMRIGHT;
    }
    if (nearLeft) {
        return HTLEFT;
    }
    if (nearRight) {
        return HTRIGHT;
    }
    if (nearTop) {
        return HTTOP;
    }
    if (nearBottom) {
        return HTBOTTOM;
    }
    if (y < windowRect->top + toolbarHeight) {
        return HTCAPTION;
    }
    return HTCLIENT;
}

LRESULT HitTestFrame(HWND window, int x, int y) {
    // While recording the frame stays where the capture rect was taken.
    if (isRecording) {
        return HTCLIENT;
    }
    RECT windowRect = {};
    GetWindowRect(window, &windowRect);
    return ClassifyFramePoint(&windowRect, x, y, ScaleForDpi(FRAME_GRIP),
                              ScaleForDpi(FRAME_TOOLBAR_HEIGHT));
}

SIZE GetMinTrackSize() {
    SIZE size = {ScaleForDpi(MIN_TRACK_WIDTH), ScaleForDpi(MIN_TRACK_HEIGHT)};
    return size;
}
