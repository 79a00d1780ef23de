#pragma once
#include <windows.h>

// Every GDI and cursor call of the screen read goes through gdiApi, so that a
// test can make one fail or stand in for the monitors. Defaults are the real ones.
struct GdiApi {
    decltype(&::EnumDisplayMonitors) EnumDisplayMonitors;
    decltype(&::GetDC) GetDC;
    decltype(&::ReleaseDC) ReleaseDC;
    decltype(&::CreateCompatibleDC) CreateCompatibleDC;
    decltype(&::DeleteDC) DeleteDC;
    decltype(&::CreateDIBSection) CreateDIBSection;
    decltype(&::SelectObject) SelectObject;
    decltype(&::DeleteObject) DeleteObject;
    decltype(&::BitBlt) BitBlt;
    decltype(&::GdiFlush) GdiFlush;
    decltype(&::GetCursorInfo) GetCursorInfo;
    decltype(&::GetIconInfo) GetIconInfo;
    decltype(&::GetObjectW) GetObjectW;
    decltype(&::GetDIBits) GetDIBits;
};

extern GdiApi gdiApi;
extern const GdiApi realGdiApi;
