#include "platform/os/file_lock.h"

#include <cstdint>

#include "platform/os/windows/named_lock.h"
#include "platform/os/windows/text.h"

namespace os {
namespace {

// The machine-wide name of the lock at `path`. A kernel object's name may hold no backslash
// after its namespace, and at most MAX_PATH characters; longer paths are named by a hash.
std::wstring lockName(const std::string& path) {
    std::wstring name = windows::wide(path);
    for (wchar_t& c : name)
        if (c == L'\\')
            c = L'/';
    constexpr std::size_t kMaxName = 200;
    if (name.size() > kMaxName) {
        std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
        for (const wchar_t c : name)
            hash = (hash ^ static_cast<std::uint64_t>(c)) * 1099511628211ull;
        name = name.substr(name.size() - kMaxName / 2) + L"-" + std::to_wstring(hash);
    }
    return L"Global\\pv4410s-lock:" + name;
}

}  // namespace

std::string FileLock::describe(const std::string& path) {
    return "lock object " + windows::utf8(lockName(path));
}

FileLock::Result FileLock::acquire(const std::string& path) {
    release();
    problem_.clear();
    HANDLE mutex = nullptr;
    const std::string object = describe(path);
    // What to do about a name another program or user took: the object lives as long as a
    // handle to it is open.
    const std::string remedy =
        ": another program or user made it (the updater's own lets every user wait on it); end "
        "that program, or sign that user out or restart Windows, to free the name";
    switch (windows::takeNamedLock(lockName(path), true, mutex)) {
        case windows::LockResult::Taken:
            lock_ = reinterpret_cast<std::intptr_t>(mutex);
            return Result::Taken;
        case windows::LockResult::HeldElsewhere:
            return Result::HeldElsewhere;
        case windows::LockResult::Refused:
            problem_ = "the " + object + " exists but does not let this user wait on it" + remedy;
            break;
        case windows::LockResult::NotALock:
            problem_ =
                "the name of the " + object + " is taken by an object that is not a lock" + remedy;
            break;
        case windows::LockResult::Unusable:
            problem_ = "the " + object + " cannot be made or opened";
            break;
    }
    return Result::Unusable;
}

void FileLock::release() {
    if (lock_ != kNone)
        windows::releaseNamedLock(reinterpret_cast<HANDLE>(lock_));
    lock_ = kNone;
}

}  // namespace os
