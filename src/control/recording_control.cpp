#include "control/recording_control.h"

void StartRecording(HWND) {}

void StopRecording() {}

void CloseFrameWindow(HWND window) {
    DestroyWindow(window);
}

void FinishRecording(HWND, WPARAM) {}
