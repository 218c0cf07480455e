#include "link/usb_identity.h"

#include <algorithm>

namespace pv::link {
namespace {

UsbIdentity& identity() {
    static UsbIdentity instance;
    return instance;
}

}  // namespace

void setUsbIdentity(const std::uint16_t* productIds, std::uint16_t count, std::uint16_t vendorId) {
    UsbIdentity& id = identity();
    id.productIds.reset();
    if (productIds == nullptr)
        count = 0;
    if (count > 0) {
        id.productIds = std::make_unique<std::uint16_t[]>(count);
        std::copy(productIds, productIds + count, id.productIds.get());
    }
    id.productIdCount = count;
    id.vendorId = vendorId;
}

void releaseUsbIdentity() {
    UsbIdentity& id = identity();
    id.vendorId = 0;
    id.productIdCount = 0;
    id.productIds.reset();
}

const UsbIdentity& usbIdentity() {
    return identity();
}

}  // namespace pv::link
