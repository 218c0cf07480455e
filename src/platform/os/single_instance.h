#pragma once
// A lock that at most one process holds under a given name: an abstract-namespace Unix socket
// bound to the name. The kernel refuses a second bind while the first is open and frees the name
// the moment the holding process ends, however it ends (even killed), so a crash never leaves a
// stale lock behind. The socket is not inherited by child processes.

#include <string_view>

namespace os {

class SingleInstanceLock {
  public:
    SingleInstanceLock() = default;
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    // Takes the lock; false when another holder has it, the name is too long (over 107 bytes)
    // or no socket could be made. A lock already held by this object is kept.
    bool acquire(std::string_view name);
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

}  // namespace os
