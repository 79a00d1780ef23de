#pragma once
#include <windows.h>

void ShowOptionsMenu(HWND window, int x, int y);
