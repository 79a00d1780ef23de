#pragma once
#include <windows.h>

// The kernel, COM and message calls of the worker, so that a test can run the
// loop on a virtual clock, make an allocation fail, fill the disk or cut a
// mend short. Defaults are the real ones.
struct OsApi {
    decltype(&::CoInitializeEx) CoInitializeEx;
    decltype(&::CoUninitialize) CoUninitialize;
    decltype(&::QueryPerformanceFrequency) QueryPerformanceFrequency;
    decltype(&::QueryPerformanceCounter) QueryPerformanceCounter;
    decltype(&::Sleep) Sleep;
    decltype(&::WaitForSingleObject) WaitForSingleObject;
    decltype(&::HeapAlloc) HeapAlloc;
    decltype(&::HeapReAlloc) HeapReAlloc;
    decltype(&::PostMessageW) PostMessageW;
    decltype(&::HeapFree) HeapFree;
    // Every interface the worker holds is let go through here, so a test can
    // see the order in which the worker releases them.
    ULONG (*Release)(IUnknown* object);
    decltype(&::GetDiskFreeSpaceExW) GetDiskFreeSpaceExW;
    // The mend's writes, so that a test can cut a mend short at any of them.
    decltype(&::WriteFile) WriteFile;
};

extern OsApi osApi;
extern const OsApi realOsApi;

// Lets go of the interface in the slot, if any, and empties the slot.
template <typename Interface> void ReleaseSlot(Interface** slot) {
    if (*slot) {
        osApi.Release(*slot);
        *slot = nullptr;
    }
}
