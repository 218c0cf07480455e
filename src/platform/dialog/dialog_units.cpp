#include "platform/dialog/dialog_units.h"

#include <cstdint>
#include <cstdlib>

namespace dlg {

BaseUnits baseUnitsOf(int lettersWidth, int height) {
    return {(lettersWidth / 26 + 1) / 2, height};
}

int mulDiv(int a, int b, int c) {
    if (c == 0)
        return 0;
    const std::int64_t product = static_cast<std::int64_t>(a) * b;
    const std::int64_t half = std::llabs(c) / 2;
    const bool negative = (product < 0) != (c < 0);
    const std::int64_t magnitude = (std::llabs(product) + half) / std::llabs(c);
    return static_cast<int>(negative ? -magnitude : magnitude);
}

PixelRect mapDialogRect(const DluRect& rect, BaseUnits units) {
    return {mulDiv(rect.x, units.x, 4), mulDiv(rect.y, units.y, 8), mulDiv(rect.cx, units.x, 4),
            mulDiv(rect.cy, units.y, 8)};
}

}  // namespace dlg
