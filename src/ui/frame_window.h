#pragma once
#include <windows.h>

LRESULT CALLBACK FrameWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void CreateUiFont();
