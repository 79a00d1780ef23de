#include "engine/gdi_api.h"

const GdiApi realGdiApi = {
    ::EnumDisplayMonitors,
    ::GetDC,
    ::ReleaseDC,
    ::CreateCompatibleDC,
    ::DeleteDC,
    ::CreateDIBSection,
    ::SelectObject,
    ::DeleteObject,
    ::BitBlt,
    ::GdiFlush,
    ::GetCursorInfo,
    ::GetIconInfo,
    ::GetObjectW,
    ::GetDIBits,
};

GdiApi gdiApi = realGdiApi;
