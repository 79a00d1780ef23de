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

// How one attempt to put the recording where the user chose ended.
enum class SaveOutcome { Saved, Failed, NoRoom, Cancelled };

// A copy goes to this name beside the chosen one and takes the chosen name only
// once complete: a copy cut short (a session's end that does not wait, a
// crash) leaves no truncated video under the name the user gave.
const WCHAR PART_SUFFIX[] = L".partial";

// One attempt to save, made on a thread of its own: the UI thread sets
// cancelled, the attempt the rest.
struct SaveAttempt {
    WCHAR from[MAX_PATH];
    WCHAR to[MAX_PATH];
    WCHAR part[MAX_PATH];
    volatile LONG percent;
    volatile LONG cancelled;
    ULONGLONG neededBytes;
    SaveOutcome outcome;
};
SaveAttempt saveAttempt;
HANDLE saveThread = nullptr;

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

// Whether the target's drive can take the whole recording: a file it replaces
// goes only once the copy is complete. A drive that cannot say is let be.
bool TargetHasRoom(SaveAttempt* save) {
    WCHAR folder[MAX_PATH];
    CopyFolderPart(folder, save->to);
    save->neededBytes = FileBytes(save->from);
    ULARGE_INTEGER available = {};
    return !shellApi.GetDiskFreeSpaceExW(folder, &available, nullptr, nullptr) ||
           available.QuadPart >= save->neededBytes;
}

DWORD CALLBACK ReportCopyProgress(LARGE_INTEGER totalBytes, LARGE_INTEGER copiedBytes,
                                  LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE,
                                  LPVOID data) {
    SaveAttempt* save = static_cast<SaveAttempt*>(data);
    if (totalBytes.QuadPart > 0)
        InterlockedExchange(&save->percent,
                            static_cast<LONG>(copiedBytes.QuadPart * 100 / totalBytes.QuadPart));
    return InterlockedCompareExchange(&save->cancelled, 0, 0) ? PROGRESS_CANCEL : PROGRESS_CONTINUE;
}

// Within one drive the move is a rename, over at once. Only another drive
// (ERROR_NOT_SAME_DEVICE) needs a copy, which could take minutes. The
// recording stays in the temporary folder until its copy is complete, so that
// a session's end meanwhile still finds it there.
SaveOutcome PlaceRecording(SaveAttempt* save) {
    if (shellApi.MoveFileExW(save->from, save->to, MOVEFILE_REPLACE_EXISTING))
        return SaveOutcome::Saved;
    if (GetLastError() != ERROR_NOT_SAME_DEVICE)
        return SaveOutcome::Failed;
    if (!TargetHasRoom(save))
        return SaveOutcome::NoRoom;
    if (lstrlenW(save->to) + lstrlenW(PART_SUFFIX) >= MAX_PATH)
        return SaveOutcome::Failed;
    wsprintfW(save->part, L"%s%s", save->to, PART_SUFFIX);
    if (!InterlockedCompareExchange(&save->cancelled, 0, 0) &&
        shellApi.CopyFileExW(save->from, save->part, ReportCopyProgress, save, nullptr, 0) &&
        shellApi.MoveFileExW(save->part, save->to, MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(save->from);
        return SaveOutcome::Saved;
    }
    // A share that went away may leave part of the copy behind.
    DeleteFileW(save->part);
    return InterlockedCompareExchange(&save->cancelled, 0, 0) ? SaveOutcome::Cancelled
                                                              : SaveOutcome::Failed;
}

// Every call of a save can take a network's time-out on an unreachable share,
// so none of them is made on the UI thread.
DWORD WINAPI RunSaveAttempt(LPVOID parameter) {
    SaveAttempt* save = static_cast<SaveAttempt*>(parameter);
    save->outcome = PlaceRecording(save);
    return 0;
}

// The frame's messages are handled while the save runs, as in a modal loop, and
// the toolbar follows the copy's progress. A quit met on the way is put back
// once the save has ended; until then sent messages are still answered, as
// GetMessage would, so that no other program waits on the frame meanwhile.
void PumpWhileSaving(HWND window) {
    bool quit = false;
    int quitCode = 0;
    while (MsgWaitForMultipleObjects(1, &saveThread, FALSE, COPY_PROGRESS_MS,
                                     quit ? QS_SENDMESSAGE : QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG message;
        if (quit)
            PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        while (!quit && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quit = true;
                quitCode = static_cast<int>(message.wParam);
                break;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        LONG percent = InterlockedCompareExchange(&saveAttempt.percent, 0, 0);
        if (recordingStage == RECORDING_SAVING && percent != savePercent) {
            savePercent = percent;
            InvalidateRect(window, nullptr, FALSE);
        }
    }
    if (quit)
        PostQuitMessage(quitCode);
}

// Saves on a thread of its own, shown as "Saving" from the start, so that the
// frame goes on painting and answering however long the drive takes: STOP
// cancels a copy, a close waits for it, REC is ignored.
SaveOutcome SaveRecording(HWND window, const WCHAR* recordingPath, const WCHAR* savePath) {
    ZeroMemory(&saveAttempt, sizeof(saveAttempt));
    lstrcpynW(saveAttempt.from, recordingPath, MAX_PATH);
    lstrcpynW(saveAttempt.to, savePath, MAX_PATH);
    saveAttempt.outcome = SaveOutcome::Failed;
    saveThread = shellApi.CreateThread(nullptr, 0, RunSaveAttempt, &saveAttempt, 0, nullptr);
    if (!saveThread)
        return SaveOutcome::Failed;
    savePercent = 0;
    SetRecordingStage(RECORDING_SAVING);
    EnableWindow(recButton, FALSE);
    EnableWindow(stopButton, TRUE);
    InvalidateRect(window, nullptr, TRUE);
    PumpWhileSaving(window);
    CloseHandle(saveThread);
    saveThread = nullptr;
    // A session that ended meanwhile has taken the stage on.
    if (recordingStage == RECORDING_SAVING)
        SetRecordingStage(RECORDING_UNSAVED);
    EnableWindow(recButton, TRUE);
    EnableWindow(stopButton, FALSE);
    InvalidateRect(window, nullptr, TRUE);
    return saveAttempt.outcome;
}

// Asks a running save to stop and waits for it at most waitMs; true once it has ended.
bool CancelSave(DWORD waitMs) {
    InterlockedExchange(&saveAttempt.cancelled, 1);
    return !saveThread || WaitForSingleObject(saveThread, waitMs) == WAIT_OBJECT_0;
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
    // A recording shorter than the user asked for says why before it is saved.
    const WCHAR* shortened = nullptr;
    if (recordingJob.stoppedForSpace)
        shortened = L"The disk is nearly full, so the recording was stopped. It is kept: choose "
                    L"where to save it.";
    else if (recordingJob.endedEarly)
        shortened = L"The recording ended early; what was recorded until then is kept: choose "
                    L"where to save it.";
    if (shortened) {
        ShowMessage(window, shortened, MB_ICONWARNING);
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
        SaveOutcome outcome = SaveRecording(window, recordingPath, savePath);
        if (outcome == SaveOutcome::Saved)
            break;
        if (recordingStage != RECORDING_UNSAVED)
            return;
        if (outcome == SaveOutcome::NoRoom) {
            WCHAR text[96];
            wsprintfW(text, L"Not enough free space there: the recording needs %lu MB.",
                      static_cast<unsigned long>((saveAttempt.neededBytes + BYTES_PER_MB - 1) /
                                                 BYTES_PER_MB));
            ShowMessage(window, text, MB_ICONWARNING);
        } else if (outcome == SaveOutcome::Failed) {
            ShowMessage(window, L"Could not save to that location.", MB_ICONERROR);
        }
        if (recordingStage != RECORDING_UNSAVED)
            return;
        if (GetFileAttributesW(recordingPath) == INVALID_FILE_ATTRIBUTES)
            break;
    }
    SetRecordingStage(RECORDING_FINISHING);
    ReleaseSessionEnd(window);
}

// Moves a finished recording nobody saved into the user's Videos folder, never
// over a file already there. Only a rename: Windows may end the process five
// seconds after the session's end, and a half-done copy is worse than none.
// From another drive, or on any failure, it stays in the temporary folder.
void MoveIntoVideosFolder(const WCHAR* recordingPath) {
    PWSTR videos = nullptr;
    WCHAR folder[MAX_PATH];
    WCHAR target[MAX_PATH];
    if (SUCCEEDED(shellApi.SHGetKnownFolderPath(VIDEOS_FOLDER, 0, nullptr, &videos)) && videos &&
        lstrlenW(videos) + 1 < MAX_PATH) {
        wsprintfW(folder, L"%s\\", videos);
        if (ComposeStampedPath(target, folder, defaultSaveName))
            shellApi.MoveFileExW(recordingPath, target, 0);
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
    // Only the session's end comes during a save: the recording is rescued once
    // the save has let go of it. A copy still busy after the wait leaves it
    // where it is, as a worker still writing does.
    if (recordingStage == RECORDING_SAVING && !CancelSave(waitMs)) {
        ReleaseSessionEnd(window);
        SetRecordingStage(RECORDING_FINISHING);
        return;
    }
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
        InterlockedExchange(&saveAttempt.cancelled, 1);
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
