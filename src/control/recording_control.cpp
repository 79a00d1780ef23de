#include "control/recording_control.h"
#include "app/settings.h"
#include "common/recording_job.h"
#include "common/ui_state.h"
#include "control/shell_api.h"
#include "engine/engine.h"
#include "ui/frame_geometry.h"

namespace {

constexpr UINT TIMER_PERIOD_MS = 1;
// FOLDERID_Videos, spelled out: the GUID library would bring all known folders
// into the exe with it.
constexpr KNOWNFOLDERID VIDEOS_FOLDER = {
    0x18989B1D, 0x99B5, 0x455B, {0x84, 0x1C, 0xAB, 0x7C, 0x74, 0xE4, 0xDD, 0xFC}};
// Longest name the stamp pattern can give: five digits for each field of a
// SYSTEMTIME, so the length checks hold whatever the clock reports.
constexpr int STAMPED_NAME_CAPACITY = 64;

// The finish's boxes and Save dialog run message loops, so the frame's
// procedure goes on handling whatever arrives meanwhile: a REC would reuse the
// job, a close would destroy the dialog's owner. Both wait for the finish.
int finishing = 0;
int closeAfterFinish = 0;
// A finished recording waits in the Save dialog (or its boxes) for the user.
// Until then, as while it runs, a log-off or shut-down would lose it.
int savePending = 0;
// The name the Save dialog offers, stamped with the finish time; a session that
// ends before the user has saved keeps the file under it.
WCHAR defaultSaveName[STAMPED_NAME_CAPACITY];

void ShowMessage(HWND window, const WCHAR* text, UINT icon) {
    shellApi.MessageBoxW(window, text, L"quorvel", MB_OK | icon);
}

void FormatStampedName(WCHAR* name, const SYSTEMTIME* time) {
    wsprintfW(name, L"quorvel_%04d%02d%02d_%02d%02d%02d.mp4", time->wYear, time->wMonth, time->wDay,
              time->wHour, time->wMinute, time->wSecond);
}

// False, with path untouched, when the folder is empty or the path would not fit.
bool ComposeStampedPath(WCHAR* path, const WCHAR* folder, const WCHAR* name) {
    int folderLength = lstrlenW(folder);
    // Checked before formatting: wsprintfW takes no size and stops at 1024 units.
    if (folderLength == 0 || folderLength + lstrlenW(name) >= MAX_PATH)
        return false;
    wsprintfW(path, L"%s%s", folder, name);
    return true;
}

void StampDefaultSaveName() {
    SYSTEMTIME finishTime = {};
    shellApi.GetLocalTime(&finishTime);
    FormatStampedName(defaultSaveName, &finishTime);
}

void ShowRecordingState(HWND window, int recording) {
    isRecording = recording;
    EnableWindow(recButton, recording ? FALSE : TRUE);
    EnableWindow(stopButton, recording ? TRUE : FALSE);
    InvalidateRect(window, nullptr, TRUE);
}

// Windows holds a log-off or shut-down with the reason shown, from REC until
// the file is saved or discarded.
void HoldSessionEnd(HWND window) {
    shellApi.ShutdownBlockReasonCreate(window, L"A recording is not saved yet.");
}

void ReleaseSessionEnd(HWND window) {
    shellApi.ShutdownBlockReasonDestroy(window);
}

// Waits for the worker at most waitMs, closes its handles and shows the idle frame.
void JoinWorker(HWND window, DWORD waitMs) {
    if (workerThread) {
        WaitForSingleObject(workerThread, waitMs);
        CloseHandle(workerThread);
        workerThread = nullptr;
    }
    if (recordingJob.stopEvent) {
        CloseHandle(recordingJob.stopEvent);
        recordingJob.stopEvent = nullptr;
    }
    shellApi.timeEndPeriod(TIMER_PERIOD_MS);
    ShowRecordingState(window, 0);
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
// (or a temporary file that is already gone) ends without the file saved. A
// session that ends while a box or the dialog is open takes care of the file.
void SaveOrDiscardRecording(HWND window) {
    StampDefaultSaveName();
    WCHAR savePath[MAX_PATH] = {};
    lstrcpynW(savePath, defaultSaveName, MAX_PATH);
    const WCHAR* recordingPath = recordingJob.outputPath;
    savePending = 1;
    for (;;) {
        bool chosen = AskForSavePath(window, savePath);
        if (!savePending)
            return;
        if (!chosen) {
            DeleteFileW(recordingPath);
            break;
        }
        if (shellApi.MoveFileExW(recordingPath, savePath,
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
            break;
        ShowMessage(window, L"Could not save to that location.", MB_ICONERROR);
        if (!savePending)
            return;
        if (GetFileAttributesW(recordingPath) == INVALID_FILE_ATTRIBUTES)
            break;
    }
    savePending = 0;
    ReleaseSessionEnd(window);
}

// Moves a finished recording nobody saved into the user's Videos folder, never
// over a file already there. On failure it stays in the temporary folder.
void KeepInVideosFolder(const WCHAR* recordingPath) {
    PWSTR videos = nullptr;
    WCHAR folder[MAX_PATH];
    WCHAR target[MAX_PATH];
    if (SUCCEEDED(shellApi.SHGetKnownFolderPath(VIDEOS_FOLDER, 0, nullptr, &videos)) && videos &&
        lstrlenW(videos) + 1 < MAX_PATH) {
        wsprintfW(folder, L"%s\\", videos);
        // Write-through: the process may be ended as soon as the session's end is answered.
        if (ComposeStampedPath(target, folder, defaultSaveName))
            shellApi.MoveFileExW(recordingPath, target,
                                 MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH);
    }
    CoTaskMemFree(videos);
}

} // namespace

bool ComposeTemporaryPath(WCHAR* outputPath, const WCHAR* tempFolder, const SYSTEMTIME* startTime) {
    WCHAR name[STAMPED_NAME_CAPACITY];
    FormatStampedName(name, startTime);
    return ComposeStampedPath(outputPath, tempFolder, name);
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
    HoldSessionEnd(window);
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
        ReleaseSessionEnd(window);
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
    JoinWorker(window, FINISH_WAIT_MS);

    if (success) {
        SaveOrDiscardRecording(window);
        InvalidateRect(window, nullptr, TRUE);
    } else {
        DeleteFileW(recordingJob.outputPath);
        ReleaseSessionEnd(window);
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

BOOL MaySessionEnd() {
    return isRecording || savePending ? FALSE : TRUE;
}

void EndSession(HWND window) {
    if (isRecording) {
        if (recordingJob.stopEvent)
            SetEvent(recordingJob.stopEvent);
        // A worker still writing after the wait keeps the recording as it is.
        if (workerThread && WaitForSingleObject(workerThread, CLOSE_WAIT_MS) == WAIT_OBJECT_0) {
            JoinWorker(window, 0);
            if (recordingJob.success) {
                StampDefaultSaveName();
                KeepInVideosFolder(recordingJob.outputPath);
            } else {
                DeleteFileW(recordingJob.outputPath);
            }
            ReleaseSessionEnd(window);
        }
    } else if (savePending) {
        KeepInVideosFolder(recordingJob.outputPath);
        savePending = 0;
        ReleaseSessionEnd(window);
    }
    SaveSettings(window);
}
