#include "platform/session/sleep_lock.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/os/keep_awake.h"
#include "platform/os/log.h"

namespace session {
namespace {

// The power manager's "system required" belongs to the thread that asked, and ends with it. The
// lock's own keeper thread asks, and lives until the lock is let go, so that the lock outlives
// whichever thread took it (with several downloads at once, the first to start need not be the
// last to end).
class Keeper {
  public:
    // Starts the keeper; false when the power manager refused (the thread has ended then).
    bool start() {
        std::unique_lock lock(mutex_);
        thread_ = std::thread([this] { keep(); });
        changed_.wait(lock, [this] { return answered_; });
        if (!granted_)
            thread_.join();
        return granted_;
    }
    void stop() {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

  private:
    void keep() {
        const bool granted = os::keepSystemAwake();
        std::unique_lock lock(mutex_);
        granted_ = granted;
        answered_ = true;
        changed_.notify_all();
        if (!granted)
            return;
        changed_.wait(lock, [this] { return released_; });
        os::allowSystemSleep();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    bool answered_ = false;
    bool granted_ = false;
    bool released_ = false;
    std::thread thread_;
};

}  // namespace

SleepLock::SleepLock(std::string who, std::string why, int callTimeoutMs)
    : who_(std::move(who)), why_(std::move(why)), callTimeoutMs_(callTimeoutMs) {}

SleepLock::~SleepLock() {
    release();
}

bool SleepLock::acquire() {
    if (held())
        return true;
    auto keeper = std::make_unique<Keeper>();
    if (!keeper->start()) {
        os::log("no sleep lock taken for \"%s\": the power manager refused", why_.c_str());
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(keeper.release());
    return true;
}

void SleepLock::release() {
    if (!held())
        return;
    std::unique_ptr<Keeper> keeper(reinterpret_cast<Keeper*>(handle_));
    handle_ = -1;
    keeper->stop();
}

}  // namespace session
