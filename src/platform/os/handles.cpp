#include "platform/os/handles.h"

#include <map>
#include <mutex>

namespace os {
namespace {

struct HandleTable {
    std::mutex mutex;
    std::map<Handle, std::shared_ptr<HandleObject>> objects;
    Handle next = 0x100;
};

HandleTable& table() {
    static HandleTable t;
    return t;
}

// Looks a handle up; the shared pointer keeps the object alive during a transfer even if another
// thread closes the handle meanwhile.
std::shared_ptr<HandleObject> find(Handle handle) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    auto it = t.objects.find(handle);
    return it == t.objects.end() ? nullptr : it->second;
}

}  // namespace

Handle openHandle(std::unique_ptr<HandleObject> object) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    const Handle h = t.next++;
    t.objects.emplace(h, std::move(object));
    return h;
}

std::uint32_t readFile(Handle handle, void* buffer, std::uint32_t length) {
    auto object = find(handle);
    return object ? object->read(buffer, length) : 0;
}

std::uint32_t writeFile(Handle handle, const void* buffer, std::uint32_t length) {
    auto object = find(handle);
    return object ? object->write(buffer, length) : 0;
}

bool closeHandle(Handle handle) {
    auto object = find(handle);
    if (!object || !object->close())
        return false;
    auto& t = table();
    std::lock_guard lock(t.mutex);
    t.objects.erase(handle);
    return true;
}

std::shared_ptr<HandleObject> handleObject(Handle handle) {
    return find(handle);
}

std::size_t openHandleCount() {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    return t.objects.size();
}

}  // namespace os
