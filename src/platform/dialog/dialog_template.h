#pragma once
// Dialog templates as data: the window's caption, size and style, and its controls with id, kind,
// text, rectangle and styles. Sizes and positions are in dialog units of the dialog font (a
// horizontal unit is a quarter of the font's average character width, a vertical unit an eighth
// of its height), so a template looks the same whatever font the system picks.

#include <span>
#include <string_view>

namespace dlg {

// Id of a control nobody addresses (labels, headings).
inline constexpr int kNoId = -1;
// Command ids of the two standard dialog buttons.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

enum class ControlKind {
    Static,       // text label, left-aligned unless Centred
    PushButton,   // button that issues its id as a command
    ProgressBar,  // progress bar, addressed through dlg::ProgressCtrl
    Icon,         // picture of the icon whose resource id is the control's text
};

// Control styles, combined with |.
enum ControlStyle : unsigned {
    kDefaultButton = 1u << 0,  // the button Enter presses
    kTabStop = 1u << 1,        // reachable with Tab
    kDisabled = 1u << 2,       // greyed, takes no input
    kHidden = 1u << 3,         // never shown
    kSunkenEdge = 1u << 4,     // sunken frame around the control
    kCentred = 1u << 5,        // text centred horizontally
    kMultiLine = 1u << 6,      // text may break at "\n"
    kBorder = 1u << 7,         // thin frame (progress bars)
};

// Window styles of a dialog, combined with |.
enum DialogStyle : unsigned {
    kCaption = 1u << 0,     // title bar
    kSystemMenu = 1u << 1,  // window menu and close box
    kModalFrame = 1u << 2,  // fixed-size dialog frame
    kAppWindow = 1u << 3,   // a window of its own in the task bar
};

// A rectangle in dialog units.
struct DluRect {
    int x = 0;
    int y = 0;
    int cx = 0;
    int cy = 0;
};

struct ControlTemplate {
    int id = kNoId;
    ControlKind kind = ControlKind::Static;
    std::string_view text;
    DluRect rect;
    unsigned styles = 0;
};

struct DialogTemplate {
    int id = 0;
    std::string_view caption;
    int cx = 0;  // client width in dialog units
    int cy = 0;  // client height in dialog units
    unsigned styles = 0;
    std::span<const ControlTemplate> controls;  // in tab order
};

}  // namespace dlg
