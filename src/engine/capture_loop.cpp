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

LONGLONG ComputeRetryCounts(LONGLONG outageCounts, LONGLONG counterFrequency) {
    if (outageCounts < 5 * counterFrequency)
        return counterFrequency / 4;
    if (outageCounts < 65 * counterFrequency)
        return 2 * counterFrequency;
    return 5 * counterFrequency;
}

void PrepareSample(const CaptureSource* source, BYTE* sample, int recordMouse) {
    memcpy(sample, source->framePicture, source->frameBytes);
    // The kept picture never gets the pointer, so a repeated picture carries one
    // pointer, at its latest position.
    if (recordMouse)
        CompositePointer(&source->pointer, sample, source->cropX, source->cropY, source->cropWidth,
                         source->cropHeight);
}

bool MakeFrameSample(const CaptureSource* source, int recordMouse, LONGLONG frameIndex,
                     LONGLONG frameDuration, IMFMediaBuffer** buffer, IMFSample** sample) {
    *buffer = nullptr;
    *sample = nullptr;
    if (FAILED(mfApi.MFCreateMemoryBuffer(source->frameBytes, buffer)) || !*buffer)
        return false;
    BYTE* data = nullptr;
    HRESULT hr = mfApi.Lock(*buffer, &data, nullptr, nullptr);
    if (FAILED(hr) || !data) {
        if (SUCCEEDED(hr))
            (*buffer)->Unlock();
        (*buffer)->Release();
        *buffer = nullptr;
        return false;
    }
    PrepareSample(source, data, recordMouse);
    (*buffer)->Unlock();
    (*buffer)->SetCurrentLength(source->frameBytes);
    if (FAILED(mfApi.MFCreateSample(sample)) || !*sample) {
        (*buffer)->Release();
        *buffer = nullptr;
        *sample = nullptr;
        return false;
    }
    (*sample)->AddBuffer(*buffer);
    (*sample)->SetSampleTime(frameIndex * frameDuration);
    (*sample)->SetSampleDuration(frameDuration);
    return true;
}

// Writes the sample for one index; a failed buffer, lock or sample drops only
// this index and leaves a hole in the timeline. False when the sink writer
// refused the sample: the file cannot take more (a full disk, a failed encoder).
static bool WriteFrameSample(const CaptureSource* source, Mp4Writer* writer, int recordMouse,
                             LONGLONG frameIndex, LONGLONG frameDuration) {
    IMFMediaBuffer* buffer = nullptr;
    IMFSample* sample = nullptr;
    if (!MakeFrameSample(source, recordMouse, frameIndex, frameDuration, &buffer, &sample))
        return true;
    // The writer keeps its own reference; the memory is never touched again here.
    HRESULT hr = WriteMp4Sample(writer, sample);
    sample->Release();
    buffer->Release();
    return SUCCEEDED(hr);
}

static bool StopRequested(const RecordingJob* job) {
    return osApi.WaitForSingleObject(job->stopEvent, 0) == WAIT_OBJECT_0;
}

// Writes every index that has fallen due, each with the current picture. False
// when the loop must end: STOP, or a sample the writer refused. A throttling
// encoder can make one catch-up last seconds, so STOP is looked for before
// every sample.
static bool CatchUp(const CaptureSource* source, Mp4Writer* writer, const RecordingJob* job,
                    LONGLONG dueCount, LONGLONG frameDuration, LONGLONG* frameIndex) {
    for (; *frameIndex < dueCount; ++*frameIndex) {
        if (StopRequested(job))
            return false;
        if (!WriteFrameSample(source, writer, job->recordMouse, *frameIndex, frameDuration))
            return false;
    }
    return true;
}

// Whether the recording's drive still has room for the file's index after
// samplesWritten samples. A drive that cannot say is let be.
static bool DiskHasRoom(const WCHAR* folder, LONGLONG samplesWritten) {
    ULARGE_INTEGER available = {};
    return !osApi.GetDiskFreeSpaceExW(folder, &available, nullptr, nullptr) ||
           available.QuadPart >= ComputeDiskReserve(samplesWritten);
}

bool RunCaptureLoop(CaptureSource* source, Mp4Writer* writer, RecordingJob* job) {
    // CapturePicture reads the pointer flag from the source.
    source->recordMouse = job->recordMouse;
    LONGLONG frameDuration = 10000000 / job->fps;
    ResetPointerState(&source->pointer);
    LARGE_INTEGER counterFrequency = {};
    osApi.QueryPerformanceFrequency(&counterFrequency);
    // A GDI read costs milliseconds of this thread: at most one per frame.
    source->gdi.readInterval = counterFrequency.QuadPart * frameDuration / 10000000;
    // While the desktop cannot be duplicated (secure desktop, mode change, a
    // driver being reset) it is tried again at a pace that slows as the
    // outage lasts, and the whole capture source made anew at least every two
    // seconds: an output object can go stale for good without saying so (an
    // unplug and replug, a dock).
    const LONGLONG renewCounts = counterFrequency.QuadPart * 2;

    // Without a picture within 500 ms the loop starts from the zero-filled
    // picture, which encodes as black.
    CapturePicture(source, 500);
    LARGE_INTEGER startCount = {};
    osApi.QueryPerformanceCounter(&startCount);
    LONGLONG frameIndex = 0;
    // The first re-creation is at once. A desktop that keeps coming and going (a
    // full-screen program switching modes) must not be re-created on every pass:
    // one lost within a quarter second of its re-creation waits for its turn.
    LONGLONG lastAttempt = startCount.QuadPart - counterFrequency.QuadPart / 4;
    // The last pass that found the duplication working, or the last renewal.
    LONGLONG lastRenewal = startCount.QuadPart;
    // The first failed pass since the duplication last worked.
    LONGLONG outageStart = 0;
    bool inOutage = false;
    // The free space is looked at once a second, the first time at once.
    WCHAR outputFolder[MAX_PATH];
    CopyFolderPart(outputFolder, job->outputPath);
    LONGLONG lastSpaceCheck = startCount.QuadPart - counterFrequency.QuadPart;

    while (!StopRequested(job)) {
        // A recording ends only at STOP or when the writer refuses a sample.
        // Every failure to get a picture is an outage, during which every due
        // index gets the kept picture: a removed or reset device (a driver
        // update, a recovered GPU time-out) or a changed set of monitors
        // takes the whole capture source with it, anything else only the
        // duplication. A source without a device, or without a duplication,
        // is still in its outage.
        HRESULT hr = source->gdi.inUse      ? CapturePicture(source, 0)
                     : !source->device      ? DXGI_ERROR_DEVICE_REMOVED
                     : !source->duplication ? DXGI_ERROR_ACCESS_LOST
                                            : CapturePicture(source, 0);
        LARGE_INTEGER now = {};
        osApi.QueryPerformanceCounter(&now);
        if (SUCCEEDED(hr) || hr == DXGI_ERROR_WAIT_TIMEOUT) {
            lastRenewal = now.QuadPart;
            inOutage = false;
        } else {
            if (!inOutage)
                outageStart = now.QuadPart;
            inOutage = true;
            LONGLONG retryCounts =
                ComputeRetryCounts(now.QuadPart - outageStart, counterFrequency.QuadPart);
            if (now.QuadPart - lastAttempt >= retryCounts) {
                lastAttempt = now.QuadPart;
                bool renew = now.QuadPart - lastRenewal >= renewCounts || SourceIsStale(source, hr);
                if (renew)
                    lastRenewal = now.QuadPart;
                if (renew ? ReopenCaptureSource(source, &job->captureRect)
                          : ReopenDuplication(source))
                    continue;
            }
        }
        LONGLONG dueCount = ComputeDueCount(now.QuadPart - startCount.QuadPart,
                                            counterFrequency.QuadPart, frameDuration);
        if (!CatchUp(source, writer, job, dueCount, frameDuration, &frameIndex))
            break;
        // Stopped while the index still fits, the recording is kept; a full
        // disk would fail Finalize and lose all of it.
        if (now.QuadPart - lastSpaceCheck >= counterFrequency.QuadPart) {
            lastSpaceCheck = now.QuadPart;
            if (!DiskHasRoom(outputFolder, frameIndex)) {
                job->stoppedForSpace = 1;
                break;
            }
        }
        osApi.Sleep(1);
    }

    // Only a finalized file is playable.
    return !writer->sinkWriter || SUCCEEDED(mfApi.Finalize(writer->sinkWriter));
}
