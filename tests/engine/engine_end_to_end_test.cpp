// The real RecordingWorker thread on Wine's real Direct3D 11 device and real
// Media Foundation buffers and samples; only the duplication, the output it
// belongs to and the sink writer are stand-ins, and time is virtual.
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>
#include <vector>
#include "engine/engine.h"
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

class EngineEndToEnd : public ::testing::Test {
  protected:
    SeamGuard guard;
    StandInOutput output{RECT{0, 0, DESKTOP_WIDTH, DESKTOP_HEIGHT}};
    StandInDuplication duplication;
    StandInSinkWriter sinkWriter;
    RecordingJob job = {};
    HWND window = nullptr;
    HANDLE thread = nullptr;

    void SetUp() override {
        window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                 nullptr);
        ASSERT_NE(nullptr, window);
        job.captureRect = CAPTURE_RECT;
        job.fps = 10;
        job.recordMouse = 1;
        lstrcpyW(job.outputPath, L"C:\\quorvel-end-to-end.mp4");
        job.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        job.notifyWindow = window;
        job.success = 7; // the worker must write it

        workerClock.counts = 0;
        workerClock.freezeAt = LLONG_MAX;
        workerClock.frozen = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        osApi.QueryPerformanceFrequency = ClockFrequency;
        osApi.QueryPerformanceCounter = ClockCounter;
        osApi.Sleep = ClockSleep;
        UseStandInOutputs({&output});
        UseStandInDuplications({&duplication});
        UseStandInSinkWriter(&sinkWriter);
    }

    void TearDown() override {
        if (thread) {
            WaitForSingleObject(thread, 10000);
            CloseHandle(thread);
        }
        CloseHandle(workerClock.frozen);
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
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 0)) << "only STOP ends it";
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

TEST_F(EngineEndToEnd, OtherAcquireErrorEndsTheRecordingAsSuccessful) {
    ScriptAtMs(duplication, -1, Frame(Desktop<0>));
    ScriptAtMs(duplication, 150, MakeFailedFrame(DXGI_ERROR_DEVICE_REMOVED));
    StartWorker();
    EXPECT_EQ(std::vector<WPARAM>{1}, DoneMessages());
    EXPECT_EQ(1, job.success);
    EXPECT_EQ(1, handOutLog.duplicateOutputCalls);
    EXPECT_EQ(1u, sinkWriter.samples.size());
    EXPECT_EQ(ExpectedSample(Desktop<0>, {false, 0, 0, false}), sinkWriter.samples[0].bytes);
    EXPECT_EQ(1, sinkWriter.CountCalls("Finalize"));
}
