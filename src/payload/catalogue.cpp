#include "payload/catalogue.h"

#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "payload/package.h"

namespace pv::payload {

const std::array<VersionMapEntry, kVersionMapRows> kVersionMap = {{
    {"301A10", 0, 0},  {"301B10", 0, 0},  {"301C10", 0, 0},  {"301D10", 0, 0},  {"301E10", 0, 0},
    {"301F10", 0, 0},  {"402A10", 1, -1}, {"402B10", 1, -1}, {"503A10", 2, -1}, {"503B10", 2, -1},
    {"503C10", 2, -1}, {"503D10", 2, -1}, {"503E10", 2, -1}, {"503F10", 2, -1}, {"503G10", 2, -1},
    {"503H10", 2, -1}, {"604A10", 3, -1}, {"604B10", 3, -1}, {"604C10", 3, -1}, {"604D10", 3, -1},
    {"604E10", 3, -1}, {"604F10", 3, -1},
}};

void ImageSelection::freeImages() {
    mainImageData.reset();
    mainImageSize = 0;
    tableImageData.reset();
    tableImageSize = 0;
}

std::unique_ptr<std::uint8_t[]> allocateBuffer(std::uint32_t size) {
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[size]);
}

FirmwareCatalogue::FirmwareCatalogue() : FirmwareCatalogue(embeddedImages()) {}

FirmwareCatalogue::FirmwareCatalogue(const ImageSource& images, BufferAllocator allocate)
    : images_(images), allocate_(std::move(allocate)) {}

bool FirmwareCatalogue::findImages(const char* printerMainVersion,
                                   ImageSelection& selection) const {
    if (printerMainVersion == nullptr)
        return false;
    for (const VersionMapEntry& row : kVersionMap) {
        // A code ending in "0" leaves the last character open: "301F10" also matches "301F11".
        const std::size_t compared = row.code[5] == '0' ? 5 : 6;
        if (std::strncmp(printerMainVersion, row.code, compared) == 0) {
            selection.mainImageIndex = row.mainImageIndex;
            selection.tableImageIndex = row.tableImageIndex;
            return true;
        }
    }
    return false;
}

bool reportsNoFirmware(const char* version) {
    return version != nullptr && std::strcmp(version, kNoFirmwareVersion) == 0;
}

bool FirmwareCatalogue::findFamily(const char* family, ImageSelection& selection) const {
    constexpr std::size_t kFamilyLength = 3;
    if (family == nullptr || std::strlen(family) != kFamilyLength)
        return false;
    for (const VersionMapEntry& row : kVersionMap) {
        if (std::strncmp(family, row.code, kFamilyLength) == 0) {
            selection.mainImageIndex = row.mainImageIndex;
            selection.tableImageIndex = row.tableImageIndex;
            return true;
        }
    }
    return false;
}

namespace {

static_assert(sizeof(ImageInfo::version) == sizeof(LabelPair::version));

// `version` is null or a zero-terminated code of exactly the label's 7 bytes.
void setLabel(LabelPair& pair, const char* version) {
    pair = {};
    if (version != nullptr)
        std::memcpy(pair.version, version, sizeof pair.version);
}

bool isMainImage(std::int32_t index) {
    return static_cast<std::uint32_t>(index) < kMainImageCount;
}

}  // namespace

void FirmwareCatalogue::fillLabels(ImageSelection& selection) const {
    const std::int32_t main = selection.mainImageIndex;
    setLabel(selection.mainLabelPair,
             isMainImage(main) ? kImages[static_cast<std::size_t>(main)].version : nullptr);
    setLabel(selection.tableLabelPair,
             selection.tableImageIndex == 0 ? kImages[kTableImage].version : nullptr);
}

bool FirmwareCatalogue::assembleImage(std::size_t index,
                                      std::shared_ptr<const std::uint8_t[]>& data,
                                      std::uint32_t& size) const {
    const std::span<const std::uint8_t> stored = images_.image(index);
    if (stored.size() > std::numeric_limits<std::uint32_t>::max())
        return false;
    const auto storedSize = static_cast<std::uint32_t>(stored.size());
    const std::lock_guard lock(copiesMutex_);
    if (auto held = copies_.at(index).lock()) {
        data = std::move(held);
        size = storedSize;
        return true;
    }
    auto buffer = allocate_(storedSize);
    if (buffer == nullptr)
        return false;
    if (storedSize != 0)
        std::memcpy(buffer.get(), stored.data(), storedSize);
    if (!checkPackage(buffer.get(), storedSize))
        return false;  // the buffer goes with `buffer`
    data = std::move(buffer);
    copies_.at(index) = data;
    size = storedSize;
    return true;
}

bool FirmwareCatalogue::assembleImages(ImageSelection& selection) const {
    selection.freeImages();
    std::uint32_t weight = kBaseTimeWeight;

    const std::int32_t main = selection.mainImageIndex;
    if (isMainImage(main)) {
        const auto index = static_cast<std::size_t>(main);
        if (!assembleImage(index, selection.mainImageData, selection.mainImageSize))
            return false;
        weight += kImages[index].timeWeight;
    }

    if (selection.tableImageIndex == 0) {
        if (!assembleImage(kTableImage, selection.tableImageData, selection.tableImageSize)) {
            selection.freeImages();
            return false;
        }
        weight += kImages[kTableImage].timeWeight;
    }

    selection.msPerPercent = weight;
    return true;
}

}  // namespace pv::payload
