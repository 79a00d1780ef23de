#pragma once
#include <d3d11.h>
#include <dxgi1_2.h>

// Every Direct3D 11 and DXGI operation the worker makes goes through d3dApi.
// The entries default to the real calls; a test may replace any one of them.
struct D3dApi {
    decltype(&::CreateDXGIFactory1) CreateDXGIFactory1;
    decltype(&::D3D11CreateDevice) D3D11CreateDevice;
    HRESULT (*EnumOutputs)(IDXGIAdapter* adapter, UINT index, IDXGIOutput** output);
    HRESULT (*GetDesc)(IDXGIOutput* output, DXGI_OUTPUT_DESC* desc);
    HRESULT (*QueryOutput1)(IDXGIOutput* output, IDXGIOutput1** output1);
    HRESULT (*DuplicateOutput)
    (IDXGIOutput1* output1, IUnknown* device, IDXGIOutputDuplication** duplication);
    HRESULT (*CreateTexture2D)
    (ID3D11Device* device, const D3D11_TEXTURE2D_DESC* desc,
     const D3D11_SUBRESOURCE_DATA* initialData, ID3D11Texture2D** texture);
    HRESULT (*AcquireNextFrame)
    (IDXGIOutputDuplication* duplication, UINT timeoutMs, DXGI_OUTDUPL_FRAME_INFO* frameInfo,
     IDXGIResource** resource);
    HRESULT (*QueryTexture2D)(IDXGIResource* resource, ID3D11Texture2D** texture);
    void (*GetTextureDesc)(ID3D11Texture2D* texture, D3D11_TEXTURE2D_DESC* desc);
    void (*CopySubresourceRegion)(ID3D11DeviceContext* context, ID3D11Resource* dst,
                                  UINT dstSubresource, UINT dstX, UINT dstY, UINT dstZ,
                                  ID3D11Resource* src, UINT srcSubresource, const D3D11_BOX* box);
    HRESULT (*Map)
    (ID3D11DeviceContext* context, ID3D11Resource* resource, UINT subresource, D3D11_MAP mapType,
     UINT mapFlags, D3D11_MAPPED_SUBRESOURCE* mapped);
    void (*Unmap)(ID3D11DeviceContext* context, ID3D11Resource* resource, UINT subresource);
    HRESULT (*GetFramePointerShape)
    (IDXGIOutputDuplication* duplication, UINT bufferSize, void* buffer, UINT* requiredSize,
     DXGI_OUTDUPL_POINTER_SHAPE_INFO* shapeInfo);
    HRESULT (*ReleaseFrame)(IDXGIOutputDuplication* duplication);
    HRESULT (*GetDeviceRemovedReason)(ID3D11Device* device);
};

extern D3dApi d3dApi;
extern const D3dApi realD3dApi;
