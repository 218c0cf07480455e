#include "ui/resources.h"

#include <array>

#include "download/strings.h"

namespace pv::ui {
namespace {

// The window menu's entry, then the download's captions and messages.
constexpr auto kStrings = [] {
    std::array<dlg::StringEntry, download::kMessageTexts.size() + 1> all{};
    all[0] = {kAboutMenuText, "&About..."};
    for (std::size_t i = 0; i < download::kMessageTexts.size(); ++i)
        all[i + 1] = {download::kMessageTexts[i].id, download::kMessageTexts[i].text};
    return all;
}();

constexpr std::array<dlg::IconEntry, 1> kIcons{{{kAppIconId, kAppIconLarge, kAppIconSmall}}};

const dlg::ResourceModule kModule{kStrings, kIcons};

}  // namespace

const dlg::ResourceModule& resources() {
    return kModule;
}

std::string LoadString(unsigned id) {
    return kModule.LoadString(id);
}

}  // namespace pv::ui
