#pragma once
#include <windows.h>

// Process-wide UI state, touched only by the UI thread.
extern int currentFps;  // 10, 30, 60 or 120
extern int recordMouse; // 0 or 1
extern int isRecording; // 0 or 1
extern int windowDpi;
extern HFONT uiFont;
extern HFONT symbolFont; // for button texts uiFont has no glyphs for; may be null
extern HWND recButton;
extern HWND stopButton;
extern HWND closeButton;
extern HANDLE workerThread;
extern WINDOWPLACEMENT savedPlacement;
extern int placementValid;
extern HWND mainWindow;

// A 96-DPI metric in physical pixels at windowDpi, rounded to nearest.
int ScaleForDpi(int value);
