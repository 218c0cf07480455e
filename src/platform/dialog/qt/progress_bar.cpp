#include "platform/dialog/qt/progress_bar.h"

#include <algorithm>

namespace dlg {

ProgressBarControl::ProgressBarControl(QWidget* parent) : QProgressBar(parent) {
    setTextVisible(false);
    refresh();
}

void ProgressBarControl::setRange16(int low, int high) {
    low_ = low & 0xFFFF;
    high_ = high & 0xFFFF;
    position_ = std::clamp(position_, std::min(low_, high_), std::max(low_, high_));
    refresh();
}

int ProgressBarControl::setPosition(int position) {
    const int previous = position_;
    position_ = std::clamp(position, std::min(low_, high_), std::max(low_, high_));
    refresh();
    return previous;
}

int ProgressBarControl::setStepSize(int step) {
    const int previous = step_;
    step_ = step;
    return previous;
}

int ProgressBarControl::stepIt() {
    const int previous = position_;
    const std::int64_t span = static_cast<std::int64_t>(high_) - low_;
    const std::int64_t next = static_cast<std::int64_t>(position_) + step_;
    if (span == 0)
        position_ = low_;
    else if (next > high_)
        position_ = static_cast<int>((next - low_) % span + low_);
    else if (next < low_)
        position_ = static_cast<int>((next - low_) % span + high_);
    else
        position_ = static_cast<int>(next);
    refresh();
    return previous;
}

// QProgressBar turns a range of equal bounds into a busy animation and ignores values outside
// its range, so it is only ever shown a proper range and the clamped position.
void ProgressBarControl::refresh() {
    if (low_ == high_) {
        QProgressBar::setRange(0, 1);
        QProgressBar::setValue(0);
        return;
    }
    QProgressBar::setRange(std::min(low_, high_), std::max(low_, high_));
    QProgressBar::setValue(position_);
}

void ProgressCtrl::SetRange(std::int32_t low, std::int32_t high) {
    if (control_ == nullptr)
        return;
    const auto packed = static_cast<std::uint32_t>(low & 0xFFFF) |
                        (static_cast<std::uint32_t>(high & 0xFFFF) << 16);
    control_->setRange16(static_cast<int>(packed & 0xFFFF), static_cast<int>(packed >> 16));
}

std::int32_t ProgressCtrl::SetPos(std::int32_t position) {
    return control_ != nullptr ? control_->setPosition(position) : 0;
}

std::int32_t ProgressCtrl::SetStep(std::int32_t step) {
    return control_ != nullptr ? control_->setStepSize(step) : 0;
}

std::int32_t ProgressCtrl::StepIt() {
    return control_ != nullptr ? control_->stepIt() : 0;
}

std::int32_t ProgressCtrl::GetPos() const {
    return control_ != nullptr ? control_->position() : 0;
}

}  // namespace dlg
