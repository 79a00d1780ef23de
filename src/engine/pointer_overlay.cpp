#include "engine/engine.h"
#include "engine/d3d_api.h"
#include "engine/os_api.h"

void ResetPointerState(PointerState* pointer) {
    if (pointer->shapeBuffer)
        osApi.HeapFree(GetProcessHeap(), 0, pointer->shapeBuffer);
    pointer->pointerX = 0;
    pointer->pointerY = 0;
    pointer->pointerVisible = 0;
    pointer->shapeBuffer = nullptr;
    pointer->shapeCapacity = 0;
    pointer->shapeBytes = 0;
}

void GrowShapeBuffer(PointerState* pointer, UINT size) {
    void* grown = pointer->shapeBuffer
                      ? osApi.HeapReAlloc(GetProcessHeap(), 0, pointer->shapeBuffer, size)
                      : osApi.HeapAlloc(GetProcessHeap(), 0, size);
    if (!grown)
        return;
    pointer->shapeBuffer = static_cast<BYTE*>(grown);
    pointer->shapeCapacity = size;
}

void UpdatePointerState(PointerState* pointer, const DXGI_OUTDUPL_FRAME_INFO* frameInfo,
                        IDXGIOutputDuplication* duplication) {
    if (frameInfo->LastMouseUpdateTime.QuadPart != 0) {
        pointer->pointerVisible = frameInfo->PointerPosition.Visible ? 1 : 0;
        pointer->pointerX = frameInfo->PointerPosition.Position.x;
        pointer->pointerY = frameInfo->PointerPosition.Position.y;
    }
    UINT shapeSize = frameInfo->PointerShapeBufferSize;
    if (shapeSize == 0)
        return;
    if (shapeSize > pointer->shapeCapacity)
        GrowShapeBuffer(pointer, shapeSize);
    if (!pointer->shapeBuffer)
        return;
    UINT requiredSize = 0;
    d3dApi.GetFramePointerShape(duplication, pointer->shapeCapacity, pointer->shapeBuffer,
                                &requiredSize, &pointer->shapeInfo);
    // A new shape that did not fit left at best part of itself in the buffer, and
    // shapeInfo may describe it rather than the old one: draw no pointer until a
    // shape arrives that fits, rather than a wrong or torn one.
    pointer->shapeBytes = shapeSize <= pointer->shapeCapacity ? shapeSize : 0;
}

// True when every byte the shape's rows and columns address lies within the
// bytes the buffer holds, whatever shapeInfo claims.
static bool ShapeFitsBuffer(const PointerState* pointer, UINT rows, UINT rowBytes) {
    const DXGI_OUTDUPL_POINTER_SHAPE_INFO& info = pointer->shapeInfo;
    if (info.Pitch < rowBytes)
        return false;
    UINT64 needed = static_cast<UINT64>(rows) * info.Pitch;
    return needed <= pointer->shapeBytes && pointer->shapeBytes <= pointer->shapeCapacity;
}

// Shape columns [first, last) and rows that land inside the sample.
struct ShapeClip {
    LONGLONG originX;
    LONGLONG originY;
    UINT firstColumn;
    UINT lastColumn;
    UINT firstRow;
    UINT lastRow;
};

// 64-bit so that an extreme reported position cannot wrap into the sample.
static UINT ClipFirst(LONGLONG origin) {
    return origin < 0 ? static_cast<UINT>(-origin > 0xFFFFFFFFLL ? 0xFFFFFFFFLL : -origin) : 0;
}

static UINT ClipLast(LONGLONG origin, UINT count, int limit) {
    LONGLONG end = origin + count;
    if (end > limit)
        end = limit;
    LONGLONG last = end - origin;
    return last < 0 ? 0 : static_cast<UINT>(last);
}

static ShapeClip ClipShape(const PointerState* pointer, UINT columns, UINT rows, int cropX,
                           int cropY, int cropWidth, int cropHeight) {
    ShapeClip clip;
    clip.originX = static_cast<LONGLONG>(pointer->pointerX) - cropX;
    clip.originY = static_cast<LONGLONG>(pointer->pointerY) - cropY;
    clip.firstColumn = ClipFirst(clip.originX);
    clip.lastColumn = ClipLast(clip.originX, columns, cropWidth);
    clip.firstRow = ClipFirst(clip.originY);
    clip.lastRow = ClipLast(clip.originY, rows, cropHeight);
    return clip;
}

static BYTE* SamplePixel(BYTE* sample, const ShapeClip& clip, UINT k, UINT j, int cropWidth) {
    size_t x = static_cast<size_t>(clip.originX + k);
    size_t y = static_cast<size_t>(clip.originY + j);
    return sample + (y * static_cast<size_t>(cropWidth) + x) * 4;
}

static BYTE Blend(BYTE dst, BYTE src, BYTE alpha) {
    return static_cast<BYTE>((dst * (255 - alpha) + src * alpha + 127) / 255);
}

static void DrawColour(const PointerState* pointer, BYTE* sample, const ShapeClip& clip,
                       int cropWidth) {
    const DXGI_OUTDUPL_POINTER_SHAPE_INFO& info = pointer->shapeInfo;
    bool masked = info.Type == DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MASKED_COLOR;
    for (UINT j = clip.firstRow; j < clip.lastRow; ++j) {
        const BYTE* row = pointer->shapeBuffer + static_cast<size_t>(j) * info.Pitch;
        for (UINT k = clip.firstColumn; k < clip.lastColumn; ++k) {
            const BYTE* src = row + static_cast<size_t>(k) * 4;
            BYTE* dst = SamplePixel(sample, clip, k, j, cropWidth);
            if (masked) {
                for (int c = 0; c < 3; ++c)
                    dst[c] = src[3] ? static_cast<BYTE>(dst[c] ^ src[c]) : src[c];
            } else if (src[3] != 0) {
                for (int c = 0; c < 3; ++c)
                    dst[c] = Blend(dst[c], src[c], src[3]);
            }
        }
    }
}

static void DrawMonochrome(const PointerState* pointer, BYTE* sample, const ShapeClip& clip,
                           int cropWidth) {
    const DXGI_OUTDUPL_POINTER_SHAPE_INFO& info = pointer->shapeInfo;
    UINT planeRows = info.Height / 2;
    for (UINT j = clip.firstRow; j < clip.lastRow; ++j) {
        const BYTE* andRow = pointer->shapeBuffer + static_cast<size_t>(j) * info.Pitch;
        const BYTE* xorRow = andRow + static_cast<size_t>(planeRows) * info.Pitch;
        for (UINT k = clip.firstColumn; k < clip.lastColumn; ++k) {
            BYTE bit = static_cast<BYTE>(0x80 >> (k % 8));
            bool andBit = (andRow[k / 8] & bit) != 0;
            bool xorBit = (xorRow[k / 8] & bit) != 0;
            BYTE* dst = SamplePixel(sample, clip, k, j, cropWidth);
            for (int c = 0; c < 3; ++c) {
                if (!andBit)
                    dst[c] = static_cast<BYTE>(xorBit ? 255 : 0);
                else if (xorBit)
                    dst[c] = static_cast<BYTE>(~dst[c]);
            }
        }
    }
}

void CompositePointer(const PointerState* pointer, BYTE* sample, int cropX, int cropY,
                      int cropWidth, int cropHeight) {
    const DXGI_OUTDUPL_POINTER_SHAPE_INFO& info = pointer->shapeInfo;
    if (!pointer->pointerVisible || !pointer->shapeBuffer || info.Width == 0 || info.Height == 0)
        return;
    bool colour = info.Type == DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR ||
                  info.Type == DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MASKED_COLOR;
    UINT rows = colour ? info.Height : info.Height / 2;
    UINT64 rowBytes = colour ? static_cast<UINT64>(info.Width) * 4 : (info.Width + 7ULL) / 8;
    UINT bufferRows = colour ? rows : rows * 2;
    if (rowBytes > 0xFFFFFFFFULL || !ShapeFitsBuffer(pointer, bufferRows, UINT(rowBytes)))
        return;
    ShapeClip clip = ClipShape(pointer, info.Width, rows, cropX, cropY, cropWidth, cropHeight);
    if (colour)
        DrawColour(pointer, sample, clip, cropWidth);
    else
        DrawMonochrome(pointer, sample, clip, cropWidth);
}
