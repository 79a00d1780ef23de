#include "control/shell_api.h"

const ShellApi realShellApi = {
    ::MessageBoxW,  ::GetSaveFileNameW, ::CreateThread,    ::CreateEventW,  ::GetLocalTime,
    ::GetTempPathW, ::MoveFileExW,      ::timeBeginPeriod, ::timeEndPeriod,
};

ShellApi shellApi = realShellApi;
