#include <gtest/gtest.h>
#include "standins.h"

static UINT32 Gradient(int x, int y) {
    return 0xFF000000u | static_cast<UINT32>(y << 8) | static_cast<UINT32>(x);
}

TEST(StandInDuplication, HandsOutRealTextureOnWorkerDevice) {
    SeamGuard guard;
    ID3D11Device* device = nullptr;
    ID3D11DeviceContext* context = nullptr;
    ASSERT_EQ(S_OK, D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0x20, nullptr, 0,
                                      D3D11_SDK_VERSION, &device, nullptr, &context));
    StandInDuplication duplication;
    duplication.script.push_back(MakeDesktopFrame(16, 8, Gradient));
    UseStandInDuplications({&duplication});
    IDXGIOutputDuplication* handed = nullptr;
    ASSERT_EQ(S_OK, d3dApi.DuplicateOutput(nullptr, device, &handed));
    DXGI_OUTDUPL_FRAME_INFO info;
    IDXGIResource* resource = nullptr;
    ASSERT_EQ(S_OK, handed->AcquireNextFrame(500, &info, &resource));
    ID3D11Texture2D* texture = nullptr;
    ASSERT_EQ(S_OK, resource->QueryInterface(__uuidof(ID3D11Texture2D),
                                             reinterpret_cast<void**>(&texture)));
    texture->Release();
    resource->Release();
    EXPECT_EQ(S_OK, handed->ReleaseFrame());
    EXPECT_EQ(0, duplication.resourceHeldAtReleaseFrame);
    EXPECT_EQ(DXGI_ERROR_WAIT_TIMEOUT, handed->AcquireNextFrame(0, &info, &resource));
    handed->Release();
    EXPECT_EQ(0, duplication.references);
    context->Release();
    device->Release();
}
