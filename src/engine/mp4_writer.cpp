#include "engine/engine.h"
#include "engine/mf_api.h"
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

bool OpenMp4Writer(Mp4Writer* writer, const wchar_t* outputPath, int fps, int cropWidth,
                   int cropHeight, UINT frameStride, const wchar_t** errorText) {
    *errorText = nullptr;
    HRESULT hr = mfApi.MFCreateAttributes(&writer->attributes, 1);
    if (FAILED(hr)) {
        *errorText = CallFailedText(writer->failureText, L"MFCreateAttributes", hr);
        return false;
    }
    writer->attributes->SetUINT32(MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS, TRUE);
    // No container type: the ".mp4" ending of the path selects the MP4 sink.
    if (FAILED(mfApi.MFCreateSinkWriterFromURL(outputPath, nullptr, writer->attributes,
                                               &writer->sinkWriter))) {
        *errorText = L"Cannot create output .mp4";
        return false;
    }
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
    if (FAILED(mfApi.AddStream(writer->sinkWriter, outputType, &writer->streamIndex))) {
        *errorText = writer->refusalText;
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
    inputType->SetUINT32(MF_MT_DEFAULT_STRIDE, frameStride);
    SetPictureAttributes(inputType, fps, cropWidth, cropHeight);
    if (FAILED(
            mfApi.SetInputMediaType(writer->sinkWriter, writer->streamIndex, inputType, nullptr))) {
        *errorText = writer->refusalText;
        return false;
    }
    if (FAILED(mfApi.BeginWriting(writer->sinkWriter))) {
        *errorText = writer->refusalText;
        return false;
    }
    return true;
}
