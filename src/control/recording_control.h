#pragma once
#include <windows.h>

// The recording's life on the UI thread: REC, STOP, close, and the worker's report.
constexpr int MIN_CAPTURE_SIDE = 16;
constexpr DWORD CLOSE_WAIT_MS = 5000;
constexpr DWORD FINISH_WAIT_MS = 3000;

void StartRecording(HWND window);
void StopRecording();
// A close that arrives while a finish shows its boxes or Save dialog is carried
// out when the finish is over.
void CloseFrameWindow(HWND window);
void FinishRecording(HWND window, WPARAM success);
// The answer to a log-off or shut-down (reason: WM_QUERYENDSESSION's lParam):
// not while a recording is unsaved, unless the end cannot be held.
BOOL MaySessionEnd(LPARAM reason);
// The session ends: the settings written, a running recording finished, an
// unsaved one kept in the Videos folder, a failed one deleted. An installer's
// close (ENDSESSION_CLOSEAPP in reason) then closes the frame as well.
void EndSession(HWND window, LPARAM reason);

// Fills outputPath (MAX_PATH units) with the temporary file of a recording
// started at startTime. False, with outputPath untouched, when the folder is
// empty or the whole path would not fit.
bool ComposeTemporaryPath(WCHAR* outputPath, const WCHAR* tempFolder, const SYSTEMTIME* startTime);
