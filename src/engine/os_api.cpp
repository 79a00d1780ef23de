#include "engine/os_api.h"
#include <objbase.h>

const OsApi realOsApi = {
    ::CoInitializeEx, ::CoUninitialize, ::QueryPerformanceFrequency, ::QueryPerformanceCounter,
    ::Sleep,          ::WaitForSingleObject, ::HeapAlloc,          ::HeapReAlloc,
    ::PostMessageW,
};

OsApi osApi = realOsApi;
