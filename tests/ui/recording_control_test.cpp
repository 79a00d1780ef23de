#include <gtest/gtest.h>
#include <deque>
#include <string>
#include <vector>
#include "common/command_ids.h"
#include "common/recording_job.h"
#include "common/ui_state.h"
#include "control/recording_control.h"
#include "control/shell_api.h"
#include "engine/engine.h"
#include "ui/frame_fixture.h"
#include "ui/frame_geometry.h"
#include "ui/frame_window.h"
#include "ui/scratch_folder.h"

namespace {

constexpr SYSTEMTIME START_TIME = {2031, 1, 4, 2, 3, 4, 5, 0};
constexpr SYSTEMTIME FINISH_TIME = {2031, 11, 3, 12, 13, 14, 15, 0};
const wchar_t START_NAME[] = L"quorvel_20310102_030405.mp4";
const wchar_t FINISH_NAME[] = L"quorvel_20311112_131415.mp4";
const char RECORDED_BYTES[] = "bytes the stand-in worker recorded";
const wchar_t FILTER_LIST[] = L"MP4 Video (*.mp4)\0*.mp4\0All Files\0*.*\0";
// The colours the frame's sides must show, written out rather than taken from
// the code under test.
constexpr COLORREF IDLE_GREY = RGB(70, 70, 74);
constexpr COLORREF RECORDING_RED = RGB(220, 40, 40);

struct ShownBox {
    HWND owner;
    std::wstring text;
    std::wstring caption;
    UINT type;
};

struct ShownDialog {
    OPENFILENAMEW fields;
    std::wstring initialFile;
    std::wstring filterList;
    std::wstring title;
    std::wstring defaultExtension;
};

struct DialogAnswer {
    bool save;
    std::wstring path;
};

// A message another program (or a queued click) delivers to the frame; Windows
// sends the session's end and waits for the answer.
struct ArrivingMessage {
    UINT message;
    WPARAM wParam;
    bool sent = false;
    LPARAM lParam = 0;
};

struct FileMove {
    std::wstring from;
    std::wstring to;
    DWORD flags;
};

// What the stand-ins were asked and what they answer.
struct ShellRecord {
    std::vector<std::wstring> shown; // "box" and "dialog", in the order they came up
    std::vector<ShownBox> boxes;
    std::vector<ShownDialog> dialogs;
    std::deque<DialogAnswer> answers; // no answer left: the dialog is cancelled
    // Posted to the owner while a box or dialog is open: the one shown
    // arrivalAt-th, counting boxes and dialogs together from 0.
    std::vector<ArrivingMessage> arrivingWhileOpen;
    size_t arrivalAt = 0;
    std::vector<LRESULT> sentAnswers;
    std::vector<std::wstring> blockReasons; // the reason given, or "removed"
    HWND blockedBy = nullptr;
    bool reasonHeld = false;
    std::wstring videosFolder;
    int videosFolderFailures = 0;
    SYSTEMTIME finishTime = FINISH_TIME;
    std::vector<bool> ownerAliveAtAnswer; // one per box or dialog, in order
    int threadsCreated = 0;
    LPTHREAD_START_ROUTINE threadStart = nullptr;
    LPVOID threadParameter = nullptr;
    SIZE_T threadStackSize = 1;
    DWORD threadFlags = 1;
    bool threadIdRequested = false;
    bool failThread = false;
    HANDLE createdThread = nullptr;
    HANDLE workerCopy = nullptr; // the test's own handle, open after the code closes its
    int eventsCreated = 0;
    BOOL eventManualReset = FALSE;
    BOOL eventInitiallySet = TRUE;
    bool eventNamed = true;
    bool failEvent = false;
    HANDLE createdEvent = nullptr;
    int clockReads = 0;
    std::wstring tempFolder; // empty: the real temporary folder
    std::vector<FileMove> moves;
    std::vector<UINT> periodsBegun;
    std::vector<UINT> periodsEnded;
    std::wstring otherDrive; // a folder the move finds on another drive
    ULONGLONG freeBytes = 1ull << 40;
    ULONGLONG otherDriveFreeBytes = 1ull << 40;
    bool freeSpaceUnreadable = false;
    std::vector<std::wstring> spaceAsked;
    bool shareHangs = false; // the other drive answers only after the network's time-out
};

ShellRecord shell;

// The copy to another drive: the real CopyFileExW unless steps is set. In
// steps it writes the target a part at a time and answers the progress
// routine as Windows does; a share that goes away at failAtStep leaves the part
// written. At the second step another thread sends `arriving` to the frame (a
// WM_QUIT comes to its thread); hanging at hangAtStep, the share answers once
// the frame has answered them.
struct CopyScript {
    int steps = 0;
    int failAtStep = -1;
    int hangAtStep = -1;
    int percentShown = -1; // by the toolbar as a complete copy ends
    std::vector<ArrivingMessage> arriving;
    std::vector<LRESULT> answers; // -1: not answered while the copy (or a hang) ran
    volatile bool copying = false;
    bool settingsAtCancel = false;
    HWND frame = nullptr;
    HANDLE asker = nullptr;
    std::wstring settingsFile;
};

CopyScript copyScript;

// How the stand-in worker behaves: like the real one, it may leave a file at
// outputPath, waits for the stop event unless it fails on its own, then
// reports through the job and the posted message.
struct WorkerScript {
    bool writesFile = true;
    bool waitsForStop = true;
    DWORD finalizingMs = 0; // after the stop, before the file is complete
    int success = 1;
    int stoppedForSpace = 0;
    int endedEarly = 0;
    std::wstring errorText;
    std::wstring watchedFile; // looked for as the worker ends
    bool watchedFileThere = false;
};

WorkerScript workerScript;

DWORD WINAPI StandInWorker(LPVOID parameter) {
    RecordingJob* job = static_cast<RecordingJob*>(parameter);
    if (workerScript.writesFile)
        WriteFileBytes(job->outputPath, RECORDED_BYTES);
    if (workerScript.waitsForStop)
        WaitForSingleObject(job->stopEvent, 10000);
    if (workerScript.finalizingMs) {
        Sleep(workerScript.finalizingMs);
        WriteFileBytes(job->outputPath, RECORDED_BYTES);
    }
    workerScript.watchedFileThere = PathExists(workerScript.watchedFile);
    job->success = workerScript.success;
    job->stoppedForSpace = workerScript.stoppedForSpace;
    job->endedEarly = workerScript.endedEarly;
    lstrcpynW(job->errorText, workerScript.errorText.c_str(), 255);
    PostMessageW(job->notifyWindow, WM_APP_RECORDING_DONE, job->success, 0);
    return 0;
}

// What a modal box or dialog does while it is open: the owner is disabled,
// and a message loop dispatches whatever arrives, until the user answers, the
// owner is destroyed (its owned windows go with it) or the quit message comes.
// True if the owner outlived the box.
bool RunModalLoop(HWND owner) {
    EnableWindow(owner, FALSE);
    if (shell.shown.size() == shell.arrivalAt + 1) {
        for (const ArrivingMessage& arriving : shell.arrivingWhileOpen) {
            if (arriving.sent)
                shell.sentAnswers.push_back(
                    SendMessageW(owner, arriving.message, arriving.wParam, arriving.lParam));
            else
                PostMessageW(owner, arriving.message, arriving.wParam, arriving.lParam);
        }
    }
    MSG message;
    while (IsWindow(owner) && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    bool ownerAlive = IsWindow(owner) != FALSE;
    EnableWindow(owner, TRUE);
    shell.ownerAliveAtAnswer.push_back(ownerAlive);
    return ownerAlive;
}

int WINAPI AnswerMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    shell.shown.push_back(L"box");
    shell.boxes.push_back({owner, text ? text : L"<null>", caption ? caption : L"<null>", type});
    return RunModalLoop(owner) ? IDOK : 0;
}

std::wstring CopyDoubleNullList(const wchar_t* list) {
    std::wstring copy;
    if (!list)
        return copy;
    while (*list) {
        size_t length = wcslen(list);
        copy.append(list, length + 1);
        list += length + 1;
    }
    return copy;
}

BOOL WINAPI AnswerSaveDialog(LPOPENFILENAMEW dialog) {
    shell.shown.push_back(L"dialog");
    shell.dialogs.push_back({*dialog, dialog->lpstrFile ? dialog->lpstrFile : L"<null>",
                             CopyDoubleNullList(dialog->lpstrFilter),
                             dialog->lpstrTitle ? dialog->lpstrTitle : L"<null>",
                             dialog->lpstrDefExt ? dialog->lpstrDefExt : L"<null>"});
    if (!RunModalLoop(dialog->hwndOwner) || shell.answers.empty())
        return FALSE;
    DialogAnswer answer = shell.answers.front();
    shell.answers.pop_front();
    if (!answer.save)
        return FALSE;
    lstrcpynW(dialog->lpstrFile, answer.path.c_str(), static_cast<int>(dialog->nMaxFile));
    return TRUE;
}

HANDLE WINAPI StartStandInWorker(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                                 LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                 LPDWORD threadId) {
    if (start != RecordingWorker)
        return ::CreateThread(security, stackSize, start, parameter, flags, threadId);
    ++shell.threadsCreated;
    shell.threadStart = start;
    shell.threadParameter = parameter;
    shell.threadStackSize = stackSize;
    shell.threadFlags = flags;
    shell.threadIdRequested = threadId != nullptr;
    if (shell.failThread || security)
        return nullptr;
    shell.createdThread = ::CreateThread(nullptr, 0, StandInWorker, parameter, 0, nullptr);
    DuplicateHandle(GetCurrentProcess(), shell.createdThread, GetCurrentProcess(),
                    &shell.workerCopy, SYNCHRONIZE, FALSE, 0);
    return shell.createdThread;
}

HANDLE WINAPI CreateRecordedEvent(LPSECURITY_ATTRIBUTES security, BOOL manualReset,
                                  BOOL initiallySet, LPCWSTR name) {
    ++shell.eventsCreated;
    shell.eventManualReset = manualReset;
    shell.eventInitiallySet = initiallySet;
    shell.eventNamed = name != nullptr;
    if (shell.failEvent)
        return nullptr;
    shell.createdEvent = ::CreateEventW(security, manualReset, initiallySet, name);
    return shell.createdEvent;
}

void WINAPI ReadScriptedClock(LPSYSTEMTIME time) {
    *time = shell.clockReads++ == 0 ? START_TIME : shell.finishTime;
}

// Answers as the real call does: the length on success, or the size needed.
DWORD WINAPI ReadScriptedTempPath(DWORD capacity, LPWSTR buffer) {
    if (shell.tempFolder.empty())
        return ::GetTempPathW(capacity, buffer);
    DWORD length = static_cast<DWORD>(shell.tempFolder.size());
    if (length + 1 > capacity)
        return length + 1;
    lstrcpyW(buffer, shell.tempFolder.c_str());
    return length;
}

bool OnOtherDrive(const std::wstring& path) {
    return !shell.otherDrive.empty() && path.rfind(shell.otherDrive, 0) == 0;
}

DWORD WINAPI AskFrameDuringCopy(LPVOID list);

// Meanwhile Windows asks the frame whether the session may end.
void HangLikeAnUnreachableShare() {
    static std::vector<ArrivingMessage> asking = {{WM_QUERYENDSESSION, 0, true, ENDSESSION_LOGOFF}};
    copyScript.copying = true;
    HANDLE asker = ::CreateThread(nullptr, 0, AskFrameDuringCopy, &asking, 0, nullptr);
    WaitForSingleObject(asker, INFINITE);
    CloseHandle(asker);
    copyScript.copying = false;
}

BOOL WINAPI RecordedMove(LPCWSTR from, LPCWSTR to, DWORD flags) {
    shell.moves.push_back({from, to, flags});
    if (shell.shareHangs && OnOtherDrive(to) && !OnOtherDrive(from))
        HangLikeAnUnreachableShare();
    if (OnOtherDrive(to) != OnOtherDrive(from) && !(flags & MOVEFILE_COPY_ALLOWED)) {
        SetLastError(ERROR_NOT_SAME_DEVICE);
        return FALSE;
    }
    return ::MoveFileExW(from, to, flags);
}

// Windows wants a folder: asked with a file's path it fails.
BOOL WINAPI AnswerFreeSpace(LPCWSTR folder, PULARGE_INTEGER available, PULARGE_INTEGER,
                            PULARGE_INTEGER) {
    shell.spaceAsked.push_back(folder);
    if (shell.shareHangs && OnOtherDrive(folder))
        HangLikeAnUnreachableShare();
    DWORD attributes = GetFileAttributesW(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    available->QuadPart = OnOtherDrive(folder) ? shell.otherDriveFreeBytes : shell.freeBytes;
    return shell.freeSpaceUnreadable ? FALSE : TRUE;
}

DWORD WINAPI AskFrameDuringCopy(LPVOID list) {
    for (const ArrivingMessage& arriving : *static_cast<std::vector<ArrivingMessage>*>(list)) {
        DWORD_PTR answer = 0;
        if (arriving.message == WM_QUIT) {
            PostThreadMessageW(GetWindowThreadProcessId(copyScript.frame, nullptr), WM_QUIT, 0, 0);
            Sleep(300); // the frame has taken it before the next message comes
            continue;
        }
        bool answered = SendMessageTimeoutW(copyScript.frame, arriving.message, arriving.wParam,
                                            arriving.lParam, SMTO_NORMAL, 10000, &answer) != 0;
        copyScript.answers.push_back(answered && copyScript.copying ? LRESULT(answer) : -1);
    }
    return 0;
}

BOOL WINAPI CopyInSteps(LPCWSTR from, LPCWSTR to, LPPROGRESS_ROUTINE progress, LPVOID data,
                        LPBOOL cancel, DWORD flags) {
    if ((flags & COPY_FILE_FAIL_IF_EXISTS) && PathExists(to)) {
        SetLastError(ERROR_FILE_EXISTS);
        return FALSE;
    }
    if (copyScript.steps == 0)
        return ::CopyFileExW(from, to, progress, data, cancel, flags);
    // Held open as Windows holds it: the source cannot be moved meanwhile.
    HANDLE source = CreateFileW(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    std::string bytes = ReadFileBytes(from);
    LARGE_INTEGER total = {}, copied = {};
    total.QuadPart = LONGLONG(bytes.size());
    DWORD reason = CALLBACK_STREAM_SWITCH;
    DWORD error = ERROR_SUCCESS;
    DWORD action = PROGRESS_CONTINUE;
    copyScript.copying = true;
    for (int step = 0; error == ERROR_SUCCESS && step <= copyScript.steps; ++step) {
        copied.QuadPart = total.QuadPart * step / copyScript.steps;
        WriteFileBytes(to, bytes.substr(0, size_t(copied.QuadPart)));
        if (step == copyScript.hangAtStep)
            WaitForSingleObject(copyScript.asker, 20000);
        if (step == copyScript.failAtStep)
            error = ERROR_UNEXP_NET_ERR;
        else if (action != PROGRESS_QUIET)
            action = progress(total, copied, total, copied, 1, reason, nullptr, nullptr, data);
        // Cancelled, the copy deletes its target; stopped, it leaves it to be resumed.
        if (error == ERROR_SUCCESS && (action == PROGRESS_CANCEL || action == PROGRESS_STOP)) {
            copyScript.settingsAtCancel = PathExists(copyScript.settingsFile);
            error = ERROR_REQUEST_ABORTED;
            if (action == PROGRESS_CANCEL)
                DeleteFileW(to);
        }
        reason = CALLBACK_CHUNK_FINISHED;
        if (step == 2)
            copyScript.asker =
                ::CreateThread(nullptr, 0, AskFrameDuringCopy, &copyScript.arriving, 0, nullptr);
        Sleep(40);
    }
    // Not cancelled, the copy lasts until the frame has answered, however slow the machine.
    if (error == ERROR_SUCCESS && copyScript.asker)
        WaitForSingleObject(copyScript.asker, 3000);
    for (DWORD start = GetTickCount();
         !error && savePercent != 100 && GetTickCount() - start < 1000;)
        Sleep(5);
    copyScript.percentShown = savePercent;
    copyScript.copying = false;
    CloseHandle(source);
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

// Wine has the two entry points but answers ERROR_CALL_NOT_IMPLEMENTED.
BOOL WINAPI RecordBlockReason(HWND window, LPCWSTR reason) {
    shell.blockReasons.push_back(reason ? reason : L"<null>");
    shell.blockedBy = window;
    shell.reasonHeld = true;
    return TRUE;
}

BOOL WINAPI RecordBlockReasonRemoved(HWND window) {
    shell.blockReasons.push_back(L"removed");
    shell.blockedBy = window;
    shell.reasonHeld = false;
    return TRUE;
}

// As the real call: a copy in task memory, without a trailing separator. The
// caller frees it even after a failure, which leaves it empty here.
HRESULT WINAPI AnswerKnownFolder(REFKNOWNFOLDERID id, DWORD, HANDLE, PWSTR* path) {
    *path = nullptr;
    if (!IsEqualGUID(id, FOLDERID_Videos))
        return E_INVALIDARG;
    if (shell.videosFolderFailures > 0) {
        --shell.videosFolderFailures;
        *path = static_cast<PWSTR>(CoTaskMemAlloc(sizeof(WCHAR)));
        **path = L'\0';
        return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    }
    size_t bytes = (shell.videosFolder.size() + 1) * sizeof(WCHAR);
    *path = static_cast<PWSTR>(CoTaskMemAlloc(bytes));
    memcpy(*path, shell.videosFolder.c_str(), bytes);
    return S_OK;
}

MMRESULT WINAPI RecordedBeginPeriod(UINT period) {
    shell.periodsBegun.push_back(period);
    return TIMERR_NOERROR;
}

MMRESULT WINAPI RecordedEndPeriod(UINT period) {
    shell.periodsEnded.push_back(period);
    return TIMERR_NOERROR;
}

bool HandleIsOpen(HANDLE handle) {
    DWORD flags = 0;
    return handle && GetHandleInformation(handle, &flags);
}

// The stand-in worker writes its file on its own thread, a moment after the start.
bool WaitForPath(const std::wstring& path, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!PathExists(path)) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(5);
    }
    return true;
}

std::wstring RealTempFolder() {
    WCHAR temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    return temp;
}

// Runs the frame window's message loop until it has handled the worker's report.
bool PumpUntilReported(DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(message.wParam));
                return false;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
            if (message.message == WM_APP_RECORDING_DONE)
                return true;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    return false;
}

// The real frame window with the modal parts, the worker thread, the clock and
// the timer answered by stand-ins; the temporary folder, file moves and
// deletions are the real ones. Settings written by a close land in a scratch folder.
class RecordingControl : public FrameWindowTest {
  protected:
    void SetUp() override {
        shell = ShellRecord{};
        workerScript = WorkerScript{};
        shellApi = realShellApi;
        shellApi.MessageBoxW = AnswerMessageBox;
        shellApi.GetSaveFileNameW = AnswerSaveDialog;
        shellApi.CreateThread = StartStandInWorker;
        shellApi.CreateEventW = CreateRecordedEvent;
        shellApi.GetLocalTime = ReadScriptedClock;
        shellApi.GetTempPathW = ReadScriptedTempPath;
        shellApi.MoveFileExW = RecordedMove;
        shellApi.timeBeginPeriod = RecordedBeginPeriod;
        shellApi.timeEndPeriod = RecordedEndPeriod;
        shellApi.ShutdownBlockReasonCreate = RecordBlockReason;
        shellApi.ShutdownBlockReasonDestroy = RecordBlockReasonRemoved;
        shellApi.SHGetKnownFolderPath = AnswerKnownFolder;
        shellApi.GetDiskFreeSpaceExW = AnswerFreeSpace;
        shellApi.CopyFileExW = CopyInSteps;
        scratch = MakeScratchFolder(L"control");
        copyScript = CopyScript{};
        copyScript.settingsFile = scratch + L"\\quorvel\\settings.ini";
        shell.otherDrive = scratch + L"\\other drive\\";
        CreateDirectoryW(shell.otherDrive.c_str(), nullptr);
        shell.videosFolder = scratch + L"\\Videos";
        CreateDirectoryW(shell.videosFolder.c_str(), nullptr);
        localAppData.Set(scratch);
        FrameWindowTest::SetUp();
        copyScript.frame = window;
    }

    void TearDown() override {
        if (workerThread) {
            if (recordingJob.stopEvent)
                SetEvent(recordingJob.stopEvent);
            WaitForSingleObject(workerThread, 10000);
            CloseHandle(workerThread);
            workerThread = nullptr;
        }
        if (shell.workerCopy) {
            WaitForSingleObject(shell.workerCopy, 10000);
            CloseHandle(shell.workerCopy);
        }
        if (recordingJob.stopEvent)
            CloseHandle(recordingJob.stopEvent);
        recordingJob.stopEvent = nullptr;
        JoinAsker();
        for (const std::wstring& name : FilesMatching(RealTempFolder() + L"quorvel_2031*.mp4"))
            DeleteFileW((RealTempFolder() + name).c_str());
        FrameWindowTest::TearDown();
        shellApi = realShellApi;
        RemoveFolderTree(scratch);
    }

    // Sizes the frame so that its capture area measures exactly width × height,
    // below the frame's minimum tracking size if need be.
    void SetCaptureArea(int width, int height) {
        SetWindowPos(window, nullptr, 0, 0, width + 2 * ScaleForDpi(FRAME_BORDER),
                     height + ScaleForDpi(FRAME_TOOLBAR_HEIGHT) + ScaleForDpi(FRAME_BORDER),
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOSENDCHANGING);
        RECT capture = GetCaptureRect(window);
        ASSERT_EQ(width, capture.right - capture.left);
        ASSERT_EQ(height, capture.bottom - capture.top);
    }

    // The thread that sent messages during the copy has had its answers.
    void JoinAsker() {
        if (copyScript.asker) {
            WaitForSingleObject(copyScript.asker, 10000);
            CloseHandle(copyScript.asker);
            copyScript.asker = nullptr;
        }
    }

    void Command(unsigned id) { SendMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }

    void StartAndStop() {
        Command(ID_REC);
        ASSERT_EQ(1, isRecording);
        Command(ID_STOP);
        ASSERT_TRUE(PumpUntilReported(5000));
    }

    std::vector<std::wstring> RecordingsInTempFolder() {
        return FilesMatching(RealTempFolder() + L"quorvel_2031*.mp4");
    }

    void ExpectIdle() {
        EXPECT_EQ(RECORDING_NONE, recordingStage);
        EXPECT_EQ(0, isRecording);
        EXPECT_EQ(nullptr, workerThread);
        EXPECT_EQ(nullptr, recordingJob.stopEvent);
        EXPECT_TRUE(IsWindowEnabled(recButton));
        EXPECT_FALSE(IsWindowEnabled(stopButton));
        EXPECT_FALSE(HandleIsOpen(shell.createdThread)) << "worker thread handle closed";
        EXPECT_FALSE(HandleIsOpen(shell.createdEvent)) << "stop event closed";
        EXPECT_FALSE(shell.reasonHeld) << "the session's end is still held";
    }

    // The close carried out at last: settings written, window gone, loop ended with 0.
    void ExpectClosed() {
        EXPECT_FALSE(IsWindow(window));
        EXPECT_FALSE(shell.reasonHeld) << "the session's end is still held";
        EXPECT_EQ(std::to_wstring(currentFps),
                  StoredSetting(scratch + L"\\quorvel\\settings.ini", L"settings", L"fps"));
        int exitCode = -1;
        EXPECT_TRUE(TakeQuitMessage(&exitCode));
        EXPECT_EQ(0, exitCode);
    }

    void ExpectOneBox(const wchar_t* text, UINT icon) {
        ASSERT_EQ(1u, shell.boxes.size());
        EXPECT_EQ(text, shell.boxes[0].text);
        EXPECT_EQ(L"quorvel", shell.boxes[0].caption);
        EXPECT_EQ(MB_OK | icon, shell.boxes[0].type);
        EXPECT_EQ(window, shell.boxes[0].owner);
    }

    LocalAppDataOverride localAppData;
    std::wstring scratch;
};

using RecordingStart = RecordingControl;
using RecordingStop = RecordingControl;
using RecordingFinish = RecordingControl;
using RecordingClose = RecordingControl;
using SessionEnd = RecordingControl;

TEST(TemporaryPath, FolderAndNameFillingTheBufferExactlyFit) {
    std::wstring folder = L"C:\\" + std::wstring(MAX_PATH - 1 - 27 - 4, L'f') + L"\\";
    ASSERT_EQ(size_t{MAX_PATH - 1 - 27}, folder.size());
    WCHAR outputPath[MAX_PATH] = {};
    ASSERT_TRUE(ComposeTemporaryPath(outputPath, folder.c_str(), &START_TIME));
    EXPECT_EQ(folder + START_NAME, outputPath);
}

TEST(TemporaryPath, OneUnitTooLongIsRefusedAndLeavesTheBufferAlone) {
    std::wstring folder = L"C:\\" + std::wstring(MAX_PATH - 27 - 4, L'f') + L"\\";
    WCHAR outputPath[MAX_PATH + 8];
    wmemset(outputPath, L'#', MAX_PATH + 8);
    EXPECT_FALSE(ComposeTemporaryPath(outputPath, folder.c_str(), &START_TIME));
    for (WCHAR unit : outputPath)
        ASSERT_EQ(L'#', unit);
}

TEST(TemporaryPath, EmptyFolderIsRefused) {
    WCHAR outputPath[MAX_PATH] = {};
    EXPECT_FALSE(ComposeTemporaryPath(outputPath, L"", &START_TIME));
}

TEST_F(RecordingStart, SixteenBySixteenStartsTheWorkerWithAFilledJob) {
    SetCaptureArea(16, 16);
    currentFps = 60;
    recordMouse = 1;
    RECT windowRect = {};
    GetWindowRect(window, &windowRect);

    Command(ID_REC);

    ASSERT_EQ(1, shell.threadsCreated);
    EXPECT_EQ(&RecordingWorker, shell.threadStart);
    EXPECT_EQ(&recordingJob, shell.threadParameter);
    EXPECT_EQ(0u, shell.threadStackSize);
    EXPECT_EQ(0u, shell.threadFlags);
    EXPECT_FALSE(shell.threadIdRequested);
    EXPECT_EQ(windowRect.left + 5, recordingJob.captureRect.left);
    EXPECT_EQ(windowRect.top + 34, recordingJob.captureRect.top);
    EXPECT_EQ(windowRect.left + 21, recordingJob.captureRect.right);
    EXPECT_EQ(windowRect.top + 50, recordingJob.captureRect.bottom);
    EXPECT_EQ(60, recordingJob.fps);
    EXPECT_EQ(1, recordingJob.recordMouse);
    EXPECT_EQ(window, recordingJob.notifyWindow);
    EXPECT_EQ(RealTempFolder() + START_NAME, recordingJob.outputPath);

    ASSERT_EQ(1, shell.eventsCreated);
    EXPECT_TRUE(shell.eventManualReset);
    EXPECT_FALSE(shell.eventInitiallySet);
    EXPECT_FALSE(shell.eventNamed);
    EXPECT_EQ(shell.createdEvent, recordingJob.stopEvent);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(recordingJob.stopEvent, 0));

    EXPECT_EQ(std::vector<UINT>{1}, shell.periodsBegun);
    EXPECT_EQ(1, isRecording);
    EXPECT_NE(nullptr, workerThread);
    EXPECT_FALSE(IsWindowEnabled(recButton));
    EXPECT_TRUE(IsWindowEnabled(stopButton));
    EXPECT_TRUE(shell.boxes.empty());
}

TEST_F(RecordingStart, FifteenPixelsWideOrHighShowsTheWarningAndStartsNothing) {
    const SIZE tooSmall[] = {{15, 400}, {400, 15}};
    for (SIZE size : tooSmall) {
        shell.boxes.clear();
        SetCaptureArea(size.cx, size.cy);
        recordingJob.fps = 77;
        wsprintfW(recordingJob.outputPath, L"untouched");

        Command(ID_REC);

        ExpectOneBox(L"Capture area is too small.", MB_ICONWARNING);
        EXPECT_EQ(0, shell.threadsCreated);
        EXPECT_EQ(0, shell.eventsCreated);
        EXPECT_EQ(0, shell.clockReads);
        EXPECT_TRUE(shell.periodsBegun.empty());
        EXPECT_EQ(77, recordingJob.fps) << "the job stays untouched";
        EXPECT_STREQ(L"untouched", recordingJob.outputPath);
        ExpectIdle();
    }
}

TEST_F(RecordingStart, RecWhileRecordingIsIgnored) {
    Command(ID_REC);
    ASSERT_EQ(1, shell.threadsCreated);
    StartRecording(window);
    EXPECT_EQ(1, shell.threadsCreated);
    EXPECT_EQ(1, shell.eventsCreated);
    EXPECT_TRUE(shell.boxes.empty());
    EXPECT_EQ(1, isRecording);
}

TEST_F(RecordingStart, TemporaryFolderTooDeepForThePathRefusesWithAnError) {
    // 240 units fit the folder buffer, but not together with the file name.
    shell.tempFolder = L"C:\\" + std::wstring(236, L't') + L"\\";
    Command(ID_REC);
    ExpectOneBox(L"The temporary folder path is too long or unavailable.", MB_ICONERROR);
    EXPECT_EQ(0, shell.eventsCreated);
    EXPECT_EQ(0, shell.threadsCreated);
    EXPECT_TRUE(shell.periodsBegun.empty());
    ExpectIdle();
}

TEST_F(RecordingStart, TemporaryFolderLongerThanItsBufferRefusesWithAnError) {
    shell.tempFolder = L"C:\\" + std::wstring(400, L't') + L"\\";
    Command(ID_REC);
    ExpectOneBox(L"The temporary folder path is too long or unavailable.", MB_ICONERROR);
    EXPECT_EQ(0, shell.threadsCreated);
    ExpectIdle();
}

TEST_F(RecordingStart, StopEventThatCannotBeCreatedStartsNoWorker) {
    shell.failEvent = true;
    Command(ID_REC);
    ExpectOneBox(L"Failed to create the recording's stop event.", MB_ICONERROR);
    EXPECT_EQ(0, shell.threadsCreated);
    EXPECT_TRUE(shell.periodsBegun.empty());
    ExpectIdle();
}

TEST_F(RecordingStart, ThreadThatCannotBeCreatedClosesTheEventAndStaysIdle) {
    shell.failThread = true;
    Command(ID_REC);
    ExpectOneBox(L"Failed to start recording thread.", MB_ICONERROR);
    ASSERT_NE(nullptr, shell.createdEvent);
    DWORD handleFlags = 0;
    EXPECT_FALSE(GetHandleInformation(shell.createdEvent, &handleFlags)) << "event closed";
    EXPECT_TRUE(shell.periodsBegun.empty());
    ExpectIdle();
}

TEST_F(RecordingStart, LessRoomThanTheReserveAndAMinuteRefuses) {
    // 1280 x 720 at 60 fps: 3,870,720 bit/s, so 64 MB and a minute need 96,139,264 bytes.
    SetCaptureArea(1280, 720);
    currentFps = 60;
    shell.freeBytes = 96139263;
    Command(ID_REC);
    ExpectOneBox(L"Not enough free disk space to record: 91 MB free on the drive of the "
                 L"temporary folder.",
                 MB_ICONWARNING);
    EXPECT_EQ(std::vector<std::wstring>{RealTempFolder()}, shell.spaceAsked);
    ExpectIdle();

    // A drive that cannot say does not refuse, nor does one whose low 32 bits alone are 1 MB.
    shell.freeBytes = 0;
    shell.freeSpaceUnreadable = true;
    StartAndStop();
    shell.freeSpaceUnreadable = false;
    shell.freeBytes = (4ull << 30) + (1 << 20);
    StartAndStop();
    shell.freeBytes = 96139264;
    Command(ID_REC);
    EXPECT_EQ(1, isRecording);
}

TEST_F(RecordingStop, SecondStopHasNoFurtherEffect) {
    Command(ID_REC);
    Command(ID_STOP);
    Command(ID_STOP);
    EXPECT_EQ(1, isRecording) << "recording until the worker reports";
    EXPECT_TRUE(IsWindowEnabled(stopButton));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(recordingJob.stopEvent, 0));

    ASSERT_TRUE(PumpUntilReported(5000));
    Command(ID_STOP);
    PumpMessages(50);
    EXPECT_EQ(1u, shell.dialogs.size());
    EXPECT_EQ(std::vector<UINT>{1}, shell.periodsEnded);
    ExpectIdle();
}

TEST_F(RecordingStop, StopWhileIdleDoesNothing) {
    HANDLE strayEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    recordingJob.stopEvent = strayEvent;
    Command(ID_STOP);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(strayEvent, 0));
    EXPECT_EQ(0, isRecording);
    recordingJob.stopEvent = nullptr;
    CloseHandle(strayEvent);
}

TEST_F(RecordingFinish, WorkerFailingOnItsOwnShowsItsTextAndReturnsToIdle) {
    workerScript.waitsForStop = false;
    workerScript.success = 0;
    workerScript.errorText = L"Capture area is off-screen";
    Command(ID_REC);
    ASSERT_TRUE(PumpUntilReported(5000));

    ExpectOneBox(L"Capture area is off-screen", MB_ICONERROR);
    EXPECT_TRUE(shell.dialogs.empty());
    EXPECT_EQ(std::vector<UINT>{1}, shell.periodsEnded);
    EXPECT_TRUE(RecordingsInTempFolder().empty());
    ExpectIdle();
}

TEST_F(RecordingFinish, FailureWithoutTextShowsRecordingFailedAndTheFrameTurnsGreyAgain) {
    workerScript.success = 0;
    RECT frame = {};
    GetWindowRect(window, &frame);
    const POINT side = {frame.left + 3, frame.top + 200};
    ASSERT_EQ(IDLE_GREY, WaitForScreenColour(side.x, side.y, IDLE_GREY, 3000));
    Command(ID_REC);
    EXPECT_EQ(RECORDING_RED, WaitForScreenColour(side.x, side.y, RECORDING_RED, 3000));
    Command(ID_STOP);
    ASSERT_TRUE(PumpUntilReported(5000));

    ExpectOneBox(L"Recording failed.", MB_ICONERROR);
    EXPECT_TRUE(RecordingsInTempFolder().empty());
    ExpectIdle();
    EXPECT_EQ(IDLE_GREY, WaitForScreenColour(side.x, side.y, IDLE_GREY, 3000));
}

TEST_F(RecordingFinish, SuccessThenCancelLeavesNoFileAndNoMessage) {
    StartAndStop();
    EXPECT_EQ(1u, shell.dialogs.size());
    EXPECT_TRUE(shell.boxes.empty());
    EXPECT_TRUE(shell.moves.empty());
    EXPECT_TRUE(RecordingsInTempFolder().empty());
    ExpectIdle();
}

TEST_F(RecordingFinish, SuccessThenSaveReplacesAnExistingFileAtTheChosenPath) {
    std::wstring target = scratch + L"\\chosen.mp4";
    ASSERT_TRUE(WriteFileBytes(target, "an older file"));
    shell.answers.push_back({true, target});
    StartAndStop();

    EXPECT_EQ(RECORDED_BYTES, ReadFileBytes(target));
    ASSERT_EQ(1u, shell.moves.size());
    EXPECT_EQ(RealTempFolder() + START_NAME, shell.moves[0].from);
    EXPECT_EQ(target, shell.moves[0].to);
    EXPECT_EQ(static_cast<DWORD>(MOVEFILE_REPLACE_EXISTING), shell.moves[0].flags)
        << "within one drive a rename; a copy only on ERROR_NOT_SAME_DEVICE";
    EXPECT_TRUE(shell.boxes.empty());
    EXPECT_TRUE(RecordingsInTempFolder().empty());
    ExpectIdle();
}

TEST_F(RecordingFinish, SaveDialogOffersTheFinishTimeNameWithItsFields) {
    StartAndStop();
    ASSERT_EQ(1u, shell.dialogs.size());
    const ShownDialog& shown = shell.dialogs[0];
    const OPENFILENAMEW& fields = shown.fields;
    EXPECT_EQ(152u, fields.lStructSize);
    EXPECT_EQ(window, fields.hwndOwner);
    EXPECT_EQ(std::wstring(FILTER_LIST, ARRAYSIZE(FILTER_LIST) - 1), shown.filterList);
    EXPECT_EQ(0u, fields.nFilterIndex);
    EXPECT_EQ(FINISH_NAME, shown.initialFile);
    EXPECT_EQ(static_cast<DWORD>(MAX_PATH), fields.nMaxFile);
    EXPECT_EQ(L"Save recording", shown.title);
    EXPECT_EQ(0x80Au, fields.Flags);
    EXPECT_EQ(L"mp4", shown.defaultExtension);
    EXPECT_EQ(nullptr, fields.hInstance);
    EXPECT_EQ(nullptr, fields.lpstrCustomFilter);
    EXPECT_EQ(0u, fields.nMaxCustFilter);
    EXPECT_EQ(nullptr, fields.lpstrFileTitle);
    EXPECT_EQ(0u, fields.nMaxFileTitle);
    EXPECT_EQ(nullptr, fields.lpstrInitialDir);
    EXPECT_EQ(0, fields.nFileOffset);
    EXPECT_EQ(0, fields.nFileExtension);
    EXPECT_EQ(0, fields.lCustData);
    EXPECT_EQ(nullptr, fields.lpfnHook);
    EXPECT_EQ(nullptr, fields.lpTemplateName);
    EXPECT_EQ(nullptr, fields.pvReserved);
    EXPECT_EQ(0u, fields.dwReserved);
    EXPECT_EQ(0u, fields.FlagsEx);
}

TEST_F(RecordingFinish, TemporaryNameCarriesTheStartTimeAndSaveNameTheFinishTime) {
    Command(ID_REC);
    EXPECT_EQ(RealTempFolder() + START_NAME, recordingJob.outputPath);
    Command(ID_STOP);
    ASSERT_TRUE(PumpUntilReported(5000));
    ASSERT_EQ(1u, shell.dialogs.size());
    EXPECT_EQ(FINISH_NAME, shell.dialogs[0].initialFile);
    EXPECT_EQ(2, shell.clockReads);
}

TEST_F(RecordingFinish, FailedMoveShowsTheMessageThenTheDialogAgain) {
    std::wstring unreachable = scratch + L"\\no such folder\\lost.mp4";
    std::wstring target = scratch + L"\\second try.mp4";
    shell.answers.push_back({true, unreachable});
    shell.answers.push_back({true, target});
    StartAndStop();

    EXPECT_EQ((std::vector<std::wstring>{L"dialog", L"box", L"dialog"}), shell.shown);
    ExpectOneBox(L"Could not save to that location.", MB_ICONERROR);
    ASSERT_EQ(2u, shell.dialogs.size());
    EXPECT_EQ(unreachable, shell.dialogs[1].initialFile) << "the dialog reopens on the choice";
    EXPECT_EQ(RECORDED_BYTES, ReadFileBytes(target));
    EXPECT_TRUE(RecordingsInTempFolder().empty());
    ExpectIdle();
}

TEST_F(RecordingFinish, FailedMoveThenCancelDiscardsTheRecording) {
    shell.answers.push_back({true, scratch + L"\\no such folder\\lost.mp4"});
    StartAndStop();

    EXPECT_EQ((std::vector<std::wstring>{L"dialog", L"box", L"dialog"}), shell.shown);
    EXPECT_TRUE(RecordingsInTempFolder().empty());
    ExpectIdle();
}

TEST_F(RecordingFinish, FailedMoveOfAVanishedFileDoesNotAskAgain) {
    workerScript.writesFile = false;
    shell.answers.push_back({true, scratch + L"\\chosen.mp4"});
    StartAndStop();

    EXPECT_EQ((std::vector<std::wstring>{L"dialog", L"box"}), shell.shown);
    ExpectOneBox(L"Could not save to that location.", MB_ICONERROR);
    ExpectIdle();
}

TEST_F(RecordingFinish, RecDuringTheSaveDialogIsIgnoredAndTheRecordingIsSaved) {
    std::wstring target = scratch + L"\\chosen.mp4";
    shell.answers.push_back({true, target});
    shell.arrivingWhileOpen.push_back({WM_COMMAND, MAKEWPARAM(ID_REC, BN_CLICKED)});
    StartAndStop();

    EXPECT_EQ(1, shell.threadsCreated) << "no second recording over the first";
    EXPECT_EQ(RECORDED_BYTES, ReadFileBytes(target));
    ASSERT_EQ(1u, shell.moves.size());
    EXPECT_EQ(RealTempFolder() + START_NAME, shell.moves[0].from);
    EXPECT_TRUE(shell.boxes.empty());
    EXPECT_TRUE(RecordingsInTempFolder().empty());
    ExpectIdle();

    Command(ID_REC);
    EXPECT_EQ(2, shell.threadsCreated) << "REC works again once the finish is over";
}

TEST_F(RecordingFinish, StoppedForSpaceSaysSoThenTheRealCopyTakesItToAnotherDrive) {
    std::wstring target = shell.otherDrive + L"chosen.mp4";
    workerScript.stoppedForSpace = 1;
    shell.freeSpaceUnreadable = true;
    shell.answers.push_back({true, target});
    StartAndStop();

    EXPECT_EQ((std::vector<std::wstring>{L"box", L"dialog"}), shell.shown);
    ExpectOneBox(L"The disk is nearly full, so the recording was stopped. It is kept: choose "
                 L"where to save it.",
                 MB_ICONWARNING);
    EXPECT_EQ(RECORDED_BYTES, ReadFileBytes(target)) << "by the real CopyFileExW";
    EXPECT_TRUE(RecordingsInTempFolder().empty());
    ExpectIdle();
}

TEST_F(RecordingFinish, EndedEarlySaysSoThenOffersTheSave) {
    std::wstring target = scratch + L"\\early.mp4";
    workerScript.endedEarly = 1;
    shell.answers.push_back({true, target});
    StartAndStop();

    EXPECT_EQ((std::vector<std::wstring>{L"box", L"dialog"}), shell.shown);
    ExpectOneBox(L"The recording ended early; what was recorded until then is kept: choose where "
                 L"to save it.",
                 MB_ICONWARNING);
    EXPECT_EQ(RECORDED_BYTES, ReadFileBytes(target));
    ExpectIdle();
}

TEST_F(RecordingFinish, CopyCancelledFailedOrWithoutRoomRemovesItsPartAndAsksAgain) {
    // The recording's 34 bytes need 1 MB. The copy goes beside the chosen name: a
    // file it replaces makes no room, and stays unless the copy is complete.
    const wchar_t* const couldNotSave = L"Could not save to that location.";
    const wchar_t* const noRoom = L"Not enough free space there: the recording needs 1 MB.";
    const struct {
        const char* name;
        int failAtStep;
        bool stop;
        ULONGLONG freeBytes;
        const char* replaced;
        const wchar_t* box; // none, and not stopped: the copy is made
        UINT icon;
    } cases[] = {
        {"STOP", -1, true, 34, nullptr, nullptr, 0},
        {"failed", 5, false, 34, "an older video", couldNotSave, MB_ICONERROR},
        {"failed before its first progress", 0, false, 34, nullptr, couldNotSave, MB_ICONERROR},
        {"no room", -1, false, 33, nullptr, noRoom, MB_ICONWARNING},
        {"room of the replaced file", -1, false, 4, "30 bytes of an older video", noRoom,
         MB_ICONWARNING},
        // Its low 32 bits alone are 0.
        {"4 GiB free", -1, false, 4ull << 30, "an older video", nullptr, 0}};
    std::wstring chosen = shell.otherDrive + L"chosen.mp4";
    std::wstring second = scratch + L"\\second try.mp4";
    copyScript.steps = 10;
    WriteFileBytes(chosen + L".partial", "left by a copy cut short"); // replaced by the first
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.replaced)
            WriteFileBytes(chosen, c.replaced);
        shell.shown.clear();
        shell.boxes.clear();
        shell.otherDriveFreeBytes = c.freeBytes;
        shell.answers = {{true, chosen}, {true, second}};
        copyScript.failAtStep = c.failAtStep;
        copyScript.arriving.clear();
        if (c.stop)
            copyScript.arriving.push_back({WM_COMMAND, MAKEWPARAM(ID_STOP, BN_CLICKED), true});
        StartAndStop();
        JoinAsker();

        if (c.box)
            ExpectOneBox(c.box, c.icon);
        EXPECT_EQ(c.box ? 1u : 0u, shell.boxes.size());
        bool saved = !c.box && !c.stop;
        EXPECT_EQ(saved ? RECORDED_BYTES : c.replaced ? c.replaced : "", ReadFileBytes(chosen));
        EXPECT_FALSE(PathExists(chosen + L".partial")) << "no part is left";
        EXPECT_EQ(saved ? "" : RECORDED_BYTES, ReadFileBytes(second)) << "kept meanwhile";
        DeleteFileW(chosen.c_str());
        DeleteFileW(second.c_str());
        ExpectIdle();
    }
}

TEST_F(RecordingFinish, ReportWhileIdleIsIgnored) {
    PostMessageW(window, WM_APP_RECORDING_DONE, 1, 0);
    ASSERT_TRUE(PumpUntilReported(2000));
    EXPECT_TRUE(shell.shown.empty());
    EXPECT_TRUE(shell.periodsEnded.empty());
    ExpectIdle();
}

TEST_F(RecordingClose, ClosingDuringARecordingWaitsForTheWorkerThenDiscardsIt) {
    currentFps = 120;
    // The worker completes its file a while after the stop (longer than Wine's
    // own wait in destroying a shown window): a deletion made before it has
    // ended would be undone by that last write.
    workerScript.finalizingMs = 3000;
    Command(ID_REC);
    ASSERT_EQ(1, isRecording);
    std::wstring temporaryFile = recordingJob.outputPath;
    ASSERT_TRUE(WaitForPath(temporaryFile, 5000));

    Command(ID_CLOSE);

    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(shell.workerCopy, 0))
        << "the close returns only after the worker has ended";
    EXPECT_FALSE(PathExists(temporaryFile)) << "deleted after the worker's last write";
    EXPECT_TRUE(shell.shown.empty()) << "no Save dialog and no message";
    ExpectClosed();
}

TEST_F(RecordingClose, CloseDuringTheSaveDialogWaitsForTheSaveThenCloses) {
    currentFps = 120;
    std::wstring target = scratch + L"\\chosen.mp4";
    shell.answers.push_back({true, target});
    shell.arrivingWhileOpen.push_back({WM_CLOSE, 0});
    StartAndStop();

    EXPECT_EQ(std::vector<bool>{true}, shell.ownerAliveAtAnswer) << "the dialog keeps its owner";
    EXPECT_EQ(RECORDED_BYTES, ReadFileBytes(target));
    EXPECT_TRUE(RecordingsInTempFolder().empty());
    ExpectClosed();
}

TEST_F(RecordingClose, CloseDuringTheErrorBoxClosesOnceItIsDismissed) {
    currentFps = 60;
    workerScript.waitsForStop = false;
    workerScript.success = 0;
    shell.arrivingWhileOpen.push_back({WM_COMMAND, MAKEWPARAM(ID_CLOSE, BN_CLICKED)});
    Command(ID_REC);
    ASSERT_TRUE(PumpUntilReported(5000));

    ExpectOneBox(L"Recording failed.", MB_ICONERROR);
    EXPECT_EQ(std::vector<bool>{true}, shell.ownerAliveAtAnswer) << "the box keeps its owner";
    EXPECT_TRUE(RecordingsInTempFolder().empty());
    ExpectClosed();
}

TEST_F(RecordingClose, CloseDuringTheCouldNotSaveBoxStillLetsTheUserSave) {
    currentFps = 10;
    std::wstring target = scratch + L"\\second try.mp4";
    shell.answers.push_back({true, scratch + L"\\no such folder\\lost.mp4"});
    shell.answers.push_back({true, target});
    shell.arrivingWhileOpen.push_back({WM_CLOSE, 0});
    shell.arrivalAt = 1;
    StartAndStop();

    EXPECT_EQ((std::vector<std::wstring>{L"dialog", L"box", L"dialog"}), shell.shown);
    EXPECT_EQ((std::vector<bool>{true, true, true}), shell.ownerAliveAtAnswer);
    EXPECT_EQ(RECORDED_BYTES, ReadFileBytes(target));
    EXPECT_TRUE(RecordingsInTempFolder().empty());
    ExpectClosed();
}

TEST_F(RecordingClose, CopyToAnotherDriveAnswersThroughoutAndACloseWaitsForIt) {
    std::wstring target = shell.otherDrive + L"chosen.mp4";
    shell.answers.push_back({true, target});
    shell.shareHangs = true;
    copyScript.steps = 10;
    copyScript.arriving = {{WM_QUIT, 0},
                           {WM_QUERYENDSESSION, 0, true, ENDSESSION_LOGOFF},
                           {WM_COMMAND, MAKEWPARAM(ID_REC, BN_CLICKED), true},
                           {WM_CLOSE, 0, true}};
    StartAndStop();
    JoinAsker();

    EXPECT_EQ((std::vector<LRESULT>{FALSE, FALSE, FALSE, 0, 0}), copyScript.answers)
        << "answered while the move and the room check hang, and mid-copy after a quit";
    EXPECT_EQ(100, copyScript.percentShown);
    EXPECT_EQ(1, shell.threadsCreated) << "REC is ignored during the copy";
    EXPECT_EQ(RECORDED_BYTES, ReadFileBytes(target));
    EXPECT_TRUE(shell.boxes.empty());
    EXPECT_TRUE(RecordingsInTempFolder().empty());
    ExpectClosed();
}

TEST_F(RecordingClose, ClosingWhileIdleWritesTheSettingsInOrderAndEndsTheLoop) {
    currentFps = 10;
    recordMouse = 1;
    SetWindowPos(window, nullptr, 140, 60, 720, 480, SWP_NOZORDER | SWP_NOACTIVATE);
    Command(ID_CLOSE);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(shell.shown.empty());
    std::vector<std::wstring> expected = {L"[settings]", L"fps=10", L"recordMouse=1",
                                          L"[window]",   L"x=140",  L"y=60",
                                          L"w=720",      L"h=480",  L"maximized=0"};
    EXPECT_EQ(expected, FileLines(scratch + L"\\quorvel\\settings.ini"));
    int exitCode = -1;
    EXPECT_TRUE(TakeQuitMessage(&exitCode));
    EXPECT_EQ(0, exitCode);
}

const std::vector<std::wstring> HELD_THEN_RELEASED = {L"A recording is not saved yet.", L"removed"};

// The bits of lParam come in combinations: a forced log-off carries both, and
// so does an installer's close that will not wait.
constexpr LPARAM FORCED_LOGOFF = ENDSESSION_CRITICAL | ENDSESSION_LOGOFF;
constexpr LPARAM FORCED_INSTALLERS_CLOSE = ENDSESSION_CRITICAL | ENDSESSION_CLOSEAPP;

TEST_F(SessionEnd, LogOffIsRefusedWhileUnsavedButNotAForcedEndOrAnInstallersClose) {
    EXPECT_EQ(TRUE, SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
    Command(ID_REC);
    EXPECT_EQ(FALSE, SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
    EXPECT_EQ(FALSE, SendMessageW(window, WM_QUERYENDSESSION, 0, 0)) << "a shut-down";
    EXPECT_EQ(TRUE, SendMessageW(window, WM_QUERYENDSESSION, 0, FORCED_LOGOFF));
    EXPECT_EQ(TRUE, SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_CRITICAL));
    EXPECT_EQ(TRUE, SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP));
    EXPECT_EQ(std::vector<std::wstring>{L"A recording is not saved yet."}, shell.blockReasons);
    EXPECT_EQ(window, shell.blockedBy);

    SendMessageW(window, WM_ENDSESSION, FALSE, FORCED_LOGOFF);
    EXPECT_EQ(1, isRecording) << "a cancelled end changes nothing";
    EXPECT_FALSE(PathExists(scratch + L"\\quorvel\\settings.ini"));

    shell.arrivingWhileOpen.push_back({WM_QUERYENDSESSION, 0, true, ENDSESSION_LOGOFF});
    shell.arrivingWhileOpen.push_back({WM_QUERYENDSESSION, 0, true, FORCED_LOGOFF});
    shell.arrivingWhileOpen.push_back({WM_QUERYENDSESSION, 0, true, ENDSESSION_CLOSEAPP});
    Command(ID_STOP);
    ASSERT_TRUE(PumpUntilReported(5000));
    EXPECT_EQ((std::vector<LRESULT>{FALSE, TRUE, TRUE}), shell.sentAnswers) << "in the Save dialog";
    EXPECT_EQ(HELD_THEN_RELEASED, shell.blockReasons) << "released once cancelled";
    EXPECT_EQ(TRUE, SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
}

TEST_F(SessionEnd, ForcedEndDuringARecordingWritesTheSettingsThenFinishesItIntoVideos) {
    currentFps = 60;
    shell.finishTime = {2032, 2, 0, 29, 23, 58, 59, 0};
    // Long enough that a wait any shorter than the allowed five seconds gives up
    // on it; a deletion or move made before the last write would be undone by it.
    workerScript.finalizingMs = 4000;
    workerScript.watchedFile = scratch + L"\\quorvel\\settings.ini";
    Command(ID_REC);
    std::wstring temporaryFile = recordingJob.outputPath;
    ASSERT_TRUE(WaitForPath(temporaryFile, 5000));

    SendMessageW(window, WM_ENDSESSION, TRUE, FORCED_LOGOFF);

    EXPECT_TRUE(workerScript.watchedFileThere) << "settings written before the worker's wait";
    EXPECT_EQ(RECORDED_BYTES, ReadFileBytes(shell.videosFolder + L"\\quorvel_20320229_235859.mp4"));
    ASSERT_EQ(1u, shell.moves.size());
    EXPECT_EQ(temporaryFile, shell.moves[0].from);
    EXPECT_EQ(0u, shell.moves[0].flags) << "a rename, never over a file, never a copy";
    EXPECT_TRUE(RecordingsInTempFolder().empty());
    EXPECT_EQ(L"60", StoredSetting(scratch + L"\\quorvel\\settings.ini", L"settings", L"fps"));
    EXPECT_EQ(HELD_THEN_RELEASED, shell.blockReasons);
    ExpectIdle();
    EXPECT_TRUE(IsWindow(window)) << "Windows ends the process; only an installer's close closes";
    ASSERT_TRUE(PumpUntilReported(2000));
    EXPECT_TRUE(shell.shown.empty()) << "the worker's report offers nothing afterwards";
}

TEST_F(SessionEnd, WorkerStillWritingAfterFiveSecondsKeepsItsFileWhereItIs) {
    workerScript.finalizingMs = 6000;
    Command(ID_REC);
    std::wstring temporaryFile = recordingJob.outputPath;
    ASSERT_TRUE(WaitForPath(temporaryFile, 5000));

    SendMessageW(window, WM_ENDSESSION, TRUE, FORCED_LOGOFF);

    EXPECT_TRUE(shell.moves.empty()) << "nothing is moved from under the worker";
    EXPECT_TRUE(PathExists(temporaryFile)) << "nor deleted";
}

TEST_F(SessionEnd, FailedRecordingIsDeletedAtTheEnd) {
    workerScript.success = 0;
    Command(ID_REC);
    ASSERT_TRUE(WaitForPath(recordingJob.outputPath, 5000));

    SendMessageW(window, WM_ENDSESSION, TRUE, 0);

    EXPECT_TRUE(RecordingsInTempFolder().empty());
    EXPECT_TRUE(FilesMatching(shell.videosFolder + L"\\*.mp4").empty());
    EXPECT_EQ(HELD_THEN_RELEASED, shell.blockReasons);
    ExpectIdle();
}

TEST_F(SessionEnd, InstallersCloseDuringTheSaveDialogKeepsTheRecordingInVideosAndExits) {
    currentFps = 10;
    std::wstring chosen = scratch + L"\\chosen.mp4";
    shell.answers.push_back({true, chosen});
    shell.arrivingWhileOpen.push_back({WM_ENDSESSION, TRUE, true, FORCED_INSTALLERS_CLOSE});
    StartAndStop();

    EXPECT_EQ(RECORDED_BYTES, ReadFileBytes(shell.videosFolder + L"\\" + FINISH_NAME));
    EXPECT_FALSE(PathExists(chosen));
    EXPECT_EQ(std::vector<std::wstring>{L"dialog"}, shell.shown);
    EXPECT_TRUE(RecordingsInTempFolder().empty());
    EXPECT_EQ(HELD_THEN_RELEASED, shell.blockReasons);
    ExpectClosed();
}

TEST_F(SessionEnd, EndDuringACopyCancelsItAndKeepsTheRecordingInVideos) {
    shell.answers.push_back({true, shell.otherDrive + L"chosen.mp4"});
    copyScript.steps = 10;
    copyScript.arriving = {{WM_ENDSESSION, TRUE, true, ENDSESSION_CLOSEAPP}};
    StartAndStop();
    JoinAsker();

    EXPECT_TRUE(copyScript.settingsAtCancel) << "the settings are written first";
    EXPECT_EQ(RECORDED_BYTES, ReadFileBytes(shell.videosFolder + L"\\" + FINISH_NAME));
    EXPECT_FALSE(PathExists(shell.otherDrive + L"chosen.mp4"));
    EXPECT_EQ(std::vector<std::wstring>{L"dialog"}, shell.shown);
    EXPECT_TRUE(RecordingsInTempFolder().empty());
    ExpectClosed();
}

TEST_F(SessionEnd, EndDuringACopyStillBusyAfterItsWaitLeavesTheRecordingWhereItIs) {
    shell.answers.push_back({true, shell.otherDrive + L"chosen.mp4"});
    copyScript.steps = 10;
    copyScript.hangAtStep = 3; // the share answers again once the session's end is answered
    copyScript.arriving = {{WM_ENDSESSION, TRUE, true, FORCED_LOGOFF}};
    StartAndStop();
    JoinAsker();

    EXPECT_EQ(1u, shell.moves.size()) << "nothing is moved from under the copy";
    EXPECT_EQ(std::vector<std::wstring>{START_NAME}, RecordingsInTempFolder());
    EXPECT_FALSE(PathExists(shell.otherDrive + L"chosen.mp4.partial"));
}

TEST_F(SessionEnd, VideosFolderUnavailableLeavesTheRecordingWhereItIs) {
    shell.videosFolderFailures = 1;
    shell.arrivingWhileOpen.push_back({WM_ENDSESSION, TRUE, true});
    shell.arrivingWhileOpen.push_back({WM_COMMAND, MAKEWPARAM(ID_REC, BN_CLICKED), true});
    StartAndStop();

    EXPECT_EQ(1, shell.threadsCreated) << "REC is still ignored while the dialog is open";
    EXPECT_EQ(std::vector<std::wstring>{START_NAME}, RecordingsInTempFolder());
    EXPECT_TRUE(FilesMatching(shell.videosFolder + L"\\*.mp4").empty());
    EXPECT_FALSE(shell.reasonHeld);
}

TEST_F(SessionEnd, FileOfTheSameNameInVideosIsNeverReplacedAndTheRecordingStays) {
    std::wstring usersOwn = shell.videosFolder + L"\\" + FINISH_NAME;
    ASSERT_TRUE(WriteFileBytes(usersOwn, "the user's own video"));
    // The dialog is then cancelled, as it would be by the session's end.
    shell.arrivingWhileOpen.push_back({WM_ENDSESSION, TRUE, true});
    StartAndStop();

    EXPECT_EQ("the user's own video", ReadFileBytes(usersOwn));
    EXPECT_EQ(std::vector<std::wstring>{START_NAME}, RecordingsInTempFolder())
        << "never deleted at a session's end";
}

} // namespace
