#pragma once
#include <windows.h>

// Frame colours; the outlines use the stock black and white brushes.
constexpr COLORREF COLOR_FRAME_IDLE = RGB(70, 70, 74);
constexpr COLORREF COLOR_FRAME_RECORDING = RGB(220, 40, 40);
constexpr COLORREF COLOR_TOOLBAR = RGB(32, 32, 36);
constexpr COLORREF COLOR_STATUS_TEXT = RGB(220, 220, 220);

// Room for the longest status text: three numbers of up to 11 characters each.
constexpr int STATUS_TEXT_CAPACITY = 64;

LRESULT CALLBACK FrameWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void CreateUiFont();

// Makes symbolFont, at uiFont's height, when uiFont lacks a glyph of a button's
// text: the first of a few faces that has every glyph of all three. Else null.
void CreateSymbolFont();

// "670 × 421 × 30 Hz": the capture area's width and height and the frame rate.
void FormatStatusText(WCHAR* text, const RECT* captureRect, int fps);
