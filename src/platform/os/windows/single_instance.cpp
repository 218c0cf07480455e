#include "platform/os/single_instance.h"

#include "platform/os/windows/named_lock.h"
#include "platform/os/windows/text.h"

namespace os {

SingleInstanceLock::~SingleInstanceLock() {
    if (lock_ != kNone)
        windows::releaseNamedLock(reinterpret_cast<HANDLE>(lock_));
}

bool SingleInstanceLock::acquire(std::string_view name) {
    if (lock_ != kNone)
        return true;
    if (name.empty() || name.size() > kMaxLockName)
        return false;
    // The session's namespace: another user's copy (another session) never collides.
    std::wstring full = L"Local\\" + windows::wide(name);
    for (std::size_t i = 6; i < full.size(); ++i)
        if (full[i] == L'\\')
            full[i] = L'/';
    HANDLE mutex = nullptr;
    if (windows::takeNamedLock(full, false, mutex) != windows::LockResult::Taken)
        return false;
    lock_ = reinterpret_cast<std::intptr_t>(mutex);
    return true;
}

}  // namespace os
