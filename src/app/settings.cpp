#include "app/settings.h"
#include "common/ui_state.h"
#include "ui/frame_geometry.h"

namespace {

constexpr int VALUE_CAPACITY = 32;
// The widest and tallest virtual screen the platform can have: a larger saved
// side cannot be a window the program saved.
constexpr int MAX_WINDOW_SIDE = 32767;
constexpr WCHAR SETTINGS_SUBPATH[] = L"\\quorvel\\settings.ini";

// The file's path, after making sure its folder exists. False when
// "LOCALAPPDATA" is missing, or its value or the composed paths do not fit
// MAX_PATH units: such a location is treated as missing.
bool LocateSettingsFile(WCHAR* filePath) {
    WCHAR localAppData[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", localAppData, MAX_PATH);
    // Too small a buffer makes the call return the size it would need.
    if (length == 0 || length >= MAX_PATH)
        return false;
    // wsprintfW takes no size: the longer of the two paths is checked first.
    if (length + ARRAYSIZE(SETTINGS_SUBPATH) > MAX_PATH)
        return false;
    WCHAR folder[MAX_PATH];
    wsprintfW(folder, L"%s\\quorvel", localAppData);
    CreateDirectoryW(folder, nullptr);
    wsprintfW(filePath, L"%s\\settings.ini", folder);
    return true;
}

int ReadSetting(const WCHAR* filePath, const WCHAR* section, const WCHAR* key,
                const WCHAR* defaultText) {
    WCHAR text[VALUE_CAPACITY] = {};
    GetPrivateProfileStringW(section, key, defaultText, text, VALUE_CAPACITY, filePath);
    return ParseSettingValue(text);
}

void WriteSetting(const WCHAR* filePath, const WCHAR* section, const WCHAR* key, int value) {
    WCHAR text[VALUE_CAPACITY];
    wsprintfW(text, L"%d", value);
    WritePrivateProfileStringW(section, key, text, filePath);
}

bool IsFrameRate(int fps) {
    return fps == 10 || fps == 30 || fps == 60 || fps == 120;
}

} // namespace

int ParseSettingValue(const WCHAR* text) {
    while (*text == L' ' || (*text >= L'\t' && *text <= L'\r'))
        ++text;
    bool negative = *text == L'-';
    if (*text == L'-' || *text == L'+')
        ++text;
    // Accumulated one past the limit in magnitude, so both limits are reachable.
    const long long limit = negative ? 2147483648LL : 2147483647LL;
    long long magnitude = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        magnitude = magnitude * 10 + (*text - L'0');
        if (magnitude > limit)
            magnitude = limit;
    }
    return static_cast<int>(negative ? -magnitude : magnitude);
}

void LoadSettings() {
    WCHAR filePath[MAX_PATH];
    if (!LocateSettingsFile(filePath))
        return;

    WCHAR fpsText[VALUE_CAPACITY];
    wsprintfW(fpsText, L"%d", currentFps);
    int fps = ReadSetting(filePath, L"settings", L"fps", fpsText);
    if (IsFrameRate(fps))
        currentFps = fps;
    recordMouse = ReadSetting(filePath, L"settings", L"recordMouse", L"0") != 0 ? 1 : 0;

    int width = ReadSetting(filePath, L"window", L"w", L"0");
    int height = ReadSetting(filePath, L"window", L"h", L"0");
    if (width < 1 || height < 1 || width > MAX_WINDOW_SIDE || height > MAX_WINDOW_SIDE)
        return;
    int x = ReadSetting(filePath, L"window", L"x", L"0");
    int y = ReadSetting(filePath, L"window", L"y", L"0");
    // An edge beyond the coordinate range cannot be a window the program saved.
    if (x + static_cast<long long>(width) > MAXLONG || y + static_cast<long long>(height) > MAXLONG)
        return;

    ZeroMemory(&savedPlacement, sizeof(savedPlacement));
    savedPlacement.length = sizeof(savedPlacement);
    int maximized = ReadSetting(filePath, L"window", L"maximized", L"0");
    savedPlacement.showCmd = maximized ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL;
    RECT normal = {x, y, x + width, y + height};
    savedPlacement.rcNormalPosition = normal;

    HMONITOR monitor = MonitorFromRect(&normal, MONITOR_DEFAULTTONEAREST);
    MONITORINFO monitorInfo = {};
    monitorInfo.cbSize = sizeof(monitorInfo);
    if (GetMonitorInfoW(monitor, &monitorInfo))
        savedPlacement.rcNormalPosition = MoveOntoWorkArea(normal, &monitorInfo.rcWork);
    placementValid = 1;
}

void SaveSettings(HWND window) {
    WCHAR filePath[MAX_PATH];
    if (!LocateSettingsFile(filePath))
        return;

    WriteSetting(filePath, L"settings", L"fps", currentFps);
    WriteSetting(filePath, L"settings", L"recordMouse", recordMouse ? 1 : 0);

    WINDOWPLACEMENT placement = {};
    placement.length = sizeof(placement);
    if (!GetWindowPlacement(window, &placement))
        return;
    const RECT& normal = placement.rcNormalPosition;
    WriteSetting(filePath, L"window", L"x", normal.left);
    WriteSetting(filePath, L"window", L"y", normal.top);
    WriteSetting(filePath, L"window", L"w", normal.right - normal.left);
    WriteSetting(filePath, L"window", L"h", normal.bottom - normal.top);
    WriteSetting(filePath, L"window", L"maximized", placement.showCmd == SW_SHOWMAXIMIZED ? 1 : 0);
}
