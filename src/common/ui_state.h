#pragma once
#include <windows.h>

// Process-wide UI state, touched only by the UI thread.
extern int currentFps;  // 10, 30, 60 or 120
extern int recordMouse; // 0 or 1
extern int isRecording; // 0 or 1: 1 exactly while recordingStage is RECORDING_RUNNING

// Where a recording stands. Set only with SetRecordingStage, which keeps
// isRecording in step.
enum RecordingStage {
    RECORDING_NONE,      // idle: REC starts one
    RECORDING_RUNNING,   // the worker records
    RECORDING_FINISHING, // the worker has ended; the error box is up
    RECORDING_UNSAVED,   // the finished file waits in the Save dialog or its boxes
    RECORDING_SAVING,    // the finished file is being moved, or copied to another drive
};
extern RecordingStage recordingStage;
void SetRecordingStage(RecordingStage stage);
extern int savePercent; // how far the copy has come, while recordingStage is RECORDING_SAVING
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
