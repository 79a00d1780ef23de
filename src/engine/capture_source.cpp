#include "engine/engine.h"
#include "engine/d3d_api.h"
#include "engine/os_api.h"
#include <emmintrin.h>
#include <string.h>

POINT CaptureCentre(const RECT* captureRect) {
    // Integer division truncates toward zero, also left of or above the primary monitor.
    POINT centre;
    centre.x = (captureRect->left + captureRect->right) / 2;
    centre.y = (captureRect->top + captureRect->bottom) / 2;
    return centre;
}

// One axis of the crop: the part of [offset, offset + size) that lies in [0, outSize).
static void CropAxis(int offset, int size, int outSize, int* cropStart, int* cropSize) {
    int start = offset >= 0 ? offset : 0;
    int visible = offset >= 0 ? size : size + offset;
    *cropStart = start;
    *cropSize = start + visible <= outSize ? visible : outSize - start;
}

bool ComputeCrop(const RECT* captureRect, const RECT* outputRect, Crop* crop) {
    CropAxis(captureRect->left - outputRect->left, captureRect->right - captureRect->left,
             outputRect->right - outputRect->left, &crop->cropX, &crop->cropWidth);
    CropAxis(captureRect->top - outputRect->top, captureRect->bottom - captureRect->top,
             outputRect->bottom - outputRect->top, &crop->cropY, &crop->cropHeight);
    // H.264 with 4:2:0 chroma needs even sides.
    crop->cropWidth &= ~1;
    if (crop->cropWidth < 2)
        return false;
    crop->cropHeight &= ~1;
    return crop->cropHeight >= 2;
}

int ChooseOutput(const RECT* outputRects, int outputCount, POINT centre) {
    for (int index = 0; index < outputCount; index++) {
        if (PtInRect(&outputRects[index], centre))
            return index;
    }
    return outputCount > 0 ? 0 : -1;
}

// More monitors than this are not looked at.
static const int MAX_OUTPUTS = 16;

// Every output of every adapter, in the order the system gives them.
struct OutputSearch {
    IDXGIAdapter1* adapters[MAX_OUTPUTS];
    IDXGIOutput* outputs[MAX_OUTPUTS];
    int adapterOf[MAX_OUTPUTS];
    RECT outputRects[MAX_OUTPUTS];
    WCHAR outputNames[MAX_OUTPUTS][32];
    int adapterCount;
    int outputCount;
};

static void FindOutputs(IDXGIFactory1* factory, OutputSearch* search) {
    for (UINT adapterIndex = 0; search->outputCount < MAX_OUTPUTS; adapterIndex++) {
        IDXGIAdapter1* adapter = nullptr;
        if (factory->EnumAdapters1(adapterIndex, &adapter) != S_OK)
            return;
        int firstOutput = search->outputCount;
        for (UINT outputIndex = 0; search->outputCount < MAX_OUTPUTS; outputIndex++) {
            IDXGIOutput* output = nullptr;
            if (d3dApi.EnumOutputs(adapter, outputIndex, &output) != S_OK)
                break;
            // GetDesc is not examined; a failed one reads as an empty rectangle.
            DXGI_OUTPUT_DESC desc = {};
            d3dApi.GetDesc(output, &desc);
            search->outputs[search->outputCount] = output;
            search->outputRects[search->outputCount] = desc.DesktopCoordinates;
            memcpy(search->outputNames[search->outputCount], desc.DeviceName,
                   sizeof desc.DeviceName);
            search->outputNames[search->outputCount][31] = L'\0';
            search->adapterOf[search->outputCount] = search->adapterCount;
            search->outputCount++;
        }
        // Render-only adapters have no outputs.
        if (search->outputCount == firstOutput)
            osApi.Release(adapter);
        else
            search->adapters[search->adapterCount++] = adapter;
    }
}

// The output that holds the centre. At REC, with none, the first one; later,
// for a recording that started on that fallback, the same output again (found
// by its name), never another.
static int PickOutput(const CaptureSource* source, const OutputSearch* search, POINT centre,
                      bool atStart) {
    int chosen = ChooseOutput(search->outputRects, search->outputCount, centre);
    if (chosen < 0 || PtInRect(&search->outputRects[chosen], centre) || atStart)
        return chosen;
    if (!source->onFallbackOutput)
        return -1;
    for (int index = 0; index < search->outputCount; index++) {
        if (lstrcmpW(search->outputNames[index], source->outputName) == 0)
            return index;
    }
    return -1;
}

// A new factory, and of its outputs the one to record and its adapter; lets go
// of the rest.
static bool TakeOutput(CaptureSource* source, POINT centre, bool atStart,
                       const wchar_t** errorText) {
    HRESULT hr = d3dApi.CreateDXGIFactory1(__uuidof(IDXGIFactory1),
                                           reinterpret_cast<void**>(&source->factory));
    if (FAILED(hr)) {
        source->factory = nullptr;
        *errorText = CallFailedText(source->failureText, L"CreateDXGIFactory1", hr);
        return false;
    }
    OutputSearch search = {};
    FindOutputs(source->factory, &search);
    int chosen = PickOutput(source, &search, centre, atStart);
    for (int index = 0; index < search.outputCount; index++) {
        if (index == chosen) {
            source->output = search.outputs[index];
            source->outputRect = search.outputRects[index];
            if (atStart) {
                lstrcpynW(source->outputName, search.outputNames[index], 32);
                source->onFallbackOutput = !PtInRect(&search.outputRects[index], centre);
            }
        } else {
            osApi.Release(search.outputs[index]);
        }
    }
    for (int index = 0; index < search.adapterCount; index++) {
        if (chosen >= 0 && index == search.adapterOf[chosen])
            source->adapter = search.adapters[index];
        else
            osApi.Release(search.adapters[index]);
    }
    if (chosen < 0)
        *errorText = L"No display output found";
    return chosen >= 0;
}

static bool Transposes(DXGI_MODE_ROTATION rotation) {
    return rotation == DXGI_MODE_ROTATION_ROTATE90 || rotation == DXGI_MODE_ROTATION_ROTATE270;
}

// The desktop image comes unturned; the duplication says how the monitor
// shows it, and a monitor turned later is a new duplication.
static void ReadRotation(CaptureSource* source) {
    DXGI_OUTDUPL_DESC desc = {};
    source->duplication->GetDesc(&desc);
    source->rotation = desc.Rotation;
}

// A device on the adapter of the output taken.
static bool MakeDevice(CaptureSource* source, const wchar_t** errorText) {
    // DuplicateOutput needs a device made on the adapter the output is connected to.
    HRESULT hr = d3dApi.D3D11CreateDevice(
        source->adapter, D3D_DRIVER_TYPE_UNKNOWN, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT,
        nullptr, 0, D3D11_SDK_VERSION, &source->device, nullptr, &source->context);
    if (FAILED(hr)) {
        // Whatever the runtime left there is not ours to release.
        source->device = nullptr;
        source->context = nullptr;
        *errorText = L"D3D11CreateDevice failed";
        return false;
    }
    hr = d3dApi.QueryOutput1(source->output, &source->output1);
    if (FAILED(hr)) {
        *errorText = CallFailedText(source->failureText, L"QueryOutput1", hr);
        return false;
    }
    return true;
}

// The output that holds the centre and a device on its adapter.
static bool OpenDevice(CaptureSource* source, const RECT* captureRect, const wchar_t** errorText) {
    return TakeOutput(source, CaptureCentre(captureRect), true, errorText) &&
           MakeDevice(source, errorText);
}

// At REC: the output that holds the centre, else the first one, and its duplication.
static bool OpenDuplication(CaptureSource* source, const RECT* captureRect,
                            HRESULT* duplicateResult, const wchar_t** errorText) {
    if (!OpenDevice(source, captureRect, errorText))
        return false;
    *duplicateResult =
        d3dApi.DuplicateOutput(source->output1, source->device, &source->duplication);
    if (FAILED(*duplicateResult)) {
        *errorText = L"DuplicateOutput failed (GPU/monitor mismatch?)";
        return false;
    }
    ReadRotation(source);
    return true;
}

// A staging texture of the box the crop takes in the unturned desktop image.
static bool MakeStagingTexture(CaptureSource* source) {
    ReleaseSlot(&source->stagingTexture);
    bool turned = Transposes(source->rotation);
    D3D11_TEXTURE2D_DESC desc = {};
    desc.Width = static_cast<UINT>(turned ? source->cropHeight : source->cropWidth);
    desc.Height = static_cast<UINT>(turned ? source->cropWidth : source->cropHeight);
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.SampleDesc.Quality = 0;
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    HRESULT hr = d3dApi.CreateTexture2D(source->device, &desc, nullptr, &source->stagingTexture);
    if (SUCCEEDED(hr))
        return true;
    source->stagingTexture = nullptr;
    CallFailedText(source->failureText, L"CreateTexture2D", hr);
    return false;
}

// DuplicateOutput's answers at REC while the desktop is away for a while (the
// secure desktop, a full-screen program or too many duplications, a
// disconnected session). REC fails with the duplication's text, as it always
// did: the path is kept for the whole recording, and GDI would take it for
// what is only a moment without duplication.
static bool DesktopIsAway(HRESULT hr) {
    return hr == E_ACCESSDENIED || hr == DXGI_ERROR_NOT_CURRENTLY_AVAILABLE ||
           hr == DXGI_ERROR_SESSION_DISCONNECTED;
}

bool OpenCaptureSource(CaptureSource* source, const RECT* captureRect, const wchar_t** errorText) {
    *errorText = nullptr;
    // Every other failure means no duplication for this recording (a display
    // driver without it, a GPU-less machine, Wine): GDI reads the screen.
    HRESULT duplicateResult = S_OK;
    if (!OpenDuplication(source, captureRect, &duplicateResult, errorText) &&
        (DesktopIsAway(duplicateResult) || !OpenGdiScreen(source, captureRect, errorText)))
        return false;

    Crop crop = {};
    if (!ComputeCrop(captureRect, &source->outputRect, &crop)) {
        *errorText = L"Capture area is off-screen";
        return false;
    }
    source->cropX = crop.cropX;
    source->cropY = crop.cropY;
    source->cropWidth = crop.cropWidth;
    source->cropHeight = crop.cropHeight;
    source->frameStride = static_cast<UINT>(crop.cropWidth) * 4;
    source->frameBytes = source->frameStride * static_cast<UINT>(crop.cropHeight);

    // Zero-filled, so a recording whose first picture never arrives starts black.
    source->framePicture =
        static_cast<BYTE*>(osApi.HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, source->frameBytes));
    if (!source->framePicture) {
        wsprintfW(source->failureText, L"HeapAlloc failed (%u bytes)", source->frameBytes);
        *errorText = source->failureText;
        return false;
    }
    if (source->gdi.inUse)
        return true;
    if (!MakeStagingTexture(source)) {
        *errorText = source->failureText;
        return false;
    }
    return true;
}

void CloseCaptureSource(CaptureSource* source) {
    CloseGdiScreen(&source->gdi);
    ReleaseSlot(&source->stagingTexture);
    ReleaseSlot(&source->duplication);
    ReleaseSlot(&source->output1);
    ReleaseSlot(&source->context);
    ReleaseSlot(&source->device);
    ReleaseSlot(&source->output);
    ReleaseSlot(&source->adapter);
    ReleaseSlot(&source->factory);
}

bool SourceIsStale(const CaptureSource* source, HRESULT hr) {
    if (!source->device || !source->factory || !source->factory->IsCurrent())
        return true;
    return hr == DXGI_ERROR_DEVICE_REMOVED || hr == DXGI_ERROR_DEVICE_RESET ||
           d3dApi.GetDeviceRemovedReason(source->device) != S_OK;
}

// Moves the crop onto the output just taken, to the same place on the desktop.
// False when it no longer lies wholly on that output.
static bool PlaceCrop(CaptureSource* source, LONG cropLeft, LONG cropTop) {
    LONG x = cropLeft - source->outputRect.left;
    LONG y = cropTop - source->outputRect.top;
    if (x < 0 || y < 0 ||
        x + source->cropWidth > source->outputRect.right - source->outputRect.left ||
        y + source->cropHeight > source->outputRect.bottom - source->outputRect.top)
        return false;
    source->cropX = x;
    source->cropY = y;
    return true;
}

bool ReopenCaptureSource(CaptureSource* source, const RECT* captureRect) {
    // The crop keeps its size (the video's frame size cannot change) and its
    // place on the desktop; the monitor under it may have moved. Another
    // monitor's pixels are never what the user framed. The fit is checked
    // before a device is made: while it fails, nothing is made at all.
    RECT recordedRect = source->outputRect;
    LONG cropLeft = recordedRect.left + source->cropX;
    LONG cropTop = recordedRect.top + source->cropY;
    CloseCaptureSource(source);
    const wchar_t* errorText = nullptr;
    if (TakeOutput(source, CaptureCentre(captureRect), false, &errorText) &&
        PlaceCrop(source, cropLeft, cropTop) && MakeDevice(source, &errorText))
        return ReopenDuplication(source);
    CloseCaptureSource(source);
    source->outputRect = recordedRect;
    return false;
}

void RepackRows(BYTE* picture, UINT frameStride, const BYTE* mapped, UINT rowPitch, int rows) {
    for (int row = 0; row < rows; row++) {
        memcpy(picture + static_cast<size_t>(row) * frameStride,
               mapped + static_cast<size_t>(row) * rowPitch, frameStride);
    }
}

bool MapCropToTexture(const Crop* crop, DXGI_MODE_ROTATION rotation, UINT textureWidth,
                      UINT textureHeight, D3D11_BOX* box) {
    // Texture pixel (u, v) shows at (H - 1 - v, u) of a monitor turned 90
    // degrees, at (v, W - 1 - u) turned 270 and at (W - 1 - u, H - 1 - v)
    // turned 180; the box is the crop taken back through that.
    LONGLONG width = textureWidth;
    LONGLONG height = textureHeight;
    LONGLONG left = crop->cropX;
    LONGLONG top = crop->cropY;
    LONGLONG right = left + crop->cropWidth;
    LONGLONG bottom = top + crop->cropHeight;
    LONGLONG u0 = left, v0 = top, u1 = right, v1 = bottom;
    switch (rotation) {
    case DXGI_MODE_ROTATION_ROTATE90:
        u0 = top;
        u1 = bottom;
        v0 = height - right;
        v1 = height - left;
        break;
    case DXGI_MODE_ROTATION_ROTATE180:
        u0 = width - right;
        u1 = width - left;
        v0 = height - bottom;
        v1 = height - top;
        break;
    case DXGI_MODE_ROTATION_ROTATE270:
        u0 = width - bottom;
        u1 = width - top;
        v0 = left;
        v1 = right;
        break;
    default: break;
    }
    // After a mode change the desktop can be smaller than the one the crop was
    // made for; a box outside its source is undefined.
    if (u0 < 0 || v0 < 0 || u1 > width || v1 > height)
        return false;
    box->left = static_cast<UINT>(u0);
    box->top = static_cast<UINT>(v0);
    box->front = 0;
    box->right = static_cast<UINT>(u1);
    box->bottom = static_cast<UINT>(v1);
    box->back = 1;
    return true;
}

// Turns `blocks` blocks of four by four pixels, going down four picture
// columns. The block's four mapped rows lie `fromRow` pixels apart, and each
// next block reads them `fromStep` pixels further on; its four picture rows are
// stored `toRow` pixels apart, and each next block `toStep` further down.
static void TurnColumns(const UINT32* from, ptrdiff_t fromRow, ptrdiff_t fromStep, UINT32* to,
                        ptrdiff_t toRow, ptrdiff_t toStep, int blocks) {
    for (int i = 0; i < blocks; i++) {
        __m128i row0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        __m128i row1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + fromRow));
        __m128i row2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 2 * fromRow));
        __m128i row3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 3 * fromRow));
        __m128i low01 = _mm_unpacklo_epi32(row0, row1);
        __m128i low23 = _mm_unpacklo_epi32(row2, row3);
        __m128i high01 = _mm_unpackhi_epi32(row0, row1);
        __m128i high23 = _mm_unpackhi_epi32(row2, row3);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_unpacklo_epi64(low01, low23));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + toRow), _mm_unpackhi_epi64(low01, low23));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 2 * toRow),
                         _mm_unpacklo_epi64(high01, high23));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 3 * toRow),
                         _mm_unpackhi_epi64(high01, high23));
        from += fromStep;
        to += toStep;
    }
}

void TurnPicture(BYTE* picture, int cropWidth, int cropHeight, const BYTE* mapped, UINT rowPitch,
                 DXGI_MODE_ROTATION rotation) {
    if (rotation != DXGI_MODE_ROTATION_ROTATE90 && rotation != DXGI_MODE_ROTATION_ROTATE180 &&
        rotation != DXGI_MODE_ROTATION_ROTATE270) {
        RepackRows(picture, static_cast<UINT>(cropWidth) * 4, mapped, rowPitch, cropHeight);
        return;
    }
    const UINT32* source = reinterpret_cast<const UINT32*>(mapped);
    UINT32* target = reinterpret_cast<UINT32*>(picture);
    const ptrdiff_t pitch = static_cast<ptrdiff_t>(rowPitch / 4);
    if (rotation == DXGI_MODE_ROTATION_ROTATE180) {
        for (int y = 0; y < cropHeight; y++) {
            const UINT32* from = source + ((cropHeight - 1 - y) * pitch + cropWidth - 1);
            UINT32* to = target + static_cast<ptrdiff_t>(y) * cropWidth;
            for (int x = 0; x < cropWidth; x++)
                to[x] = from[-x];
        }
        return;
    }
    // Picture pixel (x, y) is mapped pixel start + x * stepX + y * stepY: a
    // mapped row is a picture column, read forward or backward.
    bool quarter = rotation == DXGI_MODE_ROTATION_ROTATE90;
    const ptrdiff_t start = quarter ? (cropWidth - 1) * pitch : cropHeight - 1;
    const ptrdiff_t stepX = quarter ? -pitch : pitch;
    const ptrdiff_t stepY = quarter ? 1 : -1;
    // Read backward, a mapped row's four pixels are loaded from the lowest
    // address and come in reverse order, so their turned rows are stored from
    // the block's bottom row up.
    const ptrdiff_t width = cropWidth;
    const ptrdiff_t load = quarter ? 0 : -3;
    const ptrdiff_t toRow = quarter ? width : -width;
    const ptrdiff_t firstRow = quarter ? 0 : 3 * width;
    const int blockWidth = cropWidth & ~3;
    const int blockHeight = cropHeight & ~3;
    // In strips of 32 picture columns, gone down 16 rows at a time: each mapped
    // row gives a band a whole cache line, which the processor fetches ahead on
    // its own, while the next band's picture rows, 16 runs of 128 bytes no
    // prefetcher follows, are fetched by hand. Of the shapes measured, the
    // fastest at each row pitch tried.
    const int STRIP = 32;
    const int BAND = 16;
    for (int stripLeft = 0; stripLeft < blockWidth; stripLeft += STRIP) {
        int stripRight = stripLeft + STRIP < blockWidth ? stripLeft + STRIP : blockWidth;
        for (int bandTop = 0; bandTop < blockHeight; bandTop += BAND) {
            int blocks = (bandTop + BAND <= blockHeight ? BAND : blockHeight - bandTop) / 4;
            if (bandTop + 2 * BAND <= blockHeight) {
                const char* next =
                    reinterpret_cast<const char*>(target + ((bandTop + BAND) * width + stripLeft));
                for (int r = 0; r < BAND; r++, next += 4 * width) {
                    for (int offset = 0; offset < (stripRight - stripLeft) * 4; offset += 64)
                        _mm_prefetch(next + offset, _MM_HINT_T0);
                }
            }
            for (int x = stripLeft; x < stripRight; x += 4)
                TurnColumns(source + (start + x * stepX + bandTop * stepY + load), stepX, 4 * stepY,
                            target + (bandTop * width + x + firstRow), toRow, 4 * width, blocks);
        }
    }
    // The last columns and rows when a side is not a multiple of four.
    for (int y = 0; y < cropHeight; y++) {
        for (int x = y < blockHeight ? blockWidth : 0; x < cropWidth; x++)
            target[static_cast<ptrdiff_t>(y) * cropWidth + x] =
                source[start + x * stepX + y * stepY];
    }
}

// Copies the crop of the desktop picture into the frame picture, turned as the
// monitor shows it. A failed query or map, or a desktop the crop does not fit,
// leaves the previous picture.
static void CopyCrop(CaptureSource* source, IDXGIResource* resource) {
    ID3D11Texture2D* desktop = nullptr;
    if (!resource || FAILED(d3dApi.QueryTexture2D(resource, &desktop)))
        return;
    D3D11_TEXTURE2D_DESC desktopDesc = {};
    d3dApi.GetTextureDesc(desktop, &desktopDesc);
    Crop crop = {source->cropX, source->cropY, source->cropWidth, source->cropHeight};
    D3D11_BOX box = {};
    if (MapCropToTexture(&crop, source->rotation, desktopDesc.Width, desktopDesc.Height, &box)) {
        d3dApi.CopySubresourceRegion(source->context, source->stagingTexture, 0, 0, 0, 0, desktop,
                                     0, &box);
        D3D11_MAPPED_SUBRESOURCE mapped = {};
        if (SUCCEEDED(d3dApi.Map(source->context, source->stagingTexture, 0, D3D11_MAP_READ, 0,
                                 &mapped))) {
            TurnPicture(source->framePicture, source->cropWidth, source->cropHeight,
                        static_cast<const BYTE*>(mapped.pData), mapped.RowPitch, source->rotation);
            d3dApi.Unmap(source->context, source->stagingTexture, 0);
        }
    }
    osApi.Release(desktop);
}

HRESULT CapturePicture(CaptureSource* source, UINT timeoutMs) {
    if (source->gdi.inUse)
        return CaptureGdiPicture(source);
    DXGI_OUTDUPL_FRAME_INFO frameInfo = {};
    IDXGIResource* resource = nullptr;
    HRESULT hr = d3dApi.AcquireNextFrame(source->duplication, timeoutMs, &frameInfo, &resource);
    if (hr != S_OK)
        return hr;
    CopyCrop(source, resource);
    // The pointer shape can be read only while the frame is held. Its position
    // is in the turned monitor's pixels and its shape comes upright, as the
    // user sees both, so it is drawn on the turned picture as it comes.
    if (source->recordMouse)
        UpdatePointerState(&source->pointer, &frameInfo, source->duplication);
    if (resource)
        osApi.Release(resource);
    d3dApi.ReleaseFrame(source->duplication);
    return S_OK;
}

// DuplicateOutput's answers while the desktop is away for a while (the secure
// desktop, a mode it cannot duplicate, too many duplications, a disconnected
// session): the same output and device will do once it is back.
static bool AwaitsTheDesktop(HRESULT hr) {
    return hr == E_ACCESSDENIED || hr == DXGI_ERROR_UNSUPPORTED ||
           hr == DXGI_ERROR_NOT_CURRENTLY_AVAILABLE || hr == DXGI_ERROR_SESSION_DISCONNECTED;
}

bool ReopenDuplication(CaptureSource* source) {
    ReleaseSlot(&source->duplication);
    // A mode change can move the monitor's origin (one left of the primary that
    // grows): the crop stays at its place on the desktop, or waits while it
    // does not fit there.
    RECT placedRect = source->outputRect;
    DXGI_OUTPUT_DESC outputDesc = {};
    d3dApi.GetDesc(source->output, &outputDesc);
    source->outputRect = outputDesc.DesktopCoordinates;
    if (!PlaceCrop(source, placedRect.left + source->cropX, placedRect.top + source->cropY)) {
        source->outputRect = placedRect;
        return false;
    }
    HRESULT hr = d3dApi.DuplicateOutput(source->output1, source->device, &source->duplication);
    if (FAILED(hr)) {
        // No duplication is what tells the loop the desktop is still away; no
        // device, that the whole source must be made anew (a removed device,
        // an output that went away).
        source->duplication = nullptr;
        if (!AwaitsTheDesktop(hr))
            CloseCaptureSource(source);
        return false;
    }
    bool wasTurned = Transposes(source->rotation);
    ReadRotation(source);
    // A texture that could not be made at the last turn, or after a new
    // device, is made now.
    if ((!source->stagingTexture || Transposes(source->rotation) != wasTurned) &&
        !MakeStagingTexture(source)) {
        ReleaseSlot(&source->duplication);
        return false;
    }
    return true;
}
