#pragma once
// The LD_PRELOAD value under which a program sees the umockdev testbed: the umockdev preload
// library, preceded by the AddressSanitizer runtime when the program is built with it (ASan
// insists on coming first), followed by whatever LD_PRELOAD already held.

#include <string>

namespace vprinter {

inline constexpr char kPreloadLibrary[] = "libumockdev-preload.so.0";

// Whether the umockdev preload library is loaded into this process.
bool umockdevPreloaded();

// The soname of the ASan runtime the ELF file at `path` needs ("libasan.so.8"), or "".
std::string asanRuntimeOf(const std::string& path);

// LD_PRELOAD for running the program at `path` (found on PATH when it has no slash).
std::string preloadFor(const std::string& path);

}  // namespace vprinter
