#include "platform/os/windows/named_lock.h"

#include <sddl.h>

#include <algorithm>
#include <map>
#include <mutex>

namespace os::windows {
namespace {

// The locks this process holds, by mutex: a mutex is recursive for its owning thread, a lock is
// not.
std::mutex heldMutex;
std::map<HANDLE, std::wstring> held;

bool heldHere(const std::wstring& name) {
    return std::any_of(held.begin(), held.end(),
                       [&](const auto& entry) { return entry.second == name; });
}

}  // namespace

LockResult takeNamedLock(const std::wstring& name, bool everyUser, HANDLE& mutex) {
    mutex = nullptr;
    const std::lock_guard lock(heldMutex);
    if (heldHere(name))
        return LockResult::HeldElsewhere;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    // Everyone may wait on a machine-wide lock and release it once owned (SYNCHRONIZE,
    // MUTEX_MODIFY_STATE), and so take it when it is free; only its creator may change it.
    if (everyUser && ::ConvertStringSecurityDescriptorToSecurityDescriptorW(
                         L"D:(A;;0x00100001;;;WD)", SDDL_REVISION_1, &descriptor, nullptr) != 0)
        attributes.lpSecurityDescriptor = descriptor;
    HANDLE object =
        ::CreateMutexExW(&attributes, name.c_str(), 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
    const DWORD createError = ::GetLastError();
    if (descriptor != nullptr)
        ::LocalFree(descriptor);
    if (object == nullptr)
        return createError == ERROR_ACCESS_DENIED    ? LockResult::Refused
               : createError == ERROR_INVALID_HANDLE ? LockResult::NotALock
                                                     : LockResult::Unusable;
    const DWORD waited = ::WaitForSingleObject(object, 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        held.emplace(object, name);
        mutex = object;
        return LockResult::Taken;
    }
    ::CloseHandle(object);
    return waited == WAIT_TIMEOUT ? LockResult::HeldElsewhere : LockResult::Unusable;
}

void releaseNamedLock(HANDLE mutex) {
    if (mutex == nullptr)
        return;
    ::ReleaseMutex(mutex);
    ::CloseHandle(mutex);
    const std::lock_guard lock(heldMutex);
    held.erase(mutex);
}

}  // namespace os::windows
