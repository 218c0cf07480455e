#pragma once
// The window-side wrapper of a progress bar control, which dialogs hold as a field and attach to
// their bar through data exchange. The control behaves like the platform's progress control: it
// clamps positions to its range, takes bounds of 16 bits (the range travels packed, low bound in
// the low 16 bits, high bound in the high 16 bits), and wraps around when a step goes past either
// end, answering the position it had before the step. Defaults: 0..100, step 10. Every call does
// nothing while no control is attached.

#include <cstdint>

namespace dlg {

// The backend's bar control.
class ProgressBarControl;

class ProgressCtrl {
  public:
    void Attach(ProgressBarControl* control) { control_ = control; }
    void Detach() { control_ = nullptr; }
    ProgressBarControl* control() const { return control_; }

    void SetRange(std::int32_t low, std::int32_t high);
    // Each answers the previous value.
    std::int32_t SetPos(std::int32_t position);
    std::int32_t SetStep(std::int32_t step);
    std::int32_t StepIt();
    std::int32_t GetPos() const;

  private:
    ProgressBarControl* control_ = nullptr;
};

}  // namespace dlg
