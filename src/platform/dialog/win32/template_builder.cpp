#include "platform/dialog/win32/template_builder.h"

#include "platform/dialog/win32/system.h"

#include <charconv>
#include <string>
#include <string_view>

#include "platform/os/windows/text.h"

namespace dlg::win32 {
namespace {

// Ordinals of the predefined control classes.
constexpr std::uint16_t kButtonClass = 0x0080;
constexpr std::uint16_t kStaticClass = 0x0082;

class Writer {
  public:
    void word(std::uint32_t value) { words_.push_back(static_cast<std::uint16_t>(value)); }
    void dword(std::uint32_t value) {
        word(value & 0xFFFFu);
        word(value >> 16);
    }
    void coordinate(int value) {
        word(static_cast<std::uint16_t>(static_cast<std::int16_t>(value)));
    }
    void text(std::wstring_view value) {
        for (wchar_t c : value)
            word(static_cast<std::uint16_t>(c));
        word(0);
    }
    void ordinal(std::uint16_t value) {
        word(0xFFFF);
        word(value);
    }
    void alignToDword() {
        if (words_.size() % 2 != 0)
            word(0);
    }
    std::vector<std::uint16_t> take() { return std::move(words_); }

  private:
    std::vector<std::uint16_t> words_;
};

std::uint32_t dialogStyle(unsigned styles) {
    std::uint32_t style = WS_POPUP | DS_SETFONT | DS_FIXEDSYS;  // DS_SHELLFONT
    if ((styles & kCaption) != 0)
        style |= WS_CAPTION;
    if ((styles & kSystemMenu) != 0)
        style |= WS_SYSMENU;
    if ((styles & kModalFrame) != 0)
        style |= DS_MODALFRAME;
    return style;
}

std::uint32_t controlStyle(const ControlTemplate& control) {
    std::uint32_t style = WS_CHILD | WS_GROUP;
    if ((control.styles & kHidden) == 0)
        style |= WS_VISIBLE;
    if ((control.styles & kTabStop) != 0)
        style |= WS_TABSTOP;
    if ((control.styles & kDisabled) != 0)
        style |= WS_DISABLED;
    if ((control.styles & kBorder) != 0)
        style |= WS_BORDER;
    switch (control.kind) {
        case ControlKind::Static:
            // Shown as it is: an ampersand in a text the printer reported is no mnemonic.
            style |= ((control.styles & kCentred) != 0 ? SS_CENTER : SS_LEFT) | SS_NOPREFIX;
            if ((control.styles & kSunkenEdge) != 0)
                style |= SS_SUNKEN;
            break;
        case ControlKind::PushButton:
            style |= (control.styles & kDefaultButton) != 0 ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
            if ((control.styles & kMultiLine) != 0)
                style |= BS_MULTILINE;
            break;
        case ControlKind::ProgressBar:
            break;
        case ControlKind::Icon:
            style |= SS_ICON;
            break;
    }
    return style;
}

}  // namespace

std::vector<std::uint16_t> buildTemplate(const DialogTemplate& dialogTemplate) {
    Writer out;
    out.word(1);       // dlgVer
    out.word(0xFFFF);  // signature: extended template
    out.dword(0);      // helpID
    out.dword((dialogTemplate.styles & kAppWindow) != 0 ? WS_EX_APPWINDOW : 0);
    out.dword(dialogStyle(dialogTemplate.styles));
    out.word(static_cast<std::uint32_t>(dialogTemplate.controls.size()));
    out.coordinate(0);
    out.coordinate(0);
    out.coordinate(dialogTemplate.cx);
    out.coordinate(dialogTemplate.cy);
    out.word(0);  // no menu
    out.word(0);  // the dialog class
    out.text(os::windows::wide(dialogTemplate.caption));
    out.word(kDialogFontPoints);
    out.word(FW_NORMAL);
    out.word(DEFAULT_CHARSET << 8);  // italic 0, then the character set
    out.text(kDialogFontFace);

    for (const auto& control : dialogTemplate.controls) {
        out.alignToDword();
        out.dword(0);  // helpID
        out.dword(0);  // extended style
        out.dword(controlStyle(control));
        out.coordinate(control.rect.x);
        out.coordinate(control.rect.y);
        out.coordinate(control.rect.cx);
        out.coordinate(control.rect.cy);
        out.dword(static_cast<std::uint32_t>(control.id));
        switch (control.kind) {
            case ControlKind::PushButton:
                out.ordinal(kButtonClass);
                break;
            case ControlKind::ProgressBar:
                out.text(PROGRESS_CLASSW);
                break;
            case ControlKind::Static:
            case ControlKind::Icon:
                out.ordinal(kStaticClass);
                break;
        }
        if (control.kind == ControlKind::Icon) {
            // The icon control's text is the resource id of its icon.
            unsigned id = 0;
            std::from_chars(control.text.data(), control.text.data() + control.text.size(), id);
            out.ordinal(static_cast<std::uint16_t>(id));
        } else {
            out.text(os::windows::wide(control.text));
        }
        out.word(0);  // no creation data
    }
    return out.take();
}

}  // namespace dlg::win32
