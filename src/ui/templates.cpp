#include "ui/templates.h"

#include <array>

namespace pv::ui {
namespace {

using dlg::ControlKind;
using dlg::kNoId;

constexpr ControlKind kStatic = ControlKind::Static;
constexpr ControlKind kButton = ControlKind::PushButton;
// A value field: a left-aligned static text in a sunken edge.
constexpr unsigned kField = dlg::kSunkenEdge;
constexpr unsigned kCentred = dlg::kCentred;
constexpr unsigned kDialogStyle = dlg::kCaption | dlg::kSystemMenu | dlg::kModalFrame;

constexpr std::array<dlg::ControlTemplate, 4> kAboutControls{{
    {kNoId, ControlKind::Icon, "128", {11, 17, 20, 20}, 0},
    {kNoId, kStatic, "FlashKit Version 1.00", {37, 10, 151, 11}, kCentred},
    {kNoId,
     kStatic,
     "Firmware updater for the PV4410S.\nKeep the printer switched on\nwhile a download runs.",
     {37, 24, 151, 32},
     kCentred | dlg::kMultiLine},
    {dlg::kIdOk, kButton, "OK", {194, 7, 50, 14}, dlg::kDefaultButton | dlg::kTabStop},
}};

// A build that carries the generated stand-in images says so in one more line of the About box.
constexpr std::array<dlg::ControlTemplate, 5> kDemoAboutControls{{
    kAboutControls[0],
    kAboutControls[1],
    kAboutControls[2],
    kAboutControls[3],
    {kNoId,
     kStatic,
     "Demonstration build: test firmware only;\nupdates virtual printers only.",
     {11, 60, 229, 16},
     kCentred | dlg::kMultiLine},
}};

constexpr std::array<dlg::ControlTemplate, 32> kUpdateControls{{
    {kNoId, kStatic, "Download F/W", {14, 11, 129, 8}, 0},
    {kNoId, kStatic, "Version", {104, 17, 50, 8}, kCentred},
    {kNoId, kStatic, "Check sum", {175, 17, 50, 8}, kCentred},
    {kNoId, kStatic, "Main firm ware", {25, 29, 68, 8}, 0},
    {kNoId, kStatic, ":", {95, 29, 8, 8}, 0},
    {kDownloadMainVersion, kStatic, "12345", {104, 29, 50, 9}, kField},
    {kDownloadMainChecksum, kStatic, "$1234", {175, 29, 50, 9}, kField},
    {kNoId, kStatic, "Table", {25, 43, 68, 8}, 0},
    {kNoId, kStatic, ":", {95, 43, 8, 8}, 0},
    {kDownloadTableVersion, kStatic, "67890", {104, 43, 50, 9}, kField},
    {kDownloadTableChecksum, kStatic, "$1234", {175, 43, 50, 9}, kField},
    {kNoId, kStatic, "F/W in Printer", {14, 64, 129, 8}, 0},
    {kNoId, kStatic, "Main firm ware", {25, 133, 68, 8}, 0},
    {kNoId, kStatic, ":", {95, 133, 8, 8}, 0},
    {kAfterMainVersion, kStatic, "", {104, 132, 50, 9}, kField},
    {kAfterMainChecksum, kStatic, "", {175, 132, 50, 9}, kField},
    {kNoId, kStatic, "Table", {25, 147, 68, 8}, 0},
    {kNoId, kStatic, ":", {95, 147, 8, 8}, 0},
    {kAfterTableVersion, kStatic, "", {104, 146, 50, 9}, kField},
    {kAfterTableChecksum, kStatic, "", {175, 146, 50, 9}, kField},
    {kGetChecksumButton,
     kButton,
     "Get\nChecksum",
     {144, 164, 52, 23},
     dlg::kMultiLine | dlg::kTabStop | dlg::kDisabled},
    {kDownLoadButton,
     kButton,
     "DownLoad",
     {66, 164, 52, 23},
     dlg::kDefaultButton | dlg::kMultiLine | dlg::kTabStop},
    {kNoId, kStatic, "After download", {25, 119, 47, 8}, 0},
    {kNoId, kStatic, "Main firm ware", {25, 90, 68, 8}, 0},
    {kNoId, kStatic, ":", {95, 90, 8, 8}, 0},
    {kBeforeMainVersion, kStatic, "", {104, 90, 50, 9}, kField},
    {kBeforeMainChecksum, kStatic, "", {175, 90, 50, 9}, kField},
    {kNoId, kStatic, "Table", {25, 104, 68, 8}, 0},
    {kNoId, kStatic, ":", {95, 104, 8, 8}, 0},
    {kBeforeTableVersion, kStatic, "", {104, 103, 50, 9}, kField},
    {kBeforeTableChecksum, kStatic, "", {175, 103, 50, 9}, kField},
    {kNoId, kStatic, "Before download", {25, 76, 52, 8}, 0},
}};

constexpr std::array<dlg::ControlTemplate, 4> kProgressControls{{
    {kProgressCancel,
     kButton,
     "Cancel",
     {63, 59, 50, 14},
     dlg::kDefaultButton | dlg::kTabStop | dlg::kHidden},
    {kProgressBar, ControlKind::ProgressBar, "", {11, 42, 154, 10}, dlg::kBorder},
    {kProgressPercent, kStatic, " 0 %", {79, 31, 18, 8}, kCentred},
    {kProgressMessage, kStatic, "", {6, 7, 164, 16}, kCentred | dlg::kMultiLine},
}};

}  // namespace

const dlg::DialogTemplate kAboutTemplate{100, "About", 251, 63, kDialogStyle, kAboutControls};
const dlg::DialogTemplate kDemoAboutTemplate{100, "About",      251,
                                             80,  kDialogStyle, kDemoAboutControls};

const dlg::DialogTemplate kUpdateTemplate{102,
                                          "Software Upgrade Application for PV4410S",
                                          258,
                                          201,
                                          kDialogStyle | dlg::kAppWindow,
                                          kUpdateControls};

const dlg::DialogTemplate kProgressTemplate{105, "", 176, 80, kDialogStyle, kProgressControls};

}  // namespace pv::ui
