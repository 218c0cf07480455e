#pragma once
// The Qt backend's progress bar control. QProgressBar ignores values outside its range, starts
// empty and turns equal bounds into a busy animation, so this control keeps the true position
// itself and follows the platform control's rules (see progress_ctrl.h), showing QProgressBar
// only a proper range and the clamped position.

#include <QProgressBar>

#include "platform/dialog/progress_ctrl.h"

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

}  // namespace dlg
