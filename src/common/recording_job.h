#pragma once
#include <windows.h>

// The one record the UI thread hands to the recording worker. The UI thread
// writes the inputs before the worker starts; the worker writes success,
// stoppedForSpace and errorText, then posts WM_APP_RECORDING_DONE as its last act.
struct RecordingJob {
    RECT captureRect;
    int fps;
    int recordMouse;
    WCHAR outputPath[MAX_PATH];
    HANDLE stopEvent;
    HWND notifyWindow;
    int success;
    int stoppedForSpace; // 1: ended while the file could still be finished, its disk nearly full
    WCHAR errorText[256];
};

extern RecordingJob recordingJob;

// wParam = success (0 or 1), lParam = 0.
constexpr UINT WM_APP_RECORDING_DONE = WM_APP + 1;
