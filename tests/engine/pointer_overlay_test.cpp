#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>
#include <vector>
#include "engine/engine.h"
#include "standins.h"

namespace {

const UINT32 GREY = 0x40806020; // A 0x40, R 0x80, G 0x60, B 0x20

// A sample of width x height pixels, every pixel `fill` (B, G, R, A little-endian).
struct Picture {
    int width;
    int height;
    std::vector<BYTE> bytes;

    Picture(int w, int h, UINT32 fill) : width(w), height(h), bytes(size_t(w) * h * 4) {
        for (int i = 0; i < w * h; i++)
            memcpy(&bytes[size_t(i) * 4], &fill, 4);
    }
    UINT32 At(int x, int y) const {
        UINT32 pixel;
        memcpy(&pixel, &bytes[(size_t(y) * width + x) * 4], 4);
        return pixel;
    }
};

// A shape of the given type held by the test; the pointer state borrows it.
struct Shape {
    std::vector<BYTE> bytes;
    DXGI_OUTDUPL_POINTER_SHAPE_INFO info;
};

Shape SolidColourShape(UINT width, UINT height, UINT32 pixel) {
    Shape shape = {};
    shape.info.Type = DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR;
    shape.info.Width = width;
    shape.info.Height = height;
    shape.info.Pitch = width * 4;
    shape.bytes.resize(size_t(width) * height * 4);
    for (size_t i = 0; i < size_t(width) * height; i++)
        memcpy(&shape.bytes[i * 4], &pixel, 4);
    return shape;
}

// Monochrome: each plane `height` / 2 rows of `pitch` bytes, every row of a
// plane the same bytes.
Shape MonochromeShape(UINT width, UINT height, UINT pitch, std::vector<BYTE> andRow,
                      std::vector<BYTE> xorRow) {
    Shape shape = {};
    shape.info.Type = DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MONOCHROME;
    shape.info.Width = width;
    shape.info.Height = height;
    shape.info.Pitch = pitch;
    andRow.resize(pitch);
    xorRow.resize(pitch);
    for (UINT j = 0; j < height / 2; j++)
        shape.bytes.insert(shape.bytes.end(), andRow.begin(), andRow.end());
    for (UINT j = 0; j < height / 2; j++)
        shape.bytes.insert(shape.bytes.end(), xorRow.begin(), xorRow.end());
    return shape;
}

PointerState VisibleAt(int x, int y, Shape& shape) {
    PointerState pointer = {};
    pointer.pointerX = x;
    pointer.pointerY = y;
    pointer.pointerVisible = 1;
    pointer.shapeBuffer = shape.bytes.data();
    pointer.shapeCapacity = UINT(shape.bytes.size());
    pointer.shapeBytes = UINT(shape.bytes.size());
    pointer.shapeInfo = shape.info;
    return pointer;
}

void Composite(const PointerState& pointer, Picture& sample, int cropX = 0, int cropY = 0) {
    CompositePointer(&pointer, sample.bytes.data(), cropX, cropY, sample.width, sample.height);
}

// Pixels inside [left, right) x [top, bottom) must be `inside`, all others `outside`.
void ExpectRectangle(const Picture& sample, int left, int top, int right, int bottom, UINT32 inside,
                     UINT32 outside) {
    for (int y = 0; y < sample.height; y++) {
        for (int x = 0; x < sample.width; x++) {
            bool in = x >= left && x < right && y >= top && y < bottom;
            ASSERT_EQ(in ? inside : outside, sample.At(x, y)) << "at " << x << "," << y;
        }
    }
}

} // namespace

// ---- colour shapes ----

TEST(ColourPointer, AlphaBlendsEachChannelRoundedToNearest) {
    struct Case {
        const char* what;
        UINT32 shape; // A R G B
        UINT32 sample;
        UINT32 expected;
    } cases[] = {
        {"128 black over white gives 127", 0x80000000, 0xFFFFFFFF, 0xFF7F7F7F},
        {"128 white over black gives 128", 0x80FFFFFF, 0x00000000, 0x00808080},
        {"255 copies the shape colour", 0xFF123456, GREY, 0x40123456},
        {"0 leaves the sample", 0x00FFFFFF, GREY, GREY},
        // (dst x 191 + src x 64 + 127) / 255 for R, G and B apart
        {"channels blend on their own", 0x40FF0080, 0xFF00FF10, 0xFF40BF2C},
        // 100 x 127 / 255 is 49.8: 50; 200 x 127 / 255 is 99.6: 100
        {"rounds to nearest", 0x80000000, 0x0064C864, 0x00326432},
    };
    for (const Case& c : cases) {
        Shape shape = SolidColourShape(1, 1, c.shape);
        Picture sample(1, 1, c.sample);
        Composite(VisibleAt(0, 0, shape), sample);
        EXPECT_EQ(c.expected, sample.At(0, 0)) << c.what;
    }
}

TEST(ColourPointer, RowsFollowThePitchNotTheWidth) {
    // 2 x 2 shape whose rows are 16 bytes apart; the gap holds opaque garbage.
    Shape shape = {};
    shape.info = {DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR, 2, 2, 16, {0, 0}};
    shape.bytes.assign(32, 0xFF);
    UINT32 red = 0xFFFF0000, green = 0xFF00FF00;
    memcpy(&shape.bytes[0], &red, 4);
    memcpy(&shape.bytes[4], &red, 4);
    memcpy(&shape.bytes[16], &green, 4);
    memcpy(&shape.bytes[20], &green, 4);
    Picture sample(3, 3, 0);
    Composite(VisibleAt(0, 0, shape), sample);
    EXPECT_EQ(0x00FF0000u, sample.At(0, 0));
    EXPECT_EQ(0x00FF0000u, sample.At(1, 0));
    EXPECT_EQ(0x0000FF00u, sample.At(0, 1));
    EXPECT_EQ(0x0000FF00u, sample.At(1, 1));
    EXPECT_EQ(0u, sample.At(2, 0));
    EXPECT_EQ(0u, sample.At(0, 2));
}

TEST(MaskedColourPointer, MaskSetXorsAndMaskClearReplaces) {
    Shape shape = {};
    shape.info = {DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MASKED_COLOR, 2, 1, 8, {0, 0}};
    UINT32 xorPixel = 0xFF0F0F0F, replacePixel = 0x00123456;
    shape.bytes.resize(8);
    memcpy(&shape.bytes[0], &xorPixel, 4);
    memcpy(&shape.bytes[4], &replacePixel, 4);
    Picture sample(2, 1, 0xAAF0A050);
    Composite(VisibleAt(0, 0, shape), sample);
    EXPECT_EQ(0xAAFFAF5Fu, sample.At(0, 0));
    EXPECT_EQ(0xAA123456u, sample.At(1, 0));
}

// ---- monochrome shapes ----

TEST(MonochromePointer, EveryRowOfTheAndXorTable) {
    // Columns 0..3: AND 0 XOR 0, AND 0 XOR 1, AND 1 XOR 0, AND 1 XOR 1 (leftmost
    // pixel in the most significant bit); columns 4..7 transparent.
    Shape shape = MonochromeShape(8, 2, 4, {0x3F}, {0x50});
    Picture sample(8, 1, 0x7F30C005);
    Composite(VisibleAt(0, 0, shape), sample);
    EXPECT_EQ(0x7F000000u, sample.At(0, 0)); // black
    EXPECT_EQ(0x7FFFFFFFu, sample.At(1, 0)); // white
    EXPECT_EQ(0x7F30C005u, sample.At(2, 0)); // unchanged
    EXPECT_EQ(0x7FCF3FFAu, sample.At(3, 0)); // inverted
    for (int x = 4; x < 8; x++)
        EXPECT_EQ(0x7F30C005u, sample.At(x, 0)) << x;
}

TEST(MonochromePointer, ColumnsPastTheFirstByteUseTheNextByte) {
    // 16 wide: AND byte 1 is clear only for column 9, XOR byte 1 set for it.
    Shape shape = MonochromeShape(16, 2, 2, {0xFF, 0xBF}, {0x00, 0x40});
    Picture sample(16, 1, GREY);
    Composite(VisibleAt(0, 0, shape), sample);
    for (int x = 0; x < 16; x++)
        EXPECT_EQ(x == 9 ? 0x40FFFFFFu : GREY, sample.At(x, 0)) << x;
}

TEST(MonochromePointer, Height64DrawsThirtyTwoRows) {
    Shape shape = MonochromeShape(32, 64, 4, {0, 0, 0, 0}, {0xFF, 0xFF, 0xFF, 0xFF});
    Picture sample(40, 70, GREY);
    Composite(VisibleAt(0, 0, shape), sample);
    ExpectRectangle(sample, 0, 0, 32, 32, 0x40FFFFFF, GREY);
}

// ---- position and clipping ----

TEST(PointerClipping, PositionIsRelativeToTheOutputNotTheCrop) {
    Shape shape = SolidColourShape(2, 2, 0xFF0000FF);
    Picture sample(10, 10, 0xFF000000);
    Composite(VisibleAt(103, 54, shape), sample, 100, 50);
    ExpectRectangle(sample, 3, 4, 5, 6, 0xFF0000FF, 0xFF000000);
}

TEST(PointerClipping, HangingPastEachSideDrawsOnlyTheOverlap) {
    struct Case {
        const char* side;
        int x, y;
        int left, top, right, bottom;
    } cases[] = {
        {"left", -3, 2, 0, 2, 1, 6},   {"right", 8, 2, 8, 2, 10, 6},   {"top", 2, -3, 2, 0, 6, 1},
        {"bottom", 2, 7, 2, 7, 6, 10}, {"corner", -2, -2, 0, 0, 2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.side);
        Shape shape = SolidColourShape(4, 4, 0xFFFFFFFF);
        Picture sample(10, 10, 0xFF000000);
        Composite(VisibleAt(c.x + 20, c.y + 30, shape), sample, 20, 30);
        ExpectRectangle(sample, c.left, c.top, c.right, c.bottom, 0xFFFFFFFF, 0xFF000000);
    }
}

TEST(PointerClipping, MonochromeClipsTheSameWay) {
    Shape shape = MonochromeShape(8, 8, 1, {0x00}, {0xFF});
    Picture sample(6, 6, 0xFF000000);
    Composite(VisibleAt(-4, 3, shape), sample);
    ExpectRectangle(sample, 0, 3, 4, 6, 0xFFFFFFFF, 0xFF000000);
}

TEST(PointerClipping, EntirelyOutsideOrAtExtremePositionsDrawsNothing) {
    int positions[][2] = {{-64, 0},           {10, 0},      {0, 10},
                          {0, -64},           {INT_MIN, 0}, {INT_MAX, INT_MAX},
                          {INT_MIN, INT_MIN}, {0, INT_MAX}};
    for (auto& position : positions) {
        Shape shape = SolidColourShape(64, 64, 0xFFFFFFFF);
        Picture sample(10, 10, GREY);
        Composite(VisibleAt(position[0], position[1], shape), sample);
        ExpectRectangle(sample, 0, 0, 0, 0, 0, GREY);
    }
}

TEST(PointerClipping, CropOffsetNearTheLimitsDoesNotWrap) {
    Shape shape = SolidColourShape(4, 4, 0xFFFFFFFF);
    Picture sample(10, 10, GREY);
    Composite(VisibleAt(INT_MIN, INT_MIN, shape), sample, INT_MAX - 20, INT_MAX - 20);
    ExpectRectangle(sample, 0, 0, 0, 0, 0, GREY);
}

// ---- what is never drawn or touched ----

TEST(PointerNotDrawn, InvisibleOrShapelessPointerLeavesTheSample) {
    Shape shape = SolidColourShape(4, 4, 0xFFFFFFFF);
    PointerState hidden = VisibleAt(0, 0, shape);
    hidden.pointerVisible = 0;
    PointerState noBuffer = VisibleAt(0, 0, shape);
    noBuffer.shapeBuffer = nullptr;
    PointerState noWidth = VisibleAt(0, 0, shape);
    noWidth.shapeInfo.Width = 0;
    PointerState noHeight = VisibleAt(0, 0, shape);
    noHeight.shapeInfo.Height = 0;
    for (const PointerState& pointer : {hidden, noBuffer, noWidth, noHeight}) {
        Picture sample(8, 8, GREY);
        Composite(pointer, sample);
        ExpectRectangle(sample, 0, 0, 0, 0, 0, GREY);
    }
}

TEST(PointerNotDrawn, NothingBeforeTheFirstUpdate) {
    PointerState pointer = {};
    ResetPointerState(&pointer);
    Picture sample(8, 8, GREY);
    Composite(pointer, sample);
    ExpectRectangle(sample, 0, 0, 0, 0, 0, GREY);
    EXPECT_EQ(nullptr, pointer.shapeBuffer);
    EXPECT_EQ(0u, pointer.shapeCapacity);
}

TEST(PointerNotDrawn, ShapeInfoClaimingMoreThanTheBufferHoldsIsNotDrawn) {
    // Each case would read past the 64 bytes held if believed.
    struct Case {
        const char* what;
        DXGI_OUTDUPL_POINTER_SHAPE_INFO info;
    } cases[] = {
        {"colour rows past the end", {DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR, 4, 5, 16, {0, 0}}},
        {"colour pitch below width", {DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR, 8, 4, 4, {0, 0}}},
        {"masked pitch past the end",
         {DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MASKED_COLOR, 4, 4, 32, {0, 0}}},
        {"monochrome planes past the end",
         {DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MONOCHROME, 32, 34, 4, {0, 0}}},
        {"monochrome pitch below width",
         {DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MONOCHROME, 64, 8, 4, {0, 0}}},
        {"huge width", {DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR, 0x40000001, 1, 4, {0, 0}}},
        {"huge height times pitch",
         {DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR, 1, 0x10000001, 16, {0, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Shape shape = SolidColourShape(4, 4, 0xFFFFFFFF); // 64 bytes
        shape.info = c.info;
        Picture sample(8, 8, GREY);
        Composite(VisibleAt(0, 0, shape), sample);
        ExpectRectangle(sample, 0, 0, 0, 0, 0, GREY);
    }
}

TEST(PointerNotDrawn, ShapeThatExactlyFillsTheBufferIsDrawn) {
    Shape shape = MonochromeShape(8, 4, 1, {0x00}, {0xFF}); // 4 bytes: 2 + 2 rows
    Picture sample(8, 8, GREY);
    Composite(VisibleAt(0, 0, shape), sample);
    ExpectRectangle(sample, 0, 0, 8, 2, 0x40FFFFFF, GREY);
}

TEST(PointerNotDrawn, AlphaBytesAndTheKeptPictureStayUntouched) {
    // A 16 x 16 picture of distinct bytes with a pointer of every type over it.
    CaptureSource source = {};
    source.cropWidth = 16;
    source.cropHeight = 16;
    source.frameStride = 64;
    source.frameBytes = 1024;
    std::vector<BYTE> picture(1024);
    for (size_t i = 0; i < picture.size(); i++)
        picture[i] = BYTE(i * 7 + 3);
    const std::vector<BYTE> original = picture;
    source.framePicture = picture.data();
    Shape shapes[] = {SolidColourShape(8, 8, 0x80FFFFFF), SolidColourShape(8, 8, 0xFF00FF00),
                      MonochromeShape(8, 16, 1, {0x0F}, {0x33})};
    shapes[1].info.Type = DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MASKED_COLOR;
    for (Shape& shape : shapes) {
        source.pointer = VisibleAt(4, 4, shape);
        std::vector<BYTE> sample(1024, 0xEE);
        PrepareSample(&source, sample.data(), 1);
        EXPECT_NE(original, sample); // the pointer is there
        for (size_t i = 3; i < sample.size(); i += 4)
            ASSERT_EQ(original[i], sample[i]) << "alpha of pixel " << i / 4;
        EXPECT_EQ(original, picture);
    }
}

TEST(PointerNotDrawn, RecordMouseOffCopiesThePictureOnly) {
    CaptureSource source = {};
    source.cropWidth = 4;
    source.cropHeight = 4;
    source.frameBytes = 64;
    std::vector<BYTE> picture(64, 0x5A);
    source.framePicture = picture.data();
    Shape shape = SolidColourShape(4, 4, 0xFFFFFFFF);
    source.pointer = VisibleAt(0, 0, shape);
    std::vector<BYTE> sample(64, 0);
    PrepareSample(&source, sample.data(), 0);
    EXPECT_EQ(picture, sample);
}

// ---- keeping the pointer state ----

namespace {

// What the stand-in GetFramePointerShape serves, and what it was asked.
Shape servedShape;
bool describeShortShape; // a short buffer still gets the new shapeInfo
std::vector<UINT> shapeBufferSizes;

HRESULT ServeShape(IDXGIOutputDuplication*, UINT bufferSize, void* buffer, UINT* requiredSize,
                   DXGI_OUTDUPL_POINTER_SHAPE_INFO* info) {
    shapeBufferSizes.push_back(bufferSize);
    UINT size = UINT(servedShape.bytes.size());
    *requiredSize = size;
    if (size > bufferSize) {
        // Either way a short buffer may be left: the new description with as
        // many bytes as fit, or nothing touched at all.
        if (describeShortShape) {
            *info = servedShape.info;
            memcpy(buffer, servedShape.bytes.data(), bufferSize);
        }
        return DXGI_ERROR_MORE_DATA;
    }
    *info = servedShape.info;
    memcpy(buffer, servedShape.bytes.data(), size);
    return S_OK;
}

int failAllocations;
LPVOID WINAPI FailingHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    return failAllocations ? nullptr : HeapAlloc(heap, flags, bytes);
}
LPVOID WINAPI FailingHeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
    return failAllocations ? nullptr : HeapReAlloc(heap, flags, block, bytes);
}

DXGI_OUTDUPL_FRAME_INFO PointerUpdate(int x, int y, BOOL visible, UINT shapeSize) {
    DXGI_OUTDUPL_FRAME_INFO info = {};
    info.LastMouseUpdateTime.QuadPart = 1234;
    info.PointerPosition.Position = {x, y};
    info.PointerPosition.Visible = visible;
    info.PointerShapeBufferSize = shapeSize;
    return info;
}

DXGI_OUTDUPL_FRAME_INFO NewShapeOnly(UINT shapeSize) {
    DXGI_OUTDUPL_FRAME_INFO info = {};
    info.PointerShapeBufferSize = shapeSize;
    return info;
}

class PointerStateTest : public ::testing::Test {
  protected:
    SeamGuard guard;
    PointerState pointer = {};

    void SetUp() override {
        d3dApi.GetFramePointerShape = ServeShape;
        osApi.HeapAlloc = FailingHeapAlloc;
        osApi.HeapReAlloc = FailingHeapReAlloc;
        failAllocations = 0;
        describeShortShape = true;
        shapeBufferSizes.clear();
        ResetPointerState(&pointer);
    }
    void TearDown() override { ResetPointerState(&pointer); }

    void Update(const DXGI_OUTDUPL_FRAME_INFO& info) {
        UpdatePointerState(&pointer, &info, nullptr);
    }
    Picture Drawn(int width = 16, int height = 16) {
        Picture sample(width, height, 0xFF000000);
        Composite(pointer, sample);
        return sample;
    }
};

} // namespace

TEST_F(PointerStateTest, UpdateTakesPositionVisibilityAndShape) {
    servedShape = SolidColourShape(4, 4, 0xFFFFFFFF);
    Update(PointerUpdate(3, 5, TRUE, 64));
    EXPECT_EQ(3, pointer.pointerX);
    EXPECT_EQ(5, pointer.pointerY);
    EXPECT_EQ(1, pointer.pointerVisible);
    EXPECT_EQ(64u, pointer.shapeCapacity);
    ExpectRectangle(Drawn(), 3, 5, 7, 9, 0xFFFFFFFF, 0xFF000000);
}

TEST_F(PointerStateTest, FrameWithoutMouseUpdateKeepsPosition) {
    servedShape = SolidColourShape(4, 4, 0xFFFFFFFF);
    Update(PointerUpdate(3, 5, TRUE, 64));
    DXGI_OUTDUPL_FRAME_INFO stale = PointerUpdate(9, 9, FALSE, 0);
    stale.LastMouseUpdateTime.QuadPart = 0;
    Update(stale);
    EXPECT_EQ(3, pointer.pointerX);
    EXPECT_EQ(5, pointer.pointerY);
    EXPECT_EQ(1, pointer.pointerVisible);
}

TEST_F(PointerStateTest, HiddenPointerKeepsItsShapeForWhenItReturns) {
    servedShape = SolidColourShape(4, 4, 0xFFFFFFFF);
    Update(PointerUpdate(1, 1, TRUE, 64));
    Update(PointerUpdate(2, 2, FALSE, 0));
    ExpectRectangle(Drawn(), 0, 0, 0, 0, 0, 0xFF000000);
    servedShape = SolidColourShape(4, 4, 0xFF00FF00); // not asked for: no new shape
    Update(PointerUpdate(6, 6, TRUE, 0));
    ExpectRectangle(Drawn(), 6, 6, 10, 10, 0xFFFFFFFF, 0xFF000000);
    EXPECT_EQ(1u, shapeBufferSizes.size());
}

TEST_F(PointerStateTest, BufferGrowsToExactSizeAndIsReusedForSmallerShapes) {
    servedShape = SolidColourShape(2, 2, 0xFFFFFFFF);
    Update(PointerUpdate(0, 0, TRUE, 16));
    EXPECT_EQ(16u, pointer.shapeCapacity);
    servedShape = SolidColourShape(8, 8, 0xFFFFFFFF);
    Update(NewShapeOnly(256));
    EXPECT_EQ(256u, pointer.shapeCapacity);
    BYTE* grown = pointer.shapeBuffer;
    servedShape = SolidColourShape(3, 3, 0xFF0000FF);
    Update(NewShapeOnly(36));
    EXPECT_EQ(256u, pointer.shapeCapacity);
    EXPECT_EQ(grown, pointer.shapeBuffer);
    EXPECT_EQ((std::vector<UINT>{16, 256, 256}), shapeBufferSizes);
    ExpectRectangle(Drawn(), 0, 0, 3, 3, 0xFF0000FF, 0xFF000000);
}

TEST_F(PointerStateTest, NoBufferAtAllDrawsNothingAndAsksForNoShape) {
    failAllocations = 1;
    servedShape = SolidColourShape(4, 4, 0xFFFFFFFF);
    Update(PointerUpdate(0, 0, TRUE, 64));
    EXPECT_EQ(nullptr, pointer.shapeBuffer);
    EXPECT_EQ(0u, pointer.shapeCapacity);
    EXPECT_TRUE(shapeBufferSizes.empty());
    ExpectRectangle(Drawn(), 0, 0, 0, 0, 0, 0xFF000000);
}

TEST_F(PointerStateTest, ShapeThatCouldNotGrowIsNotDrawnUntilOneFits) {
    // Whether the short call leaves the new description or nothing at all, the
    // stored shape no longer is the pointer's: no pointer rather than a wrong one.
    for (bool described : {true, false}) {
        SCOPED_TRACE(described ? "new shapeInfo left" : "nothing left");
        ResetPointerState(&pointer);
        failAllocations = 0;
        servedShape = SolidColourShape(4, 4, 0xFFFFFFFF);
        Update(PointerUpdate(0, 0, TRUE, 64));
        BYTE* held = pointer.shapeBuffer;

        failAllocations = 1;
        describeShortShape = described;
        servedShape = SolidColourShape(8, 8, 0xFF00FF00);
        Update(NewShapeOnly(256));
        EXPECT_EQ(held, pointer.shapeBuffer);
        EXPECT_EQ(64u, pointer.shapeCapacity);
        EXPECT_EQ(64u, shapeBufferSizes.back()); // still asked, with what it holds
        ExpectRectangle(Drawn(), 0, 0, 0, 0, 0, 0xFF000000);

        failAllocations = 0;
        servedShape = SolidColourShape(2, 2, 0xFF0000FF);
        Update(NewShapeOnly(16));
        ExpectRectangle(Drawn(), 0, 0, 2, 2, 0xFF0000FF, 0xFF000000);
    }
}

TEST_F(PointerStateTest, ResetForgetsEverythingAndFreesTheShape) {
    servedShape = SolidColourShape(4, 4, 0xFFFFFFFF);
    Update(PointerUpdate(7, 8, TRUE, 64));
    ResetPointerState(&pointer);
    EXPECT_EQ(0, pointer.pointerX);
    EXPECT_EQ(0, pointer.pointerY);
    EXPECT_EQ(0, pointer.pointerVisible);
    EXPECT_EQ(nullptr, pointer.shapeBuffer);
    EXPECT_EQ(0u, pointer.shapeCapacity);
    ExpectRectangle(Drawn(), 0, 0, 0, 0, 0, 0xFF000000);
}

// ---- the cursor as GDI gives it ----

namespace {

CURSORINFO cursorShown; // what GetCursorInfo answers
int iconInfoCalls;

BOOL WINAPI ShowCursorInfo(PCURSORINFO info) {
    *info = cursorShown;
    return TRUE;
}

BOOL WINAPI CountIconInfo(HICON icon, PICONINFO info) {
    iconInfoCalls++;
    return realGdiApi.GetIconInfo(icon, info);
}

int WINAPI FailGetDIBits(HDC, HBITMAP, UINT, UINT, LPVOID, LPBITMAPINFO, UINT) {
    return 0;
}

// 32 x 32, hot spot (3, 5). Its top 16 rows: columns 0-7 black, 8-15 white,
// 16-23 transparent, 24-31 inverting; the rest transparent.
HCURSOR MonochromeCursor() {
    BYTE andPlane[128];
    BYTE xorPlane[128];
    for (int i = 0; i < 128; i++) {
        andPlane[i] = i < 64 && i % 4 < 2 ? 0x00 : 0xFF;
        xorPlane[i] = i < 64 && i % 2 == 1 ? 0xFF : 0x00;
    }
    return CreateCursor(GetModuleHandleW(nullptr), 3, 5, 32, 32, andPlane, xorPlane);
}

// 16 x 16, hot spot (2, 1): the left half opaque red, the right half blue at alpha 128.
HCURSOR ColourCursor() {
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof info.bmiHeader, 16, -16, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP colour = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    for (int i = 0; i < 256; i++)
        static_cast<UINT32*>(bits)[i] = i % 16 < 8 ? 0xFFFF0000 : 0x800000FF;
    HBITMAP mask = CreateBitmap(16, 16, 1, 1, nullptr);
    ICONINFO icon = {FALSE, 2, 1, mask, colour};
    HCURSOR cursor = CreateIconIndirect(&icon);
    DeleteObject(mask);
    DeleteObject(colour);
    return cursor;
}

class GdiPointerTest : public ::testing::Test {
  protected:
    SeamGuard guard;
    CaptureSource source = {};

    void SetUp() override {
        source.outputRect = {-100, 0, 0, 48}; // a monitor left of the primary
        gdiApi.GetCursorInfo = ShowCursorInfo;
        gdiApi.GetIconInfo = CountIconInfo;
        iconInfoCalls = 0;
    }
    void TearDown() override { ResetPointerState(&source.pointer); }

    // The cursor with its hot spot at (x, y) of the output, over GREY.
    Picture DrawnWith(HCURSOR cursor, int x, int y) {
        cursorShown = {sizeof(CURSORINFO), CURSOR_SHOWING, cursor, {x - 100, y}};
        UpdateGdiPointer(&source);
        Picture sample(64, 48, GREY);
        Composite(source.pointer, sample);
        return sample;
    }
};

} // namespace

// Pixels of the width x height box at (left, top) must be inBox(k), column k
// of the box; all others GREY.
static void ExpectBox(const Picture& sample, int left, int top, int width, int height,
                      UINT32 (*inBox)(int k)) {
    for (int y = 0; y < sample.height; y++) {
        for (int x = 0; x < sample.width; x++) {
            bool in = x >= left && x < left + width && y >= top && y < top + height;
            ASSERT_EQ(in ? inBox(x - left) : GREY, sample.At(x, y)) << "at " << x << "," << y;
        }
    }
}

TEST_F(GdiPointerTest, MonochromeAndColourCursorsAreDrawnFromTheirHotSpots) {
    HCURSOR monochrome = MonochromeCursor();
    HCURSOR colour = ColourCursor();
    ASSERT_TRUE(monochrome && colour);
    // Black, white, unchanged, inverted; the sample's alpha byte stays.
    ExpectBox(DrawnWith(monochrome, 20, 10), 17, 5, 32, 16, [](int k) {
        const UINT32 bands[4] = {0x40000000, 0x40FFFFFF, GREY, 0x407F9FDF};
        return bands[k / 8];
    });
    DrawnWith(monochrome, 30, 30);
    EXPECT_EQ(1, iconInfoCalls) << "the shape is turned once per cursor";
    // Blue at 128 over GREY: B (0x20 x 127 + 0xFF x 128 + 127) / 255 = 0x90, G 0x30, R 0x40.
    ExpectBox(DrawnWith(colour, 30, 20), 28, 19, 16, 16,
              [](int k) { return k < 8 ? 0x40FF0000u : 0x40403090u; });
    EXPECT_EQ(2, iconInfoCalls);
    DestroyCursor(monochrome);
    DestroyCursor(colour);
}

TEST_F(GdiPointerTest, CursorWhoseBitmapsCannotBeReadDrawsNoPointer) {
    HCURSOR cursor = ColourCursor();
    gdiApi.GetDIBits = FailGetDIBits;
    ExpectRectangle(DrawnWith(cursor, 30, 20), 0, 0, 0, 0, 0, GREY);
    DestroyCursor(cursor);
    // A handle that is no cursor (one gone meanwhile): GetIconInfo refuses it.
    gdiApi.GetDIBits = realGdiApi.GetDIBits;
    ExpectRectangle(DrawnWith(reinterpret_cast<HCURSOR>(0x1234), 30, 20), 0, 0, 0, 0, 0, GREY);
    EXPECT_EQ(2, iconInfoCalls);
}
