#include "platform/dialog/resources.h"

#include <QPixmap>

namespace dlg {

std::string ResourceModule::LoadString(unsigned id) const {
    for (const auto& entry : strings)
        if (entry.id == id)
            return std::string(entry.text);
    return {};
}

QIcon ResourceModule::LoadIcon(unsigned id) const {
    QIcon icon;
    for (const auto& entry : icons) {
        if (entry.id != id)
            continue;
        for (const char* const* xpm : {entry.large, entry.small})
            if (xpm != nullptr)
                icon.addPixmap(QPixmap(xpm));
    }
    return icon;
}

}  // namespace dlg
