#include <string.h>
#include "engine/engine.h"
#include "engine/mf_api.h"
#include "engine/os_api.h"

static const ULONGLONG HUNDRED_NS_PER_SECOND = 10000000;

// rest × 10^7 / frequency for rest < frequency, by binary long division: no
// product is ever formed, so no frequency can make it overflow.
static ULONGLONG ScaleRemainder(ULONGLONG rest, ULONGLONG frequency) {
    ULONGLONG quotient = 0;
    ULONGLONG remainder = 0;
    for (int bit = 23; bit >= 0; --bit) {
        // remainder < frequency < 2^63, so doubling it and adding rest stay below 2^64.
        quotient <<= 1;
        remainder <<= 1;
        if (remainder >= frequency) {
            remainder -= frequency;
            quotient += 1;
        }
        if ((HUNDRED_NS_PER_SECOND >> bit) & 1) {
            remainder += rest;
            if (remainder >= frequency) {
                remainder -= frequency;
                quotient += 1;
            }
        }
    }
    return quotient;
}

LONGLONG ComputeDueCount(LONGLONG elapsedCounts, LONGLONG counterFrequency,
                         LONGLONG frameDuration) {
    if (counterFrequency <= 0 || frameDuration <= 0)
        return 0;
    // elapsed × 10^7 overflows after about 25.6 hours at 10 MHz. Whole seconds and
    // the remainder give the same truncated quotient with nothing out of range.
    bool negative = elapsedCounts < 0;
    ULONGLONG counts = negative ? 0 - static_cast<ULONGLONG>(elapsedCounts)
                                : static_cast<ULONGLONG>(elapsedCounts);
    ULONGLONG frequency = static_cast<ULONGLONG>(counterFrequency);
    ULONGLONG elapsed =
        counts / frequency * HUNDRED_NS_PER_SECOND + ScaleRemainder(counts % frequency, frequency);
    LONGLONG due = static_cast<LONGLONG>(elapsed / static_cast<ULONGLONG>(frameDuration));
    return negative ? -due : due;
}

void PrepareSample(const CaptureSource* source, BYTE* sample, int recordMouse) {
    memcpy(sample, source->framePicture, source->frameBytes);
    // The kept picture never gets the pointer, so a repeated picture carries one
    // pointer, at its latest position.
    if (recordMouse)
        CompositePointer(&source->pointer, sample, source->cropX, source->cropY, source->cropWidth,
                         source->cropHeight);
}

// Writes the sample for one index; a failed buffer, lock or sample drops only
// this index and leaves a hole in the timeline.
static void WriteFrameSample(const CaptureSource* source, const Mp4Writer* writer, int recordMouse,
                             LONGLONG frameIndex, LONGLONG frameDuration) {
    IMFMediaBuffer* buffer = nullptr;
    if (FAILED(mfApi.MFCreateMemoryBuffer(source->frameBytes, &buffer)) || !buffer)
        return;
    BYTE* data = nullptr;
    HRESULT hr = mfApi.Lock(buffer, &data, nullptr, nullptr);
    if (FAILED(hr) || !data) {
        if (SUCCEEDED(hr))
            buffer->Unlock();
        buffer->Release();
        return;
    }
    PrepareSample(source, data, recordMouse);
    buffer->Unlock();
    buffer->SetCurrentLength(source->frameBytes);
    IMFSample* sample = nullptr;
    if (FAILED(mfApi.MFCreateSample(&sample)) || !sample) {
        buffer->Release();
        return;
    }
    sample->AddBuffer(buffer);
    sample->SetSampleTime(frameIndex * frameDuration);
    sample->SetSampleDuration(frameDuration);
    mfApi.WriteSample(writer->sinkWriter, writer->streamIndex, sample);
    sample->Release();
    buffer->Release();
}

static bool StopRequested(const RecordingJob* job) {
    return osApi.WaitForSingleObject(job->stopEvent, 0) == WAIT_OBJECT_0;
}

void RunCaptureLoop(CaptureSource* source, Mp4Writer* writer, const RecordingJob* job) {
    source->sourceBox.left = static_cast<UINT>(source->cropX);
    source->sourceBox.top = static_cast<UINT>(source->cropY);
    source->sourceBox.front = 0;
    source->sourceBox.right = static_cast<UINT>(source->cropX + source->cropWidth);
    source->sourceBox.bottom = static_cast<UINT>(source->cropY + source->cropHeight);
    source->sourceBox.back = 1;
    // CapturePicture reads the pointer flag from the source.
    source->recordMouse = job->recordMouse;
    LONGLONG frameDuration = 10000000 / job->fps;
    ResetPointerState(&source->pointer);
    LARGE_INTEGER counterFrequency = {};
    osApi.QueryPerformanceFrequency(&counterFrequency);

    // Without a picture within 500 ms the loop starts from the zero-filled
    // picture, which encodes as black.
    CapturePicture(source, 500);
    LARGE_INTEGER startCount = {};
    osApi.QueryPerformanceCounter(&startCount);
    LONGLONG frameIndex = 0;

    while (!StopRequested(job)) {
        HRESULT hr = CapturePicture(source, 0);
        if (hr == DXGI_ERROR_ACCESS_LOST) {
            if (!ReopenDuplication(source))
                break;
            continue;
        }
        if (hr != S_OK && hr != DXGI_ERROR_WAIT_TIMEOUT)
            break;
        LARGE_INTEGER now = {};
        osApi.QueryPerformanceCounter(&now);
        LONGLONG dueCount = ComputeDueCount(now.QuadPart - startCount.QuadPart,
                                            counterFrequency.QuadPart, frameDuration);
        // No bound on the catch-up: every missed index gets the current picture.
        for (; frameIndex < dueCount; ++frameIndex)
            WriteFrameSample(source, writer, job->recordMouse, frameIndex, frameDuration);
        osApi.Sleep(1);
    }

    if (writer->sinkWriter)
        mfApi.Finalize(writer->sinkWriter);
}
