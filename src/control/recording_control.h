#pragma once
#include <windows.h>

// The recording's life on the UI thread: REC, STOP, close, and the worker's report.
void StartRecording(HWND window);
void StopRecording();
void CloseFrameWindow(HWND window);
void FinishRecording(HWND window, WPARAM success);
