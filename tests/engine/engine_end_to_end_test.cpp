// The real RecordingWorker thread on the real Direct3D 11 device and real
// Media Foundation buffers and samples; in EngineEndToEnd only the duplication,
// the output it belongs to and the sink writer are stand-ins, and time is
// virtual. EngineOnRealPlatform takes real desktop pictures and records real
// MP4s with nothing stood in, where the platform has the pieces, and reads them
// back as mp4_check does.
#include <gtest/gtest.h>
#include <limits.h>
#include <mferror.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>
#include <wchar.h>
#include "engine/engine.h"
#include "mp4_check/mp4_summary.h"
#include "quarter_colours.h"
#include "standins.h"

namespace {

const LONGLONG COUNTS_PER_MS = 10000; // a 10 MHz counter

// The worker's clock. Its own Sleep moves it 1 ms a time until `freezeAt`;
// from there it stands still (no further sample falls due) and the worker
// really sleeps, until the test sets the stop event.
struct WorkerClock {
    volatile LONGLONG counts;
    LONGLONG freezeAt;
    HANDLE frozen; // set once the clock has reached freezeAt
};
WorkerClock workerClock;

BOOL WINAPI ClockFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = 1000 * COUNTS_PER_MS;
    return TRUE;
}

BOOL WINAPI ClockCounter(LARGE_INTEGER* count) {
    count->QuadPart = 5000000000LL + workerClock.counts;
    return TRUE;
}

void WINAPI ClockSleep(DWORD ms) {
    if (workerClock.counts >= workerClock.freezeAt) {
        SetEvent(workerClock.frozen);
        Sleep(ms);
        return;
    }
    workerClock.counts += ms * COUNTS_PER_MS;
}

// The output the stand-in duplication shows, and the capture rect on it.
const int DESKTOP_WIDTH = 320;
const int DESKTOP_HEIGHT = 240;
const RECT CAPTURE_RECT = {100, 60, 300, 200};
const int CROP_X = 100;
const int CROP_Y = 60;
const int CROP_WIDTH = 200;
const int CROP_HEIGHT = 140;

// Desktop picture K: every pixel differs from the same pixel of the others.
template <int K> UINT32 Desktop(int x, int y) {
    return 0xFF000000u | UINT32(K * 60) << 16 | UINT32(x & 0xFF) << 8 | UINT32(y & 0xFF);
}

struct PointerSeen {
    bool visible;
    int x, y;        // relative to the output
    bool monochrome; // else the 8 x 8 opaque red colour shape
};

DesktopFrame Frame(UINT32 (*desktop)(int, int)) {
    return MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, desktop);
}

DesktopFrame MovePointer(DesktopFrame frame, int x, int y, BOOL visible) {
    frame.frameInfo.LastMouseUpdateTime.QuadPart = 1;
    frame.frameInfo.PointerPosition.Position = {x, y};
    frame.frameInfo.PointerPosition.Visible = visible;
    return frame;
}

DesktopFrame RedSquareShape(DesktopFrame frame) {
    frame.shapeInfo = {DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR, 8, 8, 32, {0, 0}};
    frame.shape.clear();
    for (int i = 0; i < 64; i++)
        frame.shape.insert(frame.shape.end(), {0x00, 0x00, 0xFF, 0xFF});
    frame.frameInfo.PointerShapeBufferSize = UINT(frame.shape.size());
    return frame;
}

// 16 x 16 monochrome shape (Height 32: two planes), AND 0 and XOR 1: white.
DesktopFrame WhiteMonochromeShape(DesktopFrame frame) {
    frame.shapeInfo = {DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MONOCHROME, 16, 32, 2, {0, 0}};
    frame.shape.assign(32, 0x00);
    frame.shape.insert(frame.shape.end(), 32, 0xFF);
    frame.frameInfo.PointerShapeBufferSize = UINT(frame.shape.size());
    return frame;
}

// The crop of `desktop` with the pointer painted in as a plain rectangle.
std::vector<BYTE> ExpectedSample(UINT32 (*desktop)(int, int), PointerSeen pointer) {
    std::vector<BYTE> bytes(size_t(CROP_WIDTH) * CROP_HEIGHT * 4);
    for (int y = 0; y < CROP_HEIGHT; y++) {
        for (int x = 0; x < CROP_WIDTH; x++) {
            UINT32 pixel = desktop(CROP_X + x, CROP_Y + y);
            bool onPointer = pointer.visible && CROP_X + x >= pointer.x &&
                             CROP_X + x < pointer.x + (pointer.monochrome ? 16 : 8) &&
                             CROP_Y + y >= pointer.y &&
                             CROP_Y + y < pointer.y + (pointer.monochrome ? 16 : 8);
            if (onPointer)
                pixel = (pixel & 0xFF000000u) | (pointer.monochrome ? 0xFFFFFFu : 0xFF0000u);
            memcpy(&bytes[(size_t(y) * CROP_WIDTH + x) * 4], &pixel, 4);
        }
    }
    return bytes;
}

// Acquire call 0 is the first picture; call k + 1 the pass at k ms.
void ScriptAtMs(StandInDuplication& duplication, int ms, const DesktopFrame& frame) {
    size_t call = ms < 0 ? 0 : size_t(ms) + 1;
    while (duplication.script.size() < call)
        duplication.script.push_back(MakeFailedFrame(DXGI_ERROR_WAIT_TIMEOUT));
    duplication.script.push_back(frame);
}

// The real RecordingWorker on its own thread, with the job the UI thread would
// hand it and a window for its WM_APP_RECORDING_DONE.
class WorkerRun : public ::testing::Test {
  protected:
    MediaFoundationGuard mediaFoundation;
    RecordingJob job = {};
    HWND window = nullptr;
    HANDLE thread = nullptr;

    void SetUp() override {
        window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                 nullptr);
        ASSERT_NE(nullptr, window);
        job.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        job.notifyWindow = window;
        job.success = 7; // the worker must write it
    }

    void TearDown() override {
        if (thread) {
            WaitForSingleObject(thread, 10000);
            CloseHandle(thread);
        }
        CloseHandle(job.stopEvent);
        DestroyWindow(window);
    }

    void StartWorker() {
        thread = CreateThread(nullptr, 0, RecordingWorker, &job, 0, nullptr);
        ASSERT_NE(nullptr, thread);
    }

    // Every WM_APP_RECORDING_DONE until the worker has ended, then any stragglers.
    std::vector<WPARAM> DoneMessages() {
        std::vector<WPARAM> seen;
        DWORD deadline = GetTickCount() + 30000;
        while (WaitForSingleObject(thread, 10) == WAIT_TIMEOUT && GetTickCount() < deadline)
            CollectDone(&seen);
        CollectDone(&seen);
        return seen;
    }

    void CollectDone(std::vector<WPARAM>* seen) {
        MSG msg;
        while (PeekMessageW(&msg, window, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_APP_RECORDING_DONE) {
                EXPECT_EQ(0, msg.lParam);
                seen->push_back(msg.wParam);
            }
        }
    }
};

class EngineEndToEnd : public WorkerRun {
  protected:
    SeamGuard guard;
    StandInOutput output{RECT{0, 0, DESKTOP_WIDTH, DESKTOP_HEIGHT}};
    StandInDuplication duplication;
    StandInSinkWriter sinkWriter;

    void SetUp() override {
        WorkerRun::SetUp();
        job.captureRect = CAPTURE_RECT;
        job.fps = 10;
        job.recordMouse = 1;
        lstrcpyW(job.outputPath, L"C:\\quorvel-end-to-end.mp4");

        workerClock.counts = 0;
        workerClock.freezeAt = LLONG_MAX;
        workerClock.frozen = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        osApi.QueryPerformanceFrequency = ClockFrequency;
        osApi.QueryPerformanceCounter = ClockCounter;
        osApi.Sleep = ClockSleep;
        UseStandInOutputs({&output});
        UseStandInDuplications({&duplication});
        UseStandInSinkWriter(&sinkWriter);
        mediaFoundation.Start();
    }

    void TearDown() override {
        WorkerRun::TearDown();
        CloseHandle(workerClock.frozen);
    }
};

} // namespace

TEST_F(EngineEndToEnd, SamplesCarryTheDesktopOfTheirMomentWithThePointerWhereItLastWas) {
    // At 10 fps sample n is written by the pass at (n + 1) x 100 ms.
    ScriptAtMs(duplication, -1, RedSquareShape(MovePointer(Frame(Desktop<0>), 110, 70, TRUE)));
    ScriptAtMs(duplication, 50, Frame(Desktop<1>));
    ScriptAtMs(duplication, 150, MovePointer(Frame(Desktop<2>), 140, 90, TRUE));
    ScriptAtMs(duplication, 250,
               WhiteMonochromeShape(MovePointer(Frame(Desktop<3>), 296, 100, TRUE)));
    ScriptAtMs(duplication, 350, MovePointer(Frame(Desktop<3>), 296, 100, FALSE));
    ScriptAtMs(duplication, 450, MovePointer(Frame(Desktop<3>), 150, 150, TRUE));
    const struct {
        UINT32 (*desktop)(int, int);
        PointerSeen pointer;
    } expected[] = {
        {Desktop<1>, {true, 110, 70, false}}, // 100 ms: new picture, pointer unmoved
        {Desktop<2>, {true, 140, 90, false}}, // 200 ms: moved
        {Desktop<3>, {true, 296, 100, true}}, // 300 ms: new shape, past the right edge
        {Desktop<3>, {false, 0, 0, false}},   // 400 ms: hidden
        {Desktop<3>, {true, 150, 150, true}}, // 500 ms: back, with the kept shape
        {Desktop<3>, {true, 150, 150, true}}, // 600 ms: nothing new, a repeat
    };
    workerClock.freezeAt = 650 * COUNTS_PER_MS;

    StartWorker();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(workerClock.frozen, 30000));
    SetEvent(job.stopEvent);
    std::vector<WPARAM> done = DoneMessages();

    EXPECT_EQ(std::vector<WPARAM>{1}, done);
    EXPECT_EQ(1, job.success);
    EXPECT_EQ(L'\0', job.errorText[0]);
    ASSERT_EQ(6u, sinkWriter.samples.size());
    for (size_t n = 0; n < 6; n++) {
        SCOPED_TRACE(n);
        const WrittenSample& sample = sinkWriter.samples[n];
        EXPECT_EQ(LONGLONG(n) * 1000000, sample.time);
        EXPECT_EQ(1000000, sample.duration);
        EXPECT_EQ(ExpectedSample(expected[n].desktop, expected[n].pointer), sample.bytes);
    }
    EXPECT_EQ(1, sinkWriter.CountCalls("Finalize"));
    EXPECT_EQ("Finalize", sinkWriter.calls.back());
    EXPECT_EQ(0, duplication.references); // the worker let its duplication go
    EXPECT_EQ(0, sinkWriter.references);
}

TEST_F(EngineEndToEnd, StopAlreadySignalledWritesNothingAndStillSucceeds) {
    ScriptAtMs(duplication, -1, Frame(Desktop<0>));
    SetEvent(job.stopEvent);
    StartWorker();
    EXPECT_EQ(std::vector<WPARAM>{1}, DoneMessages());
    EXPECT_EQ(1, job.success);
    EXPECT_TRUE(sinkWriter.samples.empty());
    EXPECT_EQ(1, sinkWriter.CountCalls("Finalize"));
}

TEST_F(EngineEndToEnd, DesktopAwayUntilStopKeepsRecordingAndSucceeds) {
    // A UAC prompt at 250 ms that is still up when the user presses STOP.
    ScriptAtMs(duplication, -1, Frame(Desktop<0>));
    ScriptAtMs(duplication, 250, MakeFailedFrame(DXGI_ERROR_ACCESS_LOST));
    workerClock.freezeAt = 1000 * COUNTS_PER_MS;
    StartWorker(); // the only duplication to hand out is already in use
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(workerClock.frozen, 30000));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 0))
        << "only STOP ends it";
    SetEvent(job.stopEvent);
    EXPECT_EQ(std::vector<WPARAM>{1}, DoneMessages());
    EXPECT_EQ(1, job.success);
    EXPECT_EQ(L'\0', job.errorText[0]);
    // Set-up, then tries at 250, 500, 750 and 1,000 ms.
    EXPECT_EQ(5, handOutLog.duplicateOutputCalls);
    ASSERT_EQ(10u, sinkWriter.samples.size()); // due at 100 to 1,000 ms
    for (const WrittenSample& sample : sinkWriter.samples)
        EXPECT_EQ(ExpectedSample(Desktop<0>, {false, 0, 0, false}), sample.bytes);
    EXPECT_EQ(1, sinkWriter.CountCalls("Finalize"));
}

TEST_F(EngineEndToEnd, RemovedDeviceKeepsRecordingUntilStopAndSucceeds) {
    // A display driver updated at 150 ms that is not back when the user presses STOP.
    ScriptAtMs(duplication, -1, Frame(Desktop<0>));
    ScriptAtMs(duplication, 150, MakeFailedFrame(DXGI_ERROR_DEVICE_REMOVED));
    workerClock.freezeAt = 1000 * COUNTS_PER_MS;
    StartWorker(); // the only duplication to hand out is gone with its device
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(workerClock.frozen, 30000));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 0))
        << "only STOP ends it";
    SetEvent(job.stopEvent);
    EXPECT_EQ(std::vector<WPARAM>{1}, DoneMessages());
    EXPECT_EQ(1, job.success);
    // Set-up, then the whole source made anew at 150, 400, 650 and 900 ms.
    EXPECT_EQ(5, handOutLog.duplicateOutputCalls);
    ASSERT_EQ(10u, sinkWriter.samples.size());
    for (const WrittenSample& sample : sinkWriter.samples)
        EXPECT_EQ(ExpectedSample(Desktop<0>, {false, 0, 0, false}), sample.bytes);
    EXPECT_EQ(1, sinkWriter.CountCalls("Finalize"));
    EXPECT_EQ(0, duplication.references);
}

namespace {

// 2 s at 30 fps of a picture in four quarters, whose colours change at 0.5 s
// and at 1.5 s: the first, the middle and the last frame each show one set, well
// away from a change.
const int REAL_FPS = 30;
const LONGLONG REAL_FRAME_DURATION = 10000000 / REAL_FPS;
const int REAL_WIDTH = 320;
const int REAL_HEIGHT = 240;
// The set of colours shown `ms` into the recording.
int ColourSetAtMs(LONGLONG ms) {
    return ms < 500 ? 0 : ms < 1500 ? 1 : 2;
}

bool RunningOnWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string Hex(HRESULT hr) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

void ExpectQuartersNear(int colourSet, const Quarters& seen, const char* which) {
    static const char* const quarterNames[4] = {"top-left", "top-right", "bottom-left",
                                                "bottom-right"};
    for (int quarter = 0; quarter < 4; quarter++) {
        SCOPED_TRACE(std::string(which) + ", " + quarterNames[quarter] + " quarter");
        const Colour& expected = QUARTER_COLOURS[colourSet][quarter];
        const BYTE* rgb = seen.colour[quarter];
        EXPECT_NEAR(expected.red, rgb[0], COLOUR_TOLERANCE);
        EXPECT_NEAR(expected.green, rgb[1], COLOUR_TOLERANCE);
        EXPECT_NEAR(expected.blue, rgb[2], COLOUR_TOLERANCE);
    }
}

bool QuartersNear(int colourSet, const Quarters& seen) {
    for (int quarter = 0; quarter < 4; quarter++) {
        const Colour& expected = QUARTER_COLOURS[colourSet][quarter];
        const int channels[3] = {expected.red, expected.green, expected.blue};
        for (int channel = 0; channel < 3; channel++) {
            if (abs(channels[channel] - seen.colour[quarter][channel]) > COLOUR_TOLERANCE)
                return false;
        }
    }
    return true;
}

// The quarters of a top-down BGRA picture of REAL_WIDTH x REAL_HEIGHT.
Quarters PictureQuarters(const BYTE* picture) {
    Quarters quarters = {};
    for (int quarter = 0; quarter < 4; quarter++) {
        int x = (quarter % 2 * 2 + 1) * REAL_WIDTH / 4;
        int y = (quarter / 2 * 2 + 1) * REAL_HEIGHT / 4;
        const BYTE* pixel = picture + (size_t(y) * REAL_WIDTH + x) * 4;
        quarters.colour[quarter][0] = pixel[2];
        quarters.colour[quarter][1] = pixel[1];
        quarters.colour[quarter][2] = pixel[0];
    }
    return quarters;
}

// What both recordings must hold: about 2 s of frames of the crop's size, each
// lasting one frame duration, and the three sets of colours in order.
void ExpectTwoSecondsOfQuarters(const wchar_t* path) {
    Mp4Summary summary = {};
    const char* failedStep = "";
    HRESULT hr = ReadMp4Summary(path, &summary, &failedStep);
    ASSERT_EQ(S_OK, hr) << "reading the MP4 back: " << failedStep << " failed: " << Hex(hr);
    EXPECT_NEAR(2 * REAL_FPS, static_cast<double>(summary.frames), 1);
    EXPECT_NEAR(static_cast<double>(summary.frames) * static_cast<double>(REAL_FRAME_DURATION),
                static_cast<double>(summary.duration),
                static_cast<double>(REAL_FRAME_DURATION) / 2);
    EXPECT_EQ(static_cast<UINT32>(REAL_WIDTH), summary.width);
    EXPECT_EQ(static_cast<UINT32>(REAL_HEIGHT), summary.height);
    ExpectQuartersNear(0, summary.firstQuarters, "first frame");
    ExpectQuartersNear(1, summary.middleQuarters, "middle frame");
    ExpectQuartersNear(2, summary.lastQuarters, "last frame");
}

// S_OK when some graphics adapter has an output; else the answer that said none.
HRESULT FindAnyOutput() {
    IDXGIFactory1* factory = nullptr;
    HRESULT hr = CreateDXGIFactory1(IID_PPV_ARGS(&factory));
    if (FAILED(hr))
        return hr;
    IDXGIAdapter1* adapter = nullptr;
    for (UINT index = 0; (hr = factory->EnumAdapters1(index, &adapter)) == S_OK; index++) {
        IDXGIOutput* output = nullptr;
        hr = adapter->EnumOutputs(0, &output);
        adapter->Release();
        if (output)
            output->Release();
        if (hr == S_OK)
            break;
    }
    factory->Release();
    return hr;
}

// What the worker's seams saw; the seams forward every call to the real one.
struct RealCallsSeen {
    volatile LONG createDeviceCalls;
    HRESULT firstCreateDevice;
    volatile LONG duplicateOutputCalls;
    HRESULT firstDuplicateOutput;
    LARGE_INTEGER loopStart; // the loop's first clock reading: its timeline's zero
    HANDLE loopStarted;
};
RealCallsSeen realCallsSeen;

HRESULT WINAPI NoteCreateDevice(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, HMODULE software,
                                UINT flags, const D3D_FEATURE_LEVEL* featureLevels, UINT levelCount,
                                UINT sdkVersion, ID3D11Device** device,
                                D3D_FEATURE_LEVEL* achievedLevel, ID3D11DeviceContext** context) {
    HRESULT hr =
        realD3dApi.D3D11CreateDevice(adapter, driverType, software, flags, featureLevels,
                                     levelCount, sdkVersion, device, achievedLevel, context);
    if (InterlockedIncrement(&realCallsSeen.createDeviceCalls) == 1)
        realCallsSeen.firstCreateDevice = hr;
    return hr;
}

HRESULT NoteDuplicateOutput(IDXGIOutput1* output1, IUnknown* device,
                            IDXGIOutputDuplication** duplication) {
    HRESULT hr = realD3dApi.DuplicateOutput(output1, device, duplication);
    if (InterlockedIncrement(&realCallsSeen.duplicateOutputCalls) == 1)
        realCallsSeen.firstDuplicateOutput = hr;
    return hr;
}

BOOL WINAPI NoteLoopStart(LARGE_INTEGER* count) {
    BOOL result = realOsApi.QueryPerformanceCounter(count);
    if (WaitForSingleObject(realCallsSeen.loopStarted, 0) == WAIT_TIMEOUT) {
        realCallsSeen.loopStart = *count;
        SetEvent(realCallsSeen.loopStarted);
    }
    return result;
}

std::string FirstAnswer(LONG calls, HRESULT answer) {
    return calls ? Hex(answer) : "not called";
}

// As the Microsoft Basic Render Driver answers: no duplication on this adapter.
HRESULT RefuseDuplication(IDXGIOutput1* output1, IUnknown* device,
                          IDXGIOutputDuplication** duplication) {
    HRESULT hr = NoteDuplicateOutput(output1, device, duplication);
    if (SUCCEEDED(hr))
        (*duplication)->Release();
    *duplication = nullptr;
    return DXGI_ERROR_UNSUPPORTED;
}

// The answers a failed start is judged by, for its message.
std::string AnswersSeen(HRESULT anyOutput) {
    return "D3D11CreateDevice: " +
           FirstAnswer(realCallsSeen.createDeviceCalls, realCallsSeen.firstCreateDevice) +
           ", first output: " + Hex(anyOutput) + ", DuplicateOutput: " +
           FirstAnswer(realCallsSeen.duplicateOutputCalls, realCallsSeen.firstDuplicateOutput);
}

// Why this machine cannot record its desktop, or null when the failed start
// is a fault. Where duplication cannot be had GDI reads the screen, so only a
// desktop that is away at the start stops the capture (Windows documents these
// answers for the secure desktop, too many duplications and a disconnected
// session); Wine, which shows a desktop, has no such excuse. Wine's sink writer
// cannot write an MP4.
const char* MissingDesktopPiece(const wchar_t* errorText) {
    if (RunningOnWine())
        return errorText && wcscmp(errorText, L"Cannot create output .mp4") == 0
                   ? "Wine: no H.264 MP4 sink writer (the capture had opened through GDI)"
                   : nullptr;
    if (!realCallsSeen.duplicateOutputCalls)
        return nullptr;
    switch (realCallsSeen.firstDuplicateOutput) {
    case E_ACCESSDENIED:
    case DXGI_ERROR_NOT_CURRENTLY_AVAILABLE:
    case DXGI_ERROR_SESSION_DISCONNECTED: return "this session's desktop is away";
    default: return nullptr;
    }
}

// `colourSet` in quarters over a top-down BGRA picture of REAL_WIDTH x REAL_HEIGHT.
void FillQuarters(std::vector<BYTE>* picture, int colourSet) {
    for (int y = 0; y < REAL_HEIGHT; y++) {
        for (int x = 0; x < REAL_WIDTH; x++) {
            int quarter = (y < REAL_HEIGHT / 2 ? 0 : 2) + (x < REAL_WIDTH / 2 ? 0 : 1);
            const Colour& colour = QUARTER_COLOURS[colourSet][quarter];
            BYTE* pixel = &(*picture)[(size_t(y) * REAL_WIDTH + x) * 4];
            pixel[0] = colour.blue;
            pixel[1] = colour.green;
            pixel[2] = colour.red;
            pixel[3] = 0xFF;
        }
    }
}

std::string Utf8(const wchar_t* text) {
    char bytes[512] = {};
    WideCharToMultiByte(CP_UTF8, 0, text ? text : L"(no text)", -1, bytes, sizeof(bytes), nullptr,
                        nullptr);
    return bytes;
}

const UINT MICROSOFT_VENDOR_ID = 0x1414;

// The first graphics adapter that has an output, and whether it has no GPU of
// its own: a software adapter, or one of Microsoft's (the Basic Render Driver
// of a virtual machine without a GPU, a remote session's display).
std::string DescribeDisplayAdapter(bool* withoutGpu) {
    *withoutGpu = false;
    IDXGIFactory1* factory = nullptr;
    HRESULT hr = CreateDXGIFactory1(IID_PPV_ARGS(&factory));
    if (FAILED(hr))
        return "no DXGI factory (" + Hex(hr) + ")";
    std::string description = "none with an output";
    IDXGIAdapter1* adapter = nullptr;
    for (UINT index = 0; factory->EnumAdapters1(index, &adapter) == S_OK; index++) {
        IDXGIOutput* output = nullptr;
        DXGI_ADAPTER_DESC1 desc = {};
        bool shows =
            adapter->EnumOutputs(0, &output) == S_OK && SUCCEEDED(adapter->GetDesc1(&desc));
        if (output)
            output->Release();
        adapter->Release();
        if (shows) {
            char ids[48];
            snprintf(ids, sizeof(ids), " (vendor 0x%04X, device 0x%04X)", desc.VendorId,
                     desc.DeviceId);
            description = Utf8(desc.Description) + ids;
            *withoutGpu =
                (desc.Flags & DXGI_ADAPTER_FLAG_SOFTWARE) || desc.VendorId == MICROSOFT_VENDOR_ID;
            break;
        }
    }
    factory->Release();
    return description;
}

// Writes 2 s of the quarters as the capture loop does: the program's own
// writer, then each sample as MakeFrameSample makes it, to the real sink
// writer. Returns the step that failed, or an empty text.
std::string WriteQuarters(const wchar_t* path) {
    std::vector<BYTE> picture(size_t(REAL_WIDTH) * REAL_HEIGHT * 4);
    CaptureSource source = {};
    source.cropWidth = REAL_WIDTH;
    source.cropHeight = REAL_HEIGHT;
    source.frameStride = REAL_WIDTH * 4;
    source.frameBytes = static_cast<UINT>(picture.size());
    source.framePicture = picture.data();
    Mp4Writer writer = {};
    const wchar_t* errorText = nullptr;
    std::string failedStep;
    if (!OpenMp4Writer(&writer, path, REAL_FPS, REAL_WIDTH, REAL_HEIGHT, source.frameStride,
                       &errorText))
        failedStep = "OpenMp4Writer: " + Utf8(errorText);
    for (LONGLONG index = 0; failedStep.empty() && index < 2 * REAL_FPS; index++) {
        FillQuarters(&picture, ColourSetAtMs(index * 1000 / REAL_FPS));
        IMFMediaBuffer* buffer = nullptr;
        IMFSample* sample = nullptr;
        if (!MakeFrameSample(&source, 0, index, REAL_FRAME_DURATION, &buffer, &sample)) {
            failedStep = "MakeFrameSample";
            break;
        }
        HRESULT hr = writer.sinkWriter->WriteSample(writer.streamIndex, sample);
        sample->Release();
        buffer->Release();
        if (FAILED(hr))
            failedStep = "WriteSample: " + Hex(hr);
    }
    if (failedStep.empty()) {
        HRESULT hr = writer.sinkWriter->Finalize();
        if (FAILED(hr))
            failedStep = "Finalize: " + Hex(hr);
    }
    IUnknown* slots[] = {writer.inputType, writer.outputType, writer.attributes, writer.sinkWriter};
    for (IUnknown* slot : slots) {
        if (slot)
            slot->Release();
    }
    return failedStep;
}

// Keeps the colour window painted until the counter reaches `until`.
void PumpUntil(HWND colourWindow, LONGLONG until) {
    for (;;) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        if (now.QuadPart >= until)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, colourWindow, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }
}

class EngineOnRealPlatform : public WorkerRun {
  protected:
    SeamGuard guard;
    HWND colourWindow = nullptr;
    DPI_AWARENESS_CONTEXT threadDpi = nullptr;
    CaptureSource source = {};

    void SetUp() override {
        WorkerRun::SetUp();
        job.fps = REAL_FPS;
        job.recordMouse = 0;
        realCallsSeen = {};
        realCallsSeen.loopStarted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }

    // Media Foundation with an H.264 encoder, which no Windows Server has. Wine
    // lists none, yet says itself whether it writes when the writer is made.
    void NeedEncoder() {
        ASSERT_NO_FATAL_FAILURE(mediaFoundation.Start());
        if (IsSkipped() || RunningOnWine())
            return;
        UINT32 encoders = 0;
        HRESULT hr = CountH264Encoders(&encoders);
        ASSERT_EQ(S_OK, hr) << "MFTEnumEx: " << Hex(hr);
        if (encoders == 0)
            GTEST_SKIP() << "this Windows has no H.264 encoder (MFTEnumEx found none)";
    }

    // Desktop duplication could not be set up: skipped where this machine has
    // none, else a fault.
    void JudgeFailedSetUp(const wchar_t* errorText) {
        HRESULT anyOutput = FindAnyOutput();
        bool withoutGpu = false;
        std::string adapter = DescribeDisplayAdapter(&withoutGpu);
        // The one skip the client-Windows job lets pass: a virtual machine's
        // adapter cannot duplicate its desktop.
        if (withoutGpu && realCallsSeen.duplicateOutputCalls &&
            realCallsSeen.firstDuplicateOutput == DXGI_ERROR_UNSUPPORTED)
            GTEST_SKIP() << "no desktop duplication on this display adapter: " << adapter << " ("
                         << AnswersSeen(anyOutput) << ")";
        const char* missing = MissingDesktopPiece(errorText);
        if (missing)
            GTEST_SKIP() << missing << " (" << AnswersSeen(anyOutput)
                         << "; display adapter: " << adapter << ")";
        FAIL() << "the set-up failed: " << Utf8(errorText) << " (" << AnswersSeen(anyOutput)
               << "; display adapter: " << adapter << ")";
    }

    // Takes pictures until the kept one shows `colourSet`, for at most 5 s: a
    // window's change reaches the screen at the compositor's next frame, so a
    // picture taken sooner shows what was there before. AcquireNextFrame times
    // out while nothing changes; the kept picture is then the screen as it is.
    void TakePictureShowing(int colourSet, Quarters* seen) {
        DWORD start = GetTickCount();
        do {
            MSG msg;
            while (PeekMessageW(&msg, colourWindow, 0, 0, PM_REMOVE))
                DispatchMessageW(&msg);
            HRESULT hr = CapturePicture(&source, 100);
            ASSERT_TRUE(hr == S_OK || hr == DXGI_ERROR_WAIT_TIMEOUT)
                << "AcquireNextFrame: " << Hex(hr);
            *seen = PictureQuarters(source.framePicture);
        } while (!QuartersNear(colourSet, *seen) && GetTickCount() - start < 5000);
    }

    // The recording goes to the temporary folder under `name`.
    void NameRecording(const wchar_t* name) {
        wchar_t folder[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        swprintf(job.outputPath, MAX_PATH, L"%ls%ls", folder, name);
        DeleteFileW(job.outputPath);
    }

    // A topmost window of the first colours over `area`, painted before this returns.
    void ShowColourWindow(const RECT& area) {
        colourWindow = ShowQuarters(area);
        ASSERT_NE(nullptr, colourWindow);
    }

    // The capture source's own pictures of a topmost window whose quarters
    // change colour twice: the first, middle and last picture.
    void CaptureTheQuarters(bool duplicationOnly) {
        // Physical pixels, as the duplication sees them, whatever the display's scale.
        threadDpi = SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
        const RECT area = {100, 100, 100 + REAL_WIDTH, 100 + REAL_HEIGHT};
        ASSERT_NO_FATAL_FAILURE(ShowColourWindow(area));
        d3dApi.D3D11CreateDevice = NoteCreateDevice;
        const wchar_t* errorText = nullptr;
        if (!OpenCaptureSource(&source, &area, &errorText)) {
            JudgeFailedSetUp(errorText);
            return;
        }
        bool withoutGpu = false;
        std::string adapter = DescribeDisplayAdapter(&withoutGpu);
        printf("Capture path: %s (display adapter: %s; %s)\n",
               source.gdi.inUse ? "GDI" : "desktop duplication", adapter.c_str(),
               AnswersSeen(S_OK).c_str());
        if (duplicationOnly && source.gdi.inUse) {
            // The one skip the client-Windows job lets pass: a virtual machine's
            // adapter cannot duplicate its desktop.
            if (withoutGpu && realCallsSeen.firstDuplicateOutput == DXGI_ERROR_UNSUPPORTED)
                GTEST_SKIP() << "no desktop duplication on this display adapter: " << adapter
                             << " (" << AnswersSeen(S_OK) << ")";
            if (RunningOnWine())
                GTEST_SKIP() << "Wine: no desktop duplication (" << AnswersSeen(S_OK) << ")";
            FAIL() << "the desktop could not be duplicated (" << AnswersSeen(S_OK)
                   << "; display adapter: " << adapter << ")";
        }
        ASSERT_EQ(REAL_WIDTH, source.cropWidth);
        ASSERT_EQ(REAL_HEIGHT, source.cropHeight);
        const char* const pictureNames[3] = {"first picture", "middle picture", "last picture"};
        for (int colourSet = 0; colourSet < 3; colourSet++) {
            ShowColourSet(colourWindow, colourSet);
            Quarters seen = {};
            ASSERT_NO_FATAL_FAILURE(TakePictureShowing(colourSet, &seen));
            ExpectQuartersNear(colourSet, seen, pictureNames[colourSet]);
        }
    }

    void TearDown() override {
        WorkerRun::TearDown();
        CloseHandle(realCallsSeen.loopStarted);
        if (colourWindow)
            DestroyWindow(colourWindow);
        if (threadDpi)
            SetThreadDpiAwarenessContext(threadDpi);
        CloseCaptureSource(&source);
        if (source.framePicture)
            HeapFree(GetProcessHeap(), 0, source.framePicture);
        if (GetFileAttributesW(job.outputPath) == INVALID_FILE_ATTRIBUTES)
            return;
        // A failed run keeps its recording for whoever looks into it; where
        // QUORVEL_KEEP_RECORDINGS is set (the client-Windows job), every run does.
        if (HasFailure() || GetEnvironmentVariableW(L"QUORVEL_KEEP_RECORDINGS", nullptr, 0) > 0)
            printf("The recording is kept: %ls\n", job.outputPath);
        else
            DeleteFileW(job.outputPath);
    }
};

} // namespace

TEST_F(EngineOnRealPlatform, RealEncoderWritesEverySampleOfTheLoopIntoAPlayableMp4) {
    ASSERT_NO_FATAL_FAILURE(NeedEncoder());
    if (IsSkipped())
        return;
    NameRecording(L"quorvel-real-encoder.mp4");
    std::string failedStep = WriteQuarters(job.outputPath);
    if (!failedStep.empty() && RunningOnWine())
        GTEST_SKIP() << "Wine: this platform has no H.264 MP4 sink writer (" << failedStep << ")";
    ASSERT_EQ("", failedStep);
    ExpectTwoSecondsOfQuarters(job.outputPath);
}

// Desktop duplication, which only a display adapter without a GPU may lack.
TEST_F(EngineOnRealPlatform, RealCaptureTakesTheQuartersOfATopmostWindowIntoItsPicture) {
    d3dApi.DuplicateOutput = NoteDuplicateOutput;
    CaptureTheQuarters(true);
}

// GDI on every platform, also where the monitor could be duplicated.
TEST_F(EngineOnRealPlatform, RealGdiCaptureTakesTheQuartersOfATopmostWindowIntoItsPicture) {
    d3dApi.DuplicateOutput = RefuseDuplication;
    ASSERT_NO_FATAL_FAILURE(CaptureTheQuarters(false));
    EXPECT_EQ(1, source.gdi.inUse);
}

TEST_F(EngineOnRealPlatform, RealRecordingOfATopmostWindowThatChangesColourHoldsItsQuarters) {
    ASSERT_NO_FATAL_FAILURE(NeedEncoder());
    if (IsSkipped())
        return;
    NameRecording(L"quorvel-real-recording.mp4");
    // Physical pixels, as the duplication sees them, whatever the display's scale.
    threadDpi = SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    const RECT area = {100, 100, 100 + REAL_WIDTH, 100 + REAL_HEIGHT};
    ASSERT_NO_FATAL_FAILURE(ShowColourWindow(area));
    job.captureRect = area;
    d3dApi.D3D11CreateDevice = NoteCreateDevice;
    d3dApi.DuplicateOutput = NoteDuplicateOutput;
    osApi.QueryPerformanceCounter = NoteLoopStart;

    ASSERT_NO_FATAL_FAILURE(StartWorker());
    HANDLE started[] = {realCallsSeen.loopStarted, thread};
    DWORD woke = WAIT_TIMEOUT;
    DWORD deadline = GetTickCount() + 30000;
    while (woke != WAIT_OBJECT_0 && woke != WAIT_OBJECT_0 + 1 && GetTickCount() < deadline) {
        woke = MsgWaitForMultipleObjects(2, started, FALSE, 100, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, colourWindow, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }
    if (woke == WAIT_OBJECT_0 + 1) {
        DoneMessages();
        JudgeFailedSetUp(job.errorText);
        return;
    }
    ASSERT_EQ(WAIT_OBJECT_0, woke) << "the recording did not start within 30 s";

    LARGE_INTEGER second;
    QueryPerformanceFrequency(&second);
    PumpUntil(colourWindow, realCallsSeen.loopStart.QuadPart + second.QuadPart / 2);
    ShowColourSet(colourWindow, 1);
    PumpUntil(colourWindow, realCallsSeen.loopStart.QuadPart + second.QuadPart * 3 / 2);
    ShowColourSet(colourWindow, 2);
    PumpUntil(colourWindow, realCallsSeen.loopStart.QuadPart + 2 * second.QuadPart);
    SetEvent(job.stopEvent);
    EXPECT_EQ(std::vector<WPARAM>{1}, DoneMessages()) << Utf8(job.errorText);
    EXPECT_EQ(1, job.success);
    ExpectTwoSecondsOfQuarters(job.outputPath);
}
