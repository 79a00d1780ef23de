#include "engine/os_api.h"
#include <objbase.h>

static ULONG RealRelease(IUnknown* object) {
    return object->Release();
}

const OsApi realOsApi = {
    ::CoInitializeEx,
    ::CoUninitialize,
    ::QueryPerformanceFrequency,
    ::QueryPerformanceCounter,
    ::Sleep,
    ::WaitForSingleObject,
    ::HeapAlloc,
    ::HeapReAlloc,
    ::PostMessageW,
    ::HeapFree,
    RealRelease,
    ::GetDiskFreeSpaceExW,
    ::WriteFile,
};

OsApi osApi = realOsApi;
