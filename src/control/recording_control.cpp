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
// procedure goes on handling whatever arrives meanwhile: a close would destroy
// the dialog's owner, so it waits for the finish.
int closeAfterFinish = 0;
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

void ShowRecordingState(HWND window, RecordingStage stage) {
    SetRecordingStage(stage);
    EnableWindow(recButton, isRecording ? FALSE : TRUE);
    EnableWindow(stopButton, isRecording ? TRUE : FALSE);
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

// Asks the worker to stop and waits for it at most waitMs; true once it has ended.
bool StopWorker(DWORD waitMs) {
    if (recordingJob.stopEvent)
        SetEvent(recordingJob.stopEvent);
    return !workerThread || WaitForSingleObject(workerThread, waitMs) == WAIT_OBJECT_0;
}

void CloseWorkerHandles() {
    if (workerThread) {
        CloseHandle(workerThread);
        workerThread = nullptr;
    }
    if (recordingJob.stopEvent) {
        CloseHandle(recordingJob.stopEvent);
        recordingJob.stopEvent = nullptr;
    }
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
    SetRecordingStage(RECORDING_UNSAVED);
    for (;;) {
        bool chosen = AskForSavePath(window, savePath);
        if (recordingStage != RECORDING_UNSAVED)
            return;
        if (!chosen) {
            DeleteFileW(recordingPath);
            break;
        }
        if (shellApi.MoveFileExW(recordingPath, savePath,
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
            break;
        ShowMessage(window, L"Could not save to that location.", MB_ICONERROR);
        if (recordingStage != RECORDING_UNSAVED)
            return;
        if (GetFileAttributesW(recordingPath) == INVALID_FILE_ATTRIBUTES)
            break;
    }
    SetRecordingStage(RECORDING_FINISHING);
    ReleaseSessionEnd(window);
}

// Moves a finished recording nobody saved into the user's Videos folder, never
// over a file already there. On failure it stays in the temporary folder.
void MoveIntoVideosFolder(const WCHAR* recordingPath) {
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

// A recording runs, or a finished one waits for the user: a session's end would lose it.
bool RecordingUnsaved() {
    return recordingStage == RECORDING_RUNNING || recordingStage == RECORDING_UNSAVED;
}

// What becomes of a recording's file at its end.
enum class FileFate {
    OfferToSave,  // the worker's report of success: the Save dialog
    ShowFailure,  // the worker's report of failure: deleted, and the reason shown
    Discard,      // a close: deleted without a word
    KeepInVideos, // the session's end: moved into Videos; a failed recording deleted
};

// The one end of every recording, however it comes. A running one is stopped
// and its worker waited for at most waitMs; its handles are closed, the timer
// period ended and the frame shown idle. Then the file meets its fate and the
// session's end is no longer held for it.
void EndRecording(HWND window, DWORD waitMs, FileFate fate) {
    bool running = recordingStage == RECORDING_RUNNING;
    if (running) {
        // At the session's end a worker still writing keeps its file as it is.
        if (!StopWorker(waitMs) && fate == FileFate::KeepInVideos)
            return;
        CloseWorkerHandles();
        shellApi.timeEndPeriod(TIMER_PERIOD_MS);
        ShowRecordingState(window, RECORDING_FINISHING);
        if (fate == FileFate::KeepInVideos) {
            if (!recordingJob.success)
                fate = FileFate::Discard;
            StampDefaultSaveName();
        }
    }
    switch (fate) {
    case FileFate::OfferToSave: SaveOrDiscardRecording(window); return;
    case FileFate::ShowFailure:
        DeleteFileW(recordingJob.outputPath);
        ReleaseSessionEnd(window);
        ShowMessage(window,
                    recordingJob.errorText[0] ? recordingJob.errorText : L"Recording failed.",
                    MB_ICONERROR);
        return;
    case FileFate::Discard: DeleteFileW(recordingJob.outputPath); break;
    case FileFate::KeepInVideos: MoveIntoVideosFolder(recordingJob.outputPath); break;
    }
    ReleaseSessionEnd(window);
    // Within the finish (its Save dialog open), the finish itself ends the stage.
    SetRecordingStage(running ? RECORDING_NONE : RECORDING_FINISHING);
}

} // namespace

bool ComposeTemporaryPath(WCHAR* outputPath, const WCHAR* tempFolder, const SYSTEMTIME* startTime) {
    WCHAR name[STAMPED_NAME_CAPACITY];
    FormatStampedName(name, startTime);
    return ComposeStampedPath(outputPath, tempFolder, name);
}

void StartRecording(HWND window) {
    if (recordingStage != RECORDING_NONE)
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
    ShowRecordingState(window, RECORDING_RUNNING);
    HoldSessionEnd(window);
}

void StopRecording() {
    if (isRecording && recordingJob.stopEvent)
        SetEvent(recordingJob.stopEvent);
}

void CloseFrameWindow(HWND window) {
    if (recordingStage == RECORDING_FINISHING || recordingStage == RECORDING_UNSAVED) {
        closeAfterFinish = 1;
        return;
    }
    if (recordingStage == RECORDING_RUNNING)
        EndRecording(window, CLOSE_WAIT_MS, FileFate::Discard);
    SaveSettings(window);
    DestroyWindow(window);
}

void FinishRecording(HWND window, WPARAM success) {
    // Only our own worker's report finishes a recording; a stray message would
    // otherwise unbalance the timer period and offer to save a file that is not there.
    if (recordingStage != RECORDING_RUNNING)
        return;
    EndRecording(window, FINISH_WAIT_MS, success ? FileFate::OfferToSave : FileFate::ShowFailure);
    SetRecordingStage(RECORDING_NONE);
    if (success)
        InvalidateRect(window, nullptr, TRUE);
    if (closeAfterFinish) {
        closeAfterFinish = 0;
        CloseFrameWindow(window);
    }
}

BOOL MaySessionEnd(LPARAM reason) {
    // Nothing holds a critical end, and the Restart Manager's close must be
    // obeyed: the file is rescued when the end comes.
    if (reason & (ENDSESSION_CRITICAL | ENDSESSION_CLOSEAPP))
        return TRUE;
    return RecordingUnsaved() ? FALSE : TRUE;
}

void EndSession(HWND window, LPARAM reason) {
    // Windows offers to end a program that is still busy after about five
    // seconds; the settings go first.
    SaveSettings(window);
    if (RecordingUnsaved())
        EndRecording(window, CLOSE_WAIT_MS, FileFate::KeepInVideos);
    // The Restart Manager waits for the program to end on its own.
    if (reason & ENDSESSION_CLOSEAPP)
        DestroyWindow(window);
}
