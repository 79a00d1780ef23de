#include <gtest/gtest.h>
#include <climits>
#include <string>
#include <vector>
#include "app/settings.h"
#include "common/ui_state.h"
#include "ui/frame_geometry.h"
#include "ui/scratch_folder.h"

namespace {

const RECT TASKBAR_WORK_AREA = {0, 0, 1920, 1040};

RECT Rect(LONG left, LONG top, LONG right, LONG bottom) {
    return RECT{left, top, right, bottom};
}

void ExpectRect(const RECT& expected, const RECT& actual) {
    EXPECT_EQ(expected.left, actual.left);
    EXPECT_EQ(expected.top, actual.top);
    EXPECT_EQ(expected.right, actual.right);
    EXPECT_EQ(expected.bottom, actual.bottom);
}

TEST(SettingValueParsing, SkipsLeadingWhiteSpaceAndTakesOneSign) {
    EXPECT_EQ(42, ParseSettingValue(L" \t 42"));
    EXPECT_EQ(-17, ParseSettingValue(L"-17"));
    EXPECT_EQ(8, ParseSettingValue(L"+8"));
    EXPECT_EQ(0, ParseSettingValue(L"--5"));
    EXPECT_EQ(0, ParseSettingValue(L"- 5"));
}

TEST(SettingValueParsing, TextWithoutDigitsIsZero) {
    EXPECT_EQ(0, ParseSettingValue(L""));
    EXPECT_EQ(0, ParseSettingValue(L"abc"));
    EXPECT_EQ(0, ParseSettingValue(L"-"));
}

TEST(SettingValueParsing, TextAfterTheDigitsIsIgnored) {
    EXPECT_EQ(60, ParseSettingValue(L"60abc"));
    EXPECT_EQ(12, ParseSettingValue(L"12 34"));
}

TEST(SettingValueParsing, NumbersBeyondTheRangeGiveTheNearestLimit) {
    EXPECT_EQ(INT_MAX, ParseSettingValue(L"2147483647"));
    EXPECT_EQ(INT_MAX, ParseSettingValue(L"2147483648"));
    EXPECT_EQ(INT_MAX, ParseSettingValue(L"99999999999999999999999"));
    EXPECT_EQ(INT_MIN, ParseSettingValue(L"-2147483648"));
    EXPECT_EQ(INT_MIN, ParseSettingValue(L"-2147483649"));
    EXPECT_EQ(INT_MIN, ParseSettingValue(L"-99999999999999999999999"));
}

TEST(WorkAreaMove, RectangleInsideStaysWhereItIs) {
    ExpectRect(Rect(100, 100, 500, 400),
               MoveOntoWorkArea(Rect(100, 100, 500, 400), &TASKBAR_WORK_AREA));
}

TEST(WorkAreaMove, PartlyBelowTheTaskbarMovesUpToTheWorkAreaBottom) {
    ExpectRect(Rect(100, 740, 500, 1040),
               MoveOntoWorkArea(Rect(100, 900, 500, 1200), &TASKBAR_WORK_AREA));
}

TEST(WorkAreaMove, WiderThanTheWorkAreaStartsAtItsLeftEdge) {
    ExpectRect(Rect(0, 100, 2400, 400),
               MoveOntoWorkArea(Rect(300, 100, 2700, 400), &TASKBAR_WORK_AREA));
}

TEST(WorkAreaMove, TallerThanTheWorkAreaStartsAtItsTopEdge) {
    ExpectRect(Rect(100, 0, 500, 1200),
               MoveOntoWorkArea(Rect(100, 50, 500, 1250), &TASKBAR_WORK_AREA));
}

TEST(WorkAreaMove, LeftOfTheWorkAreaComesOntoItsLeftEdge) {
    ExpectRect(Rect(0, 200, 400, 500),
               MoveOntoWorkArea(Rect(-1500, 200, -1100, 500), &TASKBAR_WORK_AREA));
}

TEST(WorkAreaMove, WorkAreaLeftOfThePrimaryMonitorKeepsNegativeCoordinates) {
    const RECT leftMonitor = {-1920, 0, 0, 1040};
    ExpectRect(Rect(-400, 100, 0, 400), MoveOntoWorkArea(Rect(-100, 100, 300, 400), &leftMonitor));
}

TEST(WorkAreaMove, HeightNear2To31UnderATopTaskbarStaysRightSideUp) {
    // 32-bit arithmetic wraps the bottom edge past the range and turns the rectangle over.
    const RECT topTaskbar = {0, 40, 1920, 1080};
    ExpectRect(Rect(100, 40, 500, LONG_MAX),
               MoveOntoWorkArea(Rect(100, 0, 500, LONG_MAX), &topTaskbar));
    const RECT leftTaskbar = {60, 0, 1920, 1080};
    ExpectRect(Rect(60, 100, LONG_MAX, 400),
               MoveOntoWorkArea(Rect(0, 100, LONG_MAX, 400), &leftTaskbar));
}

LRESULT CALLBACK PlainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

// A top-level tool window like the frame, so placements are in screen coordinates.
HWND CreatePlacedWindow(int x, int y, int width, int height) {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = PlainWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"quorvelSettingsTestWindow";
    RegisterClassExW(&windowClass);
    return CreateWindowExW(WS_EX_TOOLWINDOW, L"quorvelSettingsTestWindow", L"settings test",
                           WS_POPUP | WS_THICKFRAME, x, y, width, height, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

RECT PrimaryWorkArea() {
    RECT workArea = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
    return workArea;
}

class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        root = MakeScratchFolder(L"settings");
        localAppData.Set(root);
        settingsFolder = root + L"\\quorvel";
        settingsFile = settingsFolder + L"\\settings.ini";
        ResetUiState();
    }
    void TearDown() override {
        if (window)
            DestroyWindow(window);
        RemoveFolderTree(root);
        ResetUiState();
    }
    static void ResetUiState() {
        currentFps = 30;
        recordMouse = 0;
        placementValid = 0;
        savedPlacement = WINDOWPLACEMENT{};
    }
    void Store(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
        CreateDirectoryW(settingsFolder.c_str(), nullptr);
        WritePrivateProfileStringW(section, key, value, settingsFile.c_str());
    }
    void StoreWindow(const wchar_t* x, const wchar_t* y, const wchar_t* w, const wchar_t* h) {
        Store(L"window", L"x", x);
        Store(L"window", L"y", y);
        Store(L"window", L"w", w);
        Store(L"window", L"h", h);
    }
    void StoreWindow(int x, int y, int w, int h) {
        StoreWindow(std::to_wstring(x).c_str(), std::to_wstring(y).c_str(),
                    std::to_wstring(w).c_str(), std::to_wstring(h).c_str());
    }
    std::wstring Stored(const wchar_t* section, const wchar_t* key) {
        return StoredSetting(settingsFile, section, key);
    }
    // A LOCALAPPDATA folder of exactly `length` units, created on disk.
    std::wstring MakeLocationOfLength(size_t length) {
        std::wstring deep = root + L"\\";
        deep.append(length - deep.size(), L'd');
        CreateDirectoryW(deep.c_str(), nullptr);
        return deep;
    }

    LocalAppDataOverride localAppData;
    std::wstring root;
    std::wstring settingsFolder;
    std::wstring settingsFile;
    HWND window = nullptr;
};

using SettingsLoad = SettingsFile;
using SettingsSave = SettingsFile;
using SettingsLocation = SettingsFile;

TEST_F(SettingsLoad, NoFileKeepsDefaultsAndGivesNoPlacement) {
    LoadSettings();
    EXPECT_EQ(30, currentFps);
    EXPECT_EQ(0, recordMouse);
    EXPECT_EQ(0, placementValid);
    EXPECT_TRUE(PathExists(settingsFolder)) << "the load creates the folder";
    EXPECT_FALSE(PathExists(settingsFile)) << "only a close creates the file";
}

TEST_F(SettingsLoad, FrameRatesOfTheMenuAreTaken) {
    for (const wchar_t* fps : {L"60", L"120", L"10", L"30"}) {
        currentFps = 30;
        Store(L"settings", L"fps", fps);
        LoadSettings();
        EXPECT_EQ(_wtoi(fps), currentFps) << fps;
    }
}

TEST_F(SettingsLoad, OtherFrameRatesKeepTheCurrentOne) {
    for (const wchar_t* fps : {L"25", L"abc", L"0", L"-10", L""}) {
        currentFps = 60;
        Store(L"settings", L"fps", fps);
        LoadSettings();
        EXPECT_EQ(60, currentFps) << "stored fps: " << fps;
    }
}

TEST_F(SettingsLoad, FrameRateFollowedByLettersReadsItsDigits) {
    Store(L"settings", L"fps", L"60abc");
    LoadSettings();
    EXPECT_EQ(60, currentFps);
}

TEST_F(SettingsLoad, MissingFrameRateKeepsTheCurrentOne) {
    currentFps = 120;
    Store(L"settings", L"recordMouse", L"1");
    LoadSettings();
    EXPECT_EQ(120, currentFps);
}

TEST_F(SettingsLoad, RecordMouseOfTwoTurnsTheOptionOnAndIsSavedBackAsOne) {
    Store(L"settings", L"recordMouse", L"2");
    LoadSettings();
    EXPECT_EQ(1, recordMouse);

    window = CreatePlacedWindow(100, 100, 500, 400);
    ASSERT_NE(nullptr, window);
    SaveSettings(window);
    EXPECT_EQ(L"1", Stored(L"settings", L"recordMouse"));
}

TEST_F(SettingsLoad, RecordMouseOfZeroTurnsTheOptionOff) {
    recordMouse = 1;
    Store(L"settings", L"recordMouse", L"0");
    LoadSettings();
    EXPECT_EQ(0, recordMouse);
}

TEST_F(SettingsLoad, ZeroWidthGivesNoPlacementWhateverElseIsStored) {
    StoreWindow(10, 20, 0, 300);
    Store(L"window", L"maximized", L"1");
    LoadSettings();
    EXPECT_EQ(0, placementValid);
    EXPECT_EQ(0u, savedPlacement.length);
}

TEST_F(SettingsLoad, MissingWidthOrHeightGivesNoPlacement) {
    Store(L"window", L"x", L"10");
    Store(L"window", L"y", L"20");
    Store(L"window", L"maximized", L"1");
    Store(L"window", L"w", L"400");
    LoadSettings();
    EXPECT_EQ(0, placementValid) << "h missing";

    WritePrivateProfileStringW(L"window", L"w", nullptr, settingsFile.c_str());
    Store(L"window", L"h", L"300");
    LoadSettings();
    EXPECT_EQ(0, placementValid) << "w missing";
}

TEST_F(SettingsLoad, RectangleOnTheWorkAreaIsKeptAsStored) {
    StoreWindow(100, 120, 640, 400);
    LoadSettings();
    ASSERT_EQ(1, placementValid);
    EXPECT_EQ(44u, savedPlacement.length);
    EXPECT_EQ(0u, savedPlacement.flags);
    EXPECT_EQ(static_cast<UINT>(SW_SHOWNORMAL), savedPlacement.showCmd);
    EXPECT_EQ(0, savedPlacement.ptMinPosition.x);
    EXPECT_EQ(0, savedPlacement.ptMinPosition.y);
    EXPECT_EQ(0, savedPlacement.ptMaxPosition.x);
    EXPECT_EQ(0, savedPlacement.ptMaxPosition.y);
    ExpectRect(Rect(100, 120, 740, 520), savedPlacement.rcNormalPosition);
}

TEST_F(SettingsLoad, RectangleOnAMonitorThatNoLongerExistsLandsOnTheNearestWorkArea) {
    RECT work = PrimaryWorkArea();
    StoreWindow(work.right + 3000, work.bottom + 2000, 400, 300);
    LoadSettings();
    ASSERT_EQ(1, placementValid);
    ExpectRect(Rect(work.right - 400, work.bottom - 300, work.right, work.bottom),
               savedPlacement.rcNormalPosition);
}

TEST_F(SettingsLoad, WindowWiderThanTheWorkAreaStartsAtItsLeftEdge) {
    RECT work = PrimaryWorkArea();
    int width = work.right - work.left + 200;
    StoreWindow(work.left + 300, work.top + 100, width, 300);
    LoadSettings();
    ASSERT_EQ(1, placementValid);
    ExpectRect(Rect(work.left, work.top + 100, work.left + width, work.top + 400),
               savedPlacement.rcNormalPosition);
}

TEST_F(SettingsLoad, RectanglePartlyBelowTheWorkAreaMovesUpToItsBottom) {
    RECT work = PrimaryWorkArea();
    StoreWindow(work.left + 50, work.bottom - 100, 500, 300);
    LoadSettings();
    ASSERT_EQ(1, placementValid);
    ExpectRect(Rect(work.left + 50, work.bottom - 300, work.left + 550, work.bottom),
               savedPlacement.rcNormalPosition);
}

TEST_F(SettingsLoad, MaximizedGivesShowMaximizedWithTheStoredRectangle) {
    StoreWindow(100, 120, 640, 400);
    Store(L"window", L"maximized", L"1");
    LoadSettings();
    ASSERT_EQ(1, placementValid);
    EXPECT_EQ(static_cast<UINT>(SW_SHOWMAXIMIZED), savedPlacement.showCmd);
    ExpectRect(Rect(100, 120, 740, 520), savedPlacement.rcNormalPosition);
}

TEST_F(SettingsLoad, EdgesBeyondTheCoordinateRangeGiveNoPlacement) {
    StoreWindow(L"2147483000", L"100", L"1000", L"300");
    LoadSettings();
    EXPECT_EQ(0, placementValid);

    StoreWindow(L"100", L"100", L"2147483647", L"300");
    LoadSettings();
    EXPECT_EQ(0, placementValid);
}

TEST_F(SettingsLoad, SidesBeyondTheLargestVirtualScreenGiveNoPlacement) {
    StoreWindow(L"0", L"0", L"400", L"2147483647");
    LoadSettings();
    EXPECT_EQ(0, placementValid) << "h 2147483647";

    StoreWindow(0, 0, 32768, 300);
    LoadSettings();
    EXPECT_EQ(0, placementValid) << "w 32768";
    StoreWindow(0, 0, 400, 32768);
    LoadSettings();
    EXPECT_EQ(0, placementValid) << "h 32768";

    RECT work = PrimaryWorkArea();
    StoreWindow(work.left, work.top, 32767, 32767);
    LoadSettings();
    ASSERT_EQ(1, placementValid) << "32767 x 32767";
    ExpectRect(Rect(work.left, work.top, work.left + 32767, work.top + 32767),
               savedPlacement.rcNormalPosition);
}

TEST_F(SettingsSave, WritesBothSectionsWithTheirKeysInOrder) {
    currentFps = 60;
    recordMouse = 1;
    window = CreatePlacedWindow(120, 80, 700, 500);
    ASSERT_NE(nullptr, window);
    SaveSettings(window);

    std::vector<std::wstring> expected = {L"[settings]", L"fps=60", L"recordMouse=1",
                                          L"[window]",   L"x=120",  L"y=80",
                                          L"w=700",      L"h=500",  L"maximized=0"};
    EXPECT_EQ(expected, FileLines(settingsFile));
}

TEST_F(SettingsSave, MaximizedWindowSavesItsRestoredRectangleAndLoadsBackMaximized) {
    window = CreatePlacedWindow(150, 90, 650, 450);
    ASSERT_NE(nullptr, window);
    ShowWindow(window, SW_MAXIMIZE);
    SaveSettings(window);
    EXPECT_EQ(L"150", Stored(L"window", L"x"));
    EXPECT_EQ(L"90", Stored(L"window", L"y"));
    EXPECT_EQ(L"650", Stored(L"window", L"w"));
    EXPECT_EQ(L"450", Stored(L"window", L"h"));
    EXPECT_EQ(L"1", Stored(L"window", L"maximized"));

    LoadSettings();
    ASSERT_EQ(1, placementValid);
    EXPECT_EQ(static_cast<UINT>(SW_SHOWMAXIMIZED), savedPlacement.showCmd);
    ExpectRect(Rect(150, 90, 800, 540), savedPlacement.rcNormalPosition);
}

TEST_F(SettingsSave, WithoutAPlacementOnlyTheSettingsSectionIsUpdated) {
    StoreWindow(1, 2, 3, 4);
    currentFps = 120;
    SaveSettings(nullptr);
    EXPECT_EQ(L"120", Stored(L"settings", L"fps"));
    EXPECT_EQ(L"0", Stored(L"settings", L"recordMouse"));
    EXPECT_EQ(L"1", Stored(L"window", L"x"));
    EXPECT_EQ(L"4", Stored(L"window", L"h"));
    EXPECT_EQ(L"<missing>", Stored(L"window", L"maximized"));
}

TEST_F(SettingsSave, OtherKeysOfAnExistingFileSurvive) {
    Store(L"notes", L"keep", L"yes");
    window = CreatePlacedWindow(100, 100, 500, 400);
    ASSERT_NE(nullptr, window);
    SaveSettings(window);
    EXPECT_EQ(L"yes", Stored(L"notes", L"keep"));
    EXPECT_EQ(L"30", Stored(L"settings", L"fps"));
}

TEST_F(SettingsLocation, MissingLocalAppDataLeavesStateAndWritesNothing) {
    Store(L"settings", L"fps", L"120");
    localAppData.Remove();
    currentFps = 60;
    recordMouse = 1;
    LoadSettings();
    EXPECT_EQ(60, currentFps);
    EXPECT_EQ(1, recordMouse);
    EXPECT_EQ(0, placementValid);

    window = CreatePlacedWindow(100, 100, 500, 400);
    SaveSettings(window);
    EXPECT_EQ(L"120", Stored(L"settings", L"fps"));
    EXPECT_FALSE(PathExists(L"\\quorvel\\settings.ini"));
}

TEST_F(SettingsLocation, EmptyLocalAppDataCountsAsMissing) {
    localAppData.Set(L"");
    currentFps = 60;
    LoadSettings();
    EXPECT_EQ(60, currentFps);
    EXPECT_FALSE(PathExists(L"\\quorvel"));
}

TEST_F(SettingsLocation, ValueTooLongForItsBufferCountsAsMissing) {
    std::wstring longValue = root + L"\\" + std::wstring(300, L'v');
    localAppData.Set(longValue);
    currentFps = 10;
    recordMouse = 1;
    LoadSettings();
    EXPECT_EQ(10, currentFps);
    EXPECT_EQ(1, recordMouse);
    EXPECT_EQ(0, placementValid);
    EXPECT_FALSE(PathExists(L"\\quorvel"));
}

TEST_F(SettingsLocation, FilePathLongerThanTheBufferCountsAsMissing) {
    // The folder would still fit; the file path needs 260 units plus the end mark.
    std::wstring deep = MakeLocationOfLength(MAX_PATH - 21);
    ASSERT_TRUE(PathExists(deep));
    localAppData.Set(deep);
    window = CreatePlacedWindow(100, 100, 500, 400);
    LoadSettings();
    SaveSettings(window);
    EXPECT_FALSE(PathExists(deep + L"\\quorvel"));
}

TEST_F(SettingsLocation, LongestFittingPathIsUsed) {
    std::wstring deep = MakeLocationOfLength(MAX_PATH - 22);
    ASSERT_TRUE(PathExists(deep));
    localAppData.Set(deep);
    settingsFile = deep + L"\\quorvel\\settings.ini";
    ASSERT_EQ(size_t{MAX_PATH - 1}, settingsFile.size());
    currentFps = 120;
    window = CreatePlacedWindow(100, 100, 500, 400);
    SaveSettings(window);
    EXPECT_EQ(L"120", Stored(L"settings", L"fps"));
}

} // namespace
