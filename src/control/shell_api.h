#pragma once
#include <windows.h>
#include <commdlg.h>
#include <mmsystem.h>
#include <shlobj.h>

// The platform calls of recording control that a test must answer (message
// boxes, the Save dialog) or control (the worker thread, the clock, the
// temporary and Videos folders, the free space, the move and the copy, the
// reason a shut-down is held).
// Defaults are the real ones.
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
    decltype(&::ShutdownBlockReasonCreate) ShutdownBlockReasonCreate;
    decltype(&::ShutdownBlockReasonDestroy) ShutdownBlockReasonDestroy;
    decltype(&::SHGetKnownFolderPath) SHGetKnownFolderPath;
    decltype(&::GetDiskFreeSpaceExW) GetDiskFreeSpaceExW;
    decltype(&::CopyFileExW) CopyFileExW;
};

extern ShellApi shellApi;
extern const ShellApi realShellApi;
