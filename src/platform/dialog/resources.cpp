#include "platform/dialog/resources.h"

namespace dlg {

std::string ResourceModule::LoadString(unsigned id) const {
    for (const auto& entry : strings)
        if (entry.id == id)
            return std::string(entry.text);
    return {};
}

const IconEntry* ResourceModule::FindIcon(unsigned id) const {
    for (const auto& entry : icons)
        if (entry.id == id)
            return &entry;
    return nullptr;
}

Icon ResourceModule::LoadIcon(unsigned id) const {
    return FindIcon(id) != nullptr ? Icon{this, id} : Icon{};
}

}  // namespace dlg
