#pragma once
#include <windows.h>

// The display DPI that a run under a prefix of its own asks for through
// QUORVEL_TEST_DPI (run_at_144_dpi.sh sets it), or 0 when the run asks for none.
inline UINT RequestedDpi() {
    WCHAR text[16] = {};
    if (GetEnvironmentVariableW(L"QUORVEL_TEST_DPI", text, 16) == 0) {
        return 0;
    }
    return static_cast<UINT>(_wtoi(text));
}
