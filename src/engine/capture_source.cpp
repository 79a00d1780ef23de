#include "engine/engine.h"
#include "engine/d3d_api.h"
#include "engine/os_api.h"
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

// Takes the output that holds the centre of the capture rect, or output 0 when
// none does. Returns false only when the adapter has no output at all.
static bool ChooseOutput(CaptureSource* source, POINT centre) {
    IDXGIOutput* output = nullptr;
    if (d3dApi.EnumOutputs(source->adapter, 0, &output) != S_OK)
        return false;
    IDXGIOutput* fallback = nullptr;
    UINT index = 0;
    for (;;) {
        // GetDesc is not examined; a failed one reads as an empty rectangle.
        DXGI_OUTPUT_DESC desc = {};
        d3dApi.GetDesc(output, &desc);
        if (!fallback) {
            fallback = output;
            source->outputRect = desc.DesktopCoordinates;
        }
        if (PtInRect(&desc.DesktopCoordinates, centre)) {
            if (fallback != output)
                osApi.Release(fallback);
            source->output = output;
            source->outputRect = desc.DesktopCoordinates;
            return true;
        }
        if (output != fallback)
            osApi.Release(output);
        output = nullptr;
        index++;
        if (d3dApi.EnumOutputs(source->adapter, index, &output) != S_OK)
            break;
    }
    source->output = fallback;
    return true;
}

bool OpenCaptureSource(CaptureSource* source, const RECT* captureRect, const wchar_t** errorText) {
    *errorText = nullptr;
    HRESULT hr = d3dApi.D3D11CreateDevice(
        nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0,
        D3D11_SDK_VERSION, &source->device, nullptr, &source->context);
    if (FAILED(hr)) {
        *errorText = L"D3D11CreateDevice failed";
        return false;
    }
    if (FAILED(d3dApi.QueryDxgiDevice(source->device, &source->dxgiDevice)))
        return false;
    if (FAILED(d3dApi.GetAdapter(source->dxgiDevice, &source->adapter)))
        return false;

    if (!ChooseOutput(source, CaptureCentre(captureRect))) {
        *errorText = L"No display output found";
        return false;
    }
    if (FAILED(d3dApi.QueryOutput1(source->output, &source->output1)))
        return false;
    if (FAILED(d3dApi.DuplicateOutput(source->output1, source->device, &source->duplication))) {
        *errorText = L"DuplicateOutput failed (GPU/monitor mismatch?)";
        return false;
    }

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
    if (!source->framePicture)
        return false;

    D3D11_TEXTURE2D_DESC desc = {};
    desc.Width = static_cast<UINT>(crop.cropWidth);
    desc.Height = static_cast<UINT>(crop.cropHeight);
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.SampleDesc.Quality = 0;
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    return SUCCEEDED(
        d3dApi.CreateTexture2D(source->device, &desc, nullptr, &source->stagingTexture));
}

void RepackRows(BYTE* picture, UINT frameStride, const BYTE* mapped, UINT rowPitch, int rows) {
    for (int row = 0; row < rows; row++) {
        memcpy(picture + static_cast<size_t>(row) * frameStride,
               mapped + static_cast<size_t>(row) * rowPitch, frameStride);
    }
}

// Copies the crop of the desktop picture into the frame picture. A failed
// query or map, or a desktop the crop does not fit, leaves the previous picture.
static void CopyCrop(CaptureSource* source, IDXGIResource* resource) {
    ID3D11Texture2D* desktop = nullptr;
    if (!resource || FAILED(d3dApi.QueryTexture2D(resource, &desktop)))
        return;
    // After a mode change or on a rotated monitor the desktop can be smaller than
    // the one the crop was made for; a box outside its source is undefined.
    D3D11_TEXTURE2D_DESC desktopDesc = {};
    d3dApi.GetTextureDesc(desktop, &desktopDesc);
    if (source->sourceBox.right > desktopDesc.Width ||
        source->sourceBox.bottom > desktopDesc.Height) {
        osApi.Release(desktop);
        return;
    }
    d3dApi.CopySubresourceRegion(source->context, source->stagingTexture, 0, 0, 0, 0, desktop, 0,
                                 &source->sourceBox);
    D3D11_MAPPED_SUBRESOURCE mapped = {};
    if (SUCCEEDED(
            d3dApi.Map(source->context, source->stagingTexture, 0, D3D11_MAP_READ, 0, &mapped))) {
        RepackRows(source->framePicture, source->frameStride,
                   static_cast<const BYTE*>(mapped.pData), mapped.RowPitch, source->cropHeight);
        d3dApi.Unmap(source->context, source->stagingTexture, 0);
    }
    osApi.Release(desktop);
}

HRESULT CapturePicture(CaptureSource* source, UINT timeoutMs) {
    DXGI_OUTDUPL_FRAME_INFO frameInfo = {};
    IDXGIResource* resource = nullptr;
    HRESULT hr = d3dApi.AcquireNextFrame(source->duplication, timeoutMs, &frameInfo, &resource);
    if (hr != S_OK)
        return hr;
    CopyCrop(source, resource);
    // The pointer shape can be read only while the frame is held.
    if (source->recordMouse)
        UpdatePointerState(&source->pointer, &frameInfo, source->duplication);
    if (resource)
        osApi.Release(resource);
    d3dApi.ReleaseFrame(source->duplication);
    return S_OK;
}

bool ReopenDuplication(CaptureSource* source) {
    if (source->duplication) {
        osApi.Release(source->duplication);
        source->duplication = nullptr;
    }
    if (FAILED(d3dApi.DuplicateOutput(source->output1, source->device, &source->duplication))) {
        // No duplication is what tells the loop the desktop is still away.
        source->duplication = nullptr;
        return false;
    }
    return true;
}
