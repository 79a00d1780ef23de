#pragma once
#include <windows.h>

// settings.ini under %LOCALAPPDATA%\quorvel: read once at start-up, written at close.
void LoadSettings();
void SaveSettings(HWND window);
