// The Windows dialog backend's in-memory templates, read back word by word: every window of the
// program keeps its template's dialog units, ids, classes and styles, in the 8-point shell
// dialog font, so the system's dialog manager lays it out as the template says.

#include <windows.h>

#include <commctrl.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dialog/win32/template_builder.h"
#include "ui/templates.h"

namespace {

class Reader {
  public:
    explicit Reader(const std::vector<std::uint16_t>& words) : words_(words) {}
    std::uint16_t word() { return words_.at(at_++); }
    std::uint32_t dword() { return word() | (std::uint32_t{word()} << 16); }
    std::int16_t coordinate() { return static_cast<std::int16_t>(word()); }
    std::wstring text() {
        std::wstring s;
        for (std::uint16_t c = word(); c != 0; c = word())
            s += static_cast<wchar_t>(c);
        return s;
    }
    // An ordinal as "#n", otherwise the text.
    std::wstring nameOrOrdinal() {
        if (words_.at(at_) != 0xFFFF)
            return text();
        word();
        return L"#" + std::to_wstring(word());
    }
    void alignToDword() { at_ += at_ % 2; }
    bool atEnd() const { return at_ == words_.size(); }

  private:
    const std::vector<std::uint16_t>& words_;
    std::size_t at_ = 0;
};

TEST(DialogTemplateWin32, EveryWindowKeepsItsUnitsIdsClassesAndStyles) {
    for (const dlg::DialogTemplate* t :
         {&pv::ui::kUpdateTemplate, &pv::ui::kProgressTemplate, &pv::ui::kAboutTemplate}) {
        const std::vector<std::uint16_t> words = dlg::win32::buildTemplate(*t);
        Reader in(words);
        EXPECT_EQ(in.word(), 1);
        EXPECT_EQ(in.word(), 0xFFFF);
        in.dword();
        const std::uint32_t exStyle = in.dword();
        const std::uint32_t style = in.dword();
        EXPECT_EQ(exStyle & WS_EX_APPWINDOW,
                  (t->styles & dlg::kAppWindow) != 0 ? WS_EX_APPWINDOW : 0u);
        EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SHELLFONT),
                  WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SHELLFONT);
        ASSERT_EQ(in.word(), t->controls.size());
        in.coordinate();
        in.coordinate();
        EXPECT_EQ(in.coordinate(), t->cx);
        EXPECT_EQ(in.coordinate(), t->cy);
        EXPECT_EQ(in.nameOrOrdinal(), L"");  // no menu
        EXPECT_EQ(in.nameOrOrdinal(), L"");  // the dialog class
        in.text();                           // caption
        EXPECT_EQ(in.word(), 8);
        in.word();
        in.word();
        EXPECT_EQ(in.text(), L"MS Shell Dlg");
        for (const auto& c : t->controls) {
            in.alignToDword();
            in.dword();
            in.dword();
            const std::uint32_t s = in.dword();
            EXPECT_EQ(in.coordinate(), c.rect.x);
            EXPECT_EQ(in.coordinate(), c.rect.y);
            EXPECT_EQ(in.coordinate(), c.rect.cx);
            EXPECT_EQ(in.coordinate(), c.rect.cy);
            EXPECT_EQ(static_cast<int>(in.dword()), c.id);
            const std::wstring cls = in.nameOrOrdinal();
            in.nameOrOrdinal();
            EXPECT_EQ(in.word(), 0);
            const bool button = c.kind == dlg::ControlKind::PushButton;
            EXPECT_EQ(cls, button                                    ? L"#128"
                           : c.kind == dlg::ControlKind::ProgressBar ? std::wstring(PROGRESS_CLASSW)
                                                                     : L"#130");
            EXPECT_EQ((s & WS_VISIBLE) != 0, (c.styles & dlg::kHidden) == 0) << c.id;
            EXPECT_EQ((s & WS_TABSTOP) != 0, (c.styles & dlg::kTabStop) != 0) << c.id;
            EXPECT_EQ((s & WS_DISABLED) != 0, (c.styles & dlg::kDisabled) != 0) << c.id;
            if (button) {
                const std::uint32_t kind = (c.styles & dlg::kDefaultButton) != 0
                                               ? std::uint32_t{BS_DEFPUSHBUTTON}
                                               : std::uint32_t{BS_PUSHBUTTON};
                EXPECT_EQ(s & 0xFu, kind) << c.id;
            }
            if (c.kind == dlg::ControlKind::Static) {
                EXPECT_EQ((s & SS_SUNKEN) != 0, (c.styles & dlg::kSunkenEdge) != 0) << c.id;
            }
        }
        EXPECT_TRUE(in.atEnd());
    }
}

}  // namespace
