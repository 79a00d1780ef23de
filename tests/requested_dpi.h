#pragma once
#include <windows.h>
#include <string>

// The display DPI that a run under a prefix of its own asks for through
// QUORVEL_TEST_DPI (run_at_144_dpi.sh sets it), or 0 when the run asks for none.
inline UINT RequestedDpi() {
    WCHAR text[16] = {};
    if (GetEnvironmentVariableW(L"QUORVEL_TEST_DPI", text, 16) == 0) {
        return 0;
    }
    return static_cast<UINT>(_wtoi(text));
}

// Empty when the primary monitor's work area holds the rectangle a test puts
// the frame at; otherwise the reason to skip it. A runner's desktop may be
// smaller than the 1920 x 1080 one of the figures (1024 x 768 on a hosted
// Windows runner).
inline std::string WorkAreaLacks(const RECT& needed) {
    RECT work = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    if (needed.left >= work.left && needed.top >= work.top && needed.right <= work.right &&
        needed.bottom <= work.bottom) {
        return "";
    }
    auto text = [](const RECT& rect) {
        return "(" + std::to_string(rect.left) + ", " + std::to_string(rect.top) + ")-(" +
               std::to_string(rect.right) + ", " + std::to_string(rect.bottom) + ")";
    };
    return "the frame needs " + text(needed) + " on the work area, which is only " + text(work);
}
