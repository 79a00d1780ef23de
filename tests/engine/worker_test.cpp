#include <gtest/gtest.h>
#include <mferror.h>
#include <string>
#include "engine/mp4_mend.h"
#include "standins.h"

// The worker runs on its own thread, as in the program, and reports to a
// message-only window of the test thread. The real seam entries are wrapped
// so that every object the worker creates is named, and every release, free,
// shut-down and post lands in one event list in the order it happened.

static std::vector<std::pair<void*, std::string>> tracked;
static std::vector<std::string> events;
static std::vector<void*> releasedObjects; // every release and free, by pointer
static int mediaTypesCreated;
static int heapBlocksAllocated;

static void Track(void* object, const char* name) {
    if (object)
        tracked.push_back({object, name});
}

static const std::string* NameOf(void* object) {
    for (const auto& entry : tracked) {
        if (entry.first == object)
            return &entry.second;
    }
    return nullptr;
}

// What the worker asked of D3D11CreateDevice and MFStartup.
struct StartArguments {
    IDXGIAdapter* adapter;
    D3D_DRIVER_TYPE driverType;
    HMODULE software;
    UINT flags;
    const D3D_FEATURE_LEVEL* featureLevels;
    UINT levelCount;
    UINT sdkVersion;
    bool achievedLevelAsked;
    ULONG mfVersion;
    DWORD mfFlags;
};
static StartArguments startArguments;

static HRESULT WINAPI RecordMFStartup(ULONG version, DWORD flags) {
    startArguments.mfVersion = version;
    startArguments.mfFlags = flags;
    return realMfApi.MFStartup(version, flags);
}

static HRESULT WINAPI TrackDevice(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType,
                                  HMODULE software, UINT flags,
                                  const D3D_FEATURE_LEVEL* featureLevels, UINT levelCount,
                                  UINT sdkVersion, ID3D11Device** device,
                                  D3D_FEATURE_LEVEL* achievedLevel, ID3D11DeviceContext** context) {
    startArguments.adapter = adapter;
    Track(adapter, "adapter"); // the worker holds the chosen output's adapter
    startArguments.driverType = driverType;
    startArguments.software = software;
    startArguments.flags = flags;
    startArguments.featureLevels = featureLevels;
    startArguments.levelCount = levelCount;
    startArguments.sdkVersion = sdkVersion;
    startArguments.achievedLevelAsked = achievedLevel != nullptr;
    HRESULT hr =
        realD3dApi.D3D11CreateDevice(adapter, driverType, software, flags, featureLevels,
                                     levelCount, sdkVersion, device, achievedLevel, context);
    if (SUCCEEDED(hr)) {
        Track(*device, "device");
        Track(*context, "context");
    }
    return hr;
}

static HRESULT WINAPI TrackFactory(REFIID riid, void** factory) {
    HRESULT hr = realD3dApi.CreateDXGIFactory1(riid, factory);
    if (SUCCEEDED(hr))
        Track(*factory, "factory");
    return hr;
}

// The stand-in output, wrapped to be tracked like the real objects.
static decltype(D3dApi::EnumOutputs) enumStandInOutputs;

static HRESULT TrackOutput(IDXGIAdapter* adapter, UINT index, IDXGIOutput** output) {
    HRESULT hr = enumStandInOutputs(adapter, index, output);
    if (hr == S_OK)
        Track(*output, "output");
    return hr;
}

static HRESULT TrackOutput1(IDXGIOutput* output, IDXGIOutput1** output1) {
    HRESULT hr = realD3dApi.QueryOutput1(output, output1);
    if (SUCCEEDED(hr))
        Track(*output1, "output1");
    return hr;
}

// The stand-in hand-outs, wrapped to be tracked like the real objects.
static decltype(D3dApi::DuplicateOutput) handOutDuplication;
static decltype(MfApi::MFCreateSinkWriterFromURL) handOutSinkWriter;

static HRESULT TrackDuplication(IDXGIOutput1* output1, IUnknown* device,
                                IDXGIOutputDuplication** duplication) {
    HRESULT hr = handOutDuplication(output1, device, duplication);
    if (SUCCEEDED(hr))
        Track(*duplication, "duplication");
    return hr;
}

static HRESULT WINAPI TrackSinkWriter(LPCWSTR url, IMFByteStream* byteStream,
                                      IMFAttributes* attributes, IMFSinkWriter** writer) {
    HRESULT hr = handOutSinkWriter(url, byteStream, attributes, writer);
    if (SUCCEEDED(hr))
        Track(*writer, "sinkWriter");
    return hr;
}

// Wine hands out the output itself as its IDXGIOutput1; a separate object
// keeps the two releases apart.
static StandInOutput* output1ToHandOut;

static HRESULT HandOutOutput1(IDXGIOutput*, IDXGIOutput1** output1) {
    output1ToHandOut->AddRef();
    *output1 = output1ToHandOut;
    Track(*output1, "output1");
    return S_OK;
}

static HRESULT TrackStaging(ID3D11Device* device, const D3D11_TEXTURE2D_DESC* desc,
                            const D3D11_SUBRESOURCE_DATA* initialData, ID3D11Texture2D** texture) {
    HRESULT hr = realD3dApi.CreateTexture2D(device, desc, initialData, texture);
    if (SUCCEEDED(hr))
        Track(*texture, "staging");
    return hr;
}

static HRESULT WINAPI TrackAttributes(IMFAttributes** attributes, UINT32 size) {
    HRESULT hr = realMfApi.MFCreateAttributes(attributes, size);
    if (SUCCEEDED(hr))
        Track(*attributes, "attributes");
    return hr;
}

static HRESULT WINAPI TrackMediaType(IMFMediaType** type) {
    HRESULT hr = realMfApi.MFCreateMediaType(type);
    if (SUCCEEDED(hr))
        Track(*type, ++mediaTypesCreated == 1 ? "outputType" : "inputType");
    return hr;
}

static LPVOID WINAPI TrackHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    LPVOID block = realOsApi.HeapAlloc(heap, flags, bytes);
    // The frame picture is the worker's first block; the pointer shape comes later.
    Track(block, ++heapBlocksAllocated == 1 ? "framePicture" : "shapeBuffer");
    return block;
}

static ULONG RecordRelease(IUnknown* object) {
    releasedObjects.push_back(object);
    if (const std::string* name = NameOf(object))
        events.push_back(*name);
    return realOsApi.Release(object);
}

static BOOL WINAPI RecordHeapFree(HANDLE heap, DWORD flags, LPVOID block) {
    releasedObjects.push_back(block);
    if (const std::string* name = NameOf(block))
        events.push_back("free " + *name);
    return realOsApi.HeapFree(heap, flags, block);
}

static HRESULT WINAPI RecordMFShutdown() {
    events.push_back("MFShutdown");
    return realMfApi.MFShutdown();
}

static void WINAPI RecordCoUninitialize() {
    events.push_back("CoUninitialize");
    realOsApi.CoUninitialize();
}

static BOOL WINAPI RecordPost(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    events.push_back("PostMessageW");
    return realOsApi.PostMessageW(window, message, wParam, lParam);
}

static int CountEvents(const std::string& name) {
    int count = 0;
    for (const std::string& event : events)
        count += event == name;
    return count;
}

class WorkerTest : public ::testing::Test {
  protected:
    SeamGuard guard;
    MediaFoundationGuard mediaFoundation;
    // The machine's own monitors differ from one test machine to the next.
    StandInOutput output{RECT{0, 0, 1920, 1080}};
    StandInDuplication duplication;
    StandInSinkWriter sinkWriter;
    RecordingJob job = {};
    HWND window = nullptr;
    std::vector<MSG> posts;

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(mediaFoundation.Start());
        if (IsSkipped())
            return;
        tracked.clear();
        events.clear();
        releasedObjects.clear();
        mediaTypesCreated = 0;
        heapBlocksAllocated = 0;
        window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                 nullptr);
        ASSERT_NE(nullptr, window);
        // 640 x 360 on the one output (0, 0)-(1920, 1080).
        job.captureRect = {100, 100, 740, 460};
        job.fps = 30;
        lstrcpyW(job.outputPath, L"C:\\users\\Public\\quorvel-worker-test.mp4");
        // Signalled before the start, so the recording ends before its first sample.
        job.stopEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        job.notifyWindow = window;
        // Left over from an earlier recording: the worker must clear both.
        job.success = 1;
        job.stoppedForSpace = 1;
        lstrcpyW(job.errorText, L"stale text");

        UseStandInDuplications({&duplication});
        UseStandInOutputs({&output});
        UseStandInSinkWriter(&sinkWriter);
        enumStandInOutputs = d3dApi.EnumOutputs;
        handOutDuplication = d3dApi.DuplicateOutput;
        handOutSinkWriter = mfApi.MFCreateSinkWriterFromURL;
        d3dApi.DuplicateOutput = TrackDuplication;
        mfApi.MFCreateSinkWriterFromURL = TrackSinkWriter;
        d3dApi.QueryOutput1 = TrackOutput1;
        d3dApi.D3D11CreateDevice = TrackDevice;
        d3dApi.CreateDXGIFactory1 = TrackFactory;
        d3dApi.EnumOutputs = TrackOutput;
        d3dApi.CreateTexture2D = TrackStaging;
        mfApi.MFCreateAttributes = TrackAttributes;
        mfApi.MFCreateMediaType = TrackMediaType;
        mfApi.MFShutdown = RecordMFShutdown;
        mfApi.MFStartup = RecordMFStartup;
        startArguments = StartArguments();
        osApi.HeapAlloc = TrackHeapAlloc;
        osApi.HeapFree = RecordHeapFree;
        osApi.Release = RecordRelease;
        osApi.CoUninitialize = RecordCoUninitialize;
        osApi.PostMessageW = RecordPost;
    }

    void TearDown() override {
        CloseHandle(job.stopEvent);
        if (window)
            DestroyWindow(window);
        EXPECT_EQ(0, duplication.references);
        EXPECT_EQ(0, sinkWriter.references);
        EXPECT_EQ(0, output.references);
    }

    void CollectPosts() {
        MSG message;
        while (window && PeekMessageW(&message, window, 0, 0, PM_REMOVE))
            posts.push_back(message);
    }

    void Run() {
        HANDLE thread = CreateThread(nullptr, 0, RecordingWorker, &job, 0, nullptr);
        ASSERT_NE(nullptr, thread);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
        DWORD exitCode = 1;
        GetExitCodeThread(thread, &exitCode);
        EXPECT_EQ(0u, exitCode);
        CloseHandle(thread);
        CollectPosts();
    }

    // Exactly one WM_APP_RECORDING_DONE, carrying the success flag, as the last act.
    void ExpectOnePost(int success) {
        ASSERT_EQ(1u, posts.size());
        EXPECT_EQ(WM_APP_RECORDING_DONE, posts[0].message);
        EXPECT_EQ(static_cast<WPARAM>(success), posts[0].wParam);
        EXPECT_EQ(0, posts[0].lParam);
        EXPECT_EQ(success, job.success);
        EXPECT_EQ(1, CountEvents("PostMessageW"));
        ASSERT_FALSE(events.empty());
        EXPECT_EQ("PostMessageW", events.back());
    }

    // Every object the worker was handed was released (or freed) exactly once;
    // an interface handed out twice on one pointer (Wine's output is its own
    // IDXGIOutput1) is released twice.
    void ExpectEachReleasedOnce() {
        for (const auto& entry : tracked) {
            size_t handedOut = 0;
            for (const auto& other : tracked)
                handedOut += other.first == entry.first;
            size_t released = 0;
            for (void* object : releasedObjects)
                released += object == entry.first;
            EXPECT_EQ(handedOut, released) << entry.second;
        }
    }
};

TEST_F(WorkerTest, SuccessfulRecordingPostsOneAndFinalizesOnce) {
    Run();
    ExpectOnePost(1);
    EXPECT_STREQ(L"", job.errorText);
    EXPECT_EQ(0, job.stoppedForSpace);
    EXPECT_EQ(1, sinkWriter.CountCalls("Finalize"));
    ASSERT_LE(3u, sinkWriter.calls.size()) << "the writer was not set up";
    EXPECT_EQ(std::vector<std::string>({"AddStream", "SetInputMediaType", "BeginWriting"}),
              std::vector<std::string>(sinkWriter.calls.begin(), sinkWriter.calls.begin() + 3));
    EXPECT_EQ(job.outputPath, sinkWriter.url);
    EXPECT_EQ(1, CountEvents("MFShutdown"));
    EXPECT_EQ(1, CountEvents("CoUninitialize"));
    ExpectEachReleasedOnce();

    // Media Foundation without sockets; a device on the output's own adapter with
    // BGRA support (the desktop's format), the runtime's own feature levels.
    EXPECT_EQ(ULONG(MF_VERSION), startArguments.mfVersion);
    EXPECT_EQ(DWORD(MFSTARTUP_LITE), startArguments.mfFlags);
    EXPECT_NE(nullptr, startArguments.adapter);
    EXPECT_EQ(D3D_DRIVER_TYPE_UNKNOWN, startArguments.driverType);
    EXPECT_EQ(nullptr, startArguments.software);
    EXPECT_EQ(UINT(D3D11_CREATE_DEVICE_BGRA_SUPPORT), startArguments.flags);
    EXPECT_EQ(nullptr, startArguments.featureLevels);
    EXPECT_EQ(0u, startArguments.levelCount);
    EXPECT_EQ(UINT(D3D11_SDK_VERSION), startArguments.sdkVersion);
    EXPECT_FALSE(startArguments.achievedLevelAsked);
}

TEST_F(WorkerTest, FileThatCannotBeFinishedFailsTheRecordingWithItsText) {
    // A full disk: Finalize cannot write the file's index.
    sinkWriter.finalizeResult = HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    Run();
    ExpectOnePost(0);
    EXPECT_STREQ(L"Could not finish the MP4 file (is the disk full?)", job.errorText);
    EXPECT_EQ(1, sinkWriter.CountCalls("Finalize"));
    ExpectEachReleasedOnce();
}

// The third sample is refused, or taken and STOP pressed with it.
static bool refuseThirdSample;
static HANDLE stopWithThirdSample;
static int samplesOffered;

static HRESULT RefuseOrStopAtTheThird(IMFSinkWriter* writer, DWORD stream, IMFSample* sample) {
    if (++samplesOffered == 3) {
        if (refuseThirdSample)
            return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
        SetEvent(stopWithThirdSample);
    }
    return realMfApi.WriteSample(writer, stream, sample);
}

TEST_F(WorkerTest, FileThatCouldTakeNoMoreKeepsTheSamplesWhollyInIt) {
    // What the sink writer left: fragments cut short inside an mdat, or no MP4 at all.
    const struct {
        const char* name;
        bool refuse;
        HRESULT finalizeResult;
        const wchar_t* fileLeft; // a fixture; null: a few bytes of nothing
        int success;
        const wchar_t* errorText;
    } cases[] = {
        {"sample refused", true, S_OK, L"cut_in_mdat.mp4", 1, L""},
        {"finish failed", false, HRESULT_FROM_WIN32(ERROR_DISK_FULL), L"cut_in_mdat.mp4", 1, L""},
        {"finish failed, no whole sample", false, HRESULT_FROM_WIN32(ERROR_DISK_FULL), nullptr, 0,
         L"Could not finish the MP4 file (is the disk full?)"}};
    lstrcpyW(job.outputPath, (ExeFolder() + L"quorvel-ended-early.mp4").c_str());
    mfApi.WriteSample = RefuseOrStopAtTheThird;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.fileLeft) {
            ASSERT_TRUE(CopyFileW((ExeFolder() + c.fileLeft).c_str(), job.outputPath, FALSE));
        } else {
            HANDLE file =
                CreateFileW(job.outputPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, file);
            DWORD written = 0;
            WriteFile(file, "\0\0\0\x10mdat", 8, &written, nullptr);
            CloseHandle(file);
        }
        refuseThirdSample = c.refuse;
        stopWithThirdSample = job.stopEvent;
        samplesOffered = 0;
        ResetEvent(job.stopEvent);
        sinkWriter.finalizeResult = c.finalizeResult;
        posts.clear();
        events.clear();
        Run();
        ExpectOnePost(c.success);
        EXPECT_EQ(c.success, job.endedEarly);
        EXPECT_STREQ(c.errorText, job.errorText);
        if (c.success) {
            MendReport report = {};
            EXPECT_EQ(MendResult::AlreadyOrdinary, MendFragmentedMp4File(job.outputPath, &report))
                << "mended before the worker reported";
            EXPECT_LT(0u, report.sampleCount);
        }
        DeleteFileW(job.outputPath);
    }
}

// A drive that cannot say at the first look, a second later less than the
// reserve. A loop that let the disk fill is stopped at the third look.
static int freeSpaceLooks;
static std::wstring freeSpaceFolder;
static HANDLE stopAtThirdLook;

static BOOL WINAPI FillingDisk(LPCWSTR folder, PULARGE_INTEGER available, PULARGE_INTEGER,
                               PULARGE_INTEGER) {
    freeSpaceFolder = folder;
    if (++freeSpaceLooks == 3)
        SetEvent(stopAtThirdLook);
    available->QuadPart = 1024 * 1024;
    return freeSpaceLooks > 1;
}

TEST_F(WorkerTest, DiskFillingMidWayEndsAsASuccessMarkedAsStoppedForSpace) {
    stopAtThirdLook = job.stopEvent;
    ResetEvent(job.stopEvent);
    osApi.GetDiskFreeSpaceExW = FillingDisk;
    Run();
    ExpectOnePost(1);
    EXPECT_EQ(1, job.stoppedForSpace);
    EXPECT_EQ(2, freeSpaceLooks);
    EXPECT_EQ(L"C:\\users\\Public\\", freeSpaceFolder);
    EXPECT_LT(0u, sinkWriter.samples.size()) << "the file keeps what was recorded";
    EXPECT_EQ("Finalize", sinkWriter.calls.back());
}

TEST_F(WorkerTest, EverythingIsReleasedInTheFixedOrderThenShutDownThenPosted) {
    // Another object for the same monitor, so that each tracked pointer is distinct.
    StandInOutput output1({0, 0, 1920, 1080}, output.desc.DeviceName);
    output1ToHandOut = &output1;
    d3dApi.QueryOutput1 = HandOutOutput1;
    // A pointer shape on the first picture makes the worker hold a shape buffer too.
    job.recordMouse = 1;
    DesktopFrame frame = MakeDesktopFrame(1920, 1080, [](int, int) { return 0xFF000000u; });
    frame.frameInfo.LastMouseUpdateTime.QuadPart = 1;
    frame.frameInfo.PointerPosition.Visible = TRUE;
    frame.frameInfo.PointerShapeBufferSize = 64;
    frame.shape.assign(64, 0xFF);
    frame.shapeInfo = {DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR, 4, 4, 16, {0, 0}};
    duplication.script.push_back(frame);

    Run();
    ExpectOnePost(1);
    // Each tracked object must be a distinct pointer for the order to mean anything.
    for (size_t i = 0; i < tracked.size(); i++) {
        for (size_t j = i + 1; j < tracked.size(); j++) {
            if (tracked[i].second != tracked[j].second) {
                ASSERT_NE(tracked[i].first, tracked[j].first)
                    << tracked[i].second << " and " << tracked[j].second;
            }
        }
    }
    // The first attributes are the encoder's parameters.
    const std::vector<std::string> expected = {
        "attributes", "inputType",      "outputType",  "attributes",       "sinkWriter",
        "staging",    "duplication",    "output1",     "context",          "device",
        "output",     "adapter",        "factory",     "free shapeBuffer", "free framePicture",
        "MFShutdown", "CoUninitialize", "PostMessageW"};
    EXPECT_EQ(expected, events);
    EXPECT_EQ(0, output1.references);
}

TEST_F(WorkerTest, PostGoesOutEvenWhenTheWindowIsGone) {
    DestroyWindow(window);
    window = nullptr;
    Run();
    EXPECT_EQ(1, CountEvents("PostMessageW"));
    EXPECT_EQ(1, job.success);
}

// ---- the apartment the worker finds ----

struct ApartmentRun {
    RecordingJob* job;
    DWORD apartment;
    HRESULT joinedAfter; // the thread's own CoInitializeEx after the worker returned
};

static DWORD WINAPI WorkerInApartment(LPVOID parameter) {
    ApartmentRun* run = static_cast<ApartmentRun*>(parameter);
    HRESULT own = CoInitializeEx(nullptr, run->apartment);
    RecordingWorker(run->job);
    run->joinedAfter = CoInitializeEx(nullptr, run->apartment);
    CoUninitialize();
    if (SUCCEEDED(own))
        CoUninitialize();
    return 0;
}

class WorkerApartmentTest : public WorkerTest {
  protected:
    void RunIn(DWORD apartment) {
        ApartmentRun run = {&job, apartment, E_FAIL};
        HANDLE thread = CreateThread(nullptr, 0, WorkerInApartment, &run, 0, nullptr);
        ASSERT_NE(nullptr, thread);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
        CloseHandle(thread);
        joinedAfter = run.joinedAfter;
        CollectPosts();
    }
    HRESULT joinedAfter = E_FAIL;
};

TEST_F(WorkerApartmentTest, SingleThreadedApartmentFailsWithoutUninitializing) {
    RunIn(COINIT_APARTMENTTHREADED);
    ExpectOnePost(0);
    EXPECT_STREQ(L"CoInitializeEx failed", job.errorText);
    EXPECT_EQ(0, CountEvents("CoUninitialize"));
    EXPECT_EQ(0, CountEvents("MFShutdown"));
    EXPECT_EQ(S_FALSE, joinedAfter) << "the thread's own apartment must survive the worker";
}

TEST_F(WorkerApartmentTest, MultithreadedApartmentIsJoinedAndLeftBalanced) {
    RunIn(COINIT_MULTITHREADED);
    ExpectOnePost(1);
    EXPECT_EQ(1, CountEvents("CoUninitialize"));
    EXPECT_EQ(S_FALSE, joinedAfter);
}

// ---- set-up failures, each injected at its own step ----

static HRESULT WINAPI FailCoInitializeEx(LPVOID, DWORD) {
    return RPC_E_CHANGED_MODE;
}
// A Windows without Media Foundation: the system folder has neither DLL.
static HMODULE WINAPI RefuseMediaFoundation(LPCWSTR, HANDLE, DWORD) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}
static HRESULT WINAPI FailMFStartup(ULONG, DWORD) {
    return MF_E_BAD_STARTUP_VERSION;
}
static LPVOID WINAPI FailHeapAlloc(HANDLE, DWORD, SIZE_T) {
    return nullptr;
}
static HRESULT FailCreateTexture2D(ID3D11Device*, const D3D11_TEXTURE2D_DESC*,
                                   const D3D11_SUBRESOURCE_DATA*, ID3D11Texture2D** texture) {
    *texture = nullptr;
    return E_OUTOFMEMORY;
}
static HRESULT AnswerAccessDenied(IDXGIOutput1*, IUnknown*, IDXGIOutputDuplication** duplication) {
    *duplication = nullptr;
    return E_ACCESSDENIED;
}
static HRESULT WINAPI FailMFCreateAttributes(IMFAttributes** attributes, UINT32) {
    *attributes = nullptr;
    return E_OUTOFMEMORY;
}
static HRESULT WINAPI FailFirstMediaType(IMFMediaType** type) {
    *type = nullptr;
    return E_OUTOFMEMORY;
}
static HRESULT WINAPI FailSecondMediaType(IMFMediaType** type) {
    if (mediaTypesCreated == 1) {
        *type = nullptr;
        return E_OUTOFMEMORY;
    }
    return TrackMediaType(type);
}

struct SetUpFailure {
    const char* name;
    void (*inject)(RecordingJob* job, StandInSinkWriter* sinkWriter);
    const wchar_t* errorText;
    int comStarted;          // CoUninitialize expected
    int mfStarted;           // MFShutdown expected
    int sinkWriterHandedOut; // times the stand-in writer was reached (the second without hardware)
    const char* lastWriterCall;
};

// The 640 x 360 crop at 30 fps, which the user can make smaller or slower.
static const wchar_t ENCODER_REFUSAL[] =
    L"The H.264 encoder refused a 640 \u00D7 360 picture at 30 fps.";

static const SetUpFailure setUpFailures[] = {
    {"CoInitializeEx",
     [](RecordingJob*, StandInSinkWriter*) { osApi.CoInitializeEx = FailCoInitializeEx; },
     L"CoInitializeEx failed", 0, 0, 0, nullptr},
    {"MediaFoundationMissing",
     [](RecordingJob*, StandInSinkWriter*) { mfApi.LoadLibraryExW = RefuseMediaFoundation; },
     L"Recording needs Media Foundation, which this edition of Windows lacks (install the Media "
     L"Feature Pack).",
     1, 0, 0, nullptr},
    {"MFStartup", [](RecordingJob*, StandInSinkWriter*) { mfApi.MFStartup = FailMFStartup; },
     L"MFStartup failed", 1, 0, 0, nullptr},
    // The secure desktop at REC: the duplication will be back.
    {"DuplicateOutputWhileTheDesktopIsAway",
     [](RecordingJob*, StandInSinkWriter*) { d3dApi.DuplicateOutput = AnswerAccessDenied; },
     L"DuplicateOutput failed (GPU/monitor mismatch?)", 1, 1, 0, nullptr},
    {"OffScreen",
     [](RecordingJob* job, StandInSinkWriter*) {
         job->captureRect = {1919, 100, 1950, 300};
     },
     L"Capture area is off-screen", 1, 1, 0, nullptr},
    // 640 x 360 x 4 bytes.
    {"FramePicture", [](RecordingJob*, StandInSinkWriter*) { osApi.HeapAlloc = FailHeapAlloc; },
     L"HeapAlloc failed (921600 bytes)", 1, 1, 0, nullptr},
    {"StagingTexture",
     [](RecordingJob*, StandInSinkWriter*) { d3dApi.CreateTexture2D = FailCreateTexture2D; },
     L"CreateTexture2D failed (0x8007000E)", 1, 1, 0, nullptr},
    {"MFCreateAttributes",
     [](RecordingJob*, StandInSinkWriter*) { mfApi.MFCreateAttributes = FailMFCreateAttributes; },
     L"MFCreateAttributes failed (0x8007000E)", 1, 1, 0, nullptr},
    // Wine's own sink writer refuses .mp4 paths with E_INVALIDARG.
    {"SinkWriter",
     [](RecordingJob*, StandInSinkWriter*) {
         mfApi.MFCreateSinkWriterFromURL = realMfApi.MFCreateSinkWriterFromURL;
     },
     L"Cannot create output .mp4", 1, 1, 0, nullptr},
    {"OutputMediaType",
     [](RecordingJob*, StandInSinkWriter*) { mfApi.MFCreateMediaType = FailFirstMediaType; },
     L"MFCreateMediaType failed (0x8007000E)", 1, 1, 1, nullptr},
    {"AddStream",
     [](RecordingJob*, StandInSinkWriter* writer) {
         writer->addStreamResult = MF_E_INVALIDMEDIATYPE;
     },
     ENCODER_REFUSAL, 1, 1, 2, "AddStream"},
    {"InputMediaType",
     [](RecordingJob*, StandInSinkWriter*) { mfApi.MFCreateMediaType = FailSecondMediaType; },
     L"MFCreateMediaType failed (0x8007000E)", 1, 1, 1, "AddStream"},
    {"SetInputMediaType",
     [](RecordingJob*, StandInSinkWriter* writer) {
         writer->setInputMediaTypeResult = MF_E_INVALIDMEDIATYPE;
     },
     ENCODER_REFUSAL, 1, 1, 2, "SetInputMediaType"},
    {"BeginWriting",
     [](RecordingJob*, StandInSinkWriter* writer) { writer->beginWritingResult = E_UNEXPECTED; },
     ENCODER_REFUSAL, 1, 1, 2, "BeginWriting"},
};

class WorkerSetUpFailureTest : public WorkerTest,
                               public ::testing::WithParamInterface<SetUpFailure> {};

TEST_P(WorkerSetUpFailureTest, EndsWithItsOwnTextAndReleasesWhatExists) {
    const SetUpFailure& failure = GetParam();
    failure.inject(&job, &sinkWriter);
    Run();
    ExpectOnePost(0);
    EXPECT_STREQ(failure.errorText, job.errorText);
    EXPECT_EQ(failure.comStarted, CountEvents("CoUninitialize"));
    EXPECT_EQ(failure.mfStarted, CountEvents("MFShutdown"));
    EXPECT_EQ(failure.sinkWriterHandedOut, handOutLog.sinkWriterCalls);
    if (failure.lastWriterCall) {
        ASSERT_FALSE(sinkWriter.calls.empty());
        EXPECT_EQ(failure.lastWriterCall, sinkWriter.calls.back());
    } else {
        EXPECT_TRUE(sinkWriter.calls.empty());
    }
    EXPECT_EQ(0, sinkWriter.CountCalls("Finalize")) << "a writer that never began is not finalized";
    EXPECT_EQ(0, duplication.acquireCalls) << "no picture is taken before the set-up is done";
    ExpectEachReleasedOnce();
}

INSTANTIATE_TEST_SUITE_P(EverySetUpStep, WorkerSetUpFailureTest, ::testing::ValuesIn(setUpFailures),
                         [](const ::testing::TestParamInfo<SetUpFailure>& failure) {
                             return std::string(failure.param.name);
                         });

// ---- an encoder that refuses: the software one takes over ----

static StandInSinkWriter* writerToStopAt;
static HANDLE stopAtWrite;

// The real call, then STOP once the given writer has been handed a sample.
static HRESULT WriteThenStop(IMFSinkWriter* writer, DWORD streamIndex, IMFSample* sample) {
    HRESULT hr = realMfApi.WriteSample(writer, streamIndex, sample);
    if (writer == writerToStopAt)
        SetEvent(stopAtWrite);
    return hr;
}

TEST_F(WorkerTest, RefusingHardwareEncoderGivesWayToASecondWriterWithoutItsFile) {
    typedef HRESULT StandInSinkWriter::*Step;
    const Step addStream = &StandInSinkWriter::addStreamResult;
    const Step writeSample = &StandInSinkWriter::writeSampleResult;
    struct Case {
        const char* refusedAt;
        Step refusal;
        Step secondRefusal; // null where the second writer takes everything
        const wchar_t* errorText;
    } cases[] = {
        {"AddStream", addStream, nullptr, L""},
        {"SetInputMediaType", &StandInSinkWriter::setInputMediaTypeResult, nullptr, L""},
        {"BeginWriting", &StandInSinkWriter::beginWritingResult, nullptr, L""},
        {"WriteSample", writeSample, nullptr, L""},
        // As before: the refused sample ends the loop, and the file is finished.
        {"WriteSample", writeSample, writeSample, L""},
        // As before at the set-up: the refusal's text.
        {"WriteSample", writeSample, addStream, ENCODER_REFUSAL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.refusedAt) + (c.secondRefusal ? ", then the second" : ""));
        StandInSinkWriter hardware;
        StandInSinkWriter software;
        hardware.*c.refusal = E_FAIL;
        if (c.secondRefusal)
            software.*c.secondRefusal = E_FAIL;
        UseStandInDuplications({&duplication});
        UseStandInSinkWriter(&hardware, &software);
        d3dApi.DuplicateOutput = TrackDuplication;
        mfApi.MFCreateSinkWriterFromURL = TrackSinkWriter;
        // The file the first writer began, as the real one makes it at once.
        CloseHandle(
            CreateFileW(job.outputPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        writerToStopAt = &software;
        stopAtWrite = job.stopEvent;
        ResetEvent(job.stopEvent);
        mfApi.WriteSample = WriteThenStop;
        posts.clear();
        events.clear();
        Run();
        bool recorded = c.errorText[0] == L'\0';
        ExpectOnePost(recorded ? 1 : 0);
        EXPECT_STREQ(c.errorText, job.errorText);
        EXPECT_EQ(2, handOutLog.sinkWriterCalls);
        EXPECT_EQ(1u, hardware.hardwareTransforms);
        EXPECT_EQ(0u, software.hardwareTransforms);
        EXPECT_FALSE(software.fileWasThere) << "the first file goes before the second is made";
        ASSERT_FALSE(hardware.calls.empty());
        EXPECT_EQ(c.refusedAt, hardware.calls.back()) << "the first writer ends at its refusal";
        EXPECT_EQ(0, hardware.CountCalls("Finalize"));
        EXPECT_EQ(recorded ? 1 : 0, software.CountCalls("Finalize"));
        EXPECT_EQ(0, hardware.references);
        EXPECT_EQ(0, software.references);
        if (!recorded)
            continue;
        ASSERT_FALSE(software.samples.empty());
        EXPECT_EQ(0, software.samples[0].time) << "the first sample goes to the second writer";
        if (c.secondRefusal) {
            EXPECT_EQ(1u, software.samples.size()) << "nothing after its refusal";
        }
    }
    DeleteFileW(job.outputPath);
}
