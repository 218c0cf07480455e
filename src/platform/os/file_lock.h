#pragma once
// An advisory lock on a file in a folder shared by every user (such as /run/lock), which any
// process that asks for it respects. The kernel drops it the moment the holder ends, however it
// ends. The file is opened without following a symbolic link and only if it is a regular file;
// it is made readable and writable by everyone, so that a file one user left behind is a lock
// for the next user too, and holds nothing anyone could take over.

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

  private:
    int fd_ = -1;
};

}  // namespace os
