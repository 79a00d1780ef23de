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
constexpr ULONGLONG BYTES_PER_MB = 1024 * 1024;
// How often the frame looks at a running copy's progress.
constexpr DWORD COPY_PROGRESS_MS = 100;

// The finish's boxes and Save dialog run message loops, so the frame's
// procedure goes on handling whatever arrives meanwhile: a close would destroy
// the dialog's owner, so it waits for the finish.
int closeAfterFinish = 0;
// The name the Save dialog offers, stamped with the finish time; a session that
// ends before the user has saved keeps the file under it.
WCHAR defaultSaveName[STAMPED_NAME_CAPACITY];

// A recording on its way to another drive, shared with the copy's thread: the
// UI thread sets cancelled, the copy the rest.
struct SaveCopy {
    WCHAR from[MAX_PATH];
    WCHAR to[MAX_PATH];
    volatile LONG percent;
    volatile LONG cancelled;
    volatile LONG targetOpened; // from then on a failed copy leaves a part of the target
    BOOL moved;
};
SaveCopy saveCopy;
HANDLE copyThread = nullptr;

// How one attempt to put the recording where the user chose ended.
enum class SaveOutcome { Saved, Failed, NoRoom, Cancelled };

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

ULONGLONG FileBytes(const WCHAR* path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Whether the drive of savePath can take the recording, counting the room of
// a file it replaces; a drive that cannot say is let be. Says so when not.
bool TargetHasRoom(HWND window, const WCHAR* recordingPath, const WCHAR* savePath) {
    WCHAR folder[MAX_PATH];
    CopyFolderPart(folder, savePath);
    ULONGLONG needed = FileBytes(recordingPath);
    ULARGE_INTEGER available = {};
    if (!shellApi.GetDiskFreeSpaceExW(folder, &available, nullptr, nullptr) ||
        available.QuadPart + FileBytes(savePath) >= needed)
        return true;
    WCHAR text[96];
    wsprintfW(text, L"Not enough free space there: the recording needs %lu MB.",
              static_cast<unsigned long>((needed + BYTES_PER_MB - 1) / BYTES_PER_MB));
    ShowMessage(window, text, MB_ICONWARNING);
    return false;
}

DWORD CALLBACK ReportCopyProgress(LARGE_INTEGER totalBytes, LARGE_INTEGER copiedBytes,
                                  LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE,
                                  LPVOID data) {
    SaveCopy* copy = static_cast<SaveCopy*>(data);
    InterlockedExchange(&copy->targetOpened, 1);
    if (totalBytes.QuadPart > 0)
        InterlockedExchange(&copy->percent,
                            static_cast<LONG>(copiedBytes.QuadPart * 100 / totalBytes.QuadPart));
    return InterlockedCompareExchange(&copy->cancelled, 0, 0) ? PROGRESS_CANCEL : PROGRESS_CONTINUE;
}

DWORD WINAPI CopyRecording(LPVOID parameter) {
    SaveCopy* copy = static_cast<SaveCopy*>(parameter);
    copy->moved = shellApi.MoveFileWithProgressW(copy->from, copy->to, ReportCopyProgress, copy,
                                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
    // A part copy is no recording; Windows may leave one behind (a share that went away).
    if (!copy->moved && copy->targetOpened)
        DeleteFileW(copy->to);
    return 0;
}

// The frame's messages are handled while the copy runs, as in a modal loop, and
// the toolbar follows the copy's progress. A quit met on the way is put back
// once the copy has ended.
void PumpWhileCopying(HWND window) {
    bool quit = false;
    int quitCode = 0;
    while (MsgWaitForMultipleObjects(1, &copyThread, FALSE, COPY_PROGRESS_MS,
                                     quit ? 0 : QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG message;
        while (!quit && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quit = true;
                quitCode = static_cast<int>(message.wParam);
                break;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        LONG percent = InterlockedCompareExchange(&saveCopy.percent, 0, 0);
        if (recordingStage == RECORDING_SAVING && percent != savePercent) {
            savePercent = percent;
            InvalidateRect(window, nullptr, FALSE);
        }
    }
    if (quit)
        PostQuitMessage(quitCode);
}

// Copies the recording to another drive on a thread of its own, so that the
// frame goes on painting and answering: STOP cancels the copy, a close waits
// for it, REC is ignored.
SaveOutcome CopyToOtherDrive(HWND window, const WCHAR* recordingPath, const WCHAR* savePath) {
    ZeroMemory(&saveCopy, sizeof(saveCopy));
    lstrcpynW(saveCopy.from, recordingPath, MAX_PATH);
    lstrcpynW(saveCopy.to, savePath, MAX_PATH);
    copyThread = shellApi.CreateThread(nullptr, 0, CopyRecording, &saveCopy, 0, nullptr);
    if (!copyThread)
        return SaveOutcome::Failed;
    savePercent = 0;
    SetRecordingStage(RECORDING_SAVING);
    EnableWindow(recButton, FALSE);
    EnableWindow(stopButton, TRUE);
    InvalidateRect(window, nullptr, TRUE);
    PumpWhileCopying(window);
    CloseHandle(copyThread);
    copyThread = nullptr;
    // A session that ended meanwhile has taken the stage on.
    if (recordingStage == RECORDING_SAVING)
        SetRecordingStage(RECORDING_UNSAVED);
    EnableWindow(recButton, TRUE);
    EnableWindow(stopButton, FALSE);
    InvalidateRect(window, nullptr, TRUE);
    if (saveCopy.moved)
        return SaveOutcome::Saved;
    return saveCopy.cancelled ? SaveOutcome::Cancelled : SaveOutcome::Failed;
}

// Within one drive the move is a rename, over at once. Only another drive
// (ERROR_NOT_SAME_DEVICE) needs a copy, which could take minutes.
SaveOutcome MoveRecording(HWND window, const WCHAR* recordingPath, const WCHAR* savePath) {
    if (shellApi.MoveFileExW(recordingPath, savePath, MOVEFILE_REPLACE_EXISTING))
        return SaveOutcome::Saved;
    if (GetLastError() != ERROR_NOT_SAME_DEVICE)
        return SaveOutcome::Failed;
    if (!TargetHasRoom(window, recordingPath, savePath))
        return SaveOutcome::NoRoom;
    return CopyToOtherDrive(window, recordingPath, savePath);
}

// Asks a running copy to stop and waits for it at most waitMs.
void CancelCopy(DWORD waitMs) {
    InterlockedExchange(&saveCopy.cancelled, 1);
    if (copyThread)
        WaitForSingleObject(copyThread, waitMs);
}

// A failed move or copy keeps the recording and asks again, as does a copy
// the user cancelled; only a cancelled dialog (or a temporary file that is
// already gone) ends without the file saved. A session that ends while a box,
// the dialog or a copy is open takes care of the file.
void SaveOrDiscardRecording(HWND window) {
    StampDefaultSaveName();
    WCHAR savePath[MAX_PATH] = {};
    lstrcpynW(savePath, defaultSaveName, MAX_PATH);
    const WCHAR* recordingPath = recordingJob.outputPath;
    SetRecordingStage(RECORDING_UNSAVED);
    if (recordingJob.stoppedForSpace) {
        ShowMessage(window,
                    L"The disk is nearly full, so the recording was stopped. It is kept: choose "
                    L"where to save it.",
                    MB_ICONWARNING);
        if (recordingStage != RECORDING_UNSAVED)
            return;
    }
    for (;;) {
        bool chosen = AskForSavePath(window, savePath);
        if (recordingStage != RECORDING_UNSAVED)
            return;
        if (!chosen) {
            DeleteFileW(recordingPath);
            break;
        }
        SaveOutcome outcome = MoveRecording(window, recordingPath, savePath);
        if (outcome == SaveOutcome::Saved)
            break;
        if (recordingStage != RECORDING_UNSAVED)
            return;
        if (outcome == SaveOutcome::Failed) {
            ShowMessage(window, L"Could not save to that location.", MB_ICONERROR);
            if (recordingStage != RECORDING_UNSAVED)
                return;
        }
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
    return recordingStage == RECORDING_RUNNING || recordingStage == RECORDING_UNSAVED ||
           recordingStage == RECORDING_SAVING;
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
    // Only the session's end comes during a copy: the recording is rescued from
    // where it is, and the copy must let go of it first.
    if (recordingStage == RECORDING_SAVING)
        CancelCopy(waitMs);
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
    // A drive that cannot say how much room it has does not refuse the start.
    ULARGE_INTEGER available = {};
    if (shellApi.GetDiskFreeSpaceExW(tempFolder, &available, nullptr, nullptr) &&
        available.QuadPart < ComputeStartRoom(captureRect.right - captureRect.left,
                                              captureRect.bottom - captureRect.top, currentFps)) {
        WCHAR text[128];
        wsprintfW(text,
                  L"Not enough free disk space to record: %lu MB free on the drive of the "
                  L"temporary folder.",
                  static_cast<unsigned long>(available.QuadPart / BYTES_PER_MB));
        ShowMessage(window, text, MB_ICONWARNING);
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
    if (recordingStage == RECORDING_SAVING)
        InterlockedExchange(&saveCopy.cancelled, 1);
    if (isRecording && recordingJob.stopEvent)
        SetEvent(recordingJob.stopEvent);
}

void CloseFrameWindow(HWND window) {
    if (recordingStage == RECORDING_FINISHING || recordingStage == RECORDING_UNSAVED ||
        recordingStage == RECORDING_SAVING) {
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
