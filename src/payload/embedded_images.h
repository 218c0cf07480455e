#pragma once
// Where the catalogue gets the stored bytes of the five images. The program uses the images
// embedded at build time; tests hand the catalogue other (e.g. damaged) bytes.

#include <cstddef>
#include <cstdint>
#include <span>

namespace pv::payload {

class ImageSource {
  public:
    virtual ~ImageSource() = default;
    // The stored package of image `index` (0..3 main images, kTableImage the table image), or an
    // empty span for an index with no image. The bytes stay valid and unchanged while the
    // source lives.
    virtual std::span<const std::uint8_t> image(std::size_t index) const = 0;
};

// The five package files built into the program as read-only data.
const ImageSource& embeddedImages();

// True when the embedded images are the generated stand-ins (valid packages of random records)
// rather than the maker's firmware: such a build may only load a virtual printer.
#ifdef PV4410S_STANDIN_FIRMWARE
inline constexpr bool kStandInImages = true;
#else
inline constexpr bool kStandInImages = false;
#endif

}  // namespace pv::payload
