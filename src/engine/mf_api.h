#pragma once
#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>

// Every Media Foundation operation whose result the worker examines goes
// through mfApi. Some editions of Windows come without Media Foundation, and an
// exe that imports it does not start there, so its entry points are looked up
// when a recording starts (LoadMfApi); until then they are null. The other
// entries default to the real calls. A test may replace any entry.
struct MfApi {
    decltype(&::MFStartup) MFStartup;
    decltype(&::MFShutdown) MFShutdown;
    decltype(&::MFCreateAttributes) MFCreateAttributes;
    decltype(&::MFCreateSinkWriterFromURL) MFCreateSinkWriterFromURL;
    decltype(&::MFCreateMediaType) MFCreateMediaType;
    HRESULT (*AddStream)(IMFSinkWriter* writer, IMFMediaType* outputType, DWORD* streamIndex);
    HRESULT(*SetInputMediaType)
    (IMFSinkWriter* writer, DWORD streamIndex, IMFMediaType* inputType,
     IMFAttributes* encodingParameters);
    HRESULT (*BeginWriting)(IMFSinkWriter* writer);
    decltype(&::MFCreateMemoryBuffer) MFCreateMemoryBuffer;
    HRESULT (*Lock)(IMFMediaBuffer* buffer, BYTE** data, DWORD* maxLength, DWORD* currentLength);
    decltype(&::MFCreateSample) MFCreateSample;
    HRESULT (*WriteSample)(IMFSinkWriter* writer, DWORD streamIndex, IMFSample* sample);
    HRESULT (*Finalize)(IMFSinkWriter* writer);
    // How LoadMfApi reaches the DLLs.
    decltype(&::LoadLibraryExW) LoadLibraryExW;
};

extern MfApi mfApi;
// The real calls; the looked-up entries are filled by LoadMfApi.
extern MfApi realMfApi;

// Loads mfplat.dll and mfreadwrite.dll from the system folder, fills the
// looked-up entries of realMfApi, then each of those entries of mfApi that is
// still null. False, with both tables as they were, when either DLL or one of
// the entry points is missing. The DLLs stay loaded to the end of the process.
bool LoadMfApi();
