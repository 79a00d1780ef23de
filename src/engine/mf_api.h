#pragma once
#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>

// Every Media Foundation operation whose result the worker examines goes
// through mfApi. The entries default to the real calls; a test may replace any.
struct MfApi {
    decltype(&::MFStartup) MFStartup;
    decltype(&::MFShutdown) MFShutdown;
    decltype(&::MFCreateAttributes) MFCreateAttributes;
    decltype(&::MFCreateSinkWriterFromURL) MFCreateSinkWriterFromURL;
    decltype(&::MFCreateMediaType) MFCreateMediaType;
    HRESULT (*AddStream)(IMFSinkWriter* writer, IMFMediaType* outputType, DWORD* streamIndex);
    HRESULT (*SetInputMediaType)
    (IMFSinkWriter* writer, DWORD streamIndex, IMFMediaType* inputType,
     IMFAttributes* encodingParameters);
    HRESULT (*BeginWriting)(IMFSinkWriter* writer);
    decltype(&::MFCreateMemoryBuffer) MFCreateMemoryBuffer;
    HRESULT (*Lock)(IMFMediaBuffer* buffer, BYTE** data, DWORD* maxLength, DWORD* currentLength);
    decltype(&::MFCreateSample) MFCreateSample;
    HRESULT (*WriteSample)(IMFSinkWriter* writer, DWORD streamIndex, IMFSample* sample);
    HRESULT (*Finalize)(IMFSinkWriter* writer);
};

extern MfApi mfApi;
extern const MfApi realMfApi;
