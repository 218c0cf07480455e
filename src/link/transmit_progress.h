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
    // True once the user asked the run to stop (a console front end's interrupt): the stream
    // then ends after its current chunk, as a failed send. The windows never ask.
    virtual bool StopRequested() { return false; }
};

}  // namespace pv::link
