#pragma once
// An advisory lock on a file in a folder shared by every user (such as /run/lock), which any
// process that asks for it respects. The kernel drops it the moment the holder ends, however it
// ends. The file is opened without following a symbolic link and only if it is a regular file;
// it is made readable and writable by everyone, so that a file one user left behind is a lock
// for the next user too, and holds nothing anyone could take over.
//
// On Windows the path only names the lock: it is a machine-wide named kernel object that every
// user's copy can take when free, and no file is made. The lock is then owned by the thread that
// took it: release it on the same thread.

#include <cstdint>
#include <string>

namespace os {

class FileLock {
  public:
    enum class Result { Taken, HeldElsewhere, Unusable };

    FileLock() = default;
    ~FileLock() { release(); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Takes the lock on `path` without waiting. A lock this object already holds is released
    // first.
    Result acquire(const std::string& path);
    void release();
    bool held() const { return lock_ != kNone; }

  private:
    // The system's object that holds the lock: a descriptor, or a handle on Windows.
    static constexpr std::intptr_t kNone = -1;
    std::intptr_t lock_ = kNone;
};

}  // namespace os
