// The windows' rules on the system's own dialogs, driven with the messages keys and the window
// manager send: Enter starts a run from "DownLoad", focused and default at start and after every
// run; the main window is disabled while a progress window or a message box is up; the progress
// window ignores Enter, Escape and its close box; a close of the main window during a run is
// refused; the window menu's "About..." opens the About box, which OK and Escape close.

#include <windows.h>

#include <functional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "download/download_window.h"
#include "platform/dialog/win32/dialog_window.h"
#include "ui/update_dialog.h"

namespace {

using pv::download::kDownLoadButton;

// The main window with a run of the test's own in place of the download.
class ScriptedRun final : public pv::ui::UpdateDialog {
  public:
    std::function<void()> run;
    int runs = 0;
    void OnDownLoad() override {
        ++runs;
        run();
    }
};

void pump() {
    for (int i = 0; i < 5; ++i) {
        dlg::PumpMessages();
        ::Sleep(10);
    }
}

// A key press as the system delivers it to the window with the focus.
void press(HWND window, WPARAM key) {
    ::PostMessageW(window, WM_KEYDOWN, key, 1);
    ::PostMessageW(window, WM_KEYUP, key, 0xC0000001);
}

int focusedId() {
    return ::GetDlgCtrlID(::GetFocus());
}

int defaultId(HWND dialog) {
    return LOWORD(::SendMessageW(dialog, DM_GETDEFID, 0, 0));
}

// What runs inside the next modal loop (a message box, the About box) once it is up.
std::function<void()> insideModal;
void CALLBACK onTimer(HWND, UINT, UINT_PTR id, DWORD) {
    ::KillTimer(nullptr, id);
    insideModal();
}
void whenModal(std::function<void()> action) {
    insideModal = std::move(action);
    ::SetTimer(nullptr, 0, 200, onTimer);
}

// The main window, made and shown for each test, destroyed after it.
class Win32DialogRules : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(window.Create(nullptr));
        main = dlg::hwndOf(&window);
        pump();
    }
    void TearDown() override { window.DestroyWindow(); }

    ScriptedRun window;
    HWND main = nullptr;
};

TEST_F(Win32DialogRules, ARunDisablesTheMainWindowRefusesClosesAndEndsOnDownLoad) {
    EXPECT_EQ(focusedId(), kDownLoadButton);
    EXPECT_EQ(defaultId(main), kDownLoadButton);

    bool boxSawMainDisabled = false;
    window.run = [&] {
        window.EnableButton(kDownLoadButton, false);
        {
            auto progress = window.CreateProgress(pv::download::kUpgradeCaption);
            HWND bar = dlg::hwndOf(progress.get());
            ASSERT_NE(bar, nullptr);
            pump();
            EXPECT_FALSE(::IsWindowEnabled(main)) << "disabled while a progress window is up";
            press(::GetFocus() != nullptr ? ::GetFocus() : bar, VK_RETURN);
            press(::GetFocus() != nullptr ? ::GetFocus() : bar, VK_ESCAPE);
            ::PostMessageW(bar, WM_SYSCOMMAND, SC_CLOSE, 0);  // its close box, Alt+F4
            ::PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
            ::PostMessageW(main, WM_CLOSE, 0, 0);
            pump();
            EXPECT_TRUE(::IsWindow(bar)) << "the progress window ignores Enter, Escape, close";
            EXPECT_TRUE(::IsWindow(main)) << "the main window stays during a run";
        }
        EXPECT_TRUE(::IsWindowEnabled(main)) << "enabled once the progress window is gone";
        whenModal([&] {
            boxSawMainDisabled = !::IsWindowEnabled(main);
            press(::GetFocus(), VK_RETURN);
        });
        window.ShowMessage("Success!", "Success!", dlg::MessageIcon::Information);
        // As every run ends: "DownLoad" enabled again and focused.
        window.EnableButton(kDownLoadButton, true);
        window.FocusControl(kDownLoadButton);
    };
    press(::GetFocus(), VK_RETURN);
    pump();
    EXPECT_EQ(window.runs, 1) << "Enter on the default button starts a run";
    EXPECT_TRUE(boxSawMainDisabled) << "disabled while the message box is up";
    EXPECT_TRUE(::IsWindowEnabled(main));
    EXPECT_EQ(focusedId(), kDownLoadButton);
    EXPECT_EQ(defaultId(main), kDownLoadButton);
}

TEST_F(Win32DialogRules, TheWindowMenusAboutOpensTheAboutBoxWhichOkAndEscapeClose) {
    for (const WPARAM key : {WPARAM{VK_RETURN}, WPARAM{VK_ESCAPE}}) {
        std::wstring caption;
        bool mainDisabled = false;
        whenModal([&] {
            HWND about = ::FindWindowW(nullptr, L"About");
            caption = about != nullptr ? L"About" : L"";
            mainDisabled = !::IsWindowEnabled(main);
            press(::GetFocus() != nullptr ? ::GetFocus() : about, key);
        });
        ::SendMessageW(main, WM_SYSCOMMAND, pv::ui::kAboutCommand, 0);
        EXPECT_EQ(caption, L"About") << "key " << key;
        EXPECT_TRUE(mainDisabled);
        EXPECT_TRUE(::IsWindowEnabled(main)) << "the About box closed with key " << key;
    }
}

// Moved to a monitor of another scale, the window fits its labels again to their texts.
TEST_F(Win32DialogRules, ALabelIsFittedAgainWhenTheScaleChanges) {
    HWND label = nullptr;
    for (HWND child = ::GetWindow(main, GW_CHILD); child != nullptr && label == nullptr;
         child = ::GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[16] = {};
        ::GetClassNameW(child, className, 16);
        const auto style = static_cast<DWORD>(::GetWindowLongW(child, GWL_STYLE));
        if (std::wstring(className) == L"Static" && ::GetWindowTextLengthW(child) > 3 &&
            (style & (SS_SUNKEN | SS_CENTER)) == 0 &&
            (::GetWindowLongW(child, GWL_EXSTYLE) & WS_EX_STATICEDGE) == 0)
            label = child;
    }
    ASSERT_NE(label, nullptr);
    const auto width = [&] {
        RECT rect{};
        ::GetWindowRect(label, &rect);
        return rect.right - rect.left;
    };
    const int fitted = width();
    ::SetWindowPos(label, nullptr, 0, 0, 2, 10, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT frame{};
    ::GetWindowRect(main, &frame);
    ::SendMessageW(main, WM_DPICHANGED, MAKEWPARAM(96, 96), reinterpret_cast<LPARAM>(&frame));
    pump();
    EXPECT_GT(width(), 10) << "fitted to its text again";
    EXPECT_LE(width(), fitted);
}

}  // namespace
