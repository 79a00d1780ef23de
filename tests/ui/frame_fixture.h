#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include "app/startup.h"
#include "common/recording_job.h"
#include "common/ui_state.h"
#include "ui/user_api.h"

// Puts the UI state back to how a fresh process starts. Handles are dropped,
// not closed: whoever made them closes them.
inline void ResetUiState() {
    currentFps = 30;
    recordMouse = 0;
    isRecording = 0;
    recordingStage = RECORDING_NONE;
    savePercent = 0;
    windowDpi = 96;
    uiFont = nullptr;
    symbolFont = nullptr;
    recButton = nullptr;
    stopButton = nullptr;
    closeButton = nullptr;
    workerThread = nullptr;
    savedPlacement = {};
    placementValid = 0;
    mainWindow = nullptr;
    recordingJob = {};
    userApi = realUserApi;
}

// Dispatches this thread's messages for the given time (paints, posted
// messages, window-manager traffic). A WM_QUIT met on the way is put back.
inline void PumpMessages(DWORD milliseconds) {
    DWORD start = GetTickCount();
    bool quit = false;
    int quitCode = 0;
    do {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quit = true;
                quitCode = static_cast<int>(message.wParam);
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(5);
    } while (GetTickCount() - start < milliseconds);
    if (quit) {
        PostQuitMessage(quitCode);
    }
}

// Takes the WM_QUIT off this thread's queue; true if there was one, with its code.
inline bool TakeQuitMessage(int* exitCode) {
    MSG message;
    if (!PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        return false;
    }
    *exitCode = static_cast<int>(message.wParam);
    return true;
}

// Reads a screen pixel as the X server shows it, waiting up to timeoutMs for it
// to become expected (the window surface reaches the server a little later).
// Returns the last colour read.
inline COLORREF WaitForScreenColour(int x, int y, COLORREF expected, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    COLORREF colour = CLR_INVALID;
    for (;;) {
        PumpMessages(20);
        HDC screen = GetDC(nullptr);
        colour = GetPixel(screen, x, y);
        ReleaseDC(nullptr, screen);
        if (colour == expected || GetTickCount() - start >= timeoutMs) {
            return colour;
        }
    }
}

inline HFONT ButtonFont(HWND button) {
    return reinterpret_cast<HFONT>(SendMessageW(button, WM_GETFONT, 0, 0));
}

inline LOGFONTW FontDescription(HGDIOBJ font) {
    LOGFONTW logfont = {};
    GetObjectW(font, sizeof(logfont), &logfont);
    return logfont;
}

// Whether the font has a glyph for every character of the text.
inline bool FontHasGlyphs(HFONT font, const WCHAR* text) {
    WORD glyphs[32] = {};
    int length = lstrlenW(text);
    HDC screen = GetDC(nullptr);
    HGDIOBJ previous = SelectObject(screen, font);
    DWORD converted = GetGlyphIndicesW(screen, text, length, glyphs, GGI_MARK_NONEXISTING_GLYPHS);
    SelectObject(screen, previous);
    ReleaseDC(nullptr, screen);
    bool found = converted != GDI_ERROR && length > 0 && length < 32;
    for (int index = 0; index < length && found; ++index) {
        found = glyphs[index] != 0xFFFF;
    }
    return found;
}

// A button's font has a glyph for every character of its text, has the UI
// font's height, and is the UI font itself wherever that can draw the text.
inline ::testing::AssertionResult DrawsItsText(HWND button) {
    WCHAR text[32] = {};
    GetWindowTextW(button, text, 32);
    HFONT font = ButtonFont(button);
    int id = GetDlgCtrlID(button);
    if (!font) {
        return ::testing::AssertionFailure() << "button " << id << " has no font";
    }
    if (!FontHasGlyphs(font, text)) {
        return ::testing::AssertionFailure()
               << "button " << id << ": a character of its text has no glyph in its font";
    }
    if (font != uiFont && FontHasGlyphs(uiFont, text)) {
        return ::testing::AssertionFailure()
               << "button " << id << " could draw its text in the UI font but does not use it";
    }
    LONG height = FontDescription(font).lfHeight;
    if (height != FontDescription(uiFont).lfHeight) {
        return ::testing::AssertionFailure() << "button " << id << ": font height " << height;
    }
    return ::testing::AssertionSuccess();
}

// The real frame window, created as start-up creates it (class, styles, default
// size, shown), on a fresh UI state. The process is made per-monitor DPI aware as
// the program is. Tear-down destroys the window without the close path (so no
// settings are written) and drops the quit message its destruction posts.
class FrameWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
        ResetUiState();
        window = CreateFrameWindow(GetModuleHandleW(nullptr));
        ASSERT_NE(window, nullptr);
        PumpMessages(20);
    }

    void TearDown() override {
        userApi = realUserApi;
        if (IsWindow(window)) {
            // Without a window manager Wine waits two seconds for one to confirm
            // that a shown window was hidden; a window already marked hidden is
            // destroyed at once.
            SetWindowLongPtrW(window, GWL_STYLE,
                              GetWindowLongPtrW(window, GWL_STYLE) & ~LONG_PTR{WS_VISIBLE});
            DestroyWindow(window);
        }
        int exitCode = 0;
        TakeQuitMessage(&exitCode);
        ResetUiState();
    }

    HWND window = nullptr;
};
