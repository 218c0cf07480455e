#include "recording_window.h"

#include <algorithm>

namespace pv::download::testing {
namespace {

class RecordingProgress : public ProgressWindow {
  public:
    RecordingProgress(std::shared_ptr<RecordedProgress> record, payload::ImageSelection& selection,
                      std::vector<os::Tick>& drains)
        : record_(std::move(record)), selection_(selection), drains_(drains) {}
    RecordingProgress(const RecordingProgress&) = delete;
    RecordingProgress& operator=(const RecordingProgress&) = delete;
    ~RecordingProgress() override {
        record_->destroyed = true;
        record_->destroyedAt = os::tickCount();
    }

    void SetPos(std::int32_t position) override {
        drains_.push_back(os::tickCount());  // a bar update drains the queue first
        position_ = position;
        reached(position);
    }
    void SetRange(std::int32_t low, std::int32_t high) override {
        record_->low = low;
        record_->high = high;
    }
    void SetStep(std::int32_t step) override { record_->step = step; }
    void StepIt() override {
        drains_.push_back(os::tickCount());
        position_ += record_->step;
        reached(position_);
    }
    void SetMessage(std::string_view text) override { record_->messages.emplace_back(text); }
    void PumpMessages() override {
        drains_.push_back(os::tickCount());
        ++record_->pumps;
    }

  private:
    void reached(std::int32_t position) {
        record_->positions.push_back(position);
        record_->positionTimes.push_back(os::tickCount());
        record_->imagesHeld.push_back(selection_.mainImageData || selection_.tableImageData);
    }

    std::shared_ptr<RecordedProgress> record_;
    payload::ImageSelection& selection_;
    std::vector<os::Tick>& drains_;
    std::int32_t position_ = 0;
};

}  // namespace

std::string RecordingWindow::LoadString(unsigned id) {
    static const std::map<unsigned, std::string> strings = {
        {1000, "Upgrade"},
        {1001, "Initializing..."},
        {1003, "Version Check..."},
        {1010, "Printer is not connected."},
        {1011, "Failed!\nPlease turn the printer OFF and then ON, and download again."},
        {1012, "Illegal Printer Type."},
        {1013,
         "Failed Version Information!\nPlease turn the printer OFF and then ON, and download "
         "again."},
        {1014,
         "Printer is not connected.\nPlease turn the printer OFF and then ON, and download again."},
        {1015,
         "Failed! Time out Error!\nPlease turn the printer OFF and then ON, and download again."},
    };
    auto it = strings.find(id);
    return it == strings.end() ? std::string() : it->second;
}

std::unique_ptr<ProgressWindow> RecordingWindow::CreateProgress(unsigned titleId) {
    auto record = std::make_shared<RecordedProgress>();
    record->titleId = titleId;
    record->createdAt = os::tickCount();
    progressWindows.push_back(record);
    this->record("progress " + std::to_string(titleId));
    return std::make_unique<RecordingProgress>(record, selection_, drainTimes);
}

int RecordingWindow::openProgressWindows() const {
    return static_cast<int>(std::count_if(progressWindows.begin(), progressWindows.end(),
                                          [](const auto& p) { return !p->destroyed; }));
}

}  // namespace pv::download::testing
