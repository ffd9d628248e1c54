// The platform seam of the serial transport: open, read with time-outs, write, close.
// One source file per platform implements it (port_posix.cpp, port_win32.cpp); CMake
// picks the file. Everything portable (look-ahead, result mapping, the time-out record)
// stays in serialib.cpp above this seam.
#pragma once

#include <cstddef>
#include <cstdint>

#include "io/serialib.h"

namespace Zelkor::HardwareAPI::IO::port {

/// Opens and configures the port named `name` (raw 8N1 at 115200, exclusive use) and
/// applies `timeouts`. Stores the handle in `handle` whenever the port stays open (codes 1,
/// -3, -5, -6); leaves it untouched otherwise. Returns an OpenCode. May throw std::bad_alloc
/// while building the device path; nothing is open then.
OpenCode open(const char* name, PortHandle& handle, const PortTimeouts& timeouts);

/// Makes `timeouts` govern the following read and write. False when the platform refused.
bool apply_timeouts(PortHandle handle, const PortTimeouts& timeouts);

/// One platform read of up to `count` bytes under `timeouts` (see PortTimeouts). Returns
/// the bytes delivered (0 on a time-out with nothing), or -1 when the platform read failed
/// or the line died before a byte arrived. `after_write` tells that the last transfer on the
/// port was a write, so the device is most likely still working on its reply; a backend may
/// then wait for data before it tries to read.
long read(PortHandle handle, void* destination, std::uint32_t count, const PortTimeouts& timeouts,
          bool after_write);

/// Hands `count` bytes to the port driver within the write time-out. Returns the number of
/// bytes the driver accepted, or -1 when the platform write failed before any byte.
long write(PortHandle handle, const void* source, std::size_t count, const PortTimeouts& timeouts);

/// Releases the port. The handle must be open.
void close(PortHandle handle) noexcept;

}  // namespace Zelkor::HardwareAPI::IO::port
