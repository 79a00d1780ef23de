#include "control/shell_api.h"

const ShellApi realShellApi = {
    ::MessageBoxW,
    ::GetSaveFileNameW,
    ::CreateThread,
    ::CreateEventW,
    ::GetLocalTime,
    ::GetTempPathW,
    ::MoveFileExW,
    ::timeBeginPeriod,
    ::timeEndPeriod,
    ::ShutdownBlockReasonCreate,
    ::ShutdownBlockReasonDestroy,
    ::SHGetKnownFolderPath,
    ::GetDiskFreeSpaceExW,
    ::CopyFileExW,
};

ShellApi shellApi = realShellApi;
