#include "control/recording_control.h"
#include "app/settings.h"
#include "common/recording_job.h"
#include "common/ui_state.h"
#include "control/shell_api.h"
#include "engine/engine.h"
#include "ui/frame_geometry.h"

namespace {

constexpr UINT TIMER_PERIOD_MS = 1;
// Longest name the stamp pattern can give: five digits for each field of a
// SYSTEMTIME, so the length checks hold whatever the clock reports.
constexpr int STAMPED_NAME_CAPACITY = 64;

// The finish's boxes and Save dialog run message loops, so the frame's
// procedure goes on handling whatever arrives meanwhile: a REC would reuse the
// job, a close would destroy the dialog's owner. Both wait for the finish.
int finishing = 0;
int closeAfterFinish = 0;

void ShowMessage(HWND window, const WCHAR* text, UINT icon) {
    shellApi.MessageBoxW(window, text, L"quorvel", MB_OK | icon);
}

void FormatStampedName(WCHAR* name, const SYSTEMTIME* time) {
    wsprintfW(name, L"quorvel_%04d%02d%02d_%02d%02d%02d.mp4", time->wYear, time->wMonth, time->wDay,
              time->wHour, time->wMinute, time->wSecond);
}

void ShowRecordingState(HWND window, int recording) {
    isRecording = recording;
    EnableWindow(recButton, recording ? FALSE : TRUE);
    EnableWindow(stopButton, recording ? TRUE : FALSE);
    InvalidateRect(window, nullptr, TRUE);
}

bool AskForSavePath(HWND window, WCHAR* savePath) {
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = window;
    dialog.lpstrFilter = L"MP4 Video (*.mp4)\0*.mp4\0All Files\0*.*\0";
    dialog.lpstrFile = savePath;
    dialog.nMaxFile = MAX_PATH;
    dialog.lpstrTitle = L"Save recording";
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST;
    dialog.lpstrDefExt = L"mp4";
    return shellApi.GetSaveFileNameW(&dialog) != FALSE;
}

// A failed move keeps the recording and asks again; only a cancelled dialog
// (or a temporary file that is already gone) ends without the file saved.
void SaveOrDiscardRecording(HWND window, const WCHAR* recordingPath) {
    SYSTEMTIME finishTime = {};
    shellApi.GetLocalTime(&finishTime);
    WCHAR savePath[MAX_PATH] = {};
    FormatStampedName(savePath, &finishTime);
    for (;;) {
        if (!AskForSavePath(window, savePath)) {
            DeleteFileW(recordingPath);
            return;
        }
        if (shellApi.MoveFileExW(recordingPath, savePath,
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
            return;
        ShowMessage(window, L"Could not save to that location.", MB_ICONERROR);
        if (GetFileAttributesW(recordingPath) == INVALID_FILE_ATTRIBUTES)
            return;
    }
}

} // namespace

bool ComposeTemporaryPath(WCHAR* outputPath, const WCHAR* tempFolder, const SYSTEMTIME* startTime) {
    WCHAR name[STAMPED_NAME_CAPACITY];
    FormatStampedName(name, startTime);
    int folderLength = lstrlenW(tempFolder);
    // Checked before formatting: wsprintfW takes no size and stops at 1024 units.
    if (folderLength == 0 || folderLength + lstrlenW(name) >= MAX_PATH)
        return false;
    wsprintfW(outputPath, L"%s%s", tempFolder, name);
    return true;
}

void StartRecording(HWND window) {
    if (isRecording || finishing)
        return;
    RECT captureRect = GetCaptureRect(window);
    if (captureRect.right - captureRect.left < MIN_CAPTURE_SIDE ||
        captureRect.bottom - captureRect.top < MIN_CAPTURE_SIDE) {
        ShowMessage(window, L"Capture area is too small.", MB_ICONWARNING);
        return;
    }

    ZeroMemory(&recordingJob, sizeof(recordingJob));
    recordingJob.captureRect = captureRect;
    recordingJob.fps = currentFps;
    recordingJob.recordMouse = recordMouse;
    recordingJob.notifyWindow = window;

    SYSTEMTIME startTime = {};
    shellApi.GetLocalTime(&startTime);
    WCHAR tempFolder[MAX_PATH] = {};
    DWORD tempLength = shellApi.GetTempPathW(MAX_PATH, tempFolder);
    // A result of MAX_PATH or more is the size the folder would need.
    if (tempLength >= MAX_PATH || tempFolder[MAX_PATH - 1] != L'\0' ||
        !ComposeTemporaryPath(recordingJob.outputPath, tempFolder, &startTime)) {
        ShowMessage(window, L"The temporary folder path is too long or unavailable.", MB_ICONERROR);
        return;
    }

    // Without the event neither STOP nor a close could ever end the worker.
    recordingJob.stopEvent = shellApi.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!recordingJob.stopEvent) {
        ShowMessage(window, L"Failed to create the recording's stop event.", MB_ICONERROR);
        return;
    }

    workerThread = shellApi.CreateThread(nullptr, 0, RecordingWorker, &recordingJob, 0, nullptr);
    if (!workerThread) {
        ShowMessage(window, L"Failed to start recording thread.", MB_ICONERROR);
        CloseHandle(recordingJob.stopEvent);
        recordingJob.stopEvent = nullptr;
        return;
    }

    shellApi.timeBeginPeriod(TIMER_PERIOD_MS);
    ShowRecordingState(window, 1);
}

void StopRecording() {
    if (isRecording && recordingJob.stopEvent)
        SetEvent(recordingJob.stopEvent);
}

void CloseFrameWindow(HWND window) {
    if (finishing) {
        closeAfterFinish = 1;
        return;
    }
    if (isRecording && recordingJob.stopEvent) {
        SetEvent(recordingJob.stopEvent);
        if (workerThread)
            WaitForSingleObject(workerThread, CLOSE_WAIT_MS);
        DeleteFileW(recordingJob.outputPath);
    }
    SaveSettings(window);
    DestroyWindow(window);
}

void FinishRecording(HWND window, WPARAM success) {
    // Only our own worker's report finishes a recording; a stray message would
    // otherwise unbalance the timer period and offer to save a file that is not there.
    if (!isRecording)
        return;
    finishing = 1;
    WCHAR recordingPath[MAX_PATH];
    lstrcpynW(recordingPath, recordingJob.outputPath, MAX_PATH);
    if (workerThread) {
        WaitForSingleObject(workerThread, FINISH_WAIT_MS);
        CloseHandle(workerThread);
        workerThread = nullptr;
    }
    if (recordingJob.stopEvent) {
        CloseHandle(recordingJob.stopEvent);
        recordingJob.stopEvent = nullptr;
    }
    shellApi.timeEndPeriod(TIMER_PERIOD_MS);
    ShowRecordingState(window, 0);

    if (success) {
        SaveOrDiscardRecording(window, recordingPath);
        InvalidateRect(window, nullptr, TRUE);
    } else {
        DeleteFileW(recordingPath);
        ShowMessage(window,
                    recordingJob.errorText[0] ? recordingJob.errorText : L"Recording failed.",
                    MB_ICONERROR);
    }

    finishing = 0;
    if (closeAfterFinish) {
        closeAfterFinish = 0;
        CloseFrameWindow(window);
    }
}
