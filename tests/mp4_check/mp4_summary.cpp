#include "mp4_check/mp4_summary.h"
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <objbase.h>
#include <string.h>
#include <vector>

// Where the decoder puts the planes of an NV12 frame.
struct Nv12Layout {
    UINT32 planeHeight; // rows of the luma plane, padding included
    LONG stride;        // bytes per row, when the buffer does not say
};

static const DWORD VIDEO_STREAM = static_cast<DWORD>(MF_SOURCE_READER_FIRST_VIDEO_STREAM);

static BYTE ClampToByte(int value) {
    if (value < 0)
        return 0;
    // Shifted only when not negative: right shifts of negative numbers vary.
    value = (value + 128) >> 8;
    return static_cast<BYTE>(value > 255 ? 255 : value);
}

// 8-bit BT.601 limited range: the fixture's, and the usual one of standard-definition H.264.
static void ConvertToRgb(int y, int cb, int cr, BYTE* rgb) {
    int c = 298 * (y - 16);
    int d = cb - 128;
    int e = cr - 128;
    rgb[0] = ClampToByte(c + 409 * e);
    rgb[1] = ClampToByte(c - 100 * d - 208 * e);
    rgb[2] = ClampToByte(c + 516 * d);
}

// The decoder may pad the frame (height to a multiple of 16) and may change
// its output type while it reads, so the layout comes from the current type.
static HRESULT ReadLayout(IMFSourceReader* reader, Nv12Layout* layout) {
    IMFMediaType* type = nullptr;
    HRESULT hr = reader->GetCurrentMediaType(VIDEO_STREAM, &type);
    if (FAILED(hr))
        return hr;
    UINT32 width = 0;
    hr = MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &width, &layout->planeHeight);
    UINT32 stride = MFGetAttributeUINT32(type, MF_MT_DEFAULT_STRIDE, width);
    layout->stride = static_cast<LONG>(stride);
    type->Release();
    return hr;
}

// The visible size: the display aperture when the stream has one, else the frame size.
static HRESULT ReadVisibleSize(IMFSourceReader* reader, Mp4Summary* summary) {
    IMFMediaType* type = nullptr;
    HRESULT hr = reader->GetNativeMediaType(VIDEO_STREAM, 0, &type);
    if (FAILED(hr))
        return hr;
    MFVideoArea aperture = {};
    if (SUCCEEDED(type->GetBlob(MF_MT_MINIMUM_DISPLAY_APERTURE, reinterpret_cast<UINT8*>(&aperture),
                                sizeof(aperture), nullptr))) {
        summary->width = static_cast<UINT32>(aperture.Area.cx);
        summary->height = static_cast<UINT32>(aperture.Area.cy);
    } else {
        hr = MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &summary->width, &summary->height);
    }
    type->Release();
    return hr;
}

// The colours read from one frame.
struct FrameColours {
    BYTE centre[3];
    Quarters quarters;
};

// A locked NV12 frame: the luma plane, then the interleaved chroma plane.
struct LockedFrame {
    const BYTE* data;
    size_t rowBytes;
    UINT32 planeHeight;
    size_t length; // 0 when the buffer does not say (a 2D buffer)
};

// The colour at (x, y); false when the frame does not hold it.
static bool ReadPixel(const LockedFrame* frame, UINT32 x, UINT32 y, BYTE* rgb) {
    size_t lumaAt = y * frame->rowBytes + x;
    size_t chromaAt = (frame->planeHeight + y / 2) * frame->rowBytes + x / 2 * 2;
    if (frame->rowBytes == 0 || y >= frame->planeHeight ||
        (frame->length != 0 && chromaAt + 1 >= frame->length))
        return false;
    ConvertToRgb(frame->data[lumaAt], frame->data[chromaAt], frame->data[chromaAt + 1], rgb);
    return true;
}

// The centre of the frame and of each quarter of the decoded NV12 frame in `sample`.
static HRESULT ReadColours(IMFSample* sample, const Nv12Layout* layout, UINT32 width, UINT32 height,
                           FrameColours* colours) {
    IMFMediaBuffer* buffer = nullptr;
    HRESULT hr = sample->ConvertToContiguousBuffer(&buffer);
    if (FAILED(hr))
        return hr;
    // A 2D buffer knows its real pitch; a plain one is laid out as the type says.
    IMF2DBuffer* buffer2d = nullptr;
    BYTE* data = nullptr;
    LONG pitch = layout->stride;
    DWORD length = 0;
    if (SUCCEEDED(buffer->QueryInterface(IID_PPV_ARGS(&buffer2d)))) {
        hr = buffer2d->Lock2D(&data, &pitch);
    } else {
        hr = buffer->Lock(&data, nullptr, &length);
    }
    if (SUCCEEDED(hr)) {
        LockedFrame frame = {data, pitch > 0 ? static_cast<size_t>(pitch) : 0, layout->planeHeight,
                             buffer2d ? 0 : static_cast<size_t>(length)};
        bool inside = ReadPixel(&frame, width / 2, height / 2, colours->centre);
        for (UINT32 quarter = 0; quarter < 4; quarter++) {
            UINT32 x = (quarter % 2 * 2 + 1) * width / 4;
            UINT32 y = (quarter / 2 * 2 + 1) * height / 4;
            inside = inside && ReadPixel(&frame, x, y, colours->quarters.colour[quarter]);
        }
        if (!inside)
            hr = MF_E_INVALID_STREAM_DATA;
        if (buffer2d)
            buffer2d->Unlock2D();
        else
            buffer->Unlock();
    }
    if (buffer2d)
        buffer2d->Release();
    buffer->Release();
    return hr;
}

// The first, middle and last of the frames' colours into the summary.
static void Summarize(const std::vector<FrameColours>& seen, Mp4Summary* summary) {
    summary->frames = static_cast<LONGLONG>(seen.size());
    memcpy(summary->first, seen.front().centre, 3);
    memcpy(summary->last, seen.back().centre, 3);
    summary->firstQuarters = seen.front().quarters;
    summary->middleQuarters = seen[seen.size() / 2].quarters;
    summary->lastQuarters = seen.back().quarters;
}

// Reads every sample of the video stream. Each step that fails names itself.
static HRESULT ReadAllFrames(IMFSourceReader* reader, Mp4Summary* summary,
                             const char** failedStep) {
    Nv12Layout layout = {};
    std::vector<FrameColours> seen;
    *failedStep = "GetCurrentMediaType";
    HRESULT hr = ReadLayout(reader, &layout);
    LONGLONG previousTime = 0;
    for (; SUCCEEDED(hr);) {
        DWORD flags = 0;
        IMFSample* sample = nullptr;
        LONGLONG time = 0;
        *failedStep = "ReadSample";
        hr = reader->ReadSample(VIDEO_STREAM, 0, nullptr, &flags, &time, &sample);
        if (SUCCEEDED(hr) && (flags & MF_SOURCE_READERF_ERROR))
            hr = E_FAIL;
        if (SUCCEEDED(hr) && (flags & MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED)) {
            *failedStep = "GetCurrentMediaType";
            hr = ReadLayout(reader, &layout);
        }
        if (SUCCEEDED(hr) && sample) {
            *failedStep = "reading the colours";
            FrameColours colours = {};
            hr = ReadColours(sample, &layout, summary->width, summary->height, &colours);
            if (!seen.empty() && time <= previousTime)
                summary->framesOutOfOrder++;
            previousTime = time;
            seen.push_back(colours);
        }
        if (sample)
            sample->Release();
        if (SUCCEEDED(hr) && (flags & MF_SOURCE_READERF_ENDOFSTREAM))
            break;
    }
    if (SUCCEEDED(hr) && seen.empty()) {
        *failedStep = "ReadSample (no frame in the stream)";
        hr = MF_E_END_OF_STREAM;
    }
    if (SUCCEEDED(hr))
        Summarize(seen, summary);
    return hr;
}

// Opens the file, asks for NV12 (which the system's decoder and Wine's both
// give; Wine refuses RGB32) and reads it through.
static HRESULT ReadWithMediaFoundation(const wchar_t* path, Mp4Summary* summary,
                                       const char** failedStep) {
    IMFSourceReader* reader = nullptr;
    IMFMediaType* nv12 = nullptr;
    PROPVARIANT duration;
    PropVariantInit(&duration);

    *failedStep = "MFCreateSourceReaderFromURL";
    HRESULT hr = MFCreateSourceReaderFromURL(path, nullptr, &reader);
    if (FAILED(hr))
        goto done;
    *failedStep = "GetPresentationAttribute(MF_PD_DURATION)";
    hr = reader->GetPresentationAttribute(static_cast<DWORD>(MF_SOURCE_READER_MEDIASOURCE),
                                          MF_PD_DURATION, &duration);
    if (FAILED(hr))
        goto done;
    summary->duration = duration.uhVal.QuadPart;
    *failedStep = "SetStreamSelection";
    hr = reader->SetStreamSelection(static_cast<DWORD>(MF_SOURCE_READER_ALL_STREAMS), FALSE);
    if (SUCCEEDED(hr))
        hr = reader->SetStreamSelection(VIDEO_STREAM, TRUE);
    if (FAILED(hr))
        goto done;
    *failedStep = "GetNativeMediaType";
    hr = ReadVisibleSize(reader, summary);
    if (FAILED(hr))
        goto done;
    *failedStep = "MFCreateMediaType";
    hr = MFCreateMediaType(&nv12);
    if (FAILED(hr))
        goto done;
    nv12->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    nv12->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
    *failedStep = "SetCurrentMediaType(NV12)";
    hr = reader->SetCurrentMediaType(VIDEO_STREAM, nullptr, nv12);
    if (FAILED(hr))
        goto done;
    hr = ReadAllFrames(reader, summary, failedStep);

done:
    PropVariantClear(&duration);
    if (nv12)
        nv12->Release();
    if (reader)
        reader->Release();
    return hr;
}

HRESULT ReadMp4Summary(const wchar_t* path, Mp4Summary* summary, const char** failedStep) {
    *summary = Mp4Summary{};
    // A thread already in a single-threaded apartment keeps it.
    HRESULT comResult = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(comResult) && comResult != RPC_E_CHANGED_MODE) {
        *failedStep = "CoInitializeEx";
        return comResult;
    }
    HRESULT hr = MFStartup(MF_VERSION, MFSTARTUP_FULL);
    if (FAILED(hr)) {
        *failedStep = "MFStartup";
    } else {
        hr = ReadWithMediaFoundation(path, summary, failedStep);
        MFShutdown();
    }
    if (SUCCEEDED(comResult))
        CoUninitialize();
    return hr;
}

// How many transforms of `category` take or give H.264, hardware ones included.
static HRESULT CountH264Transforms(const GUID& category, bool encoders, UINT32* count) {
    MFT_REGISTER_TYPE_INFO h264 = {MFMediaType_Video, MFVideoFormat_H264};
    IMFActivate** transforms = nullptr;
    *count = 0;
    HRESULT hr =
        MFTEnumEx(category,
                  MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_ASYNCMFT | MFT_ENUM_FLAG_HARDWARE |
                      MFT_ENUM_FLAG_SORTANDFILTER,
                  encoders ? nullptr : &h264, encoders ? &h264 : nullptr, &transforms, count);
    if (FAILED(hr))
        return hr;
    for (UINT32 i = 0; i < *count; i++)
        transforms[i]->Release();
    CoTaskMemFree(transforms);
    return hr;
}

HRESULT CountH264Encoders(UINT32* count) {
    return CountH264Transforms(MFT_CATEGORY_VIDEO_ENCODER, true, count);
}

HRESULT CountH264Decoders(UINT32* count) {
    return CountH264Transforms(MFT_CATEGORY_VIDEO_DECODER, false, count);
}
