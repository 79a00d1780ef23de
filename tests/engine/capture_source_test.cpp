#include <gtest/gtest.h>
#include <string.h>
#include <algorithm>
#include <memory>
#include "standins.h"

// ---- pure arithmetic ----

static Crop CropOf(RECT captureRect, RECT outputRect, bool* onScreen) {
    Crop crop = {};
    *onScreen = ComputeCrop(&captureRect, &outputRect, &crop);
    return crop;
}

static void ExpectCrop(Crop crop, int x, int y, int width, int height) {
    EXPECT_EQ(x, crop.cropX);
    EXPECT_EQ(y, crop.cropY);
    EXPECT_EQ(width, crop.cropWidth);
    EXPECT_EQ(height, crop.cropHeight);
}

static const RECT PRIMARY = {0, 0, 1920, 1080};
static const RECT RIGHT_OF_PRIMARY = {1920, 0, 3840, 1080};

TEST(CaptureCentre, NegativeSumsTruncateTowardZero) {
    RECT captureRect = {-1001, -12, -1, -1};
    POINT centre = CaptureCentre(&captureRect);
    EXPECT_EQ(-501, centre.x);
    EXPECT_EQ(-6, centre.y); // -13 / 2, not -7
    RECT positive = {100, 200, 301, 401};
    centre = CaptureCentre(&positive);
    EXPECT_EQ(200, centre.x);
    EXPECT_EQ(300, centre.y);
}

TEST(ChooseOutput, FirstOutputHoldingTheCentreOverEveryAdapter) {
    // The outputs of two adapters, one after the other: primary, right, left.
    const RECT outputs[] = {PRIMARY, RIGHT_OF_PRIMARY, {-1920, 0, 0, 1080}};
    EXPECT_EQ(0, ChooseOutput(outputs, 3, POINT{1919, 1079}));
    EXPECT_EQ(1, ChooseOutput(outputs, 3, POINT{1920, 0}));
    EXPECT_EQ(2, ChooseOutput(outputs, 3, POINT{-1, 500}));
    // Overlapping outputs (a cloned monitor): the first one.
    const RECT cloned[] = {PRIMARY, PRIMARY};
    EXPECT_EQ(0, ChooseOutput(cloned, 2, POINT{10, 10}));
}

TEST(ChooseOutput, CentreOnNoOutputTakesTheFirstAndNoOutputNone) {
    const RECT outputs[] = {RIGHT_OF_PRIMARY, PRIMARY};
    EXPECT_EQ(0, ChooseOutput(outputs, 2, POINT{4000, 100})) << "right of every output";
    EXPECT_EQ(0, ChooseOutput(outputs, 2, POINT{100, 1080})) << "just below the bottom edge";
    EXPECT_EQ(-1, ChooseOutput(outputs, 0, POINT{100, 100}));
}

TEST(Crop, HangingPastLeftEdgeCropsFromZero) {
    bool onScreen = false;
    // 641 wide, 100 of it left of the second monitor: 541 visible, made even.
    Crop crop = CropOf({1820, 50, 2461, 410}, RIGHT_OF_PRIMARY, &onScreen);
    EXPECT_TRUE(onScreen);
    ExpectCrop(crop, 0, 50, 540, 360);
}

TEST(Crop, HangingPastTopAndBottomCutsRows) {
    bool onScreen = false;
    Crop crop = CropOf({10, -30, 330, 170}, PRIMARY, &onScreen);
    EXPECT_TRUE(onScreen);
    ExpectCrop(crop, 10, 0, 320, 170);
    crop = CropOf({10, 1000, 330, 1200}, PRIMARY, &onScreen);
    EXPECT_TRUE(onScreen);
    ExpectCrop(crop, 10, 1000, 320, 80);
}

TEST(Crop, SpanningTwoMonitorsKeepsOnlyThePartOnTheOutput) {
    bool onScreen = false;
    Crop crop = CropOf({1600, 100, 2240, 460}, PRIMARY, &onScreen);
    EXPECT_TRUE(onScreen);
    ExpectCrop(crop, 1600, 100, 320, 360);
    crop = CropOf({1600, 100, 2240, 460}, RIGHT_OF_PRIMARY, &onScreen);
    EXPECT_TRUE(onScreen);
    ExpectCrop(crop, 0, 100, 320, 360);
    // Stretched across three monitors, its centre on the middle one: both edges
    // hang past it, and the crop is that monitor's whole width.
    crop = CropOf({1000, 100, 4801, 460}, RIGHT_OF_PRIMARY, &onScreen);
    EXPECT_TRUE(onScreen);
    ExpectCrop(crop, 0, 100, 1920, 360);
}

TEST(Crop, OddVisibleSizeRoundsDownFromSameCorner) {
    bool onScreen = false;
    Crop crop = CropOf({10, 20, 1011, 621}, PRIMARY, &onScreen);
    EXPECT_TRUE(onScreen);
    ExpectCrop(crop, 10, 20, 1000, 600);
}

TEST(Crop, VisibleWidthOfThreeRecordsTwo) {
    bool onScreen = false;
    Crop crop = CropOf({1917, 0, 1950, 100}, PRIMARY, &onScreen);
    EXPECT_TRUE(onScreen);
    ExpectCrop(crop, 1917, 0, 2, 100);
    crop = CropOf({-30, 0, 3, 100}, PRIMARY, &onScreen);
    EXPECT_TRUE(onScreen);
    ExpectCrop(crop, 0, 0, 2, 100);
}

TEST(Crop, VisibleSideOfOneOrNoneIsOffScreen) {
    bool onScreen = true;
    CropOf({1919, 0, 1950, 100}, PRIMARY, &onScreen);
    EXPECT_FALSE(onScreen) << "one column visible on the right";
    CropOf({-30, 0, 1, 100}, PRIMARY, &onScreen);
    EXPECT_FALSE(onScreen) << "one column visible on the left";
    CropOf({0, 1079, 100, 1200}, PRIMARY, &onScreen);
    EXPECT_FALSE(onScreen) << "one row visible";
    CropOf({-30, 0, 0, 100}, PRIMARY, &onScreen);
    EXPECT_FALSE(onScreen) << "touching the left edge from outside";
}

TEST(Crop, EntirelyOffScreenOnEverySide) {
    const RECT outside[] = {
        {-500, 100, -100, 400}, {2000, 100, 2400, 400},   {100, -500, 500, -100},
        {100, 1200, 500, 1500}, {5000, 5000, 5400, 5300},
    };
    for (const RECT& captureRect : outside) {
        bool onScreen = true;
        CropOf(captureRect, PRIMARY, &onScreen);
        EXPECT_FALSE(onScreen) << captureRect.left << "," << captureRect.top;
    }
}

TEST(RepackRows, DropsThePaddingOfWideRows) {
    // Two rows of 2 pixels (8 bytes) in rows 12 bytes apart.
    const BYTE mapped[] = {1,  2,  3,  4,  5,  6,  7,  8,  0xEE, 0xEE, 0xEE, 0xEE,
                           11, 12, 13, 14, 15, 16, 17, 18, 0xEE, 0xEE, 0xEE, 0xEE};
    BYTE picture[16] = {};
    RepackRows(picture, 8, mapped, 12, 2);
    const BYTE expected[] = {1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 13, 14, 15, 16, 17, 18};
    EXPECT_EQ(0, memcmp(expected, picture, sizeof picture));
}

// ---- opening the capture source ----

// Releases what OpenCaptureSource left, the way the worker's exit does.
static void CloseSource(CaptureSource* source) {
    CloseCaptureSource(source);
    if (source->framePicture)
        HeapFree(GetProcessHeap(), 0, source->framePicture);
    memset(source, 0, sizeof *source);
}

struct HeapAllocCall {
    DWORD flags;
    SIZE_T bytes;
};
static std::vector<HeapAllocCall> heapAllocCalls;

static LPVOID WINAPI RecordHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    heapAllocCalls.push_back({flags, bytes});
    return realOsApi.HeapAlloc(heap, flags, bytes);
}

class OpenCaptureSourceTest : public ::testing::Test {
  protected:
    SeamGuard guard;
    StandInDuplication duplication;
    CaptureSource source = {};
    const wchar_t* errorText = nullptr;

    void SetUp() override {
        UseStandInDuplications({&duplication});
        heapAllocCalls.clear();
        osApi.HeapAlloc = RecordHeapAlloc;
    }
    void TearDown() override {
        CloseSource(&source);
        EXPECT_EQ(0, duplication.references);
    }
    bool Open(RECT captureRect) { return OpenCaptureSource(&source, &captureRect, &errorText); }
    // Monitors the adapter enumerates in this order; they outlive TearDown.
    std::vector<std::unique_ptr<StandInOutput>> monitors;
    StandInOutput& Monitor(size_t index) { return *monitors[index]; }
    void UseMonitors(std::vector<RECT> rects) {
        std::vector<StandInOutput*> outputs;
        for (const RECT& rect : rects) {
            monitors.push_back(std::make_unique<StandInOutput>(rect));
            outputs.push_back(monitors.back().get());
        }
        UseStandInOutputs(outputs);
    }
};

TEST_F(OpenCaptureSourceTest, CentreOnSecondOutputDuplicatesIt) {
    UseMonitors({PRIMARY, RIGHT_OF_PRIMARY});
    StandInOutput& first = Monitor(0);
    StandInOutput& second = Monitor(1);
    ASSERT_TRUE(Open({2000, 100, 2640, 460}));
    ASSERT_EQ(1u, handOutLog.duplicatedOutputs.size());
    EXPECT_EQ(static_cast<IDXGIOutput1*>(&second), handOutLog.duplicatedOutputs[0]);
    // Every output is looked at, to the end of the list.
    EXPECT_EQ(std::vector<UINT>({0, 1, 2}), handOutLog.enumOutputIndices);
    EXPECT_EQ(RIGHT_OF_PRIMARY.left, source.outputRect.left);
    EXPECT_EQ(RIGHT_OF_PRIMARY.right, source.outputRect.right);
    EXPECT_EQ(80, source.cropX);
    EXPECT_EQ(100, source.cropY);
    EXPECT_EQ(640, source.cropWidth);
    EXPECT_EQ(360, source.cropHeight);
    EXPECT_EQ(0, first.references) << "the fallback is let go once another output is chosen";
    EXPECT_EQ(2, second.references) << "held as the chosen output and as its IDXGIOutput1";
    CloseSource(&source);
    EXPECT_EQ(0, second.references);
}

TEST_F(OpenCaptureSourceTest, OutputsPassedOverAreReleasedAtOnce) {
    UseMonitors({PRIMARY, RIGHT_OF_PRIMARY, {3840, 0, 5760, 1080}});
    StandInOutput& first = Monitor(0);
    StandInOutput& second = Monitor(1);
    StandInOutput& third = Monitor(2);
    ASSERT_TRUE(Open({4000, 100, 4640, 460}));
    EXPECT_EQ(static_cast<IDXGIOutput1*>(&third), handOutLog.duplicatedOutputs[0]);
    EXPECT_EQ(0, first.references);
    EXPECT_EQ(0, second.references);
    EXPECT_EQ(1, second.getDescCalls);
}

TEST_F(OpenCaptureSourceTest, CentreOnNoOutputUsesOutputZero) {
    UseMonitors({{0, 0, 1000, 1000}, {2000, 0, 3000, 1000}});
    StandInOutput& first = Monitor(0);
    StandInOutput& second = Monitor(1);
    // Centre (1500, 200) lies in the gap between the monitors.
    ASSERT_TRUE(Open({900, 100, 2100, 300}));
    EXPECT_EQ(std::vector<UINT>({0, 1, 2}), handOutLog.enumOutputIndices);
    EXPECT_EQ(static_cast<IDXGIOutput1*>(&first), handOutLog.duplicatedOutputs[0]);
    EXPECT_EQ(1000, source.outputRect.right);
    EXPECT_EQ(900, source.cropX);
    EXPECT_EQ(100, source.cropWidth);
    EXPECT_EQ(0, second.references);
}

TEST_F(OpenCaptureSourceTest, CentreOnNoOutputMayLeaveNothingToRecord) {
    UseMonitors({{0, 0, 1000, 1000}, {2000, 0, 3000, 1000}});
    StandInOutput& first = Monitor(0);
    StandInOutput& second = Monitor(1);
    EXPECT_FALSE(Open({1200, 100, 1800, 300}));
    EXPECT_STREQ(L"Capture area is off-screen", errorText);
    EXPECT_EQ(static_cast<IDXGIOutput1*>(&first), handOutLog.duplicatedOutputs[0]);
    EXPECT_EQ(0, second.references);
}

TEST_F(OpenCaptureSourceTest, CentreJustLeftOfZeroTruncatesOntoThePrimary) {
    UseMonitors({PRIMARY, {-1920, 0, 0, 1080}});
    StandInOutput& primary = Monitor(0);
    StandInOutput& left = Monitor(1);
    // (-101 + 100) / 2 is 0 when truncated; rounding down would give -1, on the left monitor.
    ASSERT_TRUE(Open({-101, 0, 100, 200}));
    EXPECT_EQ(static_cast<IDXGIOutput1*>(&primary), handOutLog.duplicatedOutputs[0]);
    EXPECT_EQ(0, left.references);
    EXPECT_EQ(0, source.cropX);
    EXPECT_EQ(100, source.cropWidth);
}

TEST_F(OpenCaptureSourceTest, MonitorLeftOfPrimaryIsChosenByNegativeCentre) {
    UseMonitors({PRIMARY, {-1920, 0, 0, 1080}});
    StandInOutput& primary = Monitor(0);
    StandInOutput& left = Monitor(1);
    ASSERT_TRUE(Open({-1001, 10, -1, 110}));
    EXPECT_EQ(static_cast<IDXGIOutput1*>(&left), handOutLog.duplicatedOutputs[0]);
    EXPECT_EQ(919, source.cropX);
    EXPECT_EQ(1000, source.cropWidth);
    EXPECT_EQ(0, primary.references);
}

TEST_F(OpenCaptureSourceTest, MonitorOnSecondAdapterGetsADeviceOfThatAdapter) {
    StandInOutput primary(PRIMARY);
    StandInOutput right(RIGHT_OF_PRIMARY);
    StandInAdapter first({&primary});
    StandInAdapter renderOnly({});
    StandInAdapter second({&right});
    StandInFactory factory({&first, &renderOnly, &second});
    UseStandInAdapters(&factory);
    ASSERT_TRUE(Open({2000, 100, 2640, 460}));
    ASSERT_EQ(1u, handOutLog.deviceAdapters.size());
    EXPECT_EQ(static_cast<IDXGIAdapter*>(&second), handOutLog.deviceAdapters[0]);
    EXPECT_EQ(D3D_DRIVER_TYPE_UNKNOWN, handOutLog.deviceDriverTypes[0]);
    ASSERT_EQ(1u, handOutLog.duplicatedOutputs.size());
    EXPECT_EQ(static_cast<IDXGIOutput1*>(&right), handOutLog.duplicatedOutputs[0]);
    EXPECT_EQ(source.device, duplication.device);
    EXPECT_EQ(80, source.cropX);
    EXPECT_EQ(640, source.cropWidth);
    // What was passed over is let go at once, the rest when the source closes.
    EXPECT_EQ(0, first.references);
    EXPECT_EQ(0, renderOnly.references);
    EXPECT_EQ(0, primary.references);
    EXPECT_EQ(1, second.references);
    EXPECT_EQ(1, factory.references);
    CloseSource(&source);
    EXPECT_EQ(0, second.references);
    EXPECT_EQ(0, right.references);
    EXPECT_EQ(0, factory.references);
}

TEST_F(OpenCaptureSourceTest, RealOutputGivesStagingTextureAndZeroedPictureOfTheCrop) {
    ASSERT_TRUE(Open({100, 100, 1101, 701}));
    EXPECT_EQ(nullptr, errorText);
    EXPECT_EQ(0, source.outputRect.left);
    EXPECT_EQ(1920, source.outputRect.right);
    EXPECT_EQ(1080, source.outputRect.bottom);
    EXPECT_EQ(100, source.cropX);
    EXPECT_EQ(100, source.cropY);
    EXPECT_EQ(1000, source.cropWidth);
    EXPECT_EQ(600, source.cropHeight);
    EXPECT_EQ(4000u, source.frameStride);
    EXPECT_EQ(2400000u, source.frameBytes);
    EXPECT_EQ(source.device, duplication.device) << "duplicated for the worker's own device";

    ASSERT_EQ(1u, heapAllocCalls.size());
    EXPECT_EQ(static_cast<DWORD>(HEAP_ZERO_MEMORY), heapAllocCalls[0].flags);
    EXPECT_EQ(2400000u, heapAllocCalls[0].bytes);
    size_t nonZero = 0;
    for (UINT i = 0; i < source.frameBytes; i++)
        nonZero += source.framePicture[i] != 0;
    EXPECT_EQ(0u, nonZero);

    ASSERT_NE(nullptr, source.stagingTexture);
    D3D11_TEXTURE2D_DESC desc;
    source.stagingTexture->GetDesc(&desc);
    EXPECT_EQ(1000u, desc.Width);
    EXPECT_EQ(600u, desc.Height);
    EXPECT_EQ(1u, desc.MipLevels);
    EXPECT_EQ(1u, desc.ArraySize);
    EXPECT_EQ(DXGI_FORMAT_B8G8R8A8_UNORM, desc.Format);
    EXPECT_EQ(1u, desc.SampleDesc.Count);
    EXPECT_EQ(0u, desc.SampleDesc.Quality);
    EXPECT_EQ(D3D11_USAGE_STAGING, desc.Usage);
    EXPECT_EQ(0u, desc.BindFlags);
    EXPECT_EQ(static_cast<UINT>(D3D11_CPU_ACCESS_READ), desc.CPUAccessFlags);
    EXPECT_EQ(0u, desc.MiscFlags);
}

// ---- taking pictures ----

static UINT32 Pattern(int x, int y) {
    return 0xFF000000u | (0x40u << 16) | static_cast<UINT32>(y << 8) | static_cast<UINT32>(x);
}

static UINT32 Shifted(int x, int y) {
    return 0x80000000u | (0x11u << 16) | static_cast<UINT32>((y + 100) << 8) |
           static_cast<UINT32>(x + 100);
}

static UINT mapCalls;
static UINT unmapCalls;
static std::vector<BYTE> paddedRows;
static const UINT EXTRA_PITCH = 36;

// Maps for real, then hands out the same rows EXTRA_PITCH bytes further apart,
// with the gaps filled, the way a driver may lay out a staging texture.
static HRESULT MapWithWidePitch(ID3D11DeviceContext* context, ID3D11Resource* resource,
                                UINT subresource, D3D11_MAP mapType, UINT mapFlags,
                                D3D11_MAPPED_SUBRESOURCE* mapped) {
    mapCalls++;
    HRESULT hr = realD3dApi.Map(context, resource, subresource, mapType, mapFlags, mapped);
    if (FAILED(hr))
        return hr;
    D3D11_TEXTURE2D_DESC desc;
    static_cast<ID3D11Texture2D*>(resource)->GetDesc(&desc);
    UINT widePitch = mapped->RowPitch + EXTRA_PITCH;
    paddedRows.assign(static_cast<size_t>(widePitch) * desc.Height, 0xEE);
    for (UINT row = 0; row < desc.Height; row++) {
        memcpy(&paddedRows[static_cast<size_t>(row) * widePitch],
               static_cast<const BYTE*>(mapped->pData) +
                   static_cast<size_t>(row) * mapped->RowPitch,
               desc.Width * 4);
    }
    mapped->pData = paddedRows.data();
    mapped->RowPitch = widePitch;
    return hr;
}

static HRESULT FailMap(ID3D11DeviceContext*, ID3D11Resource*, UINT, D3D11_MAP, UINT,
                       D3D11_MAPPED_SUBRESOURCE*) {
    mapCalls++;
    return E_OUTOFMEMORY;
}

static void CountUnmap(ID3D11DeviceContext* context, ID3D11Resource* resource, UINT subresource) {
    unmapCalls++;
    realD3dApi.Unmap(context, resource, subresource);
}

static HRESULT FailCreateTexture2D(ID3D11Device*, const D3D11_TEXTURE2D_DESC*,
                                   const D3D11_SUBRESOURCE_DATA*, ID3D11Texture2D** texture) {
    *texture = nullptr;
    return E_OUTOFMEMORY;
}

static HRESULT FailQueryTexture2D(IDXGIResource*, ID3D11Texture2D** texture) {
    *texture = nullptr;
    return E_NOINTERFACE;
}

// A 64 x 48 monitor; the capture rect (5, 3)-(25, 13) gives a 20 x 10 crop.
class CapturePictureTest : public OpenCaptureSourceTest {
  protected:
    void SetUp() override {
        OpenCaptureSourceTest::SetUp();
        UseMonitors({{0, 0, 64, 48}});
        mapCalls = 0;
        unmapCalls = 0;
        d3dApi.Unmap = CountUnmap;
        ASSERT_TRUE(Open({5, 3, 25, 13}));
    }
    UINT32 PixelAt(int x, int y) const {
        UINT32 pixel;
        memcpy(&pixel, source.framePicture + y * source.frameStride + x * 4, 4);
        return pixel;
    }
    // Counts the pixels of the frame picture that differ from colourAt at the crop's place.
    int Mismatches(UINT32 (*colourAt)(int x, int y)) const {
        int mismatches = 0;
        for (int y = 0; y < source.cropHeight; y++) {
            for (int x = 0; x < source.cropWidth; x++)
                mismatches += PixelAt(x, y) != colourAt(source.cropX + x, source.cropY + y);
        }
        return mismatches;
    }
};

TEST_F(CapturePictureTest, CopiesExactlyTheCropOfTheDesktopPicture) {
    duplication.script.push_back(MakeDesktopFrame(64, 48, Pattern));
    ASSERT_EQ(S_OK, CapturePicture(&source, 500));
    EXPECT_EQ(0, Mismatches(Pattern));
    EXPECT_EQ(Pattern(5, 3), PixelAt(0, 0));
    EXPECT_EQ(Pattern(24, 12), PixelAt(19, 9));
    EXPECT_EQ(std::vector<UINT>({500}), duplication.acquireTimeouts);
    EXPECT_EQ(1, duplication.releaseFrameCalls);
    EXPECT_EQ(0, duplication.resourceHeldAtReleaseFrame) << "resource released before the frame";
    EXPECT_FALSE(duplication.frameHeld);
    EXPECT_EQ(1u, unmapCalls);
}

TEST_F(CapturePictureTest, RowsFurtherApartThanTheStrideArePacked) {
    d3dApi.Map = MapWithWidePitch;
    duplication.script.push_back(MakeDesktopFrame(64, 48, Pattern));
    ASSERT_EQ(S_OK, CapturePicture(&source, 0));
    ASSERT_EQ(1u, mapCalls);
    EXPECT_EQ(0, Mismatches(Pattern));
}

TEST_F(CapturePictureTest, NewerPictureReplacesTheOld) {
    duplication.script.push_back(MakeDesktopFrame(64, 48, Pattern));
    duplication.script.push_back(MakeDesktopFrame(64, 48, Shifted));
    ASSERT_EQ(S_OK, CapturePicture(&source, 500));
    ASSERT_EQ(S_OK, CapturePicture(&source, 0));
    EXPECT_EQ(0, Mismatches(Shifted));
}

TEST_F(CapturePictureTest, FailedTextureQueryKeepsThePreviousPicture) {
    duplication.script.push_back(MakeDesktopFrame(64, 48, Pattern));
    duplication.script.push_back(MakeDesktopFrame(64, 48, Shifted));
    ASSERT_EQ(S_OK, CapturePicture(&source, 500));
    d3dApi.QueryTexture2D = FailQueryTexture2D;
    EXPECT_EQ(S_OK, CapturePicture(&source, 0));
    EXPECT_EQ(0, Mismatches(Pattern));
    EXPECT_EQ(2, duplication.releaseFrameCalls);
    EXPECT_EQ(0, duplication.resourceHeldAtReleaseFrame);
}

TEST_F(CapturePictureTest, FailedMapKeepsThePreviousPicture) {
    duplication.script.push_back(MakeDesktopFrame(64, 48, Pattern));
    duplication.script.push_back(MakeDesktopFrame(64, 48, Shifted));
    ASSERT_EQ(S_OK, CapturePicture(&source, 500));
    d3dApi.Map = FailMap;
    EXPECT_EQ(S_OK, CapturePicture(&source, 0));
    EXPECT_EQ(0, Mismatches(Pattern));
    EXPECT_EQ(1u, unmapCalls) << "only the successful map is unmapped";
    EXPECT_EQ(2, duplication.releaseFrameCalls);
    EXPECT_EQ(0, duplication.resourceHeldAtReleaseFrame);
}

TEST_F(CapturePictureTest, NoFrameResultsComeBackUnchangedWithNothingHeld) {
    // A lost duplication answers nothing else afterwards.
    const HRESULT results[] = {DXGI_ERROR_WAIT_TIMEOUT, DXGI_ERROR_INVALID_CALL, S_FALSE,
                               DXGI_ERROR_ACCESS_LOST};
    for (HRESULT result : results)
        duplication.script.push_back(MakeFailedFrame(result));
    for (HRESULT result : results)
        EXPECT_EQ(result, CapturePicture(&source, 0));
    EXPECT_EQ(0, duplication.releaseFrameCalls);
    EXPECT_EQ(0u, mapCalls + unmapCalls);
    size_t nonZero = 0;
    for (UINT i = 0; i < source.frameBytes; i++)
        nonZero += source.framePicture[i] != 0;
    EXPECT_EQ(0u, nonZero) << "the picture stays black";
}

// ---- turned monitors ----

// Texture pixel (u, v), coded in its colour.
static UINT32 Coded(int u, int v) {
    return 0xFF000000u | static_cast<UINT32>(u) << 12 | static_cast<UINT32>(v);
}

// Where a monitor turned by `rotation` shows pixel (u, v) of a texture of
// that width and height.
static POINT ShownAt(DXGI_MODE_ROTATION rotation, int u, int v, int width, int height) {
    switch (rotation) {
    case DXGI_MODE_ROTATION_ROTATE90: return POINT{height - 1 - v, u};
    case DXGI_MODE_ROTATION_ROTATE180: return POINT{width - 1 - u, height - 1 - v};
    case DXGI_MODE_ROTATION_ROTATE270: return POINT{v, width - 1 - u};
    default: return POINT{u, v};
    }
}

// The unturned W x H desktop texture, and a crop off-centre and not square
// that lies on the monitor whichever way it is turned.
// Neither side is a multiple of four, and the turned copy's blocks end part
// way through one of its strips and one of its bands.
const int W = 320;
const int H = 280;
const Crop TURN_CROP = {5, 20, 270, 142};

// Pixels of the frame picture that differ from the crop of the turned monitor,
// which the rule above builds pixel by pixel from the texture.
static int TurnedMismatches(const CaptureSource& source, DXGI_MODE_ROTATION rotation) {
    std::vector<UINT32> expected(size_t(TURN_CROP.cropWidth) * TURN_CROP.cropHeight, 0);
    for (int v = 0; v < H; v++) {
        for (int u = 0; u < W; u++) {
            POINT shown = ShownAt(rotation, u, v, W, H);
            int x = shown.x - TURN_CROP.cropX;
            int y = shown.y - TURN_CROP.cropY;
            if (x >= 0 && x < TURN_CROP.cropWidth && y >= 0 && y < TURN_CROP.cropHeight)
                expected[size_t(y) * TURN_CROP.cropWidth + x] = Coded(u, v);
        }
    }
    EXPECT_EQ(0, std::count(expected.begin(), expected.end(), 0u)) << "a hole in the rule";
    int mismatches = 0;
    for (size_t i = 0; i < expected.size(); i++) {
        UINT32 pixel;
        memcpy(&pixel, source.framePicture + i * 4, 4);
        mismatches += pixel != expected[i];
    }
    return mismatches;
}

TEST_F(OpenCaptureSourceTest, TurnedMonitorRecordsWhatTheUserSeesInTheFrame) {
    const DXGI_MODE_ROTATION rotations[] = {
        DXGI_MODE_ROTATION_IDENTITY, DXGI_MODE_ROTATION_ROTATE90, DXGI_MODE_ROTATION_ROTATE180,
        DXGI_MODE_ROTATION_ROTATE270};
    for (DXGI_MODE_ROTATION rotation : rotations) {
        SCOPED_TRACE(rotation);
        bool upright =
            rotation == DXGI_MODE_ROTATION_IDENTITY || rotation == DXGI_MODE_ROTATION_ROTATE180;
        // The monitor right of the primary, in the turned desktop's pixels.
        UseMonitors({{1920, 0, 1920 + (upright ? W : H), upright ? H : W}});
        monitors.back()->desc.Rotation = rotation;
        StandInDuplication turned;
        turned.rotation = rotation;
        turned.script.push_back(MakeDesktopFrame(W, H, Coded));
        UseStandInDuplications({&turned});
        ASSERT_TRUE(Open({1920 + TURN_CROP.cropX, TURN_CROP.cropY,
                          1920 + TURN_CROP.cropX + TURN_CROP.cropWidth,
                          TURN_CROP.cropY + TURN_CROP.cropHeight}));
        ASSERT_EQ(S_OK, CapturePicture(&source, 0));
        EXPECT_EQ(0, TurnedMismatches(source, rotation));
        CloseSource(&source);
        EXPECT_EQ(0, turned.references);
    }
}

TEST_F(OpenCaptureSourceTest, MonitorTurnedDuringTheRecordingIsTurnedBackAfterItsNewDuplication) {
    UseMonitors({{0, 0, W, H}});
    duplication.script.push_back(MakeDesktopFrame(W, H, Coded));
    StandInDuplication portrait;
    portrait.rotation = DXGI_MODE_ROTATION_ROTATE90;
    portrait.script.push_back(MakeDesktopFrame(W, H, Coded));
    ASSERT_TRUE(Open({TURN_CROP.cropX, TURN_CROP.cropY, TURN_CROP.cropX + TURN_CROP.cropWidth,
                      TURN_CROP.cropY + TURN_CROP.cropHeight}));
    ASSERT_EQ(S_OK, CapturePicture(&source, 0));
    EXPECT_EQ(0, TurnedMismatches(source, DXGI_MODE_ROTATION_IDENTITY));

    // Turning the monitor is a mode change: the duplication is lost and made
    // anew. The texture of the turned crop cannot be had at first.
    StandInDuplication portraitAgain;
    portraitAgain.rotation = DXGI_MODE_ROTATION_ROTATE90;
    portraitAgain.script.push_back(MakeDesktopFrame(W, H, Coded));
    UseStandInDuplications({&portrait, &portraitAgain}, {&duplication});
    d3dApi.CreateTexture2D = FailCreateTexture2D;
    EXPECT_FALSE(ReopenDuplication(&source));
    EXPECT_EQ(nullptr, source.duplication) << "still in its outage";
    EXPECT_EQ(0, portrait.references);
    d3dApi.CreateTexture2D = realD3dApi.CreateTexture2D;
    ASSERT_TRUE(ReopenDuplication(&source));
    ASSERT_NE(nullptr, source.stagingTexture);
    ASSERT_EQ(S_OK, CapturePicture(&source, 0));
    EXPECT_EQ(0, TurnedMismatches(source, DXGI_MODE_ROTATION_ROTATE90));
    CloseSource(&source);
    EXPECT_EQ(0, portraitAgain.references);
}

static DesktopFrame FrameWithPointer(UINT32 (*colourAt)(int x, int y)) {
    DesktopFrame frame = MakeDesktopFrame(64, 48, colourAt);
    frame.frameInfo.LastMouseUpdateTime.QuadPart = 1234;
    frame.frameInfo.PointerPosition.Position = {17, 9};
    frame.frameInfo.PointerPosition.Visible = TRUE;
    frame.frameInfo.PointerShapeBufferSize = 16;
    frame.shape.assign(16, 0x7F);
    frame.shapeInfo.Type = DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR;
    frame.shapeInfo.Width = 2;
    frame.shapeInfo.Height = 2;
    frame.shapeInfo.Pitch = 8;
    return frame;
}

TEST_F(CapturePictureTest, PointerIsReadWhileTheFrameIsHeldWhenRecordingTheMouse) {
    source.recordMouse = 1;
    duplication.script.push_back(FrameWithPointer(Pattern));
    ASSERT_EQ(S_OK, CapturePicture(&source, 0));
    EXPECT_EQ(17, source.pointer.pointerX);
    EXPECT_EQ(9, source.pointer.pointerY);
    EXPECT_EQ(1, source.pointer.pointerVisible);
    EXPECT_EQ(1, duplication.shapeCalls) << "the shape is read before ReleaseFrame";
    if (source.pointer.shapeBuffer)
        HeapFree(GetProcessHeap(), 0, source.pointer.shapeBuffer);
}

TEST_F(CapturePictureTest, PointerIsUpdatedEvenWhenTheCopyFails) {
    source.recordMouse = 1;
    d3dApi.QueryTexture2D = FailQueryTexture2D;
    duplication.script.push_back(FrameWithPointer(Pattern));
    ASSERT_EQ(S_OK, CapturePicture(&source, 0));
    EXPECT_EQ(17, source.pointer.pointerX);
    EXPECT_EQ(1, duplication.shapeCalls);
    if (source.pointer.shapeBuffer)
        HeapFree(GetProcessHeap(), 0, source.pointer.shapeBuffer);
}

TEST_F(CapturePictureTest, PointerIsLeftAloneWithoutTheMouseOption) {
    duplication.script.push_back(FrameWithPointer(Pattern));
    ASSERT_EQ(S_OK, CapturePicture(&source, 0));
    EXPECT_EQ(0, source.pointer.pointerVisible);
    EXPECT_EQ(0, duplication.shapeCalls);
    EXPECT_EQ(nullptr, source.pointer.shapeBuffer);
}

TEST_F(CapturePictureTest, ReopenReplacesTheDuplicationOnTheSameOutputAndDevice) {
    StandInDuplication second;
    // The platform refuses a second duplication while the first is alive.
    UseStandInDuplications({&second}, {&duplication});
    duplication.script.push_back(MakeDesktopFrame(64, 48, Pattern));
    ASSERT_EQ(S_OK, CapturePicture(&source, 0));
    IDXGIOutput1* output1 = source.output1;

    ASSERT_TRUE(ReopenDuplication(&source));
    EXPECT_EQ(0, duplication.references) << "the lost duplication is let go";
    EXPECT_EQ(static_cast<IDXGIOutputDuplication*>(&second), source.duplication);
    EXPECT_EQ(output1, handOutLog.duplicatedOutputs[0]);
    EXPECT_EQ(source.device, second.device);
    EXPECT_EQ(0, Mismatches(Pattern)) << "the picture survives until a new one arrives";
    EXPECT_EQ(20, source.cropWidth);

    EXPECT_FALSE(ReopenDuplication(&source)) << "nothing more to hand out";
    EXPECT_EQ(nullptr, source.duplication);
    EXPECT_EQ(0, second.references);
}

// ---- duplication, GDI, or waiting ----

static HRESULT duplicateAnswer;
static decltype(D3dApi::DuplicateOutput) handOutStandIn;

static HRESULT AnswerDuplicateOutput(IDXGIOutput1* output1, IUnknown* device,
                                     IDXGIOutputDuplication** duplication) {
    if (duplicateAnswer == S_OK)
        return handOutStandIn(output1, device, duplication);
    *duplication = nullptr;
    return duplicateAnswer;
}

static HRESULT WINAPI NoFactory(REFIID, void** factory) {
    *factory = nullptr;
    return E_OUTOFMEMORY;
}

static HRESULT NoOutput1(IDXGIOutput*, IDXGIOutput1** output1) {
    *output1 = nullptr;
    return E_NOINTERFACE;
}

// What a failed D3D11CreateDevice leaves in its out-pointers is not the caller's.
static StandInOutput leftBehind{RECT{0, 0, 1, 1}};

static HRESULT WINAPI NoDevice(IDXGIAdapter*, D3D_DRIVER_TYPE, HMODULE, UINT,
                               const D3D_FEATURE_LEVEL*, UINT, UINT, ID3D11Device** device,
                               D3D_FEATURE_LEVEL*, ID3D11DeviceContext** context) {
    *device = reinterpret_cast<ID3D11Device*>(static_cast<IUnknown*>(&leftBehind));
    *context = reinterpret_cast<ID3D11DeviceContext*>(static_cast<IUnknown*>(&leftBehind));
    return DXGI_ERROR_UNSUPPORTED;
}

// The monitors as GDI lists them, for when no adapter lists an output.
static RECT gdiMonitors[2];

static BOOL WINAPI ListedMonitors(HDC, LPCRECT, MONITORENUMPROC addMonitor, LPARAM parameter) {
    return addMonitor(nullptr, nullptr, &gdiMonitors[0], parameter) &&
           addMonitor(nullptr, nullptr, &gdiMonitors[1], parameter);
}

TEST_F(OpenCaptureSourceTest, DuplicatesWhereItCanWaitsWhileTheDesktopIsAwayElseReadsThroughGdi) {
    enum Path { DUPLICATION, WAITING, GDI };
    const struct {
        const char* what;
        HRESULT answer; // of DuplicateOutput
        void (*inject)();
        Path path;
    } rows[] = {
        {"duplicated", S_OK, nullptr, DUPLICATION},
        {"secure desktop", E_ACCESSDENIED, nullptr, WAITING},
        {"full-screen program", DXGI_ERROR_NOT_CURRENTLY_AVAILABLE, nullptr, WAITING},
        {"disconnected session", DXGI_ERROR_SESSION_DISCONNECTED, nullptr, WAITING},
        {"Microsoft Basic Render Driver", DXGI_ERROR_UNSUPPORTED, nullptr, GDI},
        {"Wine", E_NOTIMPL, nullptr, GDI},
        {"no factory", S_OK, [] { d3dApi.CreateDXGIFactory1 = NoFactory; }, GDI},
        {"no adapter has an output", S_OK, [] { UseStandInOutputs({}); }, GDI},
        {"no device", S_OK, [] { d3dApi.D3D11CreateDevice = NoDevice; }, GDI},
        {"no IDXGIOutput1", S_OK, [] { d3dApi.QueryOutput1 = NoOutput1; }, GDI},
    };
    handOutStandIn = d3dApi.DuplicateOutput;
    gdiMonitors[0] = PRIMARY;
    gdiMonitors[1] = RIGHT_OF_PRIMARY;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        d3dApi = realD3dApi;
        UseMonitors({PRIMARY, RIGHT_OF_PRIMARY});
        d3dApi.DuplicateOutput = AnswerDuplicateOutput;
        gdiApi.EnumDisplayMonitors = ListedMonitors;
        duplicateAnswer = row.answer;
        if (row.inject)
            row.inject();
        bool opened = Open({2000, 100, 2640, 460});
        EXPECT_EQ(row.path != WAITING, opened);
        EXPECT_STREQ(row.path == WAITING ? L"DuplicateOutput failed (GPU/monitor mismatch?)"
                                         : nullptr,
                     errorText);
        EXPECT_EQ(row.path == DUPLICATION, source.duplication != nullptr);
        EXPECT_EQ(row.path == GDI, source.gdi.inUse == 1);
        if (row.path == GDI) {
            EXPECT_TRUE(!source.factory && !source.adapter && !source.output && !source.device &&
                        !source.output1 && !source.stagingTexture)
                << "a recording through GDI keeps nothing of DXGI";
        }
        if (opened) {
            // The same monitor and crop, so the same video, on either path.
            EXPECT_EQ(RIGHT_OF_PRIMARY.left, source.outputRect.left);
            ExpectCrop({source.cropX, source.cropY, source.cropWidth, source.cropHeight}, 80, 100,
                       640, 360);
        }
        CloseSource(&source);
        EXPECT_EQ(0, leftBehind.references);
    }
}

// ---- reading the screen through GDI ----

static HBITMAP WINAPI NoDibSection(HDC, const BITMAPINFO*, UINT, void** bits, HANDLE, DWORD) {
    *bits = nullptr;
    return nullptr;
}
static BOOL WINAPI RefuseBitBlt(HDC, int, int, int, int, HDC, int, int, DWORD) {
    return FALSE;
}

// Blocks of the frame picture's size and a guard behind, which must stay as it was.
static const SIZE_T GUARD_BYTES = 256;

static LPVOID WINAPI GuardedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    BYTE* block = static_cast<BYTE*>(realOsApi.HeapAlloc(heap, flags, bytes + GUARD_BYTES));
    if (block)
        memset(block + bytes, 0xA5, GUARD_BYTES);
    return block;
}

TEST_F(OpenCaptureSourceTest, UnreadableScreenKeepsTheLastPictureAndNothingIsWrittenPastIt) {
    const struct {
        const char* what;
        void (*inject)();
        RECT monitor;
    } failures[] = {
        {"no DIB section", [] { gdiApi.CreateDIBSection = NoDibSection; }, PRIMARY},
        {"BitBlt refused (secure desktop)", [] { gdiApi.BitBlt = RefuseBitBlt; }, PRIMARY},
        // A monitor beyond the screen that is there (unplugged meanwhile): the
        // crop lies partly off the virtual screen.
        {"crop partly off the screen", nullptr, {1800, 0, 3720, 1080}},
    };
    UseMonitors({});
    osApi.HeapAlloc = GuardedHeapAlloc;
    gdiApi.EnumDisplayMonitors = ListedMonitors;
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.what);
        gdiMonitors[0] = gdiMonitors[1] = failure.monitor;
        ASSERT_TRUE(Open({1850, 100, 2050, 300}));
        memset(source.framePicture, 0x5A, source.frameBytes); // the last picture
        if (failure.inject) {
            failure.inject();
            EXPECT_EQ(DXGI_ERROR_WAIT_TIMEOUT, CapturePicture(&source, 0));
            EXPECT_EQ(DXGI_ERROR_WAIT_TIMEOUT, CapturePicture(&source, 0));
            EXPECT_EQ(source.frameBytes,
                      UINT(std::count(source.framePicture, source.framePicture + source.frameBytes,
                                      BYTE(0x5A))));
            gdiApi.CreateDIBSection = realGdiApi.CreateDIBSection;
            gdiApi.BitBlt = realGdiApi.BitBlt;
        }
        EXPECT_EQ(S_OK, CapturePicture(&source, 0)) << "read again at the next frame";
        const BYTE* guard = source.framePicture + source.frameBytes;
        EXPECT_EQ(GUARD_BYTES, size_t(std::count(guard, guard + GUARD_BYTES, BYTE(0xA5))));
        CloseSource(&source);
    }
}
