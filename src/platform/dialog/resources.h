#pragma once
// The resources a program hands to its windows: a string table and icons, both by numeric id.
// Icons are 16-colour XPM pictures compiled in as data, one large (32 x 32) and one small
// (16 x 16) picture per icon; a backend whose platform keeps icons as resources of the program
// file finds them there under the same id.

#include <span>
#include <string>
#include <string_view>

namespace dlg {

struct StringEntry {
    unsigned id;
    std::string_view text;
};

struct IconEntry {
    unsigned id;
    const char* const* large;  // XPM data
    const char* const* small;  // XPM data
};

struct ResourceModule;

// An icon by reference: the module and the id it is found under; null when there is no such
// icon.
struct Icon {
    const ResourceModule* module = nullptr;
    unsigned id = 0;
    bool isNull() const { return module == nullptr; }
};

struct ResourceModule {
    std::span<const StringEntry> strings;
    std::span<const IconEntry> icons;

    // The string with this id; empty when the table has none.
    std::string LoadString(unsigned id) const;
    // The icon with this id; a null icon when there is none.
    Icon LoadIcon(unsigned id) const;
    const IconEntry* FindIcon(unsigned id) const;
};

}  // namespace dlg
