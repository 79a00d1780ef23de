#include <string.h>
#include "engine/engine.h"
#include "engine/gdi_api.h"
#include "engine/os_api.h"

// More monitors than this are not looked at.
static const int MONITORS_LOOKED_AT = 16;

struct MonitorList {
    RECT* rects;
    int count;
    int maxRects;
};

static BOOL CALLBACK AddMonitor(HMONITOR, HDC, LPRECT monitorRect, LPARAM parameter) {
    MonitorList* list = reinterpret_cast<MonitorList*>(parameter);
    // Without a DC the rectangle is the monitor's, in desktop pixels.
    if (monitorRect && list->count < list->maxRects)
        list->rects[list->count++] = *monitorRect;
    return list->count < list->maxRects;
}

int ListGdiMonitors(RECT* rects, int maxRects) {
    MonitorList list = {rects, 0, maxRects};
    gdiApi.EnumDisplayMonitors(nullptr, nullptr, AddMonitor, reinterpret_cast<LPARAM>(&list));
    return list.count;
}

bool OpenGdiScreen(CaptureSource* source, const RECT* captureRect, const wchar_t** errorText) {
    // An output found among the adapters' is the one duplication would have
    // taken; where none was, the same rule picks among the GDI monitors.
    bool outputChosen = source->output != nullptr;
    CloseCaptureSource(source);
    if (!outputChosen) {
        RECT monitors[MONITORS_LOOKED_AT];
        int count = ListGdiMonitors(monitors, MONITORS_LOOKED_AT);
        int chosen = ChooseOutput(monitors, count, CaptureCentre(captureRect));
        if (chosen < 0) {
            *errorText = L"No display output found";
            return false;
        }
        source->outputRect = monitors[chosen];
    }
    source->rotation = DXGI_MODE_ROTATION_IDENTITY; // GDI reads the desktop as it is shown
    source->gdi.inUse = 1;
    *errorText = nullptr;
    return true;
}

// Lets go of the DCs and the surface; the next read makes them anew.
static void ReleaseSurface(GdiScreen* gdi) {
    if (gdi->formerBitmap)
        gdiApi.SelectObject(gdi->memoryDc, gdi->formerBitmap);
    if (gdi->surface)
        gdiApi.DeleteObject(gdi->surface);
    if (gdi->memoryDc)
        gdiApi.DeleteDC(gdi->memoryDc);
    if (gdi->screenDc)
        gdiApi.ReleaseDC(nullptr, gdi->screenDc);
    gdi->formerBitmap = nullptr;
    gdi->surface = nullptr;
    gdi->surfaceBits = nullptr;
    gdi->memoryDc = nullptr;
    gdi->screenDc = nullptr;
}

void CloseGdiScreen(GdiScreen* gdi) {
    ReleaseSurface(gdi);
}

static BITMAPINFOHEADER TopDownHeader(LONG width, LONG height, WORD bitCount) {
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = -height; // top-down, as the frame picture and the overlay's shapes
    header.biPlanes = 1;
    header.biBitCount = bitCount;
    header.biCompression = BI_RGB;
    return header;
}

static bool MakeSurface(CaptureSource* source) {
    GdiScreen* gdi = &source->gdi;
    gdi->screenDc = gdiApi.GetDC(nullptr);
    if (gdi->screenDc)
        gdi->memoryDc = gdiApi.CreateCompatibleDC(gdi->screenDc);
    if (!gdi->memoryDc)
        return false;
    BITMAPINFO info = {};
    info.bmiHeader = TopDownHeader(source->cropWidth, source->cropHeight, 32);
    void* bits = nullptr;
    gdi->surface = gdiApi.CreateDIBSection(gdi->memoryDc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!gdi->surface || !bits)
        return false;
    HGDIOBJ former = gdiApi.SelectObject(gdi->memoryDc, gdi->surface);
    if (!former || former == HGDI_ERROR)
        return false;
    gdi->formerBitmap = former;
    gdi->surfaceBits = static_cast<BYTE*>(bits);
    return true;
}

static bool ReadScreen(CaptureSource* source) {
    GdiScreen* gdi = &source->gdi;
    if (!gdi->surfaceBits && !MakeSurface(source))
        return false;
    // Without CAPTUREBLT: since Windows 8 the screen DC is the composed desktop,
    // layered windows included, and the flag only makes the system hide the
    // pointer during each read, which the user sees flicker at the frame rate.
    if (!gdiApi.BitBlt(gdi->memoryDc, 0, 0, source->cropWidth, source->cropHeight, gdi->screenDc,
                       source->outputRect.left + source->cropX,
                       source->outputRect.top + source->cropY, SRCCOPY))
        return false;
    // GDI may batch the copy; the bits are read only once it is done.
    gdiApi.GdiFlush();
    memcpy(source->framePicture, gdi->surfaceBits, source->frameBytes);
    return true;
}

HRESULT CaptureGdiPicture(CaptureSource* source) {
    GdiScreen* gdi = &source->gdi;
    LARGE_INTEGER now = {};
    osApi.QueryPerformanceCounter(&now);
    if (now.QuadPart < gdi->nextRead)
        return DXGI_ERROR_WAIT_TIMEOUT;
    // Counted from the read's start, so a read slower than a frame lowers the
    // rate of new pictures, not the rate of the samples.
    gdi->nextRead = now.QuadPart + gdi->readInterval;
    bool read = ReadScreen(source);
    if (source->recordMouse)
        UpdateGdiPointer(source);
    if (read)
        return S_OK;
    // A desktop switch can leave the DC unusable: the next read takes a new one.
    ReleaseSurface(gdi);
    return DXGI_ERROR_WAIT_TIMEOUT;
}

// Larger cursors than this are not real ones.
static const LONG MAX_CURSOR_SIDE = 1024;

static bool ReadBits(HDC dc, HBITMAP bitmap, LONG width, LONG rows, WORD bitCount, BYTE* bits) {
    // Room for the two colours of a 1-bit bitmap, which GetDIBits fills in.
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD colours[2];
    } info = {};
    info.header = TopDownHeader(width, rows, bitCount);
    return gdiApi.GetDIBits(dc, bitmap, 0, static_cast<UINT>(rows), bits,
                            reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS) == rows;
}

// Bytes of one row of a 1-bit DIB: whole 32-bit words.
static UINT MaskPitch(LONG width) {
    return static_cast<UINT>((width + 31) / 32 * 4);
}

// Both planes of a monochrome cursor: the AND mask over the XOR mask, in one
// bitmap twice the cursor's height, as the overlay takes them.
static bool ReadMonochromeShape(PointerState* pointer, HDC dc, HBITMAP mask, LONG width,
                                LONG height) {
    UINT pitch = MaskPitch(width);
    UINT bytes = pitch * static_cast<UINT>(height);
    if (bytes > pointer->shapeCapacity)
        GrowShapeBuffer(pointer, bytes);
    if (!pointer->shapeBuffer || pointer->shapeCapacity < bytes ||
        !ReadBits(dc, mask, width, height, 1, pointer->shapeBuffer))
        return false;
    DXGI_OUTDUPL_POINTER_SHAPE_INFO info = {};
    info.Type = DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MONOCHROME;
    info.Width = static_cast<UINT>(width);
    info.Height = static_cast<UINT>(height);
    info.Pitch = pitch;
    pointer->shapeInfo = info;
    pointer->shapeBytes = bytes;
    return true;
}

// A colour cursor with alpha is blended by it; one without (fewer bits, or
// every alpha zero) is drawn as Windows draws it, through its AND mask: the
// mask's bit goes into the fourth byte, where the masked-colour shape has it.
static bool ReadColourShape(PointerState* pointer, HDC dc, HBITMAP colour, HBITMAP mask, LONG width,
                            LONG height, WORD bitsPerPixel) {
    UINT pitch = static_cast<UINT>(width) * 4;
    UINT colourBytes = pitch * static_cast<UINT>(height);
    UINT maskPitch = MaskPitch(width);
    // The mask is read into the room after the colours.
    UINT bytes = colourBytes + maskPitch * static_cast<UINT>(height);
    if (bytes > pointer->shapeCapacity)
        GrowShapeBuffer(pointer, bytes);
    if (!pointer->shapeBuffer || pointer->shapeCapacity < bytes ||
        !ReadBits(dc, colour, width, height, 32, pointer->shapeBuffer))
        return false;
    BYTE* pixels = pointer->shapeBuffer;
    bool alpha = false;
    for (UINT i = 3; bitsPerPixel == 32 && i < colourBytes && !alpha; i += 4)
        alpha = pixels[i] != 0;
    DXGI_OUTDUPL_POINTER_SHAPE_INFO info = {};
    info.Type = DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR;
    if (!alpha) {
        const BYTE* maskBits = pixels + colourBytes;
        if (!ReadBits(dc, mask, width, height, 1, pointer->shapeBuffer + colourBytes))
            return false;
        for (LONG y = 0; y < height; y++) {
            for (LONG x = 0; x < width; x++) {
                bool set = (maskBits[static_cast<UINT>(y) * maskPitch + x / 8] >> (7 - x % 8)) & 1;
                pixels[(static_cast<UINT>(y) * static_cast<UINT>(width) + x) * 4 + 3] =
                    set ? 0xFF : 0;
            }
        }
        info.Type = DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MASKED_COLOR;
    }
    info.Width = static_cast<UINT>(width);
    info.Height = static_cast<UINT>(height);
    info.Pitch = pitch;
    pointer->shapeInfo = info;
    pointer->shapeBytes = colourBytes;
    return true;
}

bool ReadCursorShape(PointerState* pointer, HCURSOR cursor, HDC dc, POINT* hotSpot) {
    // Until a shape is read whole, none is drawn.
    pointer->shapeBytes = 0;
    ICONINFO icon = {};
    if (!gdiApi.GetIconInfo(cursor, &icon))
        return false;
    hotSpot->x = static_cast<LONG>(icon.xHotspot);
    hotSpot->y = static_cast<LONG>(icon.yHotspot);
    BITMAP maskBitmap = {};
    BITMAP colourBitmap = {};
    bool read = false;
    if (icon.hbmMask && gdiApi.GetObjectW(icon.hbmMask, sizeof maskBitmap, &maskBitmap)) {
        LONG width = maskBitmap.bmWidth;
        LONG height = maskBitmap.bmHeight;
        bool sane =
            width > 0 && width <= MAX_CURSOR_SIDE && height > 0 && height <= 2 * MAX_CURSOR_SIDE;
        if (!icon.hbmColor)
            read = sane && height % 2 == 0 &&
                   ReadMonochromeShape(pointer, dc, icon.hbmMask, width, height);
        else if (sane && gdiApi.GetObjectW(icon.hbmColor, sizeof colourBitmap, &colourBitmap))
            read = colourBitmap.bmWidth == width && colourBitmap.bmHeight == height &&
                   ReadColourShape(pointer, dc, icon.hbmColor, icon.hbmMask, width, height,
                                   colourBitmap.bmBitsPixel);
    }
    // GetIconInfo hands out copies of the bitmaps, which are ours to delete.
    if (icon.hbmMask)
        gdiApi.DeleteObject(icon.hbmMask);
    if (icon.hbmColor)
        gdiApi.DeleteObject(icon.hbmColor);
    if (!read)
        pointer->shapeBytes = 0;
    return read;
}

void UpdateGdiPointer(CaptureSource* source) {
    GdiScreen* gdi = &source->gdi;
    PointerState* pointer = &source->pointer;
    CURSORINFO cursor = {};
    cursor.cbSize = sizeof cursor;
    if (!gdiApi.GetCursorInfo(&cursor)) {
        pointer->pointerVisible = 0;
        return;
    }
    pointer->pointerVisible = (cursor.flags & CURSOR_SHOWING) && cursor.hCursor ? 1 : 0;
    if (!cursor.hCursor)
        return;
    // Turned once per cursor: the arrow, the I-beam and the hand keep their handles.
    if (cursor.hCursor != gdi->shapeCursor || !pointer->shapeBuffer) {
        gdi->shapeCursor = cursor.hCursor;
        HDC dc = gdi->screenDc ? gdi->screenDc : gdiApi.GetDC(nullptr);
        if (dc)
            ReadCursorShape(pointer, cursor.hCursor, dc, &gdi->hotSpot);
        else
            pointer->shapeBytes = 0;
        if (dc && dc != gdi->screenDc)
            gdiApi.ReleaseDC(nullptr, dc);
    }
    // The screen position is the hot spot's; the overlay places the shape's
    // top-left corner, relative to the output.
    pointer->pointerX = cursor.ptScreenPos.x - gdi->hotSpot.x - source->outputRect.left;
    pointer->pointerY = cursor.ptScreenPos.y - gdi->hotSpot.y - source->outputRect.top;
}
