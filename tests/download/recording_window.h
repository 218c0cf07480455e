#pragma once
// A main window for the download procedure that only records what it is asked to do: message
// boxes, button states, display texts, labels and the life of every progress window, each with
// the tick count (os::tickCount(), virtual in tests) at which it happened.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "download/download_window.h"
#include "payload/catalogue.h"
#include "platform/os/clock.h"

namespace pv::download::testing {

struct RecordedBox {
    std::string caption;
    std::string text;
    BoxIcon icon;
    int progressWindowsOpen;  // how many progress windows were up while the box showed
    os::Tick time = 0;
};

struct RecordedProgress {
    unsigned titleId = 0;
    std::int32_t low = 0, high = 100, step = 10;
    std::vector<std::int32_t> positions;  // every SetPos, and StepIt as the position it reached
    std::vector<os::Tick> positionTimes;  // when each of them happened
    std::vector<bool> imagesHeld;         // whether the window held an image buffer then
    std::vector<std::string> messages;
    int pumps = 0;
    bool destroyed = false;
    os::Tick createdAt = 0, destroyedAt = 0;
};

class RecordingWindow : public DownloadWindow {
  public:
    payload::ImageSelection& selection() override { return selection_; }
    DisplayTexts& texts() override { return texts_; }
    void PushTexts() override { pushed = texts_; }
    void ShowLabels() override {
        shownMainLabel = selection_.mainLabelPair.version;
        shownTableLabel = selection_.tableLabelPair.version;
    }
    void EnableButton(int id, bool enable) override {
        enabled[id] = enable;
        record((enable ? "enable " : "disable ") + std::to_string(id));
    }
    void FocusControl(int id) override {
        focused = id;
        record("focus " + std::to_string(id));
    }
    void MessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
        boxes.push_back({caption, text, icon, openProgressWindows(), os::tickCount()});
        record("box " + caption);
    }
    std::string LoadString(unsigned id) override;
    std::unique_ptr<ProgressWindow> CreateProgress(unsigned titleId) override;
    void PumpMessages() override { drainTimes.push_back(os::tickCount()); }
    void FirmwareBeingWritten(bool writing, std::uint32_t /*msLeft*/) override {
        record(writing ? "writing on" : "writing off");
    }

    int openProgressWindows() const;
    void record(std::string event) {
        events.push_back(std::move(event));
        eventTimes.push_back(os::tickCount());
    }

    payload::ImageSelection selection_;
    DisplayTexts texts_;
    DisplayTexts pushed;  // what the controls show
    std::string shownMainLabel, shownTableLabel;
    std::map<int, bool> enabled;
    int focused = 0;
    std::vector<RecordedBox> boxes;
    std::vector<std::string> events;   // "disable 1000", "progress 1001", "box Error", ...
    std::vector<os::Tick> eventTimes;  // when each event happened
    std::vector<std::shared_ptr<RecordedProgress>> progressWindows;
    std::vector<os::Tick> drainTimes;  // every drain of the event queue, by window or progress
};

}  // namespace pv::download::testing
