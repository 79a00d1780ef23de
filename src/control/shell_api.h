#pragma once
#include <windows.h>
#include <commdlg.h>
#include <mmsystem.h>

// The platform calls of recording control that a test must answer (message
// boxes, the Save dialog) or control (the worker thread, the clock, the
// temporary folder, the move). Defaults are the real ones.
struct ShellApi {
    decltype(&::MessageBoxW) MessageBoxW;
    decltype(&::GetSaveFileNameW) GetSaveFileNameW;
    decltype(&::CreateThread) CreateThread;
    decltype(&::CreateEventW) CreateEventW;
    decltype(&::GetLocalTime) GetLocalTime;
    decltype(&::GetTempPathW) GetTempPathW;
    decltype(&::MoveFileExW) MoveFileExW;
    decltype(&::timeBeginPeriod) timeBeginPeriod;
    decltype(&::timeEndPeriod) timeEndPeriod;
};

extern ShellApi shellApi;
extern const ShellApi realShellApi;
