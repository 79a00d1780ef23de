#include "standins.h"
#include <algorithm>
#include <gtest/gtest.h>
#include <codecapi.h>
#include <mferror.h>
#include <stdio.h>
#include <string.h>

HandOutLog handOutLog;

static std::vector<StandInDuplication*> duplicationsToHandOut;
static std::vector<StandInDuplication*> duplicationsKnown; // handed out or already live
static std::vector<StandInOutput*> outputsToEnumerate;
// The graphics adapter first asked about, also when a new factory hands it
// out again as another object.
static LUID adapterWithOutputs;
static bool adapterSeen;
static StandInFactory* factoryToHandOut;
// The stand-in adapter each device stands for one made on; a device not here
// is on the real adapter, whose outputs are those of UseStandInOutputs.
static std::vector<std::pair<ID3D11Device*, StandInAdapter*>> deviceAdapters;
static std::vector<StandInAdapter*> liveAdapters;
static StandInSinkWriter* sinkWriterToHandOut;
static StandInSinkWriter* laterSinkWriter;

SeamGuard::~SeamGuard() {
    deviceAdapters.clear();
    d3dApi = realD3dApi;
    gdiApi = realGdiApi;
    mfApi = realMfApi;
    osApi = realOsApi;
}

void MediaFoundationGuard::Start() {
    HMODULE platform = LoadLibraryExW(L"mfplat.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!platform)
        GTEST_SKIP() << "this Windows has no Media Foundation (an N edition without the Media "
                        "Feature Pack, or a server without its Media Foundation feature)";
    FreeLibrary(platform);
    ASSERT_TRUE(LoadMfApi()) << "mfplat.dll is in the system folder, yet LoadMfApi failed";
    HRESULT hr = realMfApi.MFStartup(MF_VERSION, MFSTARTUP_LITE);
    if (FAILED(hr)) {
        char hex[16];
        snprintf(hex, sizeof(hex), "0x%08lX", static_cast<unsigned long>(hr));
        GTEST_SKIP() << "Media Foundation is installed but does not start (MFStartup: " << hex
                     << "; a server's feature may await a restart)";
    }
    started = true;
}

MediaFoundationGuard::~MediaFoundationGuard() {
    if (started)
        realMfApi.MFShutdown();
}

std::wstring ExeFolder() {
    wchar_t path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

ULONG CountReferences(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

DesktopFrame MakeDesktopFrame(int width, int height, UINT32 (*colourAt)(int x, int y)) {
    DesktopFrame frame = {};
    frame.result = S_OK;
    frame.width = width;
    frame.height = height;
    frame.pixels.resize(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++)
            frame.pixels[static_cast<size_t>(y) * width + x] = colourAt(x, y);
    }
    frame.frameInfo.AccumulatedFrames = 1;
    return frame;
}

DesktopFrame MakeFailedFrame(HRESULT result) {
    DesktopFrame frame = {};
    frame.result = result;
    return frame;
}

static HRESULT NotImplemented() {
    return E_NOTIMPL;
}

// ---- StandInDuplication ----

StandInDuplication::~StandInDuplication() {
    if (heldTexture)
        heldTexture->Release();
    if (device)
        device->Release();
}

HRESULT StandInDuplication::QueryInterface(REFIID riid, void** object) {
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IDXGIObject) ||
        riid == __uuidof(IDXGIOutputDuplication)) {
        *object = static_cast<IDXGIOutputDuplication*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

void StandInDuplication::GetDesc(DXGI_OUTDUPL_DESC* desc) {
    memset(desc, 0, sizeof *desc);
    desc->ModeDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc->Rotation = rotation;
}

HRESULT StandInDuplication::AcquireNextFrame(UINT timeoutMs, DXGI_OUTDUPL_FRAME_INFO* frameInfo,
                                             IDXGIResource** resource) {
    acquireCalls++;
    acquireTimeouts.push_back(timeoutMs);
    memset(frameInfo, 0, sizeof *frameInfo);
    *resource = nullptr;
    if (frameHeld) {
        acquireWhileHeld++;
        return DXGI_ERROR_INVALID_CALL;
    }
    // A lost duplication must be let go and made anew.
    if (accessLost) {
        acquireAfterLoss++;
        return DXGI_ERROR_ACCESS_LOST;
    }
    HRESULT answer = nextFrame < script.size() ? script[nextFrame].result : afterScript;
    accessLost = answer == DXGI_ERROR_ACCESS_LOST;
    if (nextFrame >= script.size())
        return afterScript;
    const DesktopFrame* frame = &script[nextFrame++];
    if (frame->result != S_OK)
        return frame->result;
    if (!device)
        return DXGI_ERROR_INVALID_CALL;

    D3D11_TEXTURE2D_DESC desc = {};
    desc.Width = static_cast<UINT>(frame->width);
    desc.Height = static_cast<UINT>(frame->height);
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    D3D11_SUBRESOURCE_DATA initial = {};
    initial.pSysMem = frame->pixels.data();
    initial.SysMemPitch = static_cast<UINT>(frame->width) * 4;
    ID3D11Texture2D* texture = nullptr;
    HRESULT hr = device->CreateTexture2D(&desc, &initial, &texture);
    if (FAILED(hr))
        return hr;
    hr = texture->QueryInterface(__uuidof(IDXGIResource), reinterpret_cast<void**>(resource));
    if (FAILED(hr)) {
        texture->Release();
        return hr;
    }
    heldTexture = texture;
    heldFrame = frame;
    frameHeld = true;
    framesHandedOut++;
    *frameInfo = frame->frameInfo;
    return S_OK;
}

HRESULT StandInDuplication::GetFrameDirtyRects(UINT, RECT*, UINT*) {
    return NotImplemented();
}

HRESULT StandInDuplication::GetFrameMoveRects(UINT, DXGI_OUTDUPL_MOVE_RECT*, UINT*) {
    return NotImplemented();
}

HRESULT StandInDuplication::GetFramePointerShape(UINT bufferSize, void* buffer, UINT* requiredSize,
                                                 DXGI_OUTDUPL_POINTER_SHAPE_INFO* info) {
    shapeCalls++;
    shapeBufferSizes.push_back(bufferSize);
    if (!heldFrame)
        return DXGI_ERROR_INVALID_CALL;
    UINT shapeBytes = static_cast<UINT>(heldFrame->shape.size());
    *requiredSize = shapeBytes;
    if (bufferSize < shapeBytes)
        return DXGI_ERROR_MORE_DATA;
    if (shapeBytes)
        memcpy(buffer, heldFrame->shape.data(), shapeBytes);
    *info = heldFrame->shapeInfo;
    return S_OK;
}

HRESULT StandInDuplication::MapDesktopSurface(DXGI_MAPPED_RECT*) {
    return DXGI_ERROR_UNSUPPORTED;
}

HRESULT StandInDuplication::UnMapDesktopSurface() {
    return DXGI_ERROR_INVALID_CALL;
}

HRESULT StandInDuplication::ReleaseFrame() {
    releaseFrameCalls++;
    if (!frameHeld) {
        releaseFrameWithoutFrame++;
        return DXGI_ERROR_INVALID_CALL;
    }
    // Only our own reference may be left on the desktop picture by now.
    if (CountReferences(heldTexture) > 1)
        resourceHeldAtReleaseFrame++;
    heldTexture->Release();
    heldTexture = nullptr;
    heldFrame = nullptr;
    frameHeld = false;
    return S_OK;
}

// ---- StandInOutput ----

StandInOutput::StandInOutput(RECT desktopCoordinates, const wchar_t* deviceName) {
    static int outputsMade;
    if (deviceName)
        lstrcpynW(desc.DeviceName, deviceName, 32);
    else
        wsprintfW(desc.DeviceName, L"\\\\.\\DISPLAY%d", ++outputsMade);
    desc.DesktopCoordinates = desktopCoordinates;
    desc.AttachedToDesktop = TRUE;
    desc.Rotation = DXGI_MODE_ROTATION_IDENTITY;
}

HRESULT StandInOutput::QueryInterface(REFIID riid, void** object) {
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IDXGIObject) ||
        riid == __uuidof(IDXGIOutput) || riid == __uuidof(IDXGIOutput1)) {
        *object = static_cast<IDXGIOutput1*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT StandInOutput::GetDesc(DXGI_OUTPUT_DESC* outputDesc) {
    getDescCalls++;
    *outputDesc = desc;
    return S_OK;
}

HRESULT StandInOutput::GetDisplayModeList(DXGI_FORMAT, UINT, UINT*, DXGI_MODE_DESC*) {
    return NotImplemented();
}

HRESULT StandInOutput::FindClosestMatchingMode(const DXGI_MODE_DESC*, DXGI_MODE_DESC*, IUnknown*) {
    return NotImplemented();
}

HRESULT StandInOutput::WaitForVBlank() {
    return NotImplemented();
}

HRESULT StandInOutput::TakeOwnership(IUnknown*, BOOL) {
    return NotImplemented();
}

void StandInOutput::ReleaseOwnership() {}

HRESULT StandInOutput::GetGammaControlCapabilities(DXGI_GAMMA_CONTROL_CAPABILITIES*) {
    return NotImplemented();
}

HRESULT StandInOutput::SetGammaControl(const DXGI_GAMMA_CONTROL*) {
    return NotImplemented();
}

HRESULT StandInOutput::GetGammaControl(DXGI_GAMMA_CONTROL*) {
    return NotImplemented();
}

HRESULT StandInOutput::SetDisplaySurface(IDXGISurface*) {
    return NotImplemented();
}

HRESULT StandInOutput::GetDisplaySurfaceData(IDXGISurface*) {
    return NotImplemented();
}

HRESULT StandInOutput::GetFrameStatistics(DXGI_FRAME_STATISTICS*) {
    return NotImplemented();
}

HRESULT StandInOutput::GetDisplayModeList1(DXGI_FORMAT, UINT, UINT*, DXGI_MODE_DESC1*) {
    return NotImplemented();
}

HRESULT StandInOutput::FindClosestMatchingMode1(const DXGI_MODE_DESC1*, DXGI_MODE_DESC1*,
                                                IUnknown*) {
    return NotImplemented();
}

HRESULT StandInOutput::GetDisplaySurfaceData1(IDXGIResource*) {
    return NotImplemented();
}

HRESULT StandInOutput::DuplicateOutput(IUnknown*, IDXGIOutputDuplication** duplication) {
    *duplication = nullptr;
    return E_NOTIMPL;
}

// ---- StandInAdapter ----

StandInAdapter::StandInAdapter(std::vector<StandInOutput*> adapterOutputs)
    : outputs(adapterOutputs) {
    liveAdapters.push_back(this);
}

StandInAdapter::~StandInAdapter() {
    liveAdapters.erase(std::find(liveAdapters.begin(), liveAdapters.end(), this));
}

HRESULT StandInAdapter::QueryInterface(REFIID riid, void** object) {
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IDXGIObject) ||
        riid == __uuidof(IDXGIAdapter) || riid == __uuidof(IDXGIAdapter1)) {
        *object = static_cast<IDXGIAdapter1*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT StandInAdapter::EnumOutputs(UINT index, IDXGIOutput** output) {
    handOutLog.enumOutputIndices.push_back(index);
    *output = nullptr;
    if (index >= outputs.size())
        return DXGI_ERROR_NOT_FOUND;
    outputs[index]->AddRef();
    *output = outputs[index];
    return S_OK;
}

HRESULT StandInAdapter::GetDesc(DXGI_ADAPTER_DESC* desc) {
    memset(desc, 0, sizeof *desc);
    return S_OK;
}

HRESULT StandInAdapter::CheckInterfaceSupport(REFGUID, LARGE_INTEGER*) {
    return DXGI_ERROR_UNSUPPORTED;
}

HRESULT StandInAdapter::GetDesc1(DXGI_ADAPTER_DESC1* desc) {
    memset(desc, 0, sizeof *desc);
    return S_OK;
}

// ---- StandInFactory ----

StandInFactory::StandInFactory(std::vector<StandInAdapter*> factoryAdapters)
    : adapters(factoryAdapters) {}

HRESULT StandInFactory::QueryInterface(REFIID riid, void** object) {
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IDXGIObject) ||
        riid == __uuidof(IDXGIFactory) || riid == __uuidof(IDXGIFactory1)) {
        *object = static_cast<IDXGIFactory1*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT StandInFactory::EnumAdapters(UINT index, IDXGIAdapter** adapter) {
    IDXGIAdapter1* adapter1 = nullptr;
    HRESULT hr = EnumAdapters1(index, &adapter1);
    *adapter = adapter1;
    return hr;
}

HRESULT StandInFactory::MakeWindowAssociation(HWND, UINT) {
    return NotImplemented();
}

HRESULT StandInFactory::GetWindowAssociation(HWND*) {
    return NotImplemented();
}

HRESULT StandInFactory::CreateSwapChain(IUnknown*, DXGI_SWAP_CHAIN_DESC*, IDXGISwapChain**) {
    return NotImplemented();
}

HRESULT StandInFactory::CreateSoftwareAdapter(HMODULE, IDXGIAdapter**) {
    return NotImplemented();
}

HRESULT StandInFactory::EnumAdapters1(UINT index, IDXGIAdapter1** adapter) {
    *adapter = nullptr;
    if (index >= adapters.size())
        return DXGI_ERROR_NOT_FOUND;
    adapters[index]->AddRef();
    *adapter = adapters[index];
    return S_OK;
}

BOOL StandInFactory::IsCurrent() {
    return current;
}

// ---- StandInSinkWriter ----

StandInSinkWriter::StandInSinkWriter() {
    InitializeCriticalSection(&leavingLock);
    letGoWork = CreateThreadpoolWork(LetGoCallback, this, nullptr);
}

StandInSinkWriter::~StandInSinkWriter() {
    LetGoOfAllSamples();
    CloseThreadpoolWork(letGoWork);
    DeleteCriticalSection(&leavingLock);
    if (outputType)
        outputType->Release();
    if (inputType)
        inputType->Release();
}

int StandInSinkWriter::CountCalls(const char* name) const {
    int count = 0;
    for (const std::string& call : calls) {
        if (call == name)
            count++;
    }
    return count;
}

HRESULT StandInSinkWriter::QueryInterface(REFIID riid, void** object) {
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IMFSinkWriter)) {
        *object = static_cast<IMFSinkWriter*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG StandInSinkWriter::AddRef() {
    return static_cast<ULONG>(++references);
}

ULONG StandInSinkWriter::Release() {
    return static_cast<ULONG>(--references);
}

static IMFMediaType* CopyMediaType(IMFMediaType* type) {
    IMFMediaType* copy = nullptr;
    if (!type || FAILED(MFCreateMediaType(&copy)))
        return nullptr;
    type->CopyAllItems(copy);
    return copy;
}

HRESULT StandInSinkWriter::AddStream(IMFMediaType* type, DWORD* index) {
    calls.push_back("AddStream");
    if (outputType)
        outputType->Release();
    outputType = CopyMediaType(type);
    if (FAILED(addStreamResult))
        return addStreamResult;
    *index = streamIndexToGive;
    return S_OK;
}

HRESULT StandInSinkWriter::SetInputMediaType(DWORD index, IMFMediaType* type,
                                             IMFAttributes* parameters) {
    calls.push_back("SetInputMediaType");
    inputStreamIndex = index;
    encodingParametersGiven = parameters != nullptr;
    if (parameters)
        parameters->GetUINT32(CODECAPI_AVEncMPVGOPSize, &keyFrameInterval);
    if (inputType)
        inputType->Release();
    inputType = CopyMediaType(type);
    return setInputMediaTypeResult;
}

HRESULT StandInSinkWriter::BeginWriting() {
    calls.push_back("BeginWriting");
    return beginWritingResult;
}

void StandInSinkWriter::LetGoOldest() {
    EnterCriticalSection(&leavingLock);
    leaving.push_back(held.front());
    LeaveCriticalSection(&leavingLock);
    held.pop_front();
    SubmitThreadpoolWork(letGoWork);
}

void CALLBACK StandInSinkWriter::LetGoCallback(PTP_CALLBACK_INSTANCE, void* context, PTP_WORK) {
    StandInSinkWriter* writer = static_cast<StandInSinkWriter*>(context);
    EnterCriticalSection(&writer->leavingLock);
    HeldSample leaving = writer->leaving.front();
    writer->leaving.pop_front();
    LeaveCriticalSection(&writer->leavingLock);

    std::vector<BYTE> now;
    IMFMediaBuffer* buffer = nullptr;
    if (SUCCEEDED(leaving.sample->ConvertToContiguousBuffer(&buffer))) {
        BYTE* data = nullptr;
        DWORD length = 0;
        if (SUCCEEDED(buffer->Lock(&data, nullptr, &length))) {
            now.assign(data, data + length);
            buffer->Unlock();
        }
        buffer->Release();
    }
    if (now != leaving.bytes)
        InterlockedIncrement(&writer->samplesChangedWhileHeld);
    if (leaving.sample->Release() != 0)
        InterlockedIncrement(&writer->samplesStillReferenced);
    InterlockedIncrement(&writer->samplesLetGo);
}

void StandInSinkWriter::LetGoOfAllSamples() {
    while (!held.empty())
        LetGoOldest();
    WaitForThreadpoolWorkCallbacks(letGoWork, FALSE);
}

HRESULT StandInSinkWriter::WriteSample(DWORD index, IMFSample* sample) {
    calls.push_back("WriteSample");
    WrittenSample written = {};
    written.streamIndex = index;
    sample->GetSampleTime(&written.time);
    sample->GetSampleDuration(&written.duration);
    IMFMediaBuffer* buffer = nullptr;
    if (SUCCEEDED(sample->ConvertToContiguousBuffer(&buffer))) {
        BYTE* data = nullptr;
        DWORD length = 0;
        if (SUCCEEDED(buffer->Lock(&data, nullptr, &length))) {
            written.bytes.assign(data, data + length);
            buffer->Unlock();
        }
        buffer->Release();
    }
    if (SUCCEEDED(writeSampleResult)) {
        sample->AddRef();
        held.push_back({sample, written.bytes});
        while (held.size() > samplesKept)
            LetGoOldest();
    }
    samples.push_back(written);
    return writeSampleResult;
}

HRESULT StandInSinkWriter::SendStreamTick(DWORD, LONGLONG) {
    calls.push_back("SendStreamTick");
    return NotImplemented();
}

HRESULT StandInSinkWriter::PlaceMarker(DWORD, void*) {
    calls.push_back("PlaceMarker");
    return NotImplemented();
}

HRESULT StandInSinkWriter::NotifyEndOfSegment(DWORD) {
    calls.push_back("NotifyEndOfSegment");
    return NotImplemented();
}

HRESULT StandInSinkWriter::Flush(DWORD) {
    calls.push_back("Flush");
    return NotImplemented();
}

HRESULT StandInSinkWriter::Finalize() {
    calls.push_back("Finalize");
    LetGoOfAllSamples();
    return finalizeResult;
}

HRESULT StandInSinkWriter::GetServiceForStream(DWORD, REFGUID, REFIID, void** object) {
    *object = nullptr;
    return NotImplemented();
}

HRESULT StandInSinkWriter::GetStatistics(DWORD, MF_SINK_WRITER_STATISTICS*) {
    return NotImplemented();
}

// ---- seam entries ----

static bool SameLuid(const LUID& a, const LUID& b) {
    return a.LowPart == b.LowPart && a.HighPart == b.HighPart;
}

// Whether the device was made on the adapter the output (known by its device
// name) is connected to. A real device's adapter has the outputs of
// UseStandInOutputs, or real ones.
static bool OnTheOutputsAdapter(ID3D11Device* device, IDXGIOutput1* output1,
                                const DXGI_OUTPUT_DESC& outputDesc) {
    const std::vector<StandInOutput*>* outputs = &outputsToEnumerate;
    for (const auto& made : deviceAdapters) {
        if (made.first == device)
            outputs = &made.second->outputs;
    }
    for (StandInOutput* output : *outputs) {
        if (lstrcmpW(output->desc.DeviceName, outputDesc.DeviceName) == 0)
            return true;
    }
    if (outputs != &outputsToEnumerate)
        return false;
    bool same = false;
    IDXGIAdapter* outputAdapter = nullptr;
    IDXGIDevice* dxgiDevice = nullptr;
    IDXGIAdapter* deviceAdapter = nullptr;
    if (SUCCEEDED(
            output1->GetParent(__uuidof(IDXGIAdapter), reinterpret_cast<void**>(&outputAdapter))) &&
        SUCCEEDED(
            device->QueryInterface(__uuidof(IDXGIDevice), reinterpret_cast<void**>(&dxgiDevice))) &&
        SUCCEEDED(dxgiDevice->GetAdapter(&deviceAdapter))) {
        DXGI_ADAPTER_DESC ofOutput = {}, ofDevice = {};
        outputAdapter->GetDesc(&ofOutput);
        deviceAdapter->GetDesc(&ofDevice);
        same = SameLuid(ofOutput.AdapterLuid, ofDevice.AdapterLuid);
    }
    if (deviceAdapter)
        deviceAdapter->Release();
    if (dxgiDevice)
        dxgiDevice->Release();
    if (outputAdapter)
        outputAdapter->Release();
    return same;
}

static HRESULT HandOutDuplication(IDXGIOutput1* output1, IUnknown* device,
                                  IDXGIOutputDuplication** duplication) {
    *duplication = nullptr;
    size_t call = static_cast<size_t>(handOutLog.duplicateOutputCalls++);
    handOutLog.duplicatedOutputs.push_back(output1);
    DXGI_OUTPUT_DESC outputDesc = {};
    output1->GetDesc(&outputDesc);
    if (!outputDesc.AttachedToDesktop)
        return DXGI_ERROR_UNSUPPORTED;
    ID3D11Device* d3dDevice = nullptr;
    device->QueryInterface(__uuidof(ID3D11Device), reinterpret_cast<void**>(&d3dDevice));
    if (d3dDevice)
        d3dDevice->Release(); // only compared; the caller keeps the device alive
    if (!d3dDevice || !OnTheOutputsAdapter(d3dDevice, output1, outputDesc))
        return E_INVALIDARG;
    for (StandInDuplication* live : duplicationsKnown) {
        if (live->references > 0 && live->duplicatedOutput == output1 && live->device == d3dDevice)
            return E_INVALIDARG; // this process already duplicates the output
    }
    if (call >= duplicationsToHandOut.size() || !duplicationsToHandOut[call])
        return DXGI_ERROR_UNSUPPORTED;
    StandInDuplication* standIn = duplicationsToHandOut[call];
    if (!standIn->device)
        device->QueryInterface(__uuidof(ID3D11Device), reinterpret_cast<void**>(&standIn->device));
    standIn->duplicatedOutput = output1;
    duplicationsKnown.push_back(standIn);
    standIn->AddRef();
    *duplication = standIn;
    return S_OK;
}

static HRESULT EnumStandInOutputs(IDXGIAdapter* adapter, UINT index, IDXGIOutput** output) {
    handOutLog.enumOutputIndices.push_back(index);
    *output = nullptr;
    DXGI_ADAPTER_DESC desc = {};
    adapter->GetDesc(&desc);
    if (!adapterSeen)
        adapterWithOutputs = desc.AdapterLuid;
    adapterSeen = true;
    if (!SameLuid(desc.AdapterLuid, adapterWithOutputs) || index >= outputsToEnumerate.size())
        return DXGI_ERROR_NOT_FOUND;
    outputsToEnumerate[index]->AddRef();
    *output = outputsToEnumerate[index];
    return S_OK;
}

static HRESULT HandOutSinkWriter(LPCWSTR url, IMFByteStream* byteStream, IMFAttributes* attributes,
                                 IMFSinkWriter** writer) {
    *writer = nullptr;
    GUID container = GUID_NULL;
    if (attributes)
        attributes->GetGUID(MF_TRANSCODE_CONTAINERTYPE, &container);
    // A Windows without the fragmented MP4 sink (a server edition).
    if (sinkWriterToHandOut->refusesFragments && container == MFTranscodeContainerType_FMPEG4)
        return MF_E_UNSUPPORTED_BYTESTREAM_TYPE;
    StandInSinkWriter* standIn =
        handOutLog.sinkWriterCalls++ > 0 && laterSinkWriter ? laterSinkWriter : sinkWriterToHandOut;
    standIn->containerType = container;
    standIn->url = url ? url : L"";
    standIn->fileWasThere = url && GetFileAttributesW(url) != INVALID_FILE_ATTRIBUTES;
    standIn->byteStreamGiven = byteStream != nullptr;
    standIn->attributesGiven = attributes != nullptr;
    if (attributes)
        attributes->GetUINT32(MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS,
                              &standIn->hardwareTransforms);
    standIn->AddRef();
    *writer = standIn;
    return S_OK;
}

void UseStandInDuplications(std::vector<StandInDuplication*> duplications,
                            std::vector<StandInDuplication*> alreadyLive) {
    duplicationsToHandOut = duplications;
    duplicationsKnown = alreadyLive;
    handOutLog.duplicateOutputCalls = 0;
    handOutLog.duplicatedOutputs.clear();
    d3dApi.DuplicateOutput = HandOutDuplication;
}

void UseStandInOutputs(std::vector<StandInOutput*> outputs) {
    outputsToEnumerate = outputs;
    adapterSeen = false;
    handOutLog.enumOutputIndices.clear();
    d3dApi.EnumOutputs = EnumStandInOutputs;
}

void UseStandInSinkWriter(StandInSinkWriter* writer, StandInSinkWriter* laterWriter) {
    sinkWriterToHandOut = writer;
    laterSinkWriter = laterWriter;
    handOutLog.sinkWriterCalls = 0;
    mfApi.MFCreateSinkWriterFromURL = HandOutSinkWriter;
}

static HRESULT WINAPI HandOutFactory(REFIID riid, void** factory) {
    return factoryToHandOut->QueryInterface(riid, factory);
}

static HRESULT WINAPI CreateDeviceForStandIn(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType,
                                             HMODULE software, UINT flags,
                                             const D3D_FEATURE_LEVEL* featureLevels,
                                             UINT levelCount, UINT sdkVersion,
                                             ID3D11Device** device, D3D_FEATURE_LEVEL* achieved,
                                             ID3D11DeviceContext** context) {
    handOutLog.deviceAdapters.push_back(adapter);
    handOutLog.deviceDriverTypes.push_back(driverType);
    if ((adapter != nullptr) != (driverType == D3D_DRIVER_TYPE_UNKNOWN))
        return E_INVALIDARG;
    HRESULT hr = realD3dApi.D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, software, flags,
                                              featureLevels, levelCount, sdkVersion, device,
                                              achieved, context);
    if (SUCCEEDED(hr) && device && *device) {
        for (StandInAdapter* standIn : liveAdapters) {
            if (static_cast<IDXGIAdapter*>(standIn) == adapter)
                DeviceMadeOn(*device, standIn);
        }
    }
    return hr;
}

void DeviceMadeOn(ID3D11Device* device, StandInAdapter* adapter) {
    for (auto& made : deviceAdapters) {
        if (made.first == device) {
            made.second = adapter; // a new device where a freed one was
            return;
        }
    }
    deviceAdapters.push_back({device, adapter});
}

void UseStandInAdapters(StandInFactory* factory) {
    factoryToHandOut = factory;
    handOutLog.enumOutputIndices.clear();
    handOutLog.deviceAdapters.clear();
    handOutLog.deviceDriverTypes.clear();
    d3dApi.CreateDXGIFactory1 = HandOutFactory;
    d3dApi.D3D11CreateDevice = CreateDeviceForStandIn;
}
