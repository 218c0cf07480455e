#pragma once
// An advisory lock on a file in a folder shared by every user (such as /run/lock), which any
// process that asks for it respects. The kernel drops it the moment the holder ends, however it
// ends.
//
// An existing lock file is opened read-only and without O_CREAT (the lock needs no more), so a
// file another user left behind in a sticky folder is a lock for everyone, even where the kernel
// refuses to create-open other users' files there (fs.protected_regular = 2). A missing one is
// created exclusively, readable by everyone. Only a regular file reached without a symbolic link
// serves; anything else at the path, a file this user may not open, or a folder where it may not
// create one makes the lock unusable, which is never taken for "held elsewhere".
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
    // After Unusable: what is wrong, in words that name the file, its owner and mode (or the
    // folder's), or on Windows the object and who may have made it, and what to do; empty
    // otherwise.
    const std::string& problem() const { return problem_; }
    // The lock at `path` as messages name it: "lock file /run/lock/...", or on Windows "lock
    // object Global\...".
    static std::string describe(const std::string& path);

  private:
    // The system's object that holds the lock: a descriptor, or a handle on Windows.
    static constexpr std::intptr_t kNone = -1;
    std::intptr_t lock_ = kNone;
    std::string problem_;
};

}  // namespace os
