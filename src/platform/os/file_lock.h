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
    bool held() const { return fd_ >= 0; }
    // After Unusable: what is wrong, in words that name the file, its owner and mode (or the
    // folder's), and what an administrator can do; empty otherwise.
    const std::string& problem() const { return problem_; }

  private:
    int fd_ = -1;
    std::string problem_;
};

}  // namespace os
