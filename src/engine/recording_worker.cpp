#include "engine/engine.h"
#include "engine/mf_api.h"
#include "engine/mp4_mend.h"
#include "engine/os_api.h"
#include <objbase.h>

// What one worker holds for the length of the recording. Every slot starts
// null or zero, so the exit releases exactly what exists.
struct WorkerState {
    int comInitialized;
    int mfStarted;
    CaptureSource source;
    Mp4Writer writer;
};

const wchar_t* CallFailedText(wchar_t* text, const wchar_t* call, HRESULT hr) {
    // Hexadecimal, as Windows' documentation lists the results.
    wsprintfW(text, L"%s failed (0x%08X)", call, static_cast<UINT>(hr));
    return text;
}

// Initialization, set-up and the recording itself. A failing step returns at
// once with the text to report; what it created stays in *state.
static const wchar_t* InitializeAndRecord(RecordingJob* job, WorkerState* state) {
    if (FAILED(osApi.CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return L"CoInitializeEx failed";
    state->comInitialized = 1;
    if (!LoadMfApi())
        return L"Recording needs Media Foundation, which this edition of Windows lacks (install "
               L"the Media Feature Pack).";
    if (FAILED(mfApi.MFStartup(MF_VERSION, MFSTARTUP_LITE)))
        return L"MFStartup failed";
    state->mfStarted = 1;

    CaptureSource* source = &state->source;
    const wchar_t* errorText = nullptr;
    if (!OpenCaptureSource(source, &job->captureRect, &errorText))
        return errorText;
    source->recordMouse = job->recordMouse;
    if (!OpenMp4Writer(&state->writer, job->outputPath, job->fps, source->cropWidth,
                       source->cropHeight, source->frameStride, &errorText))
        return errorText;

    bool finished = RunCaptureLoop(source, &state->writer, job);
    // The hardware encoder refused the first sample, and no software one could take over.
    if (state->writer.lostText)
        return state->writer.lostText;
    // A file that could take no more still holds what was written until then.
    job->endedEarly = !finished || state->writer.sampleRefused;
    if (!finished)
        return L"Could not finish the MP4 file (is the disk full?)";
    job->success = 1;
    return nullptr;
}

// Once the sink writer has let go of the file, its fragments become an
// ordinary MP4. A recording that ended early is kept when a whole sample made
// it into the file; else it fails with its text.
static const wchar_t* KeepWhatWasRecorded(RecordingJob* job, const wchar_t* errorText) {
    MendReport report = {};
    MendResult result = MendFragmentedMp4File(job->outputPath, &report);
    if (!job->endedEarly)
        return errorText;
    bool kept = (result == MendResult::Mended || result == MendResult::AlreadyOrdinary) &&
                report.sampleCount > 0;
    if (!kept) {
        job->success = 0;
        job->endedEarly = 0;
        return errorText ? errorText : L"Could not finish the MP4 file (is the disk full?)";
    }
    job->success = 1;
    return nullptr;
}

static void FreeBlock(void* block) {
    if (block)
        osApi.HeapFree(GetProcessHeap(), 0, block);
}

static void ReleaseAll(WorkerState* state) {
    Mp4Writer* writer = &state->writer;
    CaptureSource* source = &state->source;
    CloseMp4Writer(writer);
    CloseCaptureSource(source);
    FreeBlock(source->pointer.shapeBuffer);
    FreeBlock(source->framePicture);
    if (state->mfStarted)
        mfApi.MFShutdown();
    if (state->comInitialized)
        osApi.CoUninitialize();
}

DWORD WINAPI RecordingWorker(LPVOID parameter) {
    RecordingJob* job = static_cast<RecordingJob*>(parameter);
    job->success = 0;
    job->stoppedForSpace = 0;
    job->endedEarly = 0;
    job->errorText[0] = L'\0';

    WorkerState state = {};
    const wchar_t* errorText = InitializeAndRecord(job, &state);
    bool fileWritten = state.writer.sampleTaken != 0;
    ReleaseAll(&state);
    if (fileWritten)
        errorText = KeepWhatWasRecorded(job, errorText);
    if (errorText)
        lstrcpynW(job->errorText, errorText, 255);

    osApi.PostMessageW(job->notifyWindow, WM_APP_RECORDING_DONE,
                       static_cast<WPARAM>(static_cast<INT_PTR>(job->success)), 0);
    return 0;
}
