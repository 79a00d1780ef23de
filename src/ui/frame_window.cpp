#include "ui/frame_window.h"
#include <windowsx.h>
#include "common/command_ids.h"
#include "common/recording_job.h"
#include "common/ui_state.h"
#include "control/recording_control.h"
#include "ui/frame_geometry.h"
#include "ui/options_menu.h"
#include "ui/user_api.h"

namespace {

// Both halves of lParam at 0xFFFF: the menu was asked for from the keyboard.
constexpr WORD KEYBOARD_MENU_COORDINATE = 0xFFFF;

constexpr WCHAR REC_TEXT[] = L"\u25CF REC";
constexpr WCHAR STOP_TEXT[] = L"\u25A0 STOP";
constexpr WCHAR CLOSE_TEXT[] = L"\u2715";

// Tried in order for the button symbols: Windows has the first; a Linux system
// under Wine has the second, where asking for the first gives a font without the cross.
constexpr const WCHAR* SYMBOL_FONT_FACES[] = {L"Segoe UI Symbol", L"DejaVu Sans"};

// Whether the font has a glyph for every character of the text; a bitmap font
// that cannot say has none.
bool FontDrawsText(HDC dc, HFONT font, const WCHAR* text) {
    WORD glyphs[16];
    int length = lstrlenW(text);
    if (length > static_cast<int>(ARRAYSIZE(glyphs))) {
        return false;
    }
    HGDIOBJ previousFont = SelectObject(dc, font);
    DWORD converted = GetGlyphIndicesW(dc, text, length, glyphs, GGI_MARK_NONEXISTING_GLYPHS);
    SelectObject(dc, previousFont);
    if (converted == GDI_ERROR) {
        return false;
    }
    for (int index = 0; index < length; ++index) {
        if (glyphs[index] == 0xFFFF) {
            return false;
        }
    }
    return true;
}

bool FontDrawsButtonTexts(HDC dc, HFONT font) {
    return FontDrawsText(dc, font, REC_TEXT) && FontDrawsText(dc, font, STOP_TEXT) &&
           FontDrawsText(dc, font, CLOSE_TEXT);
}

HWND CreateToolbarButton(HWND window, const WCHAR* text, unsigned id) {
    // A plain push button without WS_TABSTOP; LayoutToolbarButtons places it.
    return CreateWindowExW(0, L"BUTTON", text, WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, window,
                           reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)),
                           GetModuleHandleW(nullptr), nullptr);
}

// The UI font wherever it can draw the button's text.
void SendFontToButton(HDC dc, HWND button, const WCHAR* text) {
    HFONT font = uiFont;
    if (symbolFont && !FontDrawsText(dc, uiFont, text)) {
        font = symbolFont;
    }
    SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

void SendFontToButtons() {
    HDC screen = GetDC(nullptr);
    SendFontToButton(screen, recButton, REC_TEXT);
    SendFontToButton(screen, stopButton, STOP_TEXT);
    SendFontToButton(screen, closeButton, CLOSE_TEXT);
    ReleaseDC(nullptr, screen);
}

void DiscardFont(HFONT* font) {
    if (*font) {
        DeleteObject(*font);
        *font = nullptr;
    }
}

LRESULT OnCreate(HWND window) {
    windowDpi = static_cast<int>(userApi.GetDpiForWindow(window));
    CreateUiFont();
    CreateSymbolFont();
    recButton = CreateToolbarButton(window, REC_TEXT, ID_REC);
    stopButton = CreateToolbarButton(window, STOP_TEXT, ID_STOP);
    closeButton = CreateToolbarButton(window, CLOSE_TEXT, ID_CLOSE);
    SendFontToButtons();
    EnableWindow(stopButton, FALSE);
    LayoutToolbarButtons(window);
    UpdateFrameRegion(window);
    return 0;
}

void OnDestroy() {
    DiscardFont(&uiFont);
    DiscardFont(&symbolFont);
    PostQuitMessage(0);
}

void OnSize(HWND window) {
    LayoutToolbarButtons(window);
    UpdateFrameRegion(window);
    InvalidateRect(window, nullptr, TRUE);
}

void FillWithColour(HDC dc, const RECT* rect, COLORREF colour) {
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, rect, brush);
    DeleteObject(brush);
}

void OnPaint(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client = {};
    GetClientRect(window, &client);
    int toolbarHeight = ScaleForDpi(FRAME_TOOLBAR_HEIGHT);

    // The fill under the capture hole lies outside the window region and never shows.
    FillWithColour(dc, &client, isRecording ? COLOR_FRAME_RECORDING : COLOR_FRAME_IDLE);
    RECT toolbar = {0, 0, client.right, toolbarHeight};
    FillWithColour(dc, &toolbar, COLOR_TOOLBAR);

    RECT captureRect = GetCaptureRect(window);
    WCHAR statusText[STATUS_TEXT_CAPACITY];
    if (recordingStage == RECORDING_SAVING) {
        wsprintfW(statusText, L"Saving %d %%", savePercent);
    } else {
        FormatStatusText(statusText, &captureRect, currentFps);
    }
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, COLOR_STATUS_TEXT);
    HGDIOBJ previousFont = SelectObject(dc, uiFont);
    RECT statusRect = {ScaleForDpi(STATUS_TEXT_LEFT), 0,
                       client.right - ScaleForDpi(STATUS_TEXT_RIGHT_INSET), toolbarHeight};
    DrawTextW(dc, statusText, -1, &statusRect, DT_SINGLELINE | DT_VCENTER);
    SelectObject(dc, previousFont);

    // The outlines stay one pixel wide at every DPI.
    FrameRect(dc, &client, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    RECT inner = {client.left + 1, client.top + 1, client.right - 1, client.bottom - 1};
    FrameRect(dc, &inner, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    EndPaint(window, &paint);
}

void OnGetMinMaxInfo(MINMAXINFO* info) {
    SIZE minTrackSize = GetMinTrackSize();
    info->ptMinTrackSize.x = minTrackSize.cx;
    info->ptMinTrackSize.y = minTrackSize.cy;
}

void OnContextMenu(HWND window, LPARAM lParam) {
    // A right-click on a button arrives here with mouse coordinates and is ignored.
    if (LOWORD(lParam) != KEYBOARD_MENU_COORDINATE || HIWORD(lParam) != KEYBOARD_MENU_COORDINATE) {
        return;
    }
    RECT windowRect = {};
    GetWindowRect(window, &windowRect);
    ShowOptionsMenu(window, windowRect.left + ScaleForDpi(MENU_KEY_OFFSET_X),
                    windowRect.top + ScaleForDpi(FRAME_TOOLBAR_HEIGHT));
}

void OnRButtonUp(HWND window, LPARAM lParam) {
    // While recording the toolbar strip answers HTCLIENT, so its right-clicks come here.
    POINT point = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    if (point.y >= ScaleForDpi(FRAME_TOOLBAR_HEIGHT)) {
        return;
    }
    ClientToScreen(window, &point);
    ShowOptionsMenu(window, point.x, point.y);
}

void SetFrameRate(HWND window, int fps) {
    currentFps = fps;
    InvalidateRect(window, nullptr, TRUE);
}

void OnCommand(HWND window, unsigned id) {
    switch (id) {
    case ID_REC: StartRecording(window); break;
    case ID_STOP: StopRecording(); break;
    case ID_CLOSE: SendMessageW(window, WM_CLOSE, 0, 0); break;
    case ID_FPS_120: SetFrameRate(window, 120); break;
    case ID_FPS_60: SetFrameRate(window, 60); break;
    case ID_FPS_30: SetFrameRate(window, 30); break;
    case ID_FPS_10: SetFrameRate(window, 10); break;
    case ID_RES_360P: SetCaptureSize(window, 640, 360); break;
    case ID_RES_720P: SetCaptureSize(window, 1280, 720); break;
    case ID_RES_1080P: SetCaptureSize(window, 1920, 1080); break;
    case ID_RECORD_MOUSE: recordMouse = recordMouse ? 0 : 1; break;
    default: break;
    }
}

void OnDpiChanged(HWND window, WPARAM wParam, const RECT* suggested) {
    windowDpi = HIWORD(wParam);
    CreateUiFont();
    CreateSymbolFont();
    SendFontToButtons();
    // The WM_SIZE this brings lays out, recuts and repaints at the new DPI.
    SetWindowPos(window, nullptr, suggested->left, suggested->top,
                 suggested->right - suggested->left, suggested->bottom - suggested->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

} // namespace

void FormatStatusText(WCHAR* text, const RECT* captureRect, int fps) {
    wsprintfW(text, L"%ld \u00D7 %ld \u00D7 %d Hz", captureRect->right - captureRect->left,
              captureRect->bottom - captureRect->top, fps);
}

void CreateUiFont() {
    DiscardFont(&uiFont);
    LOGFONTW logfont = {};
    GetObjectW(GetStockObject(SYSTEM_FONT), sizeof(logfont), &logfont);
    logfont.lfHeight = MulDiv(logfont.lfHeight, windowDpi, 96);
    logfont.lfWidth = MulDiv(logfont.lfWidth, windowDpi, 96);
    uiFont = CreateFontIndirectW(&logfont);
}

void CreateSymbolFont() {
    DiscardFont(&symbolFont);
    HDC screen = GetDC(nullptr);
    if (uiFont && !FontDrawsButtonTexts(screen, uiFont)) {
        LOGFONTW logfont = {};
        GetObjectW(uiFont, sizeof(logfont), &logfont);
        // The height is kept; the width is the face's own.
        logfont.lfWidth = 0;
        logfont.lfCharSet = DEFAULT_CHARSET;
        for (const WCHAR* face : SYMBOL_FONT_FACES) {
            lstrcpynW(logfont.lfFaceName, face, LF_FACESIZE);
            HFONT candidate = CreateFontIndirectW(&logfont);
            if (candidate && FontDrawsButtonTexts(screen, candidate)) {
                symbolFont = candidate;
                break;
            }
            DiscardFont(&candidate);
        }
    }
    ReleaseDC(nullptr, screen);
}

LRESULT CALLBACK FrameWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE: return OnCreate(window);
    case WM_DESTROY: OnDestroy(); return 0;
    case WM_SIZE: OnSize(window); return 0;
    case WM_PAINT: OnPaint(window); return 0;
    case WM_CLOSE: CloseFrameWindow(window); return 0;
    case WM_QUERYENDSESSION: return MaySessionEnd(lParam);
    case WM_ENDSESSION:
        // FALSE: the end was cancelled, and nothing changes.
        if (wParam) {
            EndSession(window, lParam);
        }
        return 0;
    case WM_GETMINMAXINFO: OnGetMinMaxInfo(reinterpret_cast<MINMAXINFO*>(lParam)); return 0;
    case WM_CONTEXTMENU: OnContextMenu(window, lParam); return 0;
    case WM_NCCALCSIZE:
        // No non-client area: the client rectangle is the whole window rectangle.
        if (wParam) {
            return 0;
        }
        break;
    case WM_NCHITTEST: return HitTestFrame(window, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
    case WM_NCPAINT: return 0;
    case WM_NCACTIVATE:
        // -1: the activation change must not draw a system frame over ours.
        return DefWindowProcW(window, WM_NCACTIVATE, wParam, -1);
    case WM_NCRBUTTONDOWN:
        // The default handling of a right press on a caption tracks the mouse
        // for a system menu this window lacks and swallows the release, so the
        // menu below would never open.
        if (wParam == HTCAPTION) {
            return 0;
        }
        break;
    case WM_NCRBUTTONUP:
        if (wParam == HTCAPTION) {
            ShowOptionsMenu(window, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
            return 0;
        }
        break;
    case WM_COMMAND: OnCommand(window, LOWORD(wParam)); return 0;
    case WM_RBUTTONUP: OnRButtonUp(window, lParam); return 0;
    case WM_DPICHANGED: OnDpiChanged(window, wParam, reinterpret_cast<RECT*>(lParam)); return 0;
    case WM_APP_RECORDING_DONE: FinishRecording(window, wParam); return 0;
    default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
