#pragma once
#include <windows.h>

// Registers the frame class and creates, sizes and shows the frame window
// (start-up steps after the settings are loaded). Returns null on failure.
HWND CreateFrameWindow(HINSTANCE instance);
