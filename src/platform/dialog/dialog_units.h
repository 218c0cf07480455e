#pragma once
// The dialog-unit rule. The base units come from the dialog font: the horizontal unit is half of
// one more than the average width of the 52 letters, the vertical unit is the font's height; a
// dialog unit is a quarter of the first and an eighth of the second. Each backend measures its
// own font; the arithmetic is shared.

#include "platform/dialog/dialog_template.h"

namespace dlg {

struct BaseUnits {
    int x = 0;
    int y = 0;
};

// A rectangle in pixels.
struct PixelRect {
    int x = 0;
    int y = 0;
    int cx = 0;
    int cy = 0;
    bool operator==(const PixelRect&) const = default;
};

// Base units of a font whose 52 letters "A..Za..z" are `lettersWidth` pixels wide and whose
// lines are `height` pixels high.
BaseUnits baseUnitsOf(int lettersWidth, int height);

// a * b / c rounded to the nearest integer, halves away from zero; 0 when c is 0.
int mulDiv(int a, int b, int c);

// Pixels of a dialog-unit rectangle; each of x, y, width and height is mapped on its own.
PixelRect mapDialogRect(const DluRect& rect, BaseUnits units);

}  // namespace dlg
