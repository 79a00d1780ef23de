#pragma once
// Stand-ins for the platform objects Wine does not provide: the output
// duplication (DuplicateOutput is E_NOTIMPL), extra monitor outputs, and the
// MP4 sink writer (MFCreateSinkWriterFromURL refuses .mp4). They implement the
// real COM interfaces, record what they are given and answer from a script.
// Each is owned by the test (usually on its stack); COM references are only
// counted in `references`, so a test can check that the engine let go of
// exactly what it was handed. The Use* procedures swap the matching seam entry;
// a SeamGuard puts every seam back.
#include <deque>
#include <string>
#include <vector>
#include "engine/engine.h"
#include "engine/d3d_api.h"
#include "engine/gdi_api.h"
#include "engine/mf_api.h"
#include "engine/os_api.h"

// Restores d3dApi, gdiApi, mfApi and osApi to the real calls when it goes out of scope.
struct SeamGuard {
    SeamGuard() = default;
    SeamGuard(const SeamGuard&) = delete;
    SeamGuard& operator=(const SeamGuard&) = delete;
    ~SeamGuard();
};

// Media Foundation for one test, looked up as a recording looks it up and
// started; shut down again when this goes. Start skips the test only where the
// platform lacks it: no mfplat.dll in the system folder, or an MFStartup that
// fails (a server whose Media Foundation feature awaits a restart). Where
// mfplat.dll is there, a failing LoadMfApi fails the test. In a SetUp, gtest
// then leaves the test's body out; elsewhere the caller returns on IsSkipped().
struct MediaFoundationGuard {
    bool started = false;

    MediaFoundationGuard() = default;
    MediaFoundationGuard(const MediaFoundationGuard&) = delete;
    MediaFoundationGuard& operator=(const MediaFoundationGuard&) = delete;
    ~MediaFoundationGuard();
    void Start();
};

// One scripted answer of AcquireNextFrame.
struct DesktopFrame {
    HRESULT result; // S_OK hands out the picture below
    int width;      // size of the desktop picture
    int height;
    std::vector<UINT32> pixels; // B, G, R, A little-endian, rows top-down
    DXGI_OUTDUPL_FRAME_INFO frameInfo;
    std::vector<BYTE> shape; // served by GetFramePointerShape while held
    DXGI_OUTDUPL_POINTER_SHAPE_INFO shapeInfo;
};

// A desktop picture of width x height where pixel (x, y) is colourAt(x, y).
DesktopFrame MakeDesktopFrame(int width, int height, UINT32 (*colourAt)(int x, int y));
// A scripted non-S_OK answer (time-out, lost access, other errors).
DesktopFrame MakeFailedFrame(HRESULT result);

// What every stand-in DXGI object does alike: references are only counted,
// and neither private data nor a parent is kept.
template <typename Interface> class StandInDxgiObject : public Interface {
  public:
    LONG references = 0;

    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--references); }
    HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT*, void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetParent(REFIID, void** parent) override {
        *parent = nullptr;
        return E_NOINTERFACE;
    }
};

// Answers AcquireNextFrame from `script` in order, then `afterScript` for
// ever. An S_OK frame becomes a real ID3D11Texture2D created, at acquire time,
// on the device the duplication was handed out for. As on Windows, a
// duplication that answered DXGI_ERROR_ACCESS_LOST answers it from then on,
// and an AcquireNextFrame while a frame is held is DXGI_ERROR_INVALID_CALL.
class StandInDuplication : public StandInDxgiObject<IDXGIOutputDuplication> {
  public:
    std::vector<DesktopFrame> script;
    HRESULT afterScript = DXGI_ERROR_WAIT_TIMEOUT;
    // How the duplicated monitor is turned; the desktop pictures come unturned.
    DXGI_MODE_ROTATION rotation = DXGI_MODE_ROTATION_IDENTITY;

    ID3D11Device* device = nullptr;           // the device passed to DuplicateOutput
    IDXGIOutput1* duplicatedOutput = nullptr; // the output it duplicates
    int acquireCalls = 0;
    std::vector<UINT> acquireTimeouts;
    int framesHandedOut = 0;
    int releaseFrameCalls = 0;
    int releaseFrameWithoutFrame = 0;   // ReleaseFrame with no frame held
    int resourceHeldAtReleaseFrame = 0; // desktop resource not yet released by then
    int acquireWhileHeld = 0;           // AcquireNextFrame with a frame still held
    int acquireAfterLoss = 0;           // AcquireNextFrame once access was lost
    int shapeCalls = 0;
    std::vector<UINT> shapeBufferSizes;
    bool frameHeld = false;

    StandInDuplication() = default;
    StandInDuplication(const StandInDuplication&) = delete;
    StandInDuplication& operator=(const StandInDuplication&) = delete;
    virtual ~StandInDuplication();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    void STDMETHODCALLTYPE GetDesc(DXGI_OUTDUPL_DESC* desc) override;
    HRESULT STDMETHODCALLTYPE AcquireNextFrame(UINT timeoutMs, DXGI_OUTDUPL_FRAME_INFO* frameInfo,
                                               IDXGIResource** resource) override;
    HRESULT STDMETHODCALLTYPE GetFrameDirtyRects(UINT, RECT*, UINT*) override;
    HRESULT STDMETHODCALLTYPE GetFrameMoveRects(UINT, DXGI_OUTDUPL_MOVE_RECT*, UINT*) override;
    HRESULT STDMETHODCALLTYPE GetFramePointerShape(UINT bufferSize, void* buffer,
                                                   UINT* requiredSize,
                                                   DXGI_OUTDUPL_POINTER_SHAPE_INFO* info) override;
    HRESULT STDMETHODCALLTYPE MapDesktopSurface(DXGI_MAPPED_RECT*) override;
    HRESULT STDMETHODCALLTYPE UnMapDesktopSurface() override;
    HRESULT STDMETHODCALLTYPE ReleaseFrame() override;

  private:
    size_t nextFrame = 0;
    bool accessLost = false;
    const DesktopFrame* heldFrame = nullptr;
    ID3D11Texture2D* heldTexture = nullptr;
};

// A monitor output with a given desktop rectangle and device name (by
// default one no other stand-in has). Its own DuplicateOutput answers
// E_NOTIMPL, as Wine's does; duplications come from UseStandInDuplications.
class StandInOutput : public StandInDxgiObject<IDXGIOutput1> {
  public:
    DXGI_OUTPUT_DESC desc = {};
    int getDescCalls = 0;

    explicit StandInOutput(RECT desktopCoordinates, const wchar_t* deviceName = nullptr);
    StandInOutput(const StandInOutput&) = delete;
    StandInOutput& operator=(const StandInOutput&) = delete;
    virtual ~StandInOutput() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    HRESULT STDMETHODCALLTYPE GetDesc(DXGI_OUTPUT_DESC* outputDesc) override;
    HRESULT STDMETHODCALLTYPE GetDisplayModeList(DXGI_FORMAT, UINT, UINT*,
                                                 DXGI_MODE_DESC*) override;
    HRESULT STDMETHODCALLTYPE FindClosestMatchingMode(const DXGI_MODE_DESC*, DXGI_MODE_DESC*,
                                                      IUnknown*) override;
    HRESULT STDMETHODCALLTYPE WaitForVBlank() override;
    HRESULT STDMETHODCALLTYPE TakeOwnership(IUnknown*, BOOL) override;
    void STDMETHODCALLTYPE ReleaseOwnership() override;
    HRESULT STDMETHODCALLTYPE
    GetGammaControlCapabilities(DXGI_GAMMA_CONTROL_CAPABILITIES*) override;
    HRESULT STDMETHODCALLTYPE SetGammaControl(const DXGI_GAMMA_CONTROL*) override;
    HRESULT STDMETHODCALLTYPE GetGammaControl(DXGI_GAMMA_CONTROL*) override;
    HRESULT STDMETHODCALLTYPE SetDisplaySurface(IDXGISurface*) override;
    HRESULT STDMETHODCALLTYPE GetDisplaySurfaceData(IDXGISurface*) override;
    HRESULT STDMETHODCALLTYPE GetFrameStatistics(DXGI_FRAME_STATISTICS*) override;
    HRESULT STDMETHODCALLTYPE GetDisplayModeList1(DXGI_FORMAT, UINT, UINT*,
                                                  DXGI_MODE_DESC1*) override;
    HRESULT STDMETHODCALLTYPE FindClosestMatchingMode1(const DXGI_MODE_DESC1*, DXGI_MODE_DESC1*,
                                                       IUnknown*) override;
    HRESULT STDMETHODCALLTYPE GetDisplaySurfaceData1(IDXGIResource*) override;
    HRESULT STDMETHODCALLTYPE DuplicateOutput(IUnknown*, IDXGIOutputDuplication**) override;
};

// A graphics adapter whose outputs are stand-ins. A device cannot be made on
// it for real; UseStandInAdapters makes one on the default adapter instead.
class StandInAdapter : public StandInDxgiObject<IDXGIAdapter1> {
  public:
    std::vector<StandInOutput*> outputs;

    explicit StandInAdapter(std::vector<StandInOutput*> adapterOutputs);
    StandInAdapter(const StandInAdapter&) = delete;
    StandInAdapter& operator=(const StandInAdapter&) = delete;
    virtual ~StandInAdapter();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    HRESULT STDMETHODCALLTYPE EnumOutputs(UINT index, IDXGIOutput** output) override;
    HRESULT STDMETHODCALLTYPE GetDesc(DXGI_ADAPTER_DESC* desc) override;
    HRESULT STDMETHODCALLTYPE CheckInterfaceSupport(REFGUID, LARGE_INTEGER*) override;
    HRESULT STDMETHODCALLTYPE GetDesc1(DXGI_ADAPTER_DESC1* desc) override;
};

// A DXGI factory that enumerates stand-in adapters, in order.
class StandInFactory : public StandInDxgiObject<IDXGIFactory1> {
  public:
    std::vector<StandInAdapter*> adapters;
    BOOL current = TRUE; // FALSE once adapters or outputs came or went

    explicit StandInFactory(std::vector<StandInAdapter*> factoryAdapters);
    StandInFactory(const StandInFactory&) = delete;
    StandInFactory& operator=(const StandInFactory&) = delete;
    virtual ~StandInFactory() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    HRESULT STDMETHODCALLTYPE EnumAdapters(UINT index, IDXGIAdapter** adapter) override;
    HRESULT STDMETHODCALLTYPE MakeWindowAssociation(HWND, UINT) override;
    HRESULT STDMETHODCALLTYPE GetWindowAssociation(HWND*) override;
    HRESULT STDMETHODCALLTYPE CreateSwapChain(IUnknown*, DXGI_SWAP_CHAIN_DESC*,
                                              IDXGISwapChain**) override;
    HRESULT STDMETHODCALLTYPE CreateSoftwareAdapter(HMODULE, IDXGIAdapter**) override;
    HRESULT STDMETHODCALLTYPE EnumAdapters1(UINT index, IDXGIAdapter1** adapter) override;
    BOOL STDMETHODCALLTYPE IsCurrent() override;
};

// One sample as WriteSample received it.
struct WrittenSample {
    DWORD streamIndex;
    LONGLONG time;
    LONGLONG duration;
    std::vector<BYTE> bytes;
};

// Keeps everything it is given. Media types are copied (real MF media types)
// at the moment they arrive. Each *Result is what that call answers.
// Like the real writer it keeps a reference to each sample it is given and
// lets it go later, from another thread (a thread-pool callback): the newest
// `samplesKept` stay held, older ones and, at Finalize, all of them are let go
// there. A sample whose bytes changed while it was held counts in
// `samplesChangedWhileHeld`. A WriteSample that blocks while the encoder is
// behind is played by the loop tests' clock, which moves while it runs.
class StandInSinkWriter : public IMFSinkWriter {
  public:
    size_t samplesKept = 4;
    volatile LONG samplesLetGo = 0;
    volatile LONG samplesChangedWhileHeld = 0;
    volatile LONG samplesStillReferenced = 0; // someone besides the writer held on

    HRESULT addStreamResult = S_OK;
    HRESULT setInputMediaTypeResult = S_OK;
    HRESULT beginWritingResult = S_OK;
    HRESULT writeSampleResult = S_OK;
    HRESULT finalizeResult = S_OK;
    DWORD streamIndexToGive = 0;

    // What MFCreateSinkWriterFromURL was given.
    std::wstring url;
    bool byteStreamGiven = false;
    bool attributesGiven = false;
    UINT32 hardwareTransforms = 0xFFFFFFFF; // unset
    GUID containerType = GUID_NULL;         // unset: the path's ending chooses
    bool refusesFragments = false;          // the fragmented MP4 container is refused
    bool fileWasThere = false;              // a file at url when it was made

    LONG references = 0;
    std::vector<std::string> calls;     // method names in call order
    IMFMediaType* outputType = nullptr; // copy of the AddStream type
    IMFMediaType* inputType = nullptr;  // copy of the SetInputMediaType type
    DWORD inputStreamIndex = 0xFFFFFFFF;
    bool encodingParametersGiven = false;
    UINT32 keyFrameInterval = 0; // the encoding parameters' GOP size, in samples
    std::vector<WrittenSample> samples;

    StandInSinkWriter();
    StandInSinkWriter(const StandInSinkWriter&) = delete;
    StandInSinkWriter& operator=(const StandInSinkWriter&) = delete;
    virtual ~StandInSinkWriter();
    int CountCalls(const char* name) const;
    // Lets every held sample go and waits until that is done.
    void LetGoOfAllSamples();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE AddStream(IMFMediaType* type, DWORD* index) override;
    HRESULT STDMETHODCALLTYPE SetInputMediaType(DWORD index, IMFMediaType* type,
                                                IMFAttributes* parameters) override;
    HRESULT STDMETHODCALLTYPE BeginWriting() override;
    HRESULT STDMETHODCALLTYPE WriteSample(DWORD index, IMFSample* sample) override;
    HRESULT STDMETHODCALLTYPE SendStreamTick(DWORD, LONGLONG) override;
    HRESULT STDMETHODCALLTYPE PlaceMarker(DWORD, void*) override;
    HRESULT STDMETHODCALLTYPE NotifyEndOfSegment(DWORD) override;
    HRESULT STDMETHODCALLTYPE Flush(DWORD) override;
    HRESULT STDMETHODCALLTYPE Finalize() override;
    HRESULT STDMETHODCALLTYPE GetServiceForStream(DWORD, REFGUID, REFIID, void** object) override;
    HRESULT STDMETHODCALLTYPE GetStatistics(DWORD, MF_SINK_WRITER_STATISTICS*) override;

  private:
    struct HeldSample {
        IMFSample* sample;
        std::vector<BYTE> bytes; // as handed over
    };
    std::deque<HeldSample> held;    // writer thread only
    std::deque<HeldSample> leaving; // guarded by leavingLock
    CRITICAL_SECTION leavingLock;
    PTP_WORK letGoWork;
    void LetGoOldest();
    static void CALLBACK LetGoCallback(PTP_CALLBACK_INSTANCE, void* context, PTP_WORK);
};

// What the swapped seams were asked for since the last Use* call.
struct HandOutLog {
    int duplicateOutputCalls;
    std::vector<IDXGIOutput1*> duplicatedOutputs; // output passed to each DuplicateOutput
    std::vector<UINT> enumOutputIndices;
    int sinkWriterCalls;
    std::vector<IDXGIAdapter*> deviceAdapters; // adapter passed to each D3D11CreateDevice
    std::vector<D3D_DRIVER_TYPE> deviceDriverTypes;
};
extern HandOutLog handOutLog;

// d3dApi.DuplicateOutput hands out these in turn; a null entry, or a call past
// the end, fails with DXGI_ERROR_UNSUPPORTED. As the platform does, it refuses
// (E_INVALIDARG) a device not made on the adapter the output is connected to,
// and a second duplication of an output by a device while one of these, or
// one of `alreadyLive` (made by the test itself), is still referenced.
// An output no longer attached to the desktop (its monitor unplugged or moved)
// is stale for good: it is refused as if the desktop were away for a while.
void UseStandInDuplications(std::vector<StandInDuplication*> duplications,
                            std::vector<StandInDuplication*> alreadyLive = {});
// d3dApi.EnumOutputs enumerates these on the first adapter it is asked about;
// past the end, and on any other adapter, DXGI_ERROR_NOT_FOUND.
void UseStandInOutputs(std::vector<StandInOutput*> outputs);
// d3dApi.CreateDXGIFactory1 hands out this factory. d3dApi.D3D11CreateDevice
// refuses, as documented, an adapter without D3D_DRIVER_TYPE_UNKNOWN and
// D3D_DRIVER_TYPE_UNKNOWN without an adapter, and makes a real device on the
// default adapter for a stand-in one, which it remembers as that device's.
void UseStandInAdapters(StandInFactory* factory);
// A real device the test made itself stands for one made on `adapter`.
void DeviceMadeOn(ID3D11Device* device, StandInAdapter* adapter);
// mfApi.MFCreateSinkWriterFromURL hands out this writer; from its second call
// on, `laterWriter` where one is given.
void UseStandInSinkWriter(StandInSinkWriter* writer, StandInSinkWriter* laterWriter = nullptr);

// The folder of the test exe, with its trailing backslash: mp4_check.exe and
// the MP4 fixtures are there too.
std::wstring ExeFolder();

// The reference count of a real object, without changing it.
ULONG CountReferences(IUnknown* object);
