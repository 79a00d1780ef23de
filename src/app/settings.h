#pragma once
#include <windows.h>

// settings.ini under %LOCALAPPDATA%\quorvel: read once at start-up, written at close.
void LoadSettings();
void SaveSettings(HWND window);

// A stored value as a number: leading white space, one sign, decimal digits up
// to the first other character; no digits give 0, overflow the nearest limit.
int ParseSettingValue(const WCHAR* text);
