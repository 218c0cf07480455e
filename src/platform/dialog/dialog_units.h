#pragma once
// The dialog font and the dialog-unit rule. The base units come from the font itself: the
// horizontal unit is half of one more than the average width of the 52 letters, the vertical unit
// is the font's height; a dialog unit is a quarter of the first and an eighth of the second.

#include <QFont>
#include <QRect>

#include "platform/dialog/dialog_template.h"

namespace dlg {

struct BaseUnits {
    int x = 0;
    int y = 0;
};

// An 8-point sans-serif: Liberation Sans when installed (its metrics match the classic dialog
// fonts), otherwise DejaVu Sans, otherwise the toolkit's default sans-serif.
QFont dialogFont();

BaseUnits baseUnits(const QFont& font);

// a * b / c rounded to the nearest integer, halves away from zero; 0 when c is 0.
int mulDiv(int a, int b, int c);

// Pixels of a dialog-unit rectangle; each of x, y, width and height is mapped on its own.
QRect mapDialogRect(const DluRect& rect, BaseUnits units);

}  // namespace dlg
