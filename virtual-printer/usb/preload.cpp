#include "usb/preload.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace vprinter {

namespace {

std::string findOnPath(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return name;
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = dir;
        candidate.append("/").append(name);
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return name;
}

}  // namespace

bool umockdevPreloaded() {
    void* handle = dlopen(kPreloadLibrary, RTLD_NOW | RTLD_NOLOAD);
    if (handle)
        dlclose(handle);
    return handle != nullptr;
}

std::string asanRuntimeOf(const std::string& path) {
    std::ifstream file(findOnPath(path), std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(file)), {});
    const std::string stem = "libasan.so.";
    // The soname is the stem followed by its version number (the bare stem may occur as text).
    for (auto at = content.find(stem); at != std::string::npos; at = content.find(stem, at + 1)) {
        auto end = at + stem.size();
        while (end < content.size() && std::isdigit(static_cast<unsigned char>(content[end])))
            ++end;
        if (end > at + stem.size())
            return content.substr(at, end - at);
    }
    return {};
}

std::string preloadFor(const std::string& path) {
    std::string value = kPreloadLibrary;
    const std::string asan = asanRuntimeOf(path);
    if (!asan.empty())
        value = asan + ":" + value;
    const char* existing = std::getenv("LD_PRELOAD");
    if (existing && *existing)
        value += std::string(":") + existing;
    return value;
}

}  // namespace vprinter
