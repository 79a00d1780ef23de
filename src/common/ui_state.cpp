#include "common/ui_state.h"
#include "common/recording_job.h"

int currentFps = 30;
int recordMouse = 0;
int isRecording = 0;
RecordingStage recordingStage = RECORDING_NONE;
int savePercent = 0;
int windowDpi = 96;
HFONT uiFont = nullptr;
HFONT symbolFont = nullptr;
HWND recButton = nullptr;
HWND stopButton = nullptr;
HWND closeButton = nullptr;
HANDLE workerThread = nullptr;
WINDOWPLACEMENT savedPlacement = {};
int placementValid = 0;
HWND mainWindow = nullptr;

RecordingJob recordingJob = {};

int ScaleForDpi(int value) {
    return MulDiv(value, windowDpi, 96);
}

void SetRecordingStage(RecordingStage stage) {
    recordingStage = stage;
    isRecording = stage == RECORDING_RUNNING ? 1 : 0;
}
