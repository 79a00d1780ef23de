#include "engine/mf_api.h"

static HRESULT RealAddStream(IMFSinkWriter* writer, IMFMediaType* outputType, DWORD* streamIndex) {
    return writer->AddStream(outputType, streamIndex);
}

static HRESULT RealSetInputMediaType(IMFSinkWriter* writer, DWORD streamIndex,
                                     IMFMediaType* inputType, IMFAttributes* encodingParameters) {
    return writer->SetInputMediaType(streamIndex, inputType, encodingParameters);
}

static HRESULT RealBeginWriting(IMFSinkWriter* writer) {
    return writer->BeginWriting();
}

static HRESULT RealLock(IMFMediaBuffer* buffer, BYTE** data, DWORD* maxLength,
                        DWORD* currentLength) {
    return buffer->Lock(data, maxLength, currentLength);
}

static HRESULT RealWriteSample(IMFSinkWriter* writer, DWORD streamIndex, IMFSample* sample) {
    return writer->WriteSample(streamIndex, sample);
}

static HRESULT RealFinalize(IMFSinkWriter* writer) {
    return writer->Finalize();
}

// The entry point `name` of `dll` into *entry; false when the DLL has none.
template <typename Entry> static bool FindEntry(HMODULE dll, const char* name, Entry* entry) {
    FARPROC address = GetProcAddress(dll, name);
    // Through the one function type that both compilers let stand for any other.
    *entry = reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(address));
    return address != nullptr;
}

template <typename Entry> static void FillIfNull(Entry* entry, Entry real) {
    if (!*entry)
        *entry = real;
}

MfApi realMfApi = {
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    RealAddStream,
    RealSetInputMediaType,
    RealBeginWriting,
    nullptr,
    RealLock,
    nullptr,
    RealWriteSample,
    RealFinalize,
    ::LoadLibraryExW,
};

MfApi mfApi = realMfApi;

bool LoadMfApi() {
    // Only the system folder: a DLL of that name beside the exe is not Windows'.
    HMODULE platform = mfApi.LoadLibraryExW(L"mfplat.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    HMODULE readWrite =
        mfApi.LoadLibraryExW(L"mfreadwrite.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    MfApi found = realMfApi;
    if (!platform || !readWrite || !FindEntry(platform, "MFStartup", &found.MFStartup) ||
        !FindEntry(platform, "MFShutdown", &found.MFShutdown) ||
        !FindEntry(platform, "MFCreateAttributes", &found.MFCreateAttributes) ||
        !FindEntry(platform, "MFCreateMediaType", &found.MFCreateMediaType) ||
        !FindEntry(platform, "MFCreateMemoryBuffer", &found.MFCreateMemoryBuffer) ||
        !FindEntry(platform, "MFCreateSample", &found.MFCreateSample) ||
        !FindEntry(readWrite, "MFCreateSinkWriterFromURL", &found.MFCreateSinkWriterFromURL))
        return false;
    realMfApi = found;
    FillIfNull(&mfApi.MFStartup, found.MFStartup);
    FillIfNull(&mfApi.MFShutdown, found.MFShutdown);
    FillIfNull(&mfApi.MFCreateAttributes, found.MFCreateAttributes);
    FillIfNull(&mfApi.MFCreateMediaType, found.MFCreateMediaType);
    FillIfNull(&mfApi.MFCreateMemoryBuffer, found.MFCreateMemoryBuffer);
    FillIfNull(&mfApi.MFCreateSample, found.MFCreateSample);
    FillIfNull(&mfApi.MFCreateSinkWriterFromURL, found.MFCreateSinkWriterFromURL);
    return true;
}
