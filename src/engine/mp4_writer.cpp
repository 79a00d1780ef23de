#include "engine/engine.h"
#include "engine/mf_api.h"
#include "engine/os_api.h"
#include <codecapi.h>

static const UINT MIN_BIT_RATE = 2000000;
static const UINT MAX_BIT_RATE = 60000000;

UINT ComputeBitRate(int cropWidth, int cropHeight, int fps) {
    // 0.07 bits per pixel, multiplied in this order so every build rounds alike.
    double product = static_cast<double>(cropHeight) * static_cast<double>(cropWidth);
    product *= static_cast<double>(fps);
    product *= 0.07;
    // The bounds are whole numbers, so clamping before the truncation gives the
    // same result and keeps the conversion in range.
    if (product < MIN_BIT_RATE)
        return MIN_BIT_RATE;
    if (product > MAX_BIT_RATE)
        return MAX_BIT_RATE;
    return static_cast<UINT>(product);
}

// Finalize writes the file's index at the end: its size grows with the samples.
static const ULONGLONG INDEX_RESERVE_BYTES = 64ull * 1024 * 1024;
static const ULONGLONG INDEX_BYTES_PER_SAMPLE = 32;

ULONGLONG ComputeDiskReserve(LONGLONG samplesWritten) {
    return INDEX_RESERVE_BYTES + INDEX_BYTES_PER_SAMPLE * static_cast<ULONGLONG>(samplesWritten);
}

ULONGLONG ComputeStartRoom(int cropWidth, int cropHeight, int fps) {
    ULONGLONG bitRate = ComputeBitRate(cropWidth, cropHeight, fps);
    return ComputeDiskReserve(0) + bitRate * 60 / 8;
}

void CopyFolderPart(WCHAR* folder, const WCHAR* path) {
    int length = 0;
    for (int index = 0; path[index] && index < MAX_PATH - 1; ++index) {
        if (path[index] == L'\\' || path[index] == L'/')
            length = index + 1;
    }
    lstrcpynW(folder, path, length + 1);
}

// Media Foundation packs sizes and ratios as high : low 32-bit halves.
static UINT64 PackPair(UINT32 high, UINT32 low) {
    return (static_cast<UINT64>(high) << 32) | low;
}

// Attributes shared by both media types, in the order each type sets them.
static void SetPictureAttributes(IMFMediaType* type, int fps, int cropWidth, int cropHeight) {
    type->SetUINT64(MF_MT_FRAME_SIZE,
                    PackPair(static_cast<UINT32>(cropWidth), static_cast<UINT32>(cropHeight)));
    type->SetUINT64(MF_MT_FRAME_RATE, PackPair(static_cast<UINT32>(fps), 1));
    type->SetUINT64(MF_MT_PIXEL_ASPECT_RATIO, PackPair(1, 1));
}

// The sink writer with its H.264 stream. *refused says that the encoder
// refused the picture (AddStream, SetInputMediaType, BeginWriting), which
// another encoder may take.
static bool SetUpSinkWriter(Mp4Writer* writer, UINT32 hardwareTransforms, const wchar_t** errorText,
                            bool* refused) {
    *refused = false;
    writer->hardwareTransforms = hardwareTransforms ? 1 : 0;
    HRESULT hr = mfApi.MFCreateAttributes(&writer->attributes, 1);
    if (FAILED(hr)) {
        *errorText = CallFailedText(writer->failureText, L"MFCreateAttributes", hr);
        return false;
    }
    writer->attributes->SetUINT32(MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS, hardwareTransforms);
    // Fragments, so that a crash or a failed finish keeps all but the last
    // second. Where that sink is missing, the ".mp4" ending of the path selects
    // the ordinary MP4 sink.
    writer->attributes->SetGUID(MF_TRANSCODE_CONTAINERTYPE, MFTranscodeContainerType_FMPEG4);
    writer->fragmented = SUCCEEDED(mfApi.MFCreateSinkWriterFromURL(
        writer->outputPath, nullptr, writer->attributes, &writer->sinkWriter));
    if (!writer->fragmented) {
        writer->sinkWriter = nullptr;
        writer->attributes->DeleteItem(MF_TRANSCODE_CONTAINERTYPE);
        if (FAILED(mfApi.MFCreateSinkWriterFromURL(writer->outputPath, nullptr, writer->attributes,
                                                   &writer->sinkWriter))) {
            *errorText = L"Cannot create output .mp4";
            return false;
        }
    }
    int fps = writer->fps;
    int cropWidth = writer->cropWidth;
    int cropHeight = writer->cropHeight;
    UINT bitRate = ComputeBitRate(cropWidth, cropHeight, fps);

    // A media type that cannot be created ends the set-up rather than being used as null.
    hr = mfApi.MFCreateMediaType(&writer->outputType);
    if (FAILED(hr)) {
        *errorText = CallFailedText(writer->failureText, L"MFCreateMediaType", hr);
        return false;
    }
    IMFMediaType* outputType = writer->outputType;
    outputType->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    outputType->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
    outputType->SetUINT32(MF_MT_AVG_BITRATE, bitRate);
    outputType->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
    outputType->SetUINT32(MF_MT_MPEG2_PROFILE, eAVEncH264VProfile_High);
    SetPictureAttributes(outputType, fps, cropWidth, cropHeight);
    // The system's encoder, or a hardware one, may refuse a picture this large
    // or a rate this high; the user can then make the frame smaller or the rate lower.
    wsprintfW(writer->refusalText, L"The H.264 encoder refused a %d \u00D7 %d picture at %d fps.",
              cropWidth, cropHeight, fps);
    *errorText = writer->refusalText;
    if (FAILED(mfApi.AddStream(writer->sinkWriter, outputType, &writer->streamIndex))) {
        *refused = true;
        return false;
    }

    hr = mfApi.MFCreateMediaType(&writer->inputType);
    if (FAILED(hr)) {
        *errorText = CallFailedText(writer->failureText, L"MFCreateMediaType", hr);
        return false;
    }
    IMFMediaType* inputType = writer->inputType;
    inputType->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    inputType->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_RGB32);
    inputType->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
    // Positive stride: the first row of every sample is the top of the picture.
    inputType->SetUINT32(MF_MT_DEFAULT_STRIDE, writer->frameStride);
    SetPictureAttributes(inputType, fps, cropWidth, cropHeight);
    // A key frame every second starts a fragment every second. Without the
    // store the encoder keeps its own interval.
    if (SUCCEEDED(mfApi.MFCreateAttributes(&writer->encodingParameters, 1)))
        writer->encodingParameters->SetUINT32(CODECAPI_AVEncMPVGOPSize, static_cast<UINT32>(fps));
    else
        writer->encodingParameters = nullptr;
    *refused = FAILED(mfApi.SetInputMediaType(writer->sinkWriter, writer->streamIndex, inputType,
                                              writer->encodingParameters)) ||
               FAILED(mfApi.BeginWriting(writer->sinkWriter));
    if (*refused)
        return false;
    *errorText = nullptr;
    return true;
}

void CloseMp4Writer(Mp4Writer* writer) {
    ReleaseSlot(&writer->encodingParameters);
    ReleaseSlot(&writer->inputType);
    ReleaseSlot(&writer->outputType);
    ReleaseSlot(&writer->attributes);
    ReleaseSlot(&writer->sinkWriter);
}

// A hardware encoder's driver may refuse what the system's software encoder
// takes. The file the first writer began goes before the second makes it anew.
static bool SetUpInSoftware(Mp4Writer* writer, const wchar_t** errorText) {
    CloseMp4Writer(writer);
    DeleteFileW(writer->outputPath);
    bool refused = false;
    return SetUpSinkWriter(writer, FALSE, errorText, &refused);
}

bool OpenMp4Writer(Mp4Writer* writer, const wchar_t* outputPath, int fps, int cropWidth,
                   int cropHeight, UINT frameStride, const wchar_t** errorText) {
    *errorText = nullptr;
    writer->outputPath = outputPath;
    writer->fps = fps;
    writer->cropWidth = cropWidth;
    writer->cropHeight = cropHeight;
    writer->frameStride = frameStride;
    // Hardware encoders may be used, so that a large picture at a high rate keeps up.
    bool refused = false;
    if (SetUpSinkWriter(writer, TRUE, errorText, &refused))
        return true;
    return refused && SetUpInSoftware(writer, errorText);
}

HRESULT WriteMp4Sample(Mp4Writer* writer, IMFSample* sample) {
    HRESULT hr = mfApi.WriteSample(writer->sinkWriter, writer->streamIndex, sample);
    // Some hardware encoders take the picture's type, then fail the first picture.
    if (FAILED(hr) && writer->hardwareTransforms && !writer->sampleTaken) {
        if (!SetUpInSoftware(writer, &writer->lostText)) {
            CloseMp4Writer(writer);
            return hr;
        }
        hr = mfApi.WriteSample(writer->sinkWriter, writer->streamIndex, sample);
    }
    if (SUCCEEDED(hr))
        writer->sampleTaken = 1;
    else
        writer->sampleRefused = 1;
    return hr;
}
