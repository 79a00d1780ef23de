#include "program_harness.h"

namespace {

struct WindowSearch {
    DWORD processId;
    const WCHAR* className;
    const WCHAR* title;
    HWND found;
};

BOOL CALLBACK MatchProgramWindow(HWND window, LPARAM parameter) {
    WindowSearch* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != search->processId || !IsWindowVisible(window)) {
        return TRUE;
    }
    WCHAR text[256] = {};
    GetClassNameW(window, text, 256);
    if (lstrcmpW(text, search->className) != 0) {
        return TRUE;
    }
    if (search->title) {
        GetWindowTextW(window, text, 256);
        if (lstrcmpW(text, search->title) != 0) {
            return TRUE;
        }
    }
    search->found = window;
    return FALSE;
}

} // namespace

void PumpMessagesFor(DWORD milliseconds) {
    DWORD start = GetTickCount();
    do {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(10);
    } while (GetTickCount() - start < milliseconds);
}

std::wstring ProgramPath() {
    WCHAR path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    folder.erase(folder.find_last_of(L"\\/") + 1);
    return folder + L"quorvel.exe";
}

bool StartProgram(RunningProgram* program, DWORD timeoutMs) {
    *program = RunningProgram{};
    std::wstring path = ProgramPath();
    std::wstring commandLine = L"\"" + path + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &program->process)) {
        program->process = PROCESS_INFORMATION{};
        return false;
    }
    program->frameWindow =
        WaitForProgramWindow(program->process.dwProcessId, L"quorvelFrame", L"quorvel", timeoutMs);
    return program->frameWindow != nullptr;
}

HWND WaitForProgramWindow(DWORD processId, const WCHAR* className, const WCHAR* title,
                          DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        WindowSearch search = {processId, className, title, nullptr};
        EnumWindows(MatchProgramWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found || GetTickCount() - start >= timeoutMs) {
            return search.found;
        }
        PumpMessagesFor(20);
    }
}

COLORREF ReadScreenPixel(int x, int y) {
    HDC screen = GetDC(nullptr);
    COLORREF colour = GetPixel(screen, x, y);
    ReleaseDC(nullptr, screen);
    return colour;
}

COLORREF WaitForScreenPixel(int x, int y, COLORREF expected, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        COLORREF colour = ReadScreenPixel(x, y);
        if (colour == expected || GetTickCount() - start >= timeoutMs) {
            return colour;
        }
        PumpMessagesFor(20);
    }
}

bool WaitForProgramExit(RunningProgram* program, DWORD timeoutMs, DWORD* exitCode) {
    if (!program->process.hProcess) {
        return false;
    }
    DWORD start = GetTickCount();
    while (WaitForSingleObject(program->process.hProcess, 0) == WAIT_TIMEOUT) {
        if (GetTickCount() - start >= timeoutMs) {
            return false;
        }
        PumpMessagesFor(20);
    }
    return GetExitCodeProcess(program->process.hProcess, exitCode) != FALSE;
}

void EndProgram(RunningProgram* program) {
    if (program->process.hProcess) {
        if (WaitForSingleObject(program->process.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(program->process.hProcess, 99);
            WaitForSingleObject(program->process.hProcess, 5000);
        }
        CloseHandle(program->process.hThread);
        CloseHandle(program->process.hProcess);
    }
    *program = RunningProgram{};
}
