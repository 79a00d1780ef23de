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

const MfApi realMfApi = {
    ::MFStartup,
    ::MFShutdown,
    ::MFCreateAttributes,
    ::MFCreateSinkWriterFromURL,
    ::MFCreateMediaType,
    RealAddStream,
    RealSetInputMediaType,
    RealBeginWriting,
    ::MFCreateMemoryBuffer,
    RealLock,
    ::MFCreateSample,
    RealWriteSample,
    RealFinalize,
};

MfApi mfApi = realMfApi;
