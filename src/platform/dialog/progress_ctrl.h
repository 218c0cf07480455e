#pragma once
// A progress bar that behaves like the platform's progress control rather than QProgressBar: it
// keeps its own position, clamps positions to its range instead of ignoring them, takes bounds of
// 16 bits (unsigned, as the packed range message carries them), and wraps around when a step goes
// past either end, answering the position it had before the step. Defaults: 0..100, step 10.

#include <cstdint>

#include <QProgressBar>

namespace dlg {

class ProgressBarControl : public QProgressBar {
  public:
    explicit ProgressBarControl(QWidget* parent = nullptr);

    // Both bounds are cut to 16 bits; the position is clamped into the new range.
    void setRange16(int low, int high);
    // Clamps to the range; answers the previous position.
    int setPosition(int position);
    // Answers the previous step.
    int setStepSize(int step);
    // Advances by the step, starting over from the other end when it goes past an end; answers
    // the position before the step.
    int stepIt();

    int low() const { return low_; }
    int high() const { return high_; }
    int position() const { return position_; }
    int stepSize() const { return step_; }

  private:
    void refresh();

    int low_ = 0;
    int high_ = 100;
    int position_ = 0;
    int step_ = 10;
};

// The window-side wrapper that dialogs hold as a field and attach to their bar control through
// data exchange. Every call does nothing while no control is attached.
class ProgressCtrl {
  public:
    void Attach(ProgressBarControl* control) { control_ = control; }
    void Detach() { control_ = nullptr; }
    ProgressBarControl* control() const { return control_; }

    // The bounds travel packed, low in the low 16 bits and high in the high 16 bits.
    void SetRange(std::int32_t low, std::int32_t high);
    std::int32_t SetPos(std::int32_t position);
    std::int32_t SetStep(std::int32_t step);
    std::int32_t StepIt();
    std::int32_t GetPos() const;

  private:
    ProgressBarControl* control_ = nullptr;
};

}  // namespace dlg
