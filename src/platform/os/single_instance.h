#pragma once
// A lock that at most one process of the calling user holds under a given name. The kernel frees
// it the moment the holding process ends, however it ends (even killed), so a crash never leaves a
// stale lock behind; it is not inherited by programs the holder starts. Another user's copy never
// collides with it.
//
// In a desktop session the lock is a file in the user's private runtime folder ($XDG_RUNTIME_DIR,
// which only its owner can enter), held with flock(), so no other user can take it either.
// Without a usable runtime folder it is an abstract-namespace Unix socket bound to the name with
// the user's id appended. Any user can bind such a name, so the holder listens on it, and a copy
// that finds the name taken asks the holder's user id: another user's squatting is reported
// (problem()), not taken for a copy of this user's.
//
// On Windows the lock is a named kernel object in the session's own namespace ("Local\").

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace os {

// Longest name acquire() takes (the socket form appends " uid " and up to ten digits).
inline constexpr std::size_t kMaxLockName = 92;

class SingleInstanceLock {
  public:
    SingleInstanceLock() = default;
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    // Takes the lock; false when another holder has it, the name is empty or longer than
    // kMaxLockName, or no lock could be made. A lock already held by this object is kept.
    bool acquire(std::string_view name);
    bool held() const { return lock_ != kNone; }
    // Why acquire() refused when it is not that another copy of this user holds the lock: the
    // name taken by another user (naming it), or no lock could be made; empty otherwise.
    const std::string& problem() const { return problem_; }

  private:
    // The system's object that holds the lock: a descriptor, or a handle on Windows.
    static constexpr std::intptr_t kNone = -1;
    std::intptr_t lock_ = kNone;
    std::string problem_;
};

}  // namespace os
