#pragma once
// Platform file handles: small integers naming an open object that can be read, written and
// closed synchronously. -1 names nothing. A transport (for example a USB pipe) registers an
// object and hands the handle out; whoever holds the handle reads, writes and closes through it.

#include <cstdint>
#include <memory>

namespace os {

using Handle = std::int64_t;
inline constexpr Handle kNoHandle = -1;

class HandleObject {
  public:
    virtual ~HandleObject() = default;
    // Each returns the number of bytes the transport moved; 0 on failure.
    virtual std::uint32_t read(void* buffer, std::uint32_t length) = 0;
    virtual std::uint32_t write(const void* buffer, std::uint32_t length) = 0;
    // Releases the underlying resource; false leaves the handle open.
    virtual bool close() = 0;
};

// Registers `object` and returns its new handle (never -1). Handle values are not reused.
Handle openHandle(std::unique_ptr<HandleObject> object);

// One synchronous transfer. An unknown or closed handle moves 0 bytes.
std::uint32_t readFile(Handle handle, void* buffer, std::uint32_t length);
std::uint32_t writeFile(Handle handle, const void* buffer, std::uint32_t length);

// True when the object closed; the handle is then gone. False when the handle is unknown or the
// object refused to close (the handle stays valid).
bool closeHandle(Handle handle);

// The object behind an open handle, kept alive by the returned pointer; null when unknown. Lets
// the transport that made a handle ask its own object about it.
std::shared_ptr<HandleObject> handleObject(Handle handle);

// Number of handles currently open; lets tests prove that nothing leaked.
std::size_t openHandleCount();

}  // namespace os
