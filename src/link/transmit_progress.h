#pragma once
// What image transmission needs of a progress display: moving its position, and keeping the
// windows answering once the bar has reached its end. The progress window implements it; tests
// record the calls.

#include <cstdint>

namespace pv::link {

class TransmitProgress {
  public:
    virtual ~TransmitProgress() = default;
    // Drains the thread's event queue first, then moves the bar.
    virtual void SetPos(std::int32_t position) = 0;
    // Drains the thread's event queue.
    virtual void PumpMessages() = 0;
};

}  // namespace pv::link
