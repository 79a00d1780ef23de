#include <gtest/gtest.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>
#include "engine/engine.h"
#include "standins.h"

// ---- the due count ----

namespace {

LONGLONG PlainDueCount(LONGLONG elapsed, LONGLONG frequency, LONGLONG duration) {
    return (elapsed * 10000000 / frequency) / duration;
}

const LONGLONG FRAME_DURATIONS[] = {1000000, 333333, 166666, 83333};

} // namespace

TEST(DueCount, MatchesThePlainFormulaWhereverItDoesNotOverflow) {
    const LONGLONG frequencies[] = {1000,     1193182,      3579545,     10000000,
                                    14318180, 2400000000LL, 3000000000LL};
    ULONGLONG state = 88172645463325252ULL; // xorshift: reproducible spread of elapsed times
    for (LONGLONG frequency : frequencies) {
        LONGLONG limit = INT64_MAX / 10000000;
        for (int i = 0; i < 2000; i++) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            // Half the cases small (the first seconds), half anywhere up to the limit.
            LONGLONG elapsed = LONGLONG(state % ULONGLONG(i % 2 ? limit : 50 * frequency));
            for (LONGLONG duration : FRAME_DURATIONS) {
                ASSERT_EQ(PlainDueCount(elapsed, frequency, duration),
                          ComputeDueCount(elapsed, frequency, duration))
                    << elapsed << " counts at " << frequency << " Hz";
                ASSERT_EQ(PlainDueCount(-elapsed, frequency, duration),
                          ComputeDueCount(-elapsed, frequency, duration));
            }
        }
    }
}

TEST(DueCount, ExactOnFrameBoundaries) {
    EXPECT_EQ(0, ComputeDueCount(0, 10000000, 333333));
    EXPECT_EQ(0, ComputeDueCount(333332, 10000000, 333333));
    EXPECT_EQ(1, ComputeDueCount(333333, 10000000, 333333));
    EXPECT_EQ(300, ComputeDueCount(100000000, 10000000, 333333));
    // 3,579,545 Hz: one second is 10,000,000 exactly, one count short is not.
    EXPECT_EQ(10, ComputeDueCount(3579545, 3579545, 1000000));
    EXPECT_EQ(9, ComputeDueCount(3579544, 3579545, 1000000));
}

TEST(DueCount, StaysExactPast26HoursAt10MHz) {
    // The plain product overflows from 922,337,203,685 counts (25.6 h) on.
    const LONGLONG frequency = 10000000;
    const LONGLONG hours26 = 26LL * 3600 * frequency;
    for (LONGLONG duration : FRAME_DURATIONS) {
        for (LONGLONG elapsed : {hours26, hours26 + 1, hours26 + duration - 1,
                                 100LL * 24 * 3600 * frequency, 922337203686LL}) {
            // At 10 MHz one count is one 100-ns unit.
            EXPECT_EQ(elapsed / duration, ComputeDueCount(elapsed, frequency, duration)) << elapsed;
        }
    }
    EXPECT_EQ(2808002, ComputeDueCount(hours26, frequency, 333333));
}

TEST(DueCount, StaysExactPast26HoursAtOtherFrequencies) {
    // 26 h and a half second: the 100-ns time is known without any product.
    const LONGLONG frequencies[] = {3579545 * 2, 2400000000LL, 1LL << 40, 50000000000000LL};
    for (LONGLONG frequency : frequencies) {
        LONGLONG elapsed = 26LL * 3600 * frequency + frequency / 2;
        LONGLONG hundredNs = 26LL * 3600 * 10000000 + 5000000;
        for (LONGLONG duration : FRAME_DURATIONS)
            EXPECT_EQ(hundredNs / duration, ComputeDueCount(elapsed, frequency, duration))
                << frequency;
    }
}

TEST(DueCount, RemainderScalesExactlyAtHugeFrequencies) {
    // frequency / 3 counts is a third of a second: 3,333,333 units, truncated.
    const LONGLONG frequency = INT64_MAX / 3 * 3;
    EXPECT_EQ(3333333, ComputeDueCount(frequency / 3, frequency, 1));
    EXPECT_EQ(9999999, ComputeDueCount(frequency - 1, frequency, 1));
    EXPECT_EQ(10000000, ComputeDueCount(frequency, frequency, 1));
}

TEST(DueCount, NoFrequencyOrDurationGivesNothingDue) {
    EXPECT_EQ(0, ComputeDueCount(123456789, 0, 333333));
    EXPECT_EQ(0, ComputeDueCount(123456789, 10000000, 0));
}

// Every other test stands in for the clock; the worker, left alone, reads the
// real table.
TEST(RealClock, CounterAdvancesWithARealSleepAndTheFrequencyStaysPut) {
    LARGE_INTEGER frequency = {};
    LARGE_INTEGER before = {};
    LARGE_INTEGER after = {};
    LARGE_INTEGER frequencyAfter = {};
    ASSERT_TRUE(realOsApi.QueryPerformanceFrequency(&frequency));
    ASSERT_TRUE(realOsApi.QueryPerformanceCounter(&before));
    realOsApi.Sleep(50);
    ASSERT_TRUE(realOsApi.QueryPerformanceCounter(&after));
    ASSERT_TRUE(realOsApi.QueryPerformanceFrequency(&frequencyAfter));
    EXPECT_EQ(frequency.QuadPart, frequencyAfter.QuadPart);
    // Half the sleep at least: Windows may wake a sleeper up to one clock tick early.
    EXPECT_GE((after.QuadPart - before.QuadPart) * 1000, 25 * frequency.QuadPart);
}

// ---- the loop on a virtual clock ----

namespace {

const LONGLONG FREQUENCY = 10000000;
const LONGLONG COUNTS_PER_MS = FREQUENCY / 1000;
const LONGLONG CLOCK_ORIGIN = 987654321; // the counter does not start at 0

// The worker's view of time: it moves only when the loop sleeps, or when a
// scripted stall says so.
struct VirtualClock {
    LONGLONG counts;                     // since CLOCK_ORIGIN
    LONGLONG stopAt;                     // the stop event reads signalled from here on
    bool waitsFail;                      // polls before stopAt answer WAIT_FAILED
    int acquireCalls;                    // AcquireNextFrame calls so far
    std::map<int, LONGLONG> stallBefore; // acquire call -> counts that pass first
    std::vector<std::string> events;     // poll, acquire <hr>, write <n>, sleep
    std::vector<LONGLONG> writeTimes;    // clock at each WriteSample
    LONGLONG writeCost;                  // counts each WriteSample blocks for
};
VirtualClock virtualClock;

BOOL WINAPI VirtualFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = FREQUENCY;
    return TRUE;
}

BOOL WINAPI VirtualCounter(LARGE_INTEGER* count) {
    count->QuadPart = CLOCK_ORIGIN + virtualClock.counts;
    return TRUE;
}

void WINAPI VirtualSleep(DWORD ms) {
    virtualClock.events.push_back("sleep");
    virtualClock.counts += ms * COUNTS_PER_MS;
}

DWORD WINAPI VirtualWait(HANDLE, DWORD timeoutMs) {
    virtualClock.events.push_back("poll");
    EXPECT_EQ(0u, timeoutMs);
    if (virtualClock.counts >= virtualClock.stopAt)
        return WAIT_OBJECT_0;
    return virtualClock.waitsFail ? WAIT_FAILED : WAIT_TIMEOUT;
}

HRESULT ClockedAcquire(IDXGIOutputDuplication* duplication, UINT timeoutMs,
                       DXGI_OUTDUPL_FRAME_INFO* frameInfo, IDXGIResource** resource) {
    auto stall = virtualClock.stallBefore.find(virtualClock.acquireCalls++);
    if (stall != virtualClock.stallBefore.end())
        virtualClock.counts += stall->second;
    HRESULT hr = realD3dApi.AcquireNextFrame(duplication, timeoutMs, frameInfo, resource);
    char text[32];
    snprintf(text, sizeof text, "acquire %08lX", static_cast<unsigned long>(hr));
    virtualClock.events.push_back(text);
    return hr;
}

HRESULT ClockedWriteSample(IMFSinkWriter* writer, DWORD streamIndex, IMFSample* sample) {
    virtualClock.events.push_back("write");
    virtualClock.writeTimes.push_back(virtualClock.counts);
    // A throttling encoder: WriteSample blocks while it is behind.
    virtualClock.counts += virtualClock.writeCost;
    return realMfApi.WriteSample(writer, streamIndex, sample);
}

// Desktop of the stand-in output, and the crop the loop records from it.
const int DESKTOP_WIDTH = 64;
const int DESKTOP_HEIGHT = 48;
const int CROP_X = 8;
const int CROP_Y = 6;
const int CROP_WIDTH = 32;
const int CROP_HEIGHT = 24;

UINT32 PictureA(int x, int y) {
    return 0xFF000011u | UINT32(x) << 16 | UINT32(y) << 8;
}
UINT32 PictureB(int x, int y) {
    return 0xFF000022u | UINT32(y) << 16 | UINT32(x) << 8;
}

// The crop of a desktop picture as the samples must carry it.
std::vector<BYTE> CropOf(UINT32 (*colourAt)(int, int)) {
    std::vector<BYTE> bytes;
    for (int y = 0; y < CROP_HEIGHT; y++) {
        for (int x = 0; x < CROP_WIDTH; x++) {
            UINT32 pixel = colourAt(CROP_X + x, CROP_Y + y);
            bytes.insert(bytes.end(), reinterpret_cast<BYTE*>(&pixel),
                         reinterpret_cast<BYTE*>(&pixel) + 4);
        }
    }
    return bytes;
}

// Puts `frame` at position `call` of the script, time-outs before it.
void ScriptAt(StandInDuplication& duplication, size_t call, const DesktopFrame& frame) {
    while (duplication.script.size() < call)
        duplication.script.push_back(MakeFailedFrame(DXGI_ERROR_WAIT_TIMEOUT));
    duplication.script.push_back(frame);
}

// Acquire call 0 is the first picture; call k + 1 is the pass at k ms (each
// ordinary pass sleeps 1 ms).
size_t PassAtMs(int ms) {
    return size_t(ms) + 1;
}

class CaptureLoopTest : public ::testing::Test {
  protected:
    SeamGuard guard;
    MediaFoundationGuard mediaFoundation;
    ID3D11Device* device = nullptr;
    ID3D11DeviceContext* context = nullptr;
    StandInOutput output{RECT{0, 0, DESKTOP_WIDTH, DESKTOP_HEIGHT}};
    StandInAdapter desktopAdapter{{&output}};
    StandInFactory desktopFactory{{&desktopAdapter}};
    StandInDuplication duplication;
    StandInDuplication recreated;
    StandInSinkWriter sinkWriter;
    CaptureSource source = {};
    Mp4Writer writer = {};
    RecordingJob job = {};

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(mediaFoundation.Start());
        if (IsSkipped())
            return;
        ASSERT_HRESULT_SUCCEEDED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr,
                                                   D3D11_CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0,
                                                   D3D11_SDK_VERSION, &device, nullptr, &context));
        // The source holds references of its own, as an opened one does.
        source.factory = &desktopFactory;
        desktopFactory.AddRef();
        source.adapter = &desktopAdapter;
        desktopAdapter.AddRef();
        source.output = &output;
        output.AddRef();
        source.device = device;
        device->AddRef();
        source.context = context;
        context->AddRef();
        source.output1 = &output;
        output.AddRef();
        source.duplication = &duplication;
        duplication.AddRef();
        duplication.device = device;
        device->AddRef();
        source.outputRect = RECT{0, 0, DESKTOP_WIDTH, DESKTOP_HEIGHT};
        source.cropX = CROP_X;
        source.cropY = CROP_Y;
        source.cropWidth = CROP_WIDTH;
        source.cropHeight = CROP_HEIGHT;
        source.frameStride = CROP_WIDTH * 4;
        source.frameBytes = source.frameStride * CROP_HEIGHT;
        source.framePicture =
            static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, source.frameBytes));
        D3D11_TEXTURE2D_DESC desc = {};
        desc.Width = CROP_WIDTH;
        desc.Height = CROP_HEIGHT;
        desc.MipLevels = 1;
        desc.ArraySize = 1;
        desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        desc.SampleDesc.Count = 1;
        desc.Usage = D3D11_USAGE_STAGING;
        desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
        ASSERT_HRESULT_SUCCEEDED(device->CreateTexture2D(&desc, nullptr, &source.stagingTexture));

        writer.sinkWriter = &sinkWriter;
        sinkWriter.AddRef();
        writer.streamIndex = 3;
        job.fps = 30;
        job.captureRect = RECT{CROP_X, CROP_Y, CROP_X + CROP_WIDTH, CROP_Y + CROP_HEIGHT};
        job.stopEvent = reinterpret_cast<HANDLE>(0x1234); // answered by VirtualWait

        virtualClock = VirtualClock();
        osApi.QueryPerformanceFrequency = VirtualFrequency;
        osApi.QueryPerformanceCounter = VirtualCounter;
        osApi.Sleep = VirtualSleep;
        osApi.WaitForSingleObject = VirtualWait;
        d3dApi.AcquireNextFrame = ClockedAcquire;
        mfApi.WriteSample = ClockedWriteSample;
        duplication.duplicatedOutput = &output;
        UseStandInDuplications({&recreated}, {&duplication});
        // A source made anew finds the same monitor.
        UseStandInAdapters(&desktopFactory);
        DeviceMadeOn(device, &desktopAdapter);
    }

    void TearDown() override {
        ResetPointerState(&source.pointer);
        // The real objects the source still holds; its stand-ins may be gone by now.
        IUnknown* held[] = {source.stagingTexture, source.context, source.device};
        for (IUnknown* object : held) {
            if (object)
                object->Release();
        }
        HeapFree(GetProcessHeap(), 0, source.framePicture);
        if (context)
            context->Release();
        if (device)
            device->Release();
    }

    // Runs the loop until the stop event is seen at `ms` of virtual time.
    // True when the loop reports the file finished.
    bool RunUntilMs(LONGLONG ms) {
        virtualClock.stopAt = ms * COUNTS_PER_MS;
        return RunCaptureLoop(&source, &writer, &job);
    }

    // Every sample has time n x duration and the duration, n counting from 0.
    void ExpectConstantTiming(LONGLONG duration) {
        for (size_t n = 0; n < sinkWriter.samples.size(); n++) {
            ASSERT_EQ(LONGLONG(n) * duration, sinkWriter.samples[n].time) << n;
            ASSERT_EQ(duration, sinkWriter.samples[n].duration) << n;
            ASSERT_EQ(3u, sinkWriter.samples[n].streamIndex);
        }
    }
};

} // namespace

TEST_F(CaptureLoopTest, SampleTimesAreIndexTimesDurationAtEveryRate) {
    struct Rate {
        int fps;
        LONGLONG duration;
        size_t samplesInOneSecond; // passes run at 0..999 ms
    } rates[] = {{10, 1000000, 9}, {30, 333333, 29}, {60, 166666, 59}, {120, 83333, 119}};
    for (const Rate& rate : rates) {
        SCOPED_TRACE(rate.fps);
        job.fps = rate.fps;
        virtualClock = VirtualClock();
        sinkWriter.samples.clear();
        RunUntilMs(1000);
        ASSERT_EQ(rate.samplesInOneSecond, sinkWriter.samples.size());
        ExpectConstantTiming(rate.duration);
        // Each sample is written in the pass during which its due time passes.
        for (size_t n = 0; n < virtualClock.writeTimes.size(); n++) {
            LONGLONG due = LONGLONG(n + 1) * rate.duration;
            EXPECT_GE(virtualClock.writeTimes[n], due) << n;
            EXPECT_LT(virtualClock.writeTimes[n] - COUNTS_PER_MS, due) << n;
        }
    }
}

TEST_F(CaptureLoopTest, StopBeforeTheFirstPassWritesNothingAndFinalizesOnce) {
    RunUntilMs(0);
    EXPECT_TRUE(sinkWriter.samples.empty());
    EXPECT_EQ(1, sinkWriter.CountCalls("Finalize"));
    EXPECT_EQ(std::vector<UINT>{500}, duplication.acquireTimeouts); // the first picture only
    EXPECT_EQ((std::vector<std::string>{"acquire 887A0027", "poll"}), virtualClock.events);
}

TEST_F(CaptureLoopTest, FailedWaitDoesNotStopTheLoop) {
    // Every poll fails until STOP, those before each sample of a catch-up too.
    virtualClock.waitsFail = true;
    RunUntilMs(100);
    EXPECT_EQ(2u, sinkWriter.samples.size()); // due at 33.3 and 66.7 ms
    EXPECT_EQ(1, sinkWriter.CountCalls("Finalize"));
}

TEST_F(CaptureLoopTest, UnchangedDesktopForTenSecondsGives300SamplesOfOnePicture) {
    ScriptAt(duplication, 0, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureA));
    RunUntilMs(10001); // the last pass runs at 10,000 ms, when sample 299 is due
    ASSERT_EQ(300u, sinkWriter.samples.size());
    ExpectConstantTiming(333333);
    const std::vector<BYTE> picture = CropOf(PictureA);
    for (size_t n = 0; n < sinkWriter.samples.size(); n++)
        ASSERT_EQ(picture, sinkWriter.samples[n].bytes) << n;
    EXPECT_EQ(1, duplication.framesHandedOut);
    EXPECT_EQ(500u, duplication.acquireTimeouts[0]);
    for (size_t i = 1; i < duplication.acquireTimeouts.size(); i++)
        ASSERT_EQ(0u, duplication.acquireTimeouts[i]);
}

TEST_F(CaptureLoopTest, StallOf500msCatchesUpInOnePassWithConsecutiveIndices) {
    job.fps = 60;
    ScriptAt(duplication, 0, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureA));
    virtualClock.stallBefore[int(PassAtMs(100))] = 500 * COUNTS_PER_MS;
    RunUntilMs(700);
    ExpectConstantTiming(166666);
    // 5 samples were due by the pass at 99 ms, 36 once the stalled pass reads 600 ms.
    size_t caughtUp = 0;
    for (size_t n = 0; n < virtualClock.writeTimes.size(); n++) {
        if (virtualClock.writeTimes[n] == 600 * COUNTS_PER_MS) {
            EXPECT_EQ(5 + caughtUp, n);
            caughtUp++;
        }
    }
    EXPECT_EQ(31u, caughtUp);
    const std::vector<BYTE> picture = CropOf(PictureA);
    for (const WrittenSample& sample : sinkWriter.samples)
        ASSERT_EQ(picture, sample.bytes);
}

TEST_F(CaptureLoopTest, NoFirstPictureGivesBlackUntilAPassBringsOne) {
    ScriptAt(duplication, PassAtMs(100), MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureA));
    RunUntilMs(200);
    ASSERT_EQ(5u, sinkWriter.samples.size());
    const std::vector<BYTE> black(CROP_WIDTH * CROP_HEIGHT * 4, 0);
    EXPECT_EQ(black, sinkWriter.samples[0].bytes); // written at 34 ms
    EXPECT_EQ(black, sinkWriter.samples[1].bytes); // 67 ms
    for (size_t n = 2; n < 5; n++)                 // 100 ms on: the picture of that pass
        EXPECT_EQ(CropOf(PictureA), sinkWriter.samples[n].bytes) << n;
    EXPECT_EQ(500u, duplication.acquireTimeouts[0]);
}

TEST_F(CaptureLoopTest, LostAccessAtTheFirstPictureIsAnOutageFromTheFirstPass) {
    ScriptAt(duplication, 0, MakeFailedFrame(DXGI_ERROR_ACCESS_LOST));
    ScriptAt(recreated, 50, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureA));
    RunUntilMs(100);
    EXPECT_EQ(2, duplication.acquireCalls) << "the first picture and the first pass";
    EXPECT_EQ(1, handOutLog.duplicateOutputCalls);
    ASSERT_EQ(2u, sinkWriter.samples.size());
    EXPECT_EQ(std::vector<BYTE>(CROP_WIDTH * CROP_HEIGHT * 4, 0), sinkWriter.samples[0].bytes);
    EXPECT_EQ(CropOf(PictureA), sinkWriter.samples[1].bytes);
}

TEST_F(CaptureLoopTest, LostAccessRecreatesWithoutWritingOrSleepingAndKeepsThePicture) {
    ScriptAt(duplication, 0, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureA));
    ScriptAt(duplication, PassAtMs(49), MakeFailedFrame(DXGI_ERROR_ACCESS_LOST));
    // The re-created duplication's first call runs in a pass at 49 ms as well.
    ScriptAt(recreated, 50, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureB));
    RunUntilMs(200);

    EXPECT_EQ(1, handOutLog.duplicateOutputCalls);
    ASSERT_EQ(1u, handOutLog.duplicatedOutputs.size());
    EXPECT_EQ(&output, handOutLog.duplicatedOutputs[0]);
    EXPECT_EQ(&recreated, source.duplication);
    EXPECT_EQ(0, duplication.references); // the lost one was let go
    EXPECT_EQ(1, recreated.framesHandedOut);

    const std::vector<std::string>& events = virtualClock.events;
    auto lost = std::find(events.begin(), events.end(), "acquire 887A0026");
    ASSERT_NE(events.end(), lost);
    ASSERT_LE(3, events.end() - lost);
    EXPECT_EQ("poll", lost[1]); // no write, no sleep in between
    EXPECT_EQ("acquire 887A0027", lost[2]);

    ASSERT_EQ(5u, sinkWriter.samples.size());
    ExpectConstantTiming(333333);
    EXPECT_EQ(CropOf(PictureA), sinkWriter.samples[0].bytes); // 34 ms
    EXPECT_EQ(CropOf(PictureA), sinkWriter.samples[1].bytes); // 67 ms, after the loss
    for (size_t n = 2; n < 5; n++)                            // 100 ms on
        EXPECT_EQ(CropOf(PictureB), sinkWriter.samples[n].bytes) << n;
}

// ---- a desktop that cannot be duplicated for a while ----

namespace {

// DuplicateOutput as the platform answers it while the secure desktop is up:
// refused until `desktopBackAt`, then the stand-in hand-out.
struct Outage {
    LONGLONG desktopBackAt;
    std::vector<LONGLONG> attempts; // virtual time of each DuplicateOutput
    decltype(D3dApi::DuplicateOutput) handOut;
};
Outage outage;

HRESULT DuplicateAfterOutage(IDXGIOutput1* output1, IUnknown* device,
                             IDXGIOutputDuplication** duplication) {
    outage.attempts.push_back(virtualClock.counts);
    if (virtualClock.counts < outage.desktopBackAt) {
        *duplication = nullptr;
        return E_ACCESSDENIED;
    }
    return outage.handOut(output1, device, duplication);
}

void DesktopAwayUntilMs(LONGLONG ms) {
    outage = Outage{ms * COUNTS_PER_MS, {}, d3dApi.DuplicateOutput};
    d3dApi.DuplicateOutput = DuplicateAfterOutage;
}

void ExpectAttemptsSpacedByAQuarterSecond(size_t from) {
    for (size_t i = from + 1; i < outage.attempts.size(); i++)
        EXPECT_GE(outage.attempts[i] - outage.attempts[i - 1], 250 * COUNTS_PER_MS) << i;
}

} // namespace

TEST_F(CaptureLoopTest, TwoSecondOutageKeepsWritingTheKeptPictureThenTheNewOne) {
    ScriptAt(duplication, 0, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureA));
    ScriptAt(duplication, PassAtMs(1000), MakeFailedFrame(DXGI_ERROR_ACCESS_LOST));
    ScriptAt(recreated, 0, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureB));
    // Lost once more at 3,400 ms, after a quarter second of answers: a new
    // outage, whose first attempt is at once.
    StandInDuplication third;
    ScriptAt(recreated, 400, MakeFailedFrame(DXGI_ERROR_ACCESS_LOST));
    UseStandInDuplications({&recreated, &third}, {&duplication});
    DesktopAwayUntilMs(3000);
    EXPECT_TRUE(RunUntilMs(4000));

    // The first attempt is at the loss, the rest a quarter second apart, until
    // the first after the desktop came back.
    EXPECT_EQ(1000 * COUNTS_PER_MS, outage.attempts.front());
    ASSERT_EQ(10u, outage.attempts.size()); // 1,000 ms, 1,250 to 3,000 ms, 3,400 ms
    EXPECT_EQ(3400 * COUNTS_PER_MS, outage.attempts.back());
    outage.attempts.pop_back();
    ExpectAttemptsSpacedByAQuarterSecond(0);
    EXPECT_EQ(3000 * COUNTS_PER_MS, outage.attempts.back());
    EXPECT_EQ(&third, source.duplication);
    EXPECT_EQ(1, recreated.framesHandedOut);

    // An unbroken timeline: 119 samples by 4,000 ms, none missing.
    ASSERT_EQ(119u, sinkWriter.samples.size());
    ExpectConstantTiming(333333);
    size_t keptDuringOutage = 0;
    for (size_t n = 0; n < sinkWriter.samples.size(); n++) {
        LONGLONG writtenAt = virtualClock.writeTimes[n];
        if (writtenAt < outage.attempts.back()) {
            ASSERT_EQ(CropOf(PictureA), sinkWriter.samples[n].bytes) << n;
            keptDuringOutage += writtenAt >= 1000 * COUNTS_PER_MS;
        } else {
            ASSERT_EQ(CropOf(PictureB), sinkWriter.samples[n].bytes) << n;
        }
    }
    EXPECT_EQ(60u, keptDuringOutage); // indices 30 to 89: 2 s at 30 fps
    EXPECT_EQ(1, sinkWriter.CountCalls("Finalize"));
}

TEST_F(CaptureLoopTest, OutageThatLastsUntilStopBacksOffAndStillFinishesTheFile) {
    ScriptAt(duplication, 0, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureA));
    ScriptAt(duplication, PassAtMs(70), MakeFailedFrame(DXGI_ERROR_ACCESS_LOST));
    DesktopAwayUntilMs(LLONG_MAX / COUNTS_PER_MS);
    EXPECT_TRUE(RunUntilMs(75000));

    EXPECT_EQ(int(PassAtMs(70)) + 1, duplication.acquireCalls); // never asked again once lost
    EXPECT_EQ(nullptr, source.duplication);
    EXPECT_EQ(0, duplication.references);
    // At 70 ms, every quarter second to 4,820 ms, every 2 s to 64,820 ms, then
    // every 5 s: 20 + 30 + 2 attempts.
    ASSERT_EQ(52u, outage.attempts.size());
    ExpectAttemptsSpacedByAQuarterSecond(0);
    EXPECT_EQ(4820 * COUNTS_PER_MS, outage.attempts[19]);
    EXPECT_EQ(6820 * COUNTS_PER_MS, outage.attempts[20]);
    EXPECT_EQ(64820 * COUNTS_PER_MS, outage.attempts[49]);
    EXPECT_EQ(69820 * COUNTS_PER_MS, outage.attempts[50]);
    // The whole source at 2,070 and 4,070 ms, then at each attempt: a refusal
    // while the desktop is away keeps the new device meanwhile.
    EXPECT_EQ(34u, handOutLog.deviceAdapters.size());
    EXPECT_NE(nullptr, source.device);
    ASSERT_EQ(2249u, sinkWriter.samples.size()); // the whole time, as if nothing happened
    ExpectConstantTiming(333333);
    for (const WrittenSample& sample : sinkWriter.samples)
        ASSERT_EQ(CropOf(PictureA), sample.bytes);
    EXPECT_EQ(1, sinkWriter.CountCalls("Finalize"));
    EXPECT_EQ("Finalize", sinkWriter.calls.back());
}

TEST_F(CaptureLoopTest, RecordingStartedBesideEveryMonitorComesBackOnItsOwnOutput) {
    // The capture rect reaches past the right edge of the only monitor, 40
    // wide, and its centre lies on none: REC took that monitor all the same.
    output.desc.DesktopCoordinates = RECT{0, 0, 40, DESKTOP_HEIGHT};
    source.outputRect = output.desc.DesktopCoordinates;
    lstrcpyW(source.outputName, output.desc.DeviceName);
    source.onFallbackOutput = 1;
    job.captureRect = RECT{CROP_X, CROP_Y, CROP_X + 2 * CROP_WIDTH, CROP_Y + CROP_HEIGHT};
    // A lock screen from 500 to 3,000 ms; the source made anew at 2,500 ms
    // lists another monitor first.
    StandInOutput other{RECT{-64, 0, 0, 48}};
    StandInAdapter both({&other, &output});
    StandInFactory later({&both});
    UseStandInAdapters(&later);
    ScriptAt(duplication, 0, MakeDesktopFrame(40, DESKTOP_HEIGHT, PictureA));
    ScriptAt(duplication, PassAtMs(500), MakeFailedFrame(DXGI_ERROR_ACCESS_LOST));
    ScriptAt(recreated, 0, MakeDesktopFrame(40, DESKTOP_HEIGHT, PictureB));
    DesktopAwayUntilMs(3000);
    EXPECT_TRUE(RunUntilMs(4000));

    ASSERT_EQ(1u, handOutLog.deviceAdapters.size());
    EXPECT_EQ(&recreated, source.duplication);
    for (IDXGIOutput1* duplicated : handOutLog.duplicatedOutputs)
        EXPECT_EQ(static_cast<IDXGIOutput1*>(&output), duplicated);
    ASSERT_EQ(119u, sinkWriter.samples.size());
    for (size_t n = 0; n < sinkWriter.samples.size(); n++) {
        bool kept = virtualClock.writeTimes[n] < 3000 * COUNTS_PER_MS;
        ASSERT_EQ(CropOf(kept ? PictureA : PictureB), sinkWriter.samples[n].bytes) << n;
    }
    CloseCaptureSource(&source);
    EXPECT_EQ(0, later.references);
}

TEST_F(CaptureLoopTest, DuplicationLostAgainSoonIsRetriedOnlyEveryQuarterSecond) {
    // Every re-created duplication is lost at its first call, or (every other
    // one) after one time-out, as during a display mode change that is still settling.
    std::vector<StandInDuplication> lostAgain(10);
    std::vector<StandInDuplication*> handOut;
    for (StandInDuplication& each : lostAgain) {
        ScriptAt(each, size_t(&each - &lostAgain[0]) % 2, MakeFailedFrame(DXGI_ERROR_ACCESS_LOST));
        each.afterScript = DXGI_ERROR_ACCESS_LOST;
        handOut.push_back(&each);
    }
    UseStandInDuplications(handOut, {&duplication});
    DesktopAwayUntilMs(0);
    ScriptAt(duplication, PassAtMs(100), MakeFailedFrame(DXGI_ERROR_ACCESS_LOST));
    EXPECT_TRUE(RunUntilMs(1100));

    // 100 ms (at once), then 350, 600, 850 and 1,100 ms at the earliest.
    EXPECT_EQ(4u, outage.attempts.size());
    ExpectAttemptsSpacedByAQuarterSecond(0);
    int acquiresAfterLoss = 0;
    for (const StandInDuplication& each : lostAgain) {
        acquiresAfterLoss += each.acquireCalls;
        if (&each - &lostAgain[0] < 3) {
            EXPECT_EQ(0, each.references); // each lost one was let go for the next
        }
    }
    EXPECT_LT(900, acquiresAfterLoss); // one a pass: the loop sleeps, it does not spin
    EXPECT_EQ(32u, sinkWriter.samples.size());
    ExpectConstantTiming(333333);
}

namespace {

int copiesOutsideTheSource;

// The real copy, after a look at whether the box lies inside its source.
void CheckedCopy(ID3D11DeviceContext* context, ID3D11Resource* dst, UINT dstSubresource, UINT dstX,
                 UINT dstY, UINT dstZ, ID3D11Resource* src, UINT srcSubresource,
                 const D3D11_BOX* box) {
    ID3D11Texture2D* texture = nullptr;
    if (SUCCEEDED(
            src->QueryInterface(__uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&texture)))) {
        D3D11_TEXTURE2D_DESC desc = {};
        texture->GetDesc(&desc);
        texture->Release();
        if (!box || box->right > desc.Width || box->bottom > desc.Height) {
            copiesOutsideTheSource++;
            return;
        }
    }
    realD3dApi.CopySubresourceRegion(context, dst, dstSubresource, dstX, dstY, dstZ, src,
                                     srcSubresource, box);
}

} // namespace

TEST_F(CaptureLoopTest, DesktopSmallerThanTheCropIsNotCopied) {
    copiesOutsideTheSource = 0;
    d3dApi.CopySubresourceRegion = CheckedCopy;
    // After a mode change the re-created duplication hands out smaller desktops
    // (40 x 29, then 39 x 30: the crop reaches to 40 x 30), then one that fits exactly.
    ScriptAt(duplication, 0, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureA));
    ScriptAt(duplication, PassAtMs(40), MakeFailedFrame(DXGI_ERROR_ACCESS_LOST));
    ScriptAt(recreated, 0,
             MakeDesktopFrame(CROP_X + CROP_WIDTH, CROP_Y + CROP_HEIGHT - 1, PictureB));
    ScriptAt(recreated, 20,
             MakeDesktopFrame(CROP_X + CROP_WIDTH - 1, CROP_Y + CROP_HEIGHT, PictureB));
    ScriptAt(recreated, 60, MakeDesktopFrame(CROP_X + CROP_WIDTH, CROP_Y + CROP_HEIGHT, PictureB));
    RunUntilMs(140);

    EXPECT_EQ(0, copiesOutsideTheSource);
    EXPECT_EQ(3, recreated.framesHandedOut);
    EXPECT_EQ(recreated.framesHandedOut, recreated.releaseFrameCalls);
    ASSERT_EQ(4u, sinkWriter.samples.size());
    EXPECT_EQ(CropOf(PictureA), sinkWriter.samples[0].bytes); // 34 ms
    EXPECT_EQ(CropOf(PictureA), sinkWriter.samples[1].bytes); // 67 ms: the small desktops
    EXPECT_EQ(CropOf(PictureB), sinkWriter.samples[2].bytes); // 100 ms: the one that fits
    EXPECT_EQ(CropOf(PictureB), sinkWriter.samples[3].bytes);
}

// ---- the file cannot take more ----

namespace {

size_t refusedFrom; // WriteSample call, from 0, from which the writer refuses
HRESULT refusal;

HRESULT RefusingWriteSample(IMFSinkWriter* writer, DWORD streamIndex, IMFSample* sample) {
    HRESULT hr = ClockedWriteSample(writer, streamIndex, sample);
    return virtualClock.writeTimes.size() > refusedFrom ? refusal : hr;
}

} // namespace

TEST_F(CaptureLoopTest, RefusedSampleEndsTheLoopAndFinalizes) {
    struct Case {
        size_t refusedFrom;
        HRESULT refusal;
    } cases[] = {{0, HRESULT_FROM_WIN32(ERROR_DISK_FULL)}, {3, E_FAIL}};
    ScriptAt(duplication, 0, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureA));
    mfApi.WriteSample = RefusingWriteSample;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refusedFrom);
        refusedFrom = c.refusedFrom;
        refusal = c.refusal;
        virtualClock = VirtualClock();
        // The fourth sample falls in a catch-up of 16 after a stall.
        virtualClock.stallBefore[int(PassAtMs(100))] = 500 * COUNTS_PER_MS;
        sinkWriter.calls.clear();
        sinkWriter.samples.clear();
        EXPECT_TRUE(RunUntilMs(10000)) << "the file holds everything up to the refusal";
        EXPECT_EQ(c.refusedFrom + 1, sinkWriter.samples.size()) << "nothing after the refusal";
        EXPECT_EQ("write", virtualClock.events.back()) << "no further pass";
        EXPECT_EQ(1, sinkWriter.CountCalls("Finalize"));
        EXPECT_EQ("Finalize", sinkWriter.calls.back());
    }
}

std::vector<LONGLONG> freeSpaceAskedAtMs;
ULONGLONG freeSpaceAnswer;

// Windows wants a folder: asked with a file's path it fails.
BOOL WINAPI AnswerFreeSpace(LPCWSTR folder, PULARGE_INTEGER available, PULARGE_INTEGER,
                            PULARGE_INTEGER) {
    freeSpaceAskedAtMs.push_back(virtualClock.counts / COUNTS_PER_MS);
    available->QuadPart = freeSpaceAnswer;
    DWORD attributes = GetFileAttributesW(folder);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(CaptureLoopTest, DiskBelowTheReserveEndsTheLoopAsAStopLookingOnceASecond) {
    GetTempPathW(MAX_PATH, job.outputPath);
    lstrcatW(job.outputPath, L"quorvel_loop_test.mp4");
    osApi.GetDiskFreeSpaceExW = AnswerFreeSpace;
    freeSpaceAskedAtMs.clear();
    // The reserve of 30 samples, which are written by 1 s at 30 fps; 60 by 2 s.
    freeSpaceAnswer = 64ull * 1024 * 1024 + 30 * 32;
    EXPECT_TRUE(RunUntilMs(3500));
    EXPECT_EQ((std::vector<LONGLONG>{0, 1000, 2000}), freeSpaceAskedAtMs);
    EXPECT_EQ(60u, sinkWriter.samples.size());
    EXPECT_EQ(1, job.stoppedForSpace);
    EXPECT_EQ("Finalize", sinkWriter.calls.back());

    // Its low 32 bits alone are 1 MB. The last pass before 3.5 s has 104 samples due.
    freeSpaceAnswer = (4ull << 30) + (1 << 20);
    job.stoppedForSpace = 0;
    sinkWriter.samples.clear();
    virtualClock = VirtualClock();
    EXPECT_TRUE(RunUntilMs(3500));
    EXPECT_EQ(104u, sinkWriter.samples.size());
    EXPECT_EQ(0, job.stoppedForSpace);
}

TEST_F(CaptureLoopTest, FailedFinalizeReportsTheFileUnfinished) {
    sinkWriter.finalizeResult = E_FAIL;
    EXPECT_FALSE(RunUntilMs(100));
    EXPECT_EQ(2u, sinkWriter.samples.size());
    sinkWriter.finalizeResult = S_OK;
    sinkWriter.samples.clear();
    virtualClock = VirtualClock();
    EXPECT_TRUE(RunUntilMs(100));
}

TEST_F(CaptureLoopTest, AnyOtherAcquireFailureIsAnOutageOfTheDuplicationAlone) {
    const HRESULT results[] = {DXGI_ERROR_INVALID_CALL, E_FAIL, E_OUTOFMEMORY,
                               DXGI_ERROR_UNSUPPORTED};
    std::vector<StandInDuplication> failing(4), next(4);
    for (size_t i = 0; i < 4; i++) {
        SCOPED_TRACE(results[i]);
        osApi.Release(source.duplication);
        source.duplication = &failing[i];
        failing[i].AddRef();
        failing[i].device = device;
        device->AddRef();
        failing[i].duplicatedOutput = &output;
        ScriptAt(failing[i], 0, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureA));
        // Late enough that only a renewal time refreshed by every working
        // pass keeps the device.
        ScriptAt(failing[i], PassAtMs(2500), MakeFailedFrame(results[i]));
        ScriptAt(next[i], 0, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureB));
        UseStandInDuplications({&next[i]}, {&failing[i]});
        sinkWriter.samples.clear();
        sinkWriter.calls.clear();
        virtualClock = VirtualClock();
        EXPECT_TRUE(RunUntilMs(3000));

        EXPECT_EQ(int(PassAtMs(2500)) + 1, failing[i].acquireCalls);
        EXPECT_EQ(0, failing[i].references);
        EXPECT_EQ(1, handOutLog.duplicateOutputCalls) << "re-created at once";
        EXPECT_EQ(&next[i], source.duplication);
        EXPECT_EQ(device, source.device) << "the device stays";
        ASSERT_EQ(89u, sinkWriter.samples.size()) << "the recording goes on to STOP";
        ExpectConstantTiming(333333);
        EXPECT_EQ(CropOf(PictureA), sinkWriter.samples[0].bytes);
        EXPECT_EQ(CropOf(PictureB), sinkWriter.samples.back().bytes);
        EXPECT_EQ(1, sinkWriter.CountCalls("Finalize"));
    }
}

// ---- the screen read through GDI ----

namespace {

std::vector<LONGLONG> screenReads; // clock at each BitBlt
LONGLONG screenReadCost;           // counts each BitBlt takes

// Read n finds the crop in blue n + 1; reads 2 to 4 are refused (the lock screen).
BOOL WINAPI PaintedScreen(HDC picture, int, int, int width, int height, HDC, int screenX,
                          int screenY, DWORD) {
    // The crop's place on the desktop, on a monitor left of the primary and lower.
    EXPECT_EQ(CROP_X - DESKTOP_WIDTH, screenX);
    EXPECT_EQ(CROP_Y + 100, screenY);
    int read = int(screenReads.size());
    screenReads.push_back(virtualClock.counts);
    virtualClock.counts += screenReadCost;
    RECT area = {0, 0, width, height};
    HBRUSH brush = CreateSolidBrush(RGB(0, 0, read + 1));
    bool refused = read >= 2 && read <= 4;
    if (!refused)
        FillRect(picture, &area, brush);
    DeleteObject(brush);
    return !refused;
}

} // namespace

TEST_F(CaptureLoopTest, GdiReadsAtMostOncePerFrameAndAnOutageKeepsTheLastPicture) {
    source.gdi.inUse = 1;
    source.outputRect = {-DESKTOP_WIDTH, 100, 0, 100 + DESKTOP_HEIGHT};
    gdiApi.BitBlt = PaintedScreen;
    const LONGLONG frameDuration = 333333;
    for (LONGLONG cost : {0LL, 50 * COUNTS_PER_MS}) {
        SCOPED_TRACE(cost ? "reads slower than a frame" : "quick reads");
        virtualClock = VirtualClock();
        sinkWriter.samples.clear();
        screenReads.clear();
        screenReadCost = cost;
        source.gdi.nextRead = 0;
        EXPECT_TRUE(RunUntilMs(1000));
        for (size_t i = 1; i < screenReads.size(); i++)
            EXPECT_GE(screenReads[i] - screenReads[i - 1], frameDuration) << "read " << i;
        // The file keeps its rate: each sample at most one read late (the loop's
        // clock starts after the first read), the last one read before STOP.
        LONGLONG start = screenReads[0] + cost;
        for (size_t n = 0; n < virtualClock.writeTimes.size(); n++) {
            LONGLONG late = virtualClock.writeTimes[n] - start - LONGLONG(n + 1) * frameDuration;
            EXPECT_TRUE(late >= 0 && late <= cost + COUNTS_PER_MS) << "sample " << n;
        }
        EXPECT_LE(ComputeDueCount(1000 * COUNTS_PER_MS - start - cost - COUNTS_PER_MS, FREQUENCY,
                                  frameDuration),
                  LONGLONG(sinkWriter.samples.size()));
        BYTE newest = 0;
        for (const WrittenSample& sample : sinkWriter.samples) {
            EXPECT_TRUE(sample.bytes[0] < 3 || sample.bytes[0] > 5) << "a refused read shows";
            EXPECT_GE(sample.bytes[0], newest);
            newest = sample.bytes[0];
        }
        EXPECT_LT(5, newest) << "the screen is read again after the outage";
        EXPECT_EQ(0, handOutLog.duplicateOutputCalls) << "no duplication is sought meanwhile";
    }
    CloseGdiScreen(&source.gdi);
}

TEST_F(CaptureLoopTest, SuccessWithoutAPictureIsNoPictureAndNoOutage) {
    ScriptAt(duplication, 0, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureA));
    ScriptAt(duplication, PassAtMs(40), MakeFailedFrame(S_FALSE));
    EXPECT_TRUE(RunUntilMs(1000));
    EXPECT_EQ(0, handOutLog.duplicateOutputCalls);
    EXPECT_EQ(&duplication, source.duplication);
    ASSERT_EQ(29u, sinkWriter.samples.size());
    EXPECT_EQ(CropOf(PictureA), sinkWriter.samples.back().bytes);
}

// ---- a display driver reset or updated during the recording ----

namespace {

// D3D11CreateDevice while the driver is being replaced: refused until
// `driverBackAt`, then the stand-in adapters' device.
struct DriverReset {
    LONGLONG driverBackAt;
    std::vector<LONGLONG> attempts; // virtual time of each D3D11CreateDevice
    decltype(D3dApi::D3D11CreateDevice) createDevice;
};
DriverReset driverReset;

HRESULT WINAPI CreateDeviceAfterReset(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType,
                                      HMODULE software, UINT flags,
                                      const D3D_FEATURE_LEVEL* featureLevels, UINT levelCount,
                                      UINT sdkVersion, ID3D11Device** device,
                                      D3D_FEATURE_LEVEL* achieved, ID3D11DeviceContext** context) {
    driverReset.attempts.push_back(virtualClock.counts);
    if (virtualClock.counts < driverReset.driverBackAt) {
        *device = nullptr;
        *context = nullptr;
        return E_FAIL;
    }
    return driverReset.createDevice(adapter, driverType, software, flags, featureLevels, levelCount,
                                    sdkVersion, device, achieved, context);
}

// Releases of the objects watched. An object whose last reference goes is no
// longer watched, so a new object made where it was is not counted as it.
std::map<void*, int> releases;
std::set<void*> watched;

ULONG CountRelease(IUnknown* object) {
    ULONG left = realOsApi.Release(object);
    if (watched.count(object)) {
        releases[object]++;
        if (left == 0)
            watched.erase(object);
    }
    return left;
}

ID3D11Device* removedDevice;
HRESULT removedReason;

HRESULT ReasonOfRemoval(ID3D11Device* device) {
    return device == removedDevice ? removedReason : S_OK;
}

// How the device was lost: the answer of the failing call, or, told by the
// device when asked, the removal reason while the desktop reads as lost.
struct DeviceLoss {
    const char* name;
    HRESULT code;
    bool toldByTheDevice;
};

class DeviceLossTest : public CaptureLoopTest, public ::testing::WithParamInterface<DeviceLoss> {};

} // namespace

TEST_P(DeviceLossTest, RemovedDeviceRecreatesTheWholeSourceAndKeepsThePicture) {
    StandInOutput monitor{RECT{0, 0, DESKTOP_WIDTH, DESKTOP_HEIGHT}};
    StandInAdapter adapter({&monitor});
    StandInFactory factory({&adapter});
    UseStandInAdapters(&factory);
    driverReset = DriverReset{1400 * COUNTS_PER_MS, {}, d3dApi.D3D11CreateDevice};
    d3dApi.D3D11CreateDevice = CreateDeviceAfterReset;
    removedDevice = device;
    removedReason = GetParam().code;
    if (GetParam().toldByTheDevice)
        d3dApi.GetDeviceRemovedReason = ReasonOfRemoval;
    // The first device after the reset cannot duplicate yet, as while the
    // desktop is away: that device stays, its duplication is tried again.
    StandInDuplication fresh;
    ScriptAt(fresh, 0, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureB));
    UseStandInDuplications({nullptr, &fresh}, {&duplication});
    ScriptAt(duplication, 0, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureA));
    ScriptAt(
        duplication, PassAtMs(1000),
        MakeFailedFrame(GetParam().toldByTheDevice ? DXGI_ERROR_ACCESS_LOST : GetParam().code));
    void* oldObjects[] = {device, context, source.stagingTexture};
    releases.clear();
    watched = std::set<void*>(std::begin(oldObjects), std::end(oldObjects));
    osApi.Release = CountRelease;
    BYTE* picture = source.framePicture;
    EXPECT_TRUE(RunUntilMs(3000));

    // At the removal, then a quarter second apart until a device is made.
    EXPECT_EQ(
        (std::vector<LONGLONG>{1000 * COUNTS_PER_MS, 1250 * COUNTS_PER_MS, 1500 * COUNTS_PER_MS}),
        driverReset.attempts);
    ASSERT_EQ(1u, handOutLog.deviceAdapters.size());
    EXPECT_EQ(static_cast<IDXGIAdapter*>(&adapter), handOutLog.deviceAdapters.back());
    EXPECT_EQ(&fresh, source.duplication);
    EXPECT_EQ(fresh.device, source.device);
    EXPECT_EQ(picture, source.framePicture) << "the picture is kept";
    EXPECT_EQ(CROP_WIDTH, source.cropWidth);

    // An unbroken timeline to STOP: the kept picture until the new source's first.
    ASSERT_EQ(89u, sinkWriter.samples.size());
    ExpectConstantTiming(333333);
    for (size_t n = 0; n < sinkWriter.samples.size(); n++) {
        bool before = virtualClock.writeTimes[n] < 1750 * COUNTS_PER_MS;
        ASSERT_EQ(CropOf(before ? PictureA : PictureB), sinkWriter.samples[n].bytes) << n;
    }

    // Everything of the old source and of the new one is let go exactly once.
    for (void* object : oldObjects)
        EXPECT_EQ(1, releases[object]);
    void* newObjects[] = {source.device, source.context, source.stagingTexture};
    releases.clear();
    watched = std::set<void*>(std::begin(newObjects), std::end(newObjects));
    CloseCaptureSource(&source);
    for (void* object : newObjects)
        EXPECT_EQ(1, releases[object]);
    EXPECT_EQ(0, duplication.references);
    EXPECT_EQ(0, output.references);
    EXPECT_EQ(0, desktopFactory.references);
    EXPECT_EQ(0, fresh.references);
    EXPECT_EQ(0, monitor.references);
    EXPECT_EQ(0, adapter.references);
    EXPECT_EQ(0, factory.references);
}

namespace {

decltype(D3dApi::DuplicateOutput) duplicateOnLiveDevice;

// DuplicateOutput on a device the driver has taken away.
HRESULT DuplicateUnlessRemoved(IDXGIOutput1* output1, IUnknown* device,
                               IDXGIOutputDuplication** duplication) {
    *duplication = nullptr;
    if (device == removedDevice)
        return removedReason;
    return duplicateOnLiveDevice(output1, device, duplication);
}

} // namespace

TEST_P(DeviceLossTest, DuplicationRefusedForARemovedDeviceRecreatesTheWholeSource) {
    StandInOutput monitor{RECT{0, 0, DESKTOP_WIDTH, DESKTOP_HEIGHT}};
    StandInAdapter adapter({&monitor});
    StandInFactory factory({&adapter});
    UseStandInAdapters(&factory);
    StandInDuplication fresh;
    ScriptAt(fresh, 0, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureB));
    UseStandInDuplications({&fresh}, {&duplication});
    removedDevice = device;
    removedReason = GetParam().code;
    duplicateOnLiveDevice = d3dApi.DuplicateOutput;
    d3dApi.DuplicateOutput = DuplicateUnlessRemoved;
    // The desktop is lost at 500 ms; its duplication cannot be made again on the old device.
    ScriptAt(duplication, 0, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureA));
    ScriptAt(duplication, PassAtMs(500), MakeFailedFrame(DXGI_ERROR_ACCESS_LOST));
    EXPECT_TRUE(RunUntilMs(1000));

    // At 750 ms, a quarter second after the refusal, the whole source is made anew.
    ASSERT_EQ(1u, handOutLog.deviceAdapters.size());
    EXPECT_EQ(&fresh, source.duplication);
    EXPECT_EQ(fresh.device, source.device);
    ASSERT_EQ(29u, sinkWriter.samples.size());
    ExpectConstantTiming(333333);
    EXPECT_EQ(CropOf(PictureA), sinkWriter.samples[21].bytes); // 734 ms
    EXPECT_EQ(CropOf(PictureB), sinkWriter.samples[22].bytes); // 767 ms
    CloseCaptureSource(&source);
    EXPECT_EQ(0, fresh.references);
    EXPECT_EQ(0, factory.references);
}

// A removed device and a reset one (a recovered GPU time-out) alike.
INSTANTIATE_TEST_SUITE_P(
    RemovedOrReset, DeviceLossTest,
    ::testing::Values(DeviceLoss{"Removed", DXGI_ERROR_DEVICE_REMOVED, false},
                      DeviceLoss{"Reset", DXGI_ERROR_DEVICE_RESET, false},
                      DeviceLoss{"ResetToldByTheDevice", DXGI_ERROR_DEVICE_RESET, true}),
    [](const ::testing::TestParamInfo<DeviceLoss>& loss) { return std::string(loss.param.name); });

// ---- monitors unplugged, re-arranged or moved during the recording ----

namespace {

// Where the monitor that shows the desktop PictureB sits on the desktop: its
// pixel (x, y) is the desktop's (x + left, y + top).
POINT shownFrom;
UINT32 PictureBSeenFromThere(int x, int y) {
    return PictureB(x + shownFrom.x, y + shownFrom.y);
}

// After the loss at 500 ms the recorded monitor is gone; from `backAtMs` on
// it is at `rect`, until then at `misplacedRect` (where the crop's place lies
// only partly on it) or nowhere. Another monitor, left of the origin, comes
// first all along. With `modeChange`, the recorded output itself stays and
// only its rectangle changes, as a mode change does.
struct MonitorChange {
    const char* name;
    RECT rect;
    LONGLONG backAtMs;
    LONGLONG newPictureFromMs; // -1: the kept picture to STOP
    size_t devicesMade;
    RECT misplacedRect;
    bool modeChange;
};

StandInFactory* withoutIt;
StandInFactory* withIt;
LONGLONG backAtMs;

HRESULT WINAPI CreateFactoryAsArranged(REFIID riid, void** factory) {
    StandInFactory* now = virtualClock.counts < backAtMs * COUNTS_PER_MS ? withoutIt : withIt;
    return now->QueryInterface(riid, factory);
}

class MonitorChangeTest : public CaptureLoopTest,
                          public ::testing::WithParamInterface<MonitorChange> {};

} // namespace

TEST_P(MonitorChangeTest, RecordsTheSamePlaceOnTheDesktopOrKeepsThePicture) {
    // The capture rect (8, 6)-(40, 30), centred on (24, 18), lies on `output`.
    const MonitorChange& change = GetParam();
    StandInOutput other{RECT{-64, 0, 0, 48}};
    StandInOutput recorded{change.rect, output.desc.DeviceName};
    StandInOutput misplaced{change.misplacedRect, output.desc.DeviceName};
    StandInAdapter before(change.misplacedRect.right
                              ? std::vector<StandInOutput*>{&other, &misplaced}
                              : std::vector<StandInOutput*>{&other});
    StandInAdapter after({&other, &recorded});
    StandInFactory first({&before});
    StandInFactory second({&after});
    StandInOutput* expected = &recorded;
    if (change.modeChange) {
        expected = &output;
        output.desc.DesktopCoordinates = change.rect;
    } else {
        // Unplugged: the output is stale from the loss on, its factory no longer current.
        withoutIt = &first;
        withIt = &second;
        backAtMs = change.backAtMs;
        d3dApi.CreateDXGIFactory1 = CreateFactoryAsArranged;
        output.desc.AttachedToDesktop = FALSE;
        desktopFactory.current = FALSE;
    }
    shownFrom = POINT{change.rect.left, change.rect.top};
    StandInDuplication back;
    back.script.push_back(MakeDesktopFrame(change.rect.right - change.rect.left,
                                           change.rect.bottom - change.rect.top,
                                           PictureBSeenFromThere));
    UseStandInDuplications({&back}, {&duplication});
    ScriptAt(duplication, 0, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureA));
    ScriptAt(duplication, PassAtMs(500), MakeFailedFrame(DXGI_ERROR_ACCESS_LOST));
    EXPECT_TRUE(RunUntilMs(3000));

    for (IDXGIOutput1* duplicated : handOutLog.duplicatedOutputs)
        EXPECT_EQ(static_cast<IDXGIOutput1*>(expected), duplicated) << "never another monitor";
    EXPECT_EQ(change.devicesMade, handOutLog.deviceAdapters.size())
        << "no device while the crop's place is on no monitor";
    EXPECT_TRUE(source.device || (!source.factory && !source.adapter && !source.output))
        << "a source without a device holds nothing";
    ASSERT_EQ(89u, sinkWriter.samples.size());
    LONGLONG newFrom = change.newPictureFromMs;
    for (size_t n = 0; n < sinkWriter.samples.size(); n++) {
        bool kept = newFrom < 0 || virtualClock.writeTimes[n] < newFrom * COUNTS_PER_MS;
        ASSERT_EQ(CropOf(kept ? PictureA : PictureB), sinkWriter.samples[n].bytes) << n;
    }
    CloseCaptureSource(&source);
}

INSTANTIATE_TEST_SUITE_P(
    Monitors, MonitorChangeTest,
    ::testing::Values(
        MonitorChange{"UnpluggedThenBack", {0, 0, 64, 48}, 1500, 1500, 1, {}, false},
        MonitorChange{"CentreOnNoMonitor", {64, 0, 128, 48}, 500, -1, 0, {}, false},
        MonitorChange{"MovedFourPixelsRight", {4, 0, 68, 48}, 500, 500, 1, {}, false},
        // The monitor is now exactly the crop.
        MonitorChange{"ShrunkToExactlyTheCrop", {8, 6, 40, 30}, 500, 500, 1, {}, false},
        // First back 10 pixels right, with the crop's left edge off it.
        MonitorChange{"MisplacedThenBack", {0, 0, 64, 48}, 1500, 1500, 1, {10, 0, 74, 48}, false},
        MonitorChange{"MisplacedUntilStop", {0, 0, 64, 48}, 9000, -1, 0, {10, 0, 74, 48}, false},
        // A monitor that grows to the left moves its origin; the desktop stays put.
        MonitorChange{"ModeChangeMovedTheOrigin", {-8, 0, 64, 48}, 500, 500, 0, {}, true},
        MonitorChange{"ModeChangeLeftNoRoomForTheCrop", {0, 0, 36, 48}, 500, -1, 0, {}, true}),
    [](const ::testing::TestParamInfo<MonitorChange>& change) {
        return std::string(change.param.name);
    });

// ---- dropped samples ----

namespace {

// Which call of each step fails, counted from 0; -1 for none.
struct Failures {
    int bufferAt, lockAt, sampleAt;
    int buffers, locks, samples;
};
Failures failures;
std::vector<IMFMediaBuffer*> keptBuffers; // an extra reference on every buffer made

HRESULT WINAPI CountedCreateBuffer(DWORD size, IMFMediaBuffer** buffer) {
    if (failures.buffers++ == failures.bufferAt)
        return E_OUTOFMEMORY;
    HRESULT hr = realMfApi.MFCreateMemoryBuffer(size, buffer);
    if (SUCCEEDED(hr)) {
        (*buffer)->AddRef();
        keptBuffers.push_back(*buffer);
    }
    return hr;
}

HRESULT CountedLock(IMFMediaBuffer* buffer, BYTE** data, DWORD* maxLength, DWORD* length) {
    if (failures.locks++ == failures.lockAt)
        return E_FAIL;
    return realMfApi.Lock(buffer, data, maxLength, length);
}

HRESULT WINAPI CountedCreateSample(IMFSample** sample) {
    if (failures.samples++ == failures.sampleAt)
        return E_OUTOFMEMORY;
    return realMfApi.MFCreateSample(sample);
}

void CountMediaCalls(int bufferAt, int lockAt, int sampleAt) {
    failures = Failures{bufferAt, lockAt, sampleAt, 0, 0, 0};
    keptBuffers.clear();
    mfApi.MFCreateMemoryBuffer = CountedCreateBuffer;
    mfApi.Lock = CountedLock;
    mfApi.MFCreateSample = CountedCreateSample;
}

} // namespace

TEST_F(CaptureLoopTest, FailedBufferLockOrSampleDropsExactlyOneIndex) {
    struct Case {
        const char* step;
        int bufferAt, lockAt, sampleAt;
    } cases[] = {{"buffer", 2, -1, -1}, {"lock", -1, 2, -1}, {"sample", -1, -1, 2}};
    ScriptAt(duplication, 0, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureA));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.step);
        CountMediaCalls(c.bufferAt, c.lockAt, c.sampleAt);
        sinkWriter.samples.clear();
        virtualClock = VirtualClock();
        RunUntilMs(200); // indices 0 to 4 fall due

        std::vector<LONGLONG> times;
        for (const WrittenSample& sample : sinkWriter.samples) {
            times.push_back(sample.time);
            EXPECT_EQ(CropOf(PictureA), sample.bytes);
        }
        EXPECT_EQ((std::vector<LONGLONG>{0, 333333, 3 * 333333, 4 * 333333}), times);
        // Every buffer made, written or dropped, was let go with its sample.
        for (IMFMediaBuffer* buffer : keptBuffers)
            EXPECT_EQ(0u, buffer->Release());
    }
}

TEST_F(CaptureLoopTest, EverySampleAndBufferIsLetGoWithinItsIndex) {
    CountMediaCalls(-1, -1, -1);
    RunUntilMs(300);
    ASSERT_EQ(8u, keptBuffers.size());
    ASSERT_EQ(8u, sinkWriter.samples.size());
    for (IMFMediaBuffer* buffer : keptBuffers) {
        DWORD length = 0;
        buffer->GetCurrentLength(&length);
        EXPECT_EQ(DWORD(CROP_WIDTH * CROP_HEIGHT * 4), length);
        EXPECT_EQ(0u, buffer->Release()); // neither the loop nor a sample holds it
    }
}

// ---- the pointer in the loop ----

namespace {

DesktopFrame PictureWithPointer(UINT32 (*colourAt)(int, int), int x, int y, bool withShape) {
    DesktopFrame frame = MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, colourAt);
    frame.frameInfo.LastMouseUpdateTime.QuadPart = 1;
    frame.frameInfo.PointerPosition.Position = {x, y};
    frame.frameInfo.PointerPosition.Visible = TRUE;
    if (withShape) {
        frame.shapeInfo = {DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR, 2, 2, 8, {0, 0}};
        frame.shape.assign(16, 0xFF); // opaque white
        frame.frameInfo.PointerShapeBufferSize = 16;
    }
    return frame;
}

// `picture` with an opaque white 2 x 2 pointer at crop position (x, y).
std::vector<BYTE> WithPointer(std::vector<BYTE> picture, int x, int y) {
    for (int j = 0; j < 2; j++) {
        for (int k = 0; k < 2; k++)
            memset(&picture[(size_t(y + j) * CROP_WIDTH + x + k) * 4], 0xFF, 3);
    }
    return picture;
}

} // namespace

TEST_F(CaptureLoopTest, RepeatedPictureCarriesOnePointerAtItsLatestPosition) {
    job.recordMouse = 1;
    ScriptAt(duplication, 0, PictureWithPointer(PictureA, CROP_X + 1, CROP_Y + 1, true));
    ScriptAt(duplication, PassAtMs(50),
             PictureWithPointer(PictureA, CROP_X + 10, CROP_Y + 5, false));
    RunUntilMs(100);
    ASSERT_EQ(2u, sinkWriter.samples.size());
    EXPECT_EQ(WithPointer(CropOf(PictureA), 1, 1), sinkWriter.samples[0].bytes);
    EXPECT_EQ(WithPointer(CropOf(PictureA), 10, 5), sinkWriter.samples[1].bytes);
    std::vector<BYTE> kept(source.framePicture, source.framePicture + source.frameBytes);
    EXPECT_EQ(CropOf(PictureA), kept);
}

TEST_F(CaptureLoopTest, RecordMouseOffDrawsNoPointer) {
    ScriptAt(duplication, 0, PictureWithPointer(PictureA, CROP_X + 1, CROP_Y + 1, true));
    RunUntilMs(50);
    ASSERT_EQ(1u, sinkWriter.samples.size());
    EXPECT_EQ(CropOf(PictureA), sinkWriter.samples[0].bytes);
    EXPECT_EQ(0, duplication.shapeCalls);
}

TEST_F(CaptureLoopTest, SlowFirstPictureGivesNoBurstOfSamples) {
    // The first capture takes 400 ms; the timeline starts after it.
    ScriptAt(duplication, 0, MakeDesktopFrame(DESKTOP_WIDTH, DESKTOP_HEIGHT, PictureA));
    virtualClock.stallBefore[0] = 400 * COUNTS_PER_MS;
    RunUntilMs(1400);
    ASSERT_EQ(29u, sinkWriter.samples.size());
    EXPECT_EQ(434 * COUNTS_PER_MS, virtualClock.writeTimes[0]);
    for (size_t n = 1; n < virtualClock.writeTimes.size(); n++)
        EXPECT_LT(virtualClock.writeTimes[n - 1], virtualClock.writeTimes[n]) << n;
}

TEST_F(CaptureLoopTest, StopIsHonouredWithinOneSampleOfACatchUp) {
    // 120 fps on an encoder that blocks 20 ms a sample: every pass falls
    // further behind, so one catch-up never ends by itself.
    job.fps = 120;
    virtualClock.writeCost = 20 * COUNTS_PER_MS;
    EXPECT_TRUE(RunUntilMs(500));
    ASSERT_LT(10u, virtualClock.writeTimes.size());
    // No sample is begun once STOP is set, and the one under way was the last.
    EXPECT_LT(virtualClock.writeTimes.back(), 500 * COUNTS_PER_MS);
    EXPECT_GE(virtualClock.writeTimes.back() + 20 * COUNTS_PER_MS, 500 * COUNTS_PER_MS);
    EXPECT_EQ("poll", virtualClock.events.back());
    EXPECT_EQ(1, sinkWriter.CountCalls("Finalize"));
}

TEST_F(CaptureLoopTest, SamplesTheWriterStillHoldsAreNeverWrittenAgain) {
    // A new picture and a moving pointer every few samples, so memory used for
    // two samples would show. The writer lets samples go late, on its own thread.
    job.recordMouse = 1;
    ScriptAt(duplication, 0, PictureWithPointer(PictureA, CROP_X, CROP_Y, true));
    for (int ms = 50; ms < 600; ms += 50)
        ScriptAt(duplication, PassAtMs(ms),
                 PictureWithPointer(ms % 100 ? PictureB : PictureA, CROP_X + ms / 25, CROP_Y + 2,
                                    false));
    sinkWriter.samplesKept = 6;
    RunUntilMs(700);
    ASSERT_EQ(20u, sinkWriter.samples.size());
    EXPECT_EQ(20, sinkWriter.samplesLetGo);
    EXPECT_EQ(0, sinkWriter.samplesChangedWhileHeld);
    EXPECT_EQ(0, sinkWriter.samplesStillReferenced) << "the loop kept a sample it handed over";
}
