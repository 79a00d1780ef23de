#include <gtest/gtest.h>
#include "common/command_ids.h"
#include "frame_fixture.h"
#include "options_menu_recorder.h"
#include "ui/frame_geometry.h"
#include "ui/frame_window.h"
#include "ui/options_menu.h"

namespace {

const MenuItemSnapshot* FindItem(const std::vector<MenuItemSnapshot>& items, UINT id) {
    for (const MenuItemSnapshot& item : items) {
        if (!item.popup && item.id == id) {
            return &item;
        }
        if (const MenuItemSnapshot* found = FindItem(item.items, id)) {
            return found;
        }
    }
    return nullptr;
}

// The eight command items, in display order.
const UINT commandIds[] = {ID_FPS_120,  ID_FPS_60,   ID_FPS_30,    ID_FPS_10,
                           ID_RES_360P, ID_RES_720P, ID_RES_1080P, ID_RECORD_MOUSE};

// How one opening of the real menu was ended by a helper thread acting as the user.
struct MenuDismissal {
    bool byClick;        // a click outside the menu, else the Escape key
    bool sawMenu;        // the menu was on the screen before it was dismissed
    bool closedByItself; // it went away without being cancelled from here
};

int commandsReceived = 0;

LRESULT CALLBACK CountCommands(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND) {
        ++commandsReceived;
    }
    return CallWindowProcW(FrameWndProc, window, message, wParam, lParam);
}

HWND VisibleMenuWindow() {
    HWND menu = FindWindowW(L"#32768", nullptr);
    return menu && IsWindowVisible(menu) ? menu : nullptr;
}

bool WaitForMenuWindow(bool shown, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while ((VisibleMenuWindow() != nullptr) != shown) {
        if (GetTickCount() - start >= timeoutMs) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

DWORD WINAPI DismissMenuWhenShown(void* parameter) {
    MenuDismissal* dismissal = static_cast<MenuDismissal*>(parameter);
    dismissal->sawMenu = WaitForMenuWindow(true, 5000);
    if (dismissal->sawMenu) {
        Sleep(100);
        INPUT input = {};
        if (dismissal->byClick) {
            // Outside the menu, on the desktop left of the frame.
            input.type = INPUT_MOUSE;
            input.mi.dx = MulDiv(100, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
            input.mi.dy = MulDiv(400, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
            const DWORD steps[3] = {MOUSEEVENTF_MOVE, MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP};
            for (DWORD step : steps) {
                input.mi.dwFlags = step | MOUSEEVENTF_ABSOLUTE;
                SendInput(1, &input, sizeof(INPUT));
                Sleep(50);
            }
        } else {
            input.type = INPUT_KEYBOARD;
            input.ki.wVk = VK_ESCAPE;
            SendInput(1, &input, sizeof(INPUT));
            input.ki.dwFlags = KEYEVENTF_KEYUP;
            SendInput(1, &input, sizeof(INPUT));
        }
    }
    dismissal->closedByItself = WaitForMenuWindow(false, 3000);
    if (!dismissal->closedByItself) {
        EndMenu(); // so that a failing test does not hang in the menu loop
    }
    return 0;
}

} // namespace

class OptionsMenu : public FrameWindowTest {
  protected:
    void SetUp() override {
        FrameWindowTest::SetUp();
        RecordOptionsMenu();
    }

    // Opens the menu and returns whether each command item is checked.
    std::vector<UINT> CheckedIds() {
        ShowOptionsMenu(window, 10, 20);
        std::vector<UINT> checked;
        for (UINT id : commandIds) {
            const MenuItemSnapshot* item = FindItem(menuRecord.items, id);
            if (item && item->checked) {
                checked.push_back(id);
            }
        }
        return checked;
    }
};

TEST_F(OptionsMenu, IsBuiltInDisplayOrderWithTextsAndIds) {
    ShowOptionsMenu(window, 10, 20);
    ASSERT_EQ(menuRecord.items.size(), 4u);
    const MenuItemSnapshot& rates = menuRecord.items[0];
    const MenuItemSnapshot& sizes = menuRecord.items[1];
    EXPECT_EQ(rates.text, L"Frame rate");
    EXPECT_TRUE(rates.popup);
    EXPECT_EQ(sizes.text, L"Resolution");
    EXPECT_TRUE(sizes.popup);
    EXPECT_TRUE(menuRecord.items[2].separator);
    EXPECT_EQ(menuRecord.items[3].text, L"Record mouse pointer");
    EXPECT_EQ(menuRecord.items[3].id, static_cast<UINT>(ID_RECORD_MOUSE));
    EXPECT_FALSE(menuRecord.items[3].popup);

    const WCHAR* rateTexts[] = {L"120", L"60", L"30", L"10"};
    ASSERT_EQ(rates.items.size(), 4u);
    for (size_t index = 0; index < 4; ++index) {
        EXPECT_EQ(rates.items[index].text, rateTexts[index]);
        EXPECT_EQ(rates.items[index].id, commandIds[index]);
    }
    const WCHAR* sizeTexts[] = {L"360p", L"720p", L"1080p"};
    ASSERT_EQ(sizes.items.size(), 3u);
    for (size_t index = 0; index < 3; ++index) {
        EXPECT_EQ(sizes.items[index].text, sizeTexts[index]);
        EXPECT_EQ(sizes.items[index].id, commandIds[4 + index]);
    }
}

TEST_F(OptionsMenu, IsTrackedAtThePointForTheWindowAfterTakingForeground) {
    ShowOptionsMenu(window, 321, -45);
    ASSERT_EQ(menuRecord.trackCalls, 1);
    EXPECT_EQ(menuRecord.flags, static_cast<UINT>(TPM_RIGHTBUTTON));
    EXPECT_EQ(menuRecord.x, 321);
    EXPECT_EQ(menuRecord.y, -45);
    EXPECT_EQ(menuRecord.reserved, 0);
    EXPECT_EQ(menuRecord.owner, window);
    EXPECT_EQ(menuRecord.excludeRect, nullptr);
    EXPECT_EQ(menuRecord.foregroundCalls, 1);
    EXPECT_EQ(menuRecord.foregroundWindow, window);
    EXPECT_EQ(menuRecord.trackCallsAtForeground, 0);
}

TEST_F(OptionsMenu, IsDestroyedWithItsSubmenusWhenItCloses) {
    ShowOptionsMenu(window, 10, 20);
    ASSERT_EQ(menuRecord.submenus.size(), 2u);
    EXPECT_FALSE(IsMenu(menuRecord.menu));
    EXPECT_FALSE(IsMenu(menuRecord.submenus[0]));
    EXPECT_FALSE(IsMenu(menuRecord.submenus[1]));
}

// The sizes here are 360p: 720p would not fit a 1024 x 768 desktop.
TEST_F(OptionsMenu, IdleChecksRateSizeAndNothingIsGreyed) {
    SetCaptureSize(window, 640, 360);
    EXPECT_EQ(CheckedIds(), (std::vector<UINT>{ID_FPS_30, ID_RES_360P}));
    for (UINT id : commandIds) {
        EXPECT_FALSE(FindItem(menuRecord.items, id)->grayed) << id;
    }
    EXPECT_FALSE(menuRecord.items[0].grayed);
    EXPECT_FALSE(menuRecord.items[1].grayed);
}

TEST_F(OptionsMenu, ChecksTheCurrentRateOnly) {
    const struct {
        int fps;
        UINT id;
    } rates[] = {{10, ID_FPS_10}, {60, ID_FPS_60}, {120, ID_FPS_120}};
    for (const auto& rate : rates) {
        currentFps = rate.fps;
        EXPECT_EQ(CheckedIds(), std::vector<UINT>{rate.id}) << rate.fps;
    }
}

TEST_F(OptionsMenu, ChecksThePointerOptionWhenOn) {
    recordMouse = 1;
    SetCaptureSize(window, 640, 360);
    EXPECT_EQ(CheckedIds(), (std::vector<UINT>{ID_FPS_30, ID_RES_360P, ID_RECORD_MOUSE}));
}

TEST_F(OptionsMenu, RecordingGreysTheEightCommandsButNotTheSubmenus) {
    SetCaptureSize(window, 640, 360);
    currentFps = 60;
    recordMouse = 1;
    isRecording = 1;
    EXPECT_EQ(CheckedIds(), (std::vector<UINT>{ID_FPS_60, ID_RES_360P, ID_RECORD_MOUSE}));
    for (UINT id : commandIds) {
        EXPECT_TRUE(FindItem(menuRecord.items, id)->grayed) << id;
    }
    EXPECT_FALSE(menuRecord.items[0].grayed);
    EXPECT_FALSE(menuRecord.items[1].grayed);
}

TEST_F(OptionsMenu, NoSizeIsCheckedAt640By361) {
    SetCaptureSize(window, 640, 361);
    EXPECT_EQ(CheckedIds(), std::vector<UINT>{ID_FPS_30});
}

TEST_F(OptionsMenu, NoSizeIsCheckedWhen360pWasClampedAt192Dpi) {
    windowDpi = 192;
    SetCaptureSize(window, 640, 360);
    EXPECT_EQ(CheckedIds(), std::vector<UINT>{ID_FPS_30});
}

TEST_F(OptionsMenu, DismissingChangesNothing) {
    // The real menu loop, closed as a user closes it.
    userApi = realUserApi;
    commandsReceived = 0;
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountCommands));
    SetCaptureSize(window, 1280, 720);
    RECT before = {};
    GetWindowRect(window, &before);

    for (bool byClick : {false, true}) {
        MenuDismissal dismissal = {byClick, false, false};
        HANDLE user = CreateThread(nullptr, 0, DismissMenuWhenShown, &dismissal, 0, nullptr);
        ASSERT_NE(user, nullptr);
        ShowOptionsMenu(window, 400, 300);
        WaitForSingleObject(user, 10000);
        CloseHandle(user);
        PumpMessages(100);
        const char* how = byClick ? "a click elsewhere" : "Escape";
        EXPECT_TRUE(dismissal.sawMenu) << "no menu on the screen before " << how;
        EXPECT_TRUE(dismissal.closedByItself) << how << " did not close the menu";
    }

    EXPECT_EQ(commandsReceived, 0);
    RECT after = {};
    GetWindowRect(window, &after);
    EXPECT_TRUE(EqualRect(&before, &after));
    EXPECT_EQ(currentFps, 30);
    EXPECT_EQ(recordMouse, 0);
    EXPECT_EQ(isRecording, 0);
}

TEST_F(OptionsMenu, ChoosingThePointerTwiceRestoresIt) {
    menuRecord.chooseId = ID_RECORD_MOUSE;
    ShowOptionsMenu(window, 10, 20);
    PumpMessages(30);
    EXPECT_EQ(recordMouse, 1);
    ShowOptionsMenu(window, 10, 20);
    PumpMessages(30);
    EXPECT_EQ(recordMouse, 0);
}
