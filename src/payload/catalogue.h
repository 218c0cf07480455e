#pragma once
// The firmware catalogue: the version map that says which images a printer is to receive, the
// labels of a selection, and the assembly of the selected images into memory, each checked as a
// whole package before anything may be sent.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "payload/embedded_images.h"
#include "payload/image_table.h"

namespace pv::payload {

// One row of the version map: a printer reporting `code` receives main image `mainImageIndex`
// and, when `tableImageIndex` is 0, the table image too (-1: no table image).
struct VersionMapEntry {
    char code[8];
    std::int32_t mainImageIndex;
    std::int32_t tableImageIndex;
};

inline constexpr std::size_t kVersionMapRows = 22;
extern const std::array<VersionMapEntry, kVersionMapRows> kVersionMap;

// What a printer reports for an area that holds no valid firmware (erased, or its image cut off):
// no version in the map applies, and only a recovery (findFamily) can give it firmware again.
inline constexpr char kNoFirmwareVersion[] = "------";
bool reportsNoFirmware(const char* version);

// A version code (six characters and a zero) and a checksum label, shown together.
struct LabelPair {
    char version[7];
    char checksum[5];
};
static_assert(sizeof(LabelPair) == 12, "a label pair is 12 bytes");

// What one download sends. The caller holds it; the catalogue fills it in. The image buffers are
// held here (shared with other selections that hold the same image at the same time), so letting
// the selection go, or freeImages(), releases them.
struct ImageSelection {
    std::int32_t mainImageIndex = -1;   // 0..3, -1 = none
    std::int32_t tableImageIndex = -1;  // 0 = the table image, -1 = none
    LabelPair mainLabelPair = {};
    LabelPair tableLabelPair = {};
    // Milliseconds that one percent of the whole download's progress stands for.
    std::uint32_t msPerPercent = 0;
    std::shared_ptr<const std::uint8_t[]> mainImageData;
    std::uint32_t mainImageSize = 0;
    std::shared_ptr<const std::uint8_t[]> tableImageData;
    std::uint32_t tableImageSize = 0;

    // Releases both image buffers and sets their sizes to 0.
    void freeImages();
};

// Makes an image buffer of `size` bytes, or returns null when memory is short.
using BufferAllocator = std::function<std::unique_ptr<std::uint8_t[]>(std::uint32_t size)>;
std::unique_ptr<std::uint8_t[]> allocateBuffer(std::uint32_t size);

class FirmwareCatalogue {
  public:
    // The catalogue of the images built into the program.
    FirmwareCatalogue();
    // A catalogue over other stored images and buffer allocation. `images` must outlive it.
    explicit FirmwareCatalogue(const ImageSource& images,
                               BufferAllocator allocate = allocateBuffer);

    // Looks the printer's main version up in the version map. On the first matching row copies
    // its two indices into `selection` and returns true; otherwise leaves `selection` unchanged
    // and returns false. A row whose code ends in "0" matches on the first five characters only.
    bool findImages(const char* printerMainVersion, ImageSelection& selection) const;

    // The images of firmware family `family`, the first three characters of its version codes
    // ("301"): set as findImages would for a printer of that family. False (selection unchanged)
    // for a family the map does not know.
    bool findFamily(const char* family, ImageSelection& selection) const;

    // Sets the two label pairs to the versions the selected images install, with empty checksum
    // labels; a pair with no image selected is all zero.
    void fillLabels(ImageSelection& selection) const;

    // Copies the selected images into fresh buffers, checks each as a package and sets
    // msPerPercent. On any failure (no memory, a damaged image) returns false with no buffer left
    // and both sizes 0; a failing main image stops before the table image is touched. An image
    // that another selection holds at the time (downloads to several printers at once) is not
    // copied again: the selections share its checked copy. Safe to call from several threads.
    bool assembleImages(ImageSelection& selection) const;

  private:
    bool assembleImage(std::size_t index, std::shared_ptr<const std::uint8_t[]>& data,
                       std::uint32_t& size) const;

    const ImageSource& images_;
    BufferAllocator allocate_;
    mutable std::mutex copiesMutex_;
    // The checked copy of each image while some selection holds it.
    mutable std::array<std::weak_ptr<const std::uint8_t[]>, kImageCount> copies_;
};

}  // namespace pv::payload
