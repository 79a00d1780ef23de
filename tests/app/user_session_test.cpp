#include <gtest/gtest.h>
#include <stdio.h>
#include <cwchar>
#include <cwctype>
#include <string>
#include <utility>
#include <vector>
#include "common/command_ids.h"
#include "program_harness.h"
#include "quarter_colours.h"
#include "ui/scratch_folder.h"

namespace {

constexpr COLORREF IDLE_SIDE = RGB(70, 70, 74);

// What REC ends with where the platform cannot record (Wine: the MP4 sink
// writer): the worker's set-up texts.
const wchar_t* const SET_UP_TEXTS[] = {
    L"CoInitializeEx failed",
    L"MFStartup failed",
    L"D3D11CreateDevice failed",
    L"No display output found",
    L"DuplicateOutput failed (GPU/monitor mismatch?)",
    L"Capture area is off-screen",
    L"Cannot create output .mp4",
};

const wchar_t NEEDS_MEDIA_FOUNDATION[] = L"Recording needs Media Foundation, which this edition of "
                                         L"Windows lacks (install the Media Feature Pack).";

// Moves past the literal at *at; false if it is not there.
bool ReadLiteral(const wchar_t** at, const wchar_t* literal) {
    size_t length = wcslen(literal);
    if (wcsncmp(*at, literal, length) != 0)
        return false;
    *at += length;
    return true;
}

// Moves past the characters at *at that `isOne` accepts; false if there are none.
bool ReadRun(const wchar_t** at, int (*isOne)(wint_t)) {
    const wchar_t* start = *at;
    while (**at && isOne(**at))
        ++*at;
    return *at != start;
}

bool ReadDigits(const wchar_t** at) {
    return ReadRun(at, [](wint_t unit) { return iswdigit(unit); });
}

bool IsSetUpText(const std::wstring& text) {
    for (const wchar_t* setUpText : SET_UP_TEXTS) {
        if (text == setUpText)
            return true;
    }
    // Elsewhere than where mfplat.dll is missing, this text means the lookup is broken.
    if (text == NEEDS_MEDIA_FOUNDATION) {
        HMODULE platform = LoadLibraryExW(L"mfplat.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (platform)
            FreeLibrary(platform);
        return !platform;
    }
    // "The H.264 encoder refused a W \u00D7 H picture at N fps."
    const wchar_t* at = text.c_str();
    if (ReadLiteral(&at, L"The H.264 encoder refused a ") && ReadDigits(&at) &&
        ReadLiteral(&at, L" \u00D7 ") && ReadDigits(&at) && ReadLiteral(&at, L" picture at ") &&
        ReadDigits(&at) && ReadLiteral(&at, L" fps.") && *at == L'\0')
        return true;
    // "<call> failed (0x<HRESULT>)", or "HeapAlloc failed (<N> bytes)".
    at = text.c_str();
    if (!ReadRun(&at, [](wint_t unit) { return iswalnum(unit); }) ||
        !ReadLiteral(&at, L" failed ("))
        return false;
    const wchar_t* result = at;
    bool hresult = ReadLiteral(&at, L"0x") &&
                   ReadRun(&at, [](wint_t unit) { return iswxdigit(unit); }) && at - result == 10;
    if (!hresult) {
        at = result;
        if (!ReadDigits(&at) || !ReadLiteral(&at, L" bytes"))
            return false;
    }
    return ReadLiteral(&at, L")") && *at == L'\0';
}

struct ChildText {
    std::wstring className;
    std::wstring text;
};

BOOL CALLBACK CollectChild(HWND child, LPARAM parameter) {
    WCHAR className[64] = {};
    WCHAR text[512] = {};
    GetClassNameW(child, className, 64);
    GetWindowTextW(child, text, 512);
    reinterpret_cast<std::vector<ChildText>*>(parameter)->push_back({className, text});
    return TRUE;
}

// The text of a message box of another process: its one static with text.
std::wstring MessageBoxText(HWND box) {
    std::vector<ChildText> children;
    EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&children));
    for (const ChildText& child : children) {
        if (lstrcmpiW(child.className.c_str(), L"Static") == 0 && !child.text.empty())
            return child.text;
    }
    return L"<no text>";
}

// A left click where a user would make it: once the control is what lies under
// its middle on the screen, the pointer moves there and rests a moment, then
// the button goes down and up. False if the control never came to the top.
bool ClickAt(HWND control) {
    RECT rect = {};
    GetWindowRect(control, &rect);
    POINT middle = {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
    DWORD start = GetTickCount();
    while (WindowFromPoint(middle) != control) {
        if (GetTickCount() - start >= 5000)
            return false;
        PumpMessagesFor(20);
    }
    int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dx = MulDiv(middle.x, 65535, screenWidth - 1);
    input.mi.dy = MulDiv(middle.y, 65535, screenHeight - 1);
    const DWORD steps[3] = {MOUSEEVENTF_MOVE, MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP};
    for (DWORD step : steps) {
        input.mi.dwFlags = step | MOUSEEVENTF_ABSOLUTE;
        SendInput(1, &input, sizeof(INPUT));
        PumpMessagesFor(step == MOUSEEVENTF_MOVE ? 150 : 50);
    }
    return true;
}

// Set where the platform has all a recording needs (the client-Windows job):
// REC must then record, with no box at all, and the recording is kept.
bool RecordingRequired() {
    return GetEnvironmentVariableW(L"QUORVEL_REQUIRE_RECORDING", nullptr, 0) > 0;
}

std::wstring TempFolder() {
    WCHAR folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    return folder;
}

// The frame's hole on the screen: what its window region leaves out.
RECT FindHole(HWND frame) {
    RECT window = {};
    GetWindowRect(frame, &window);
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    HRGN hole = CreateRectRgn(0, 0, window.right - window.left, window.bottom - window.top);
    RECT box = {};
    if (GetWindowRgn(frame, region) != ERROR && CombineRgn(hole, hole, region, RGN_DIFF) != ERROR)
        GetRgnBox(hole, &box);
    OffsetRect(&box, window.left, window.top);
    DeleteObject(hole);
    DeleteObject(region);
    return box;
}

// Where mp4_check reads each quarter of a frame of `area`.
POINT QuarterCentre(const RECT& area, int quarter) {
    int width = area.right - area.left;
    int height = area.bottom - area.top;
    return {area.left + (quarter % 2 * 2 + 1) * width / 4,
            area.top + (quarter / 2 * 2 + 1) * height / 4};
}

// The text of an edit control of another process (GetWindowTextW would not ask it).
std::wstring EditText(HWND edit) {
    WCHAR text[MAX_PATH] = {};
    SendMessageTimeoutW(edit, WM_GETTEXT, MAX_PATH, reinterpret_cast<LPARAM>(text),
                        SMTO_ABORTIFHUNG, 2000, nullptr);
    return text;
}

BOOL CALLBACK FindOfferedName(HWND child, LPARAM parameter) {
    WCHAR className[16] = {};
    GetClassNameW(child, className, 16);
    if (lstrcmpiW(className, L"Edit") != 0 || EditText(child).compare(0, 8, L"quorvel_") != 0)
        return TRUE;
    *reinterpret_cast<HWND*>(parameter) = child;
    return FALSE;
}

// Puts `path` into the file-name box of the program's Save dialog (the one box
// that offers the stamped name "quorvel_...", however deep the dialog nests
// it) and clicks Save. Null once clicked, else what was not there.
const char* SaveAs(HWND dialog, const std::wstring& path) {
    HWND nameBox = nullptr;
    for (DWORD start = GetTickCount(); !nameBox && GetTickCount() - start < 5000;
         PumpMessagesFor(50))
        EnumChildWindows(dialog, FindOfferedName, reinterpret_cast<LPARAM>(&nameBox));
    if (!nameBox)
        return "no file-name box offers the name quorvel_...";
    SendMessageTimeoutW(nameBox, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()),
                        SMTO_ABORTIFHUNG, 2000, nullptr);
    if (EditText(nameBox) != path)
        return "the file-name box did not take the path";
    HWND saveButton = GetDlgItem(dialog, IDOK);
    return saveButton && ClickAt(saveButton) ? nullptr : "Save is not on top at its place";
}

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM parameter) {
    std::pair<DWORD, std::wstring>* search =
        reinterpret_cast<std::pair<DWORD, std::wstring>*>(parameter);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == search->first && IsWindowVisible(window)) {
        WCHAR className[64] = {};
        WCHAR text[256] = {};
        GetClassNameW(window, className, 64);
        GetWindowTextW(window, text, 256);
        search->second += std::wstring(L" [") + className + L" \"" + text + L"\"]";
    }
    return TRUE;
}

// What the program shows when a wait on it failed, for the failure message.
std::string DescribeProgram(const RunningProgram& program, HWND recButton, HWND stopButton) {
    DWORD exitCode = 0;
    if (GetExitCodeProcess(program.process.hProcess, &exitCode) && exitCode != STILL_ACTIVE)
        return "the program ended with exit code " + std::to_string(exitCode);
    std::pair<DWORD, std::wstring> search(program.process.dwProcessId, L"");
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&search));
    std::string windows;
    for (WCHAR unit : search.second)
        windows += unit < 128 ? static_cast<char>(unit) : '?';
    return std::string("REC ") + (IsWindowEnabled(recButton) ? "enabled" : "disabled") + ", STOP " +
           (IsWindowEnabled(stopButton) ? "enabled" : "disabled") + ", visible windows:" + windows;
}

bool WaitForClosed(HWND window, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (IsWindow(window) && GetTickCount() - start < timeoutMs)
        PumpMessagesFor(20);
    return !IsWindow(window);
}

bool WaitForEnabledState(HWND control, bool enabled, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while ((IsWindowEnabled(control) != FALSE) != enabled) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        PumpMessagesFor(20);
    }
    return true;
}

// quorvel.exe as a user meets it under Wine on Xvfb, with its settings in a
// scratch folder.
class UserSession : public ::testing::Test {
  protected:
    void SetUp() override {
        localAppDataFolder = MakeScratchFolder(L"session");
        localAppData.Set(localAppDataFolder);
        settingsFile = localAppDataFolder + L"\\quorvel\\settings.ini";
        ASSERT_TRUE(StartProgram(&program, 15000)) << "no frame window from the program";
        recButton = GetDlgItem(program.frameWindow, ID_REC);
        stopButton = GetDlgItem(program.frameWindow, ID_STOP);
        closeButton = GetDlgItem(program.frameWindow, ID_CLOSE);
        ASSERT_NE(nullptr, recButton);
        ASSERT_NE(nullptr, stopButton);
        ASSERT_NE(nullptr, closeButton);
    }

    void TearDown() override {
        EndProgram(&program);
        RemoveFolderTree(localAppDataFolder);
        if (quarters)
            DestroyWindow(quarters);
    }

    // Fails on any box the program shows within timeoutMs, which pass with
    // this test's windows painted.
    void ExpectNoBoxFor(DWORD timeoutMs, const char* after) {
        HWND box =
            WaitForProgramWindow(program.process.dwProcessId, L"#32770", L"quorvel", timeoutMs);
        ASSERT_EQ(nullptr, box) << "a box after " << after << ": " << MessageBoxText(box);
    }

    // After REC, where the platform records: the quarters in their three sets
    // of colours for about 3 s, STOP, then the recording saved as savePath.
    // The program's writer makes its temporary file just before the first
    // picture: from then the first set shows 1.5 s, so that a slow start still
    // begins on it, the second 1.5 s around the middle frame, the third 1 s.
    void RecordQuartersAndSave(const std::vector<std::wstring>& filesBefore,
                               const std::wstring& savePath) {
        DWORD start = GetTickCount();
        while (FilesMatching(TempFolder() + L"quorvel_*.mp4").size() <= filesBefore.size()) {
            ASSERT_NO_FATAL_FAILURE(ExpectNoBoxFor(50, "REC"));
            ASSERT_LT(GetTickCount() - start, 30000u)
                << "no recording file in " << TempFolder()
                << " within 30 s: " << DescribeProgram(program, recButton, stopButton);
        }
        const DWORD showMs[3] = {1500, 1500, 1000};
        for (int colourSet = 0; colourSet < 3; colourSet++) {
            ShowColourSet(quarters, colourSet);
            ASSERT_NO_FATAL_FAILURE(ExpectNoBoxFor(showMs[colourSet], "REC"));
        }
        ASSERT_TRUE(ClickAt(stopButton)) << "STOP is not on top at its place";
        HWND dialog = nullptr;
        start = GetTickCount();
        while (!(dialog = WaitForProgramWindow(program.process.dwProcessId, L"#32770",
                                               L"Save recording", 50))) {
            ASSERT_NO_FATAL_FAILURE(ExpectNoBoxFor(0, "STOP"));
            ASSERT_LT(GetTickCount() - start, 30000u)
                << "no Save dialog after STOP: " << DescribeProgram(program, recButton, stopButton);
        }
        DestroyWindow(quarters);
        quarters = nullptr;
        DeleteFileW(savePath.c_str());
        const char* missing = SaveAs(dialog, savePath);
        ASSERT_EQ(nullptr, missing) << missing;
        ASSERT_TRUE(WaitForClosed(dialog, 10000)) << "Save did not close the Save dialog";
        ASSERT_NO_FATAL_FAILURE(ExpectNoBoxFor(2000, "Save"));
        ASSERT_TRUE(PathExists(savePath)) << "nothing saved as " << savePath;
        printf("The recording is kept: %ls\n", savePath.c_str());
    }

    LocalAppDataOverride localAppData;
    std::wstring localAppDataFolder;
    std::wstring settingsFile;
    RunningProgram program = {};
    HWND recButton = nullptr;
    HWND stopButton = nullptr;
    HWND closeButton = nullptr;
    HWND quarters = nullptr;
};

TEST_F(UserSession, RecShowsASetUpErrorOrRecordsThenIdleAndCloseSavesTheSettings) {
    EXPECT_TRUE(IsWindowEnabled(recButton));
    EXPECT_FALSE(IsWindowEnabled(stopButton));

    // A click is only meant for a frame the user can see.
    RECT frame = {};
    GetWindowRect(program.frameWindow, &frame);
    int sideX = frame.left + 3;
    int sideY = (frame.top + frame.bottom) / 2;
    ASSERT_EQ(IDLE_SIDE, WaitForScreenPixel(sideX, sideY, IDLE_SIDE, 5000)) << "frame not drawn";

    // What a recording shows, as the hole shows it: nothing may cover it.
    RECT hole = FindHole(program.frameWindow);
    ASSERT_GT(hole.right - hole.left, 32) << "no hole in the middle of the frame's region";
    quarters = ShowQuarters(hole);
    ASSERT_NE(nullptr, quarters);
    for (int quarter = 0; quarter < 4; quarter++) {
        const Colour& colour = QUARTER_COLOURS[0][quarter];
        COLORREF expected = RGB(colour.red, colour.green, colour.blue);
        POINT centre = QuarterCentre(hole, quarter);
        ASSERT_EQ(expected, WaitForScreenPixel(centre.x, centre.y, expected, 3000))
            << "quarter " << quarter << " does not show through the hole";
    }
    EXPECT_EQ(IDLE_SIDE, ReadScreenPixel(sideX, sideY)) << "the quarters cover the frame's side";

    const std::wstring savePath = TempFolder() + L"quorvel-rec-in-the-program.mp4";
    std::vector<std::wstring> filesBefore = FilesMatching(TempFolder() + L"quorvel_*.mp4");
    ASSERT_TRUE(ClickAt(recButton)) << "REC is not on top at its place";
    DWORD processId = program.process.dwProcessId;
    HWND box = RecordingRequired() ? nullptr
                                   : WaitForProgramWindow(processId, L"#32770", L"quorvel", 5000);
    if (RecordingRequired()) {
        ASSERT_NO_FATAL_FAILURE(RecordQuartersAndSave(filesBefore, savePath));
    } else if (!box && IsWindowEnabled(stopButton)) {
        // The platform records (Windows): STOP brings the Save dialog.
        ASSERT_TRUE(ClickAt(stopButton)) << "STOP is not on top at its place";
        HWND dialog = WaitForProgramWindow(processId, L"#32770", L"Save recording", 30000);
        ASSERT_NE(nullptr, dialog)
            << "no Save dialog after STOP: " << DescribeProgram(program, recButton, stopButton);
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        ASSERT_TRUE(WaitForClosed(dialog, 5000)) << "Cancel did not close the Save dialog";
    } else {
        if (!box)
            box = WaitForProgramWindow(processId, L"#32770", L"quorvel", 25000);
        ASSERT_NE(nullptr, box) << "no message box after REC: "
                                << DescribeProgram(program, recButton, stopButton);
        std::wstring text = MessageBoxText(box);
        EXPECT_TRUE(IsSetUpText(text)) << "not a set-up text: " << text;
        // Wine has no desktop duplication and no MP4 sink writer: the worker
        // reaches the writer only if the screen was read through GDI.
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (ntdll && GetProcAddress(ntdll, "wine_get_version")) {
            EXPECT_EQ(L"Cannot create output .mp4", text);
            if (text == L"Cannot create output .mp4")
                printf("Capture path: GDI (the capture opened; Wine has no duplication)\n");
        }
        EXPECT_EQ(program.frameWindow, GetWindow(box, GW_OWNER));

        HWND okButton = GetDlgItem(box, IDOK);
        ASSERT_NE(nullptr, okButton);
        ASSERT_TRUE(ClickAt(okButton)) << "OK is not on top at its place";
        ASSERT_TRUE(WaitForClosed(box, 5000)) << "OK did not close the box";
    }

    EXPECT_TRUE(WaitForEnabledState(recButton, true, 3000));
    EXPECT_FALSE(IsWindowEnabled(stopButton));
    EXPECT_EQ(IDLE_SIDE, WaitForScreenPixel(sideX, sideY, IDLE_SIDE, 3000)) << "left side grey";
    EXPECT_EQ(IDLE_SIDE, WaitForScreenPixel(frame.right - 4, sideY, IDLE_SIDE, 3000))
        << "right side grey";

    // Choices of the run, made through the menu's commands, and a moved frame.
    PostMessageW(program.frameWindow, WM_COMMAND, ID_FPS_60, 0);
    PostMessageW(program.frameWindow, WM_COMMAND, ID_RECORD_MOUSE, 0);
    SetWindowPos(program.frameWindow, nullptr, 300, 250, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    PumpMessagesFor(200);
    GetWindowRect(program.frameWindow, &frame);

    ASSERT_TRUE(ClickAt(closeButton)) << "the close button is not on top at its place";
    DWORD exitCode = 99;
    ASSERT_TRUE(WaitForProgramExit(&program, 15000, &exitCode))
        << "the close button left it running: " << DescribeProgram(program, recButton, stopButton);
    EXPECT_EQ(0u, exitCode);

    ASSERT_TRUE(PathExists(settingsFile));
    EXPECT_EQ(L"60", StoredSetting(settingsFile, L"settings", L"fps"));
    EXPECT_EQ(L"1", StoredSetting(settingsFile, L"settings", L"recordMouse"));
    EXPECT_EQ(L"300", StoredSetting(settingsFile, L"window", L"x"));
    EXPECT_EQ(L"250", StoredSetting(settingsFile, L"window", L"y"));
    EXPECT_EQ(std::to_wstring(frame.right - frame.left),
              StoredSetting(settingsFile, L"window", L"w"));
    EXPECT_EQ(std::to_wstring(frame.bottom - frame.top),
              StoredSetting(settingsFile, L"window", L"h"));
    EXPECT_EQ(L"0", StoredSetting(settingsFile, L"window", L"maximized"));
}

TEST_F(UserSession, NextStartOpensWhereTheLastOneClosed) {
    // On the work area of any desktop (1024 x 768 too), so that it is kept as it is.
    RECT work = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const POINT placed = {work.left + 120, work.top + 80};
    SetWindowPos(program.frameWindow, nullptr, placed.x, placed.y, 600, 400,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    PumpMessagesFor(200);
    ASSERT_TRUE(ClickAt(closeButton));
    DWORD exitCode = 99;
    ASSERT_TRUE(WaitForProgramExit(&program, 15000, &exitCode));
    EndProgram(&program);

    ASSERT_TRUE(StartProgram(&program, 15000));
    RECT frame = {};
    GetWindowRect(program.frameWindow, &frame);
    EXPECT_EQ(placed.x, frame.left);
    EXPECT_EQ(placed.y, frame.top);
    EXPECT_EQ(600, frame.right - frame.left);
    EXPECT_EQ(400, frame.bottom - frame.top);
}

TEST_F(UserSession, LogOffKeepsTheSettingsAndAnInstallersCloseEndsTheProgramWithZero) {
    HWND frame = program.frameWindow;
    DWORD_PTR answer = 99;
    // Sent like the session's messages: a posted command could be overtaken by them.
    ASSERT_TRUE(SendMessageTimeoutW(frame, WM_COMMAND, ID_FPS_120, 0, SMTO_NORMAL, 5000, &answer));
    ASSERT_TRUE(SendMessageTimeoutW(frame, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL,
                                    5000, &answer));
    EXPECT_EQ(1u, answer);
    EXPECT_FALSE(PathExists(settingsFile));
    ASSERT_TRUE(SendMessageTimeoutW(frame, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL,
                                    5000, &answer));
    EXPECT_EQ(L"120", StoredSetting(settingsFile, L"settings", L"fps"));
    EXPECT_TRUE(IsWindow(frame)) << "Windows itself ends a program at a log-off";

    // The Restart Manager, for an installer: the program must end on its own.
    ASSERT_TRUE(SendMessageTimeoutW(frame, WM_COMMAND, ID_FPS_10, 0, SMTO_NORMAL, 5000, &answer));
    ASSERT_TRUE(SendMessageTimeoutW(frame, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, SMTO_NORMAL,
                                    5000, &answer));
    EXPECT_EQ(1u, answer);
    SendMessageTimeoutW(frame, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP, SMTO_NORMAL, 5000,
                        &answer);
    DWORD exitCode = 99;
    ASSERT_TRUE(WaitForProgramExit(&program, 10000, &exitCode))
        << DescribeProgram(program, recButton, stopButton);
    EXPECT_EQ(0u, exitCode);
    EXPECT_EQ(L"10", StoredSetting(settingsFile, L"settings", L"fps"));
}

} // namespace
