#pragma once
#include <windows.h>

// The one record the UI thread hands to the recording worker. The UI thread
// writes the inputs before the worker starts; the worker writes success,
// stoppedForSpace, endedEarly and errorText, then posts WM_APP_RECORDING_DONE
// as its last act.
struct RecordingJob {
    RECT captureRect;
    int fps;
    int recordMouse;
    WCHAR outputPath[MAX_PATH];
    HANDLE stopEvent;
    HWND notifyWindow;
    int success;
    int stoppedForSpace; // 1: ended while the file could still be finished, its disk nearly full
    // 1: the file could take no more (a refused sample, a failed finish), and
    // what it holds was kept
    int endedEarly;
    WCHAR errorText[256];
};

extern RecordingJob recordingJob;

// wParam = success (0 or 1), lParam = 0.
constexpr UINT WM_APP_RECORDING_DONE = WM_APP + 1;
