#pragma once
// What image transmission needs of a progress display: moving its position. The progress window
// implements it; tests record the positions.

#include <cstdint>

namespace pv::link {

class TransmitProgress {
  public:
    virtual ~TransmitProgress() = default;
    virtual void SetPos(std::int32_t position) = 0;
};

}  // namespace pv::link
