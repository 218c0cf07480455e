#include "payload/embedded_images.h"

#include <array>

#include "payload/image_table.h"

// Defined by embedded_images.s, which includes the package files byte for byte.
extern "C" {
extern const std::uint8_t pv_firmware_image0[], pv_firmware_image1[], pv_firmware_image2[],
    pv_firmware_image3[], pv_firmware_image4[];
extern const std::uint32_t pv_firmware_image0_size, pv_firmware_image1_size,
    pv_firmware_image2_size, pv_firmware_image3_size, pv_firmware_image4_size;
}

namespace pv::payload {
namespace {

class EmbeddedImages final : public ImageSource {
  public:
    std::span<const std::uint8_t> image(std::size_t index) const override {
        if (index >= kImageCount)
            return {};
        return images_[index];
    }

  private:
    const std::array<std::span<const std::uint8_t>, kImageCount> images_ = {{
        {pv_firmware_image0, pv_firmware_image0_size},
        {pv_firmware_image1, pv_firmware_image1_size},
        {pv_firmware_image2, pv_firmware_image2_size},
        {pv_firmware_image3, pv_firmware_image3_size},
        {pv_firmware_image4, pv_firmware_image4_size},
    }};
};

}  // namespace

const ImageSource& embeddedImages() {
    static const EmbeddedImages images;
    return images;
}

}  // namespace pv::payload
