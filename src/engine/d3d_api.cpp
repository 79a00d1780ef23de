#include "engine/d3d_api.h"

static HRESULT RealEnumOutputs(IDXGIAdapter* adapter, UINT index, IDXGIOutput** output) {
    return adapter->EnumOutputs(index, output);
}

static HRESULT RealGetDesc(IDXGIOutput* output, DXGI_OUTPUT_DESC* desc) {
    return output->GetDesc(desc);
}

static HRESULT RealQueryOutput1(IDXGIOutput* output, IDXGIOutput1** output1) {
    return output->QueryInterface(__uuidof(IDXGIOutput1), reinterpret_cast<void**>(output1));
}

static HRESULT RealDuplicateOutput(IDXGIOutput1* output1, IUnknown* device,
                                   IDXGIOutputDuplication** duplication) {
    return output1->DuplicateOutput(device, duplication);
}

static HRESULT RealCreateTexture2D(ID3D11Device* device, const D3D11_TEXTURE2D_DESC* desc,
                                   const D3D11_SUBRESOURCE_DATA* initialData,
                                   ID3D11Texture2D** texture) {
    return device->CreateTexture2D(desc, initialData, texture);
}

static HRESULT RealAcquireNextFrame(IDXGIOutputDuplication* duplication, UINT timeoutMs,
                                    DXGI_OUTDUPL_FRAME_INFO* frameInfo, IDXGIResource** resource) {
    return duplication->AcquireNextFrame(timeoutMs, frameInfo, resource);
}

static HRESULT RealQueryTexture2D(IDXGIResource* resource, ID3D11Texture2D** texture) {
    return resource->QueryInterface(__uuidof(ID3D11Texture2D), reinterpret_cast<void**>(texture));
}

static void RealGetTextureDesc(ID3D11Texture2D* texture, D3D11_TEXTURE2D_DESC* desc) {
    texture->GetDesc(desc);
}

static void RealCopySubresourceRegion(ID3D11DeviceContext* context, ID3D11Resource* dst,
                                      UINT dstSubresource, UINT dstX, UINT dstY, UINT dstZ,
                                      ID3D11Resource* src, UINT srcSubresource,
                                      const D3D11_BOX* box) {
    context->CopySubresourceRegion(dst, dstSubresource, dstX, dstY, dstZ, src, srcSubresource, box);
}

static HRESULT RealMap(ID3D11DeviceContext* context, ID3D11Resource* resource, UINT subresource,
                       D3D11_MAP mapType, UINT mapFlags, D3D11_MAPPED_SUBRESOURCE* mapped) {
    return context->Map(resource, subresource, mapType, mapFlags, mapped);
}

static void RealUnmap(ID3D11DeviceContext* context, ID3D11Resource* resource, UINT subresource) {
    context->Unmap(resource, subresource);
}

static HRESULT RealGetFramePointerShape(IDXGIOutputDuplication* duplication, UINT bufferSize,
                                        void* buffer, UINT* requiredSize,
                                        DXGI_OUTDUPL_POINTER_SHAPE_INFO* shapeInfo) {
    return duplication->GetFramePointerShape(bufferSize, buffer, requiredSize, shapeInfo);
}

static HRESULT RealReleaseFrame(IDXGIOutputDuplication* duplication) {
    return duplication->ReleaseFrame();
}

static HRESULT RealGetDeviceRemovedReason(ID3D11Device* device) {
    return device->GetDeviceRemovedReason();
}

const D3dApi realD3dApi = {
    ::CreateDXGIFactory1,
    ::D3D11CreateDevice,
    RealEnumOutputs,
    RealGetDesc,
    RealQueryOutput1,
    RealDuplicateOutput,
    RealCreateTexture2D,
    RealAcquireNextFrame,
    RealQueryTexture2D,
    RealGetTextureDesc,
    RealCopySubresourceRegion,
    RealMap,
    RealUnmap,
    RealGetFramePointerShape,
    RealReleaseFrame,
    RealGetDeviceRemovedReason,
};

D3dApi d3dApi = realD3dApi;
