#pragma once
#include <windows.h>
#include <string>

// quorvel.exe started as another process, the way a user starts it, and looked
// at from outside: its windows, the screen as the X server shows it, its exit.
struct RunningProgram {
    PROCESS_INFORMATION process; // all zero until started
    HWND frameWindow;            // "quorvelFrame" / "quorvel" of that process
};

// quorvel.exe in the folder of this test executable.
std::wstring ProgramPath();

// Starts quorvel.exe and waits up to timeoutMs for its frame window to be visible.
// The program inherits this process's environment: set LOCALAPPDATA and the like
// with SetEnvironmentVariableW before starting it. False if it did not start or
// showed no frame window in time (the process may still be running then).
bool StartProgram(RunningProgram* program, DWORD timeoutMs);

// A visible top-level window of the process with that class (and title, unless
// null), polled until timeoutMs has passed; null if none appeared. Message boxes
// have the class "#32770".
HWND WaitForProgramWindow(DWORD processId, const WCHAR* className, const WCHAR* title,
                          DWORD timeoutMs);

// A screen pixel as the X server shows it.
COLORREF ReadScreenPixel(int x, int y);

// Polls a screen pixel until it shows expected or timeoutMs has passed (a window
// reaches the screen a little after it has painted). Returns the last colour read.
COLORREF WaitForScreenPixel(int x, int y, COLORREF expected, DWORD timeoutMs);

// Waits up to timeoutMs for the process to end; true with its exit code if it did.
bool WaitForProgramExit(RunningProgram* program, DWORD timeoutMs, DWORD* exitCode);

// Ends the process if it is still running (exit code 99) and closes its handles.
void EndProgram(RunningProgram* program);

// Dispatches this thread's messages for the given time, so that the test's own
// windows paint while it waits.
void PumpMessagesFor(DWORD milliseconds);
