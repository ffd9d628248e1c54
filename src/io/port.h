// The platform seam of the serial transport: open, read with time-outs, write, close.
// One source file per platform implements it (port_posix.cpp, port_win32.cpp); CMake
// picks the file. Everything portable (look-ahead, result mapping, the time-out record, the
// bookkeeping of failures) stays in serialib.cpp above this seam.
#pragma once

#include <ZelkorHardwareAPI/io/port_error.h>
#include <ZelkorHardwareAPI/io/serialib.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace Zelkor::HardwareAPI::IO::port {

/// How one platform transfer ended.
enum class Ending : std::uint8_t {
    complete,     ///< every byte moved
    timed_out,    ///< the port's time-out ended it first
    interrupted,  ///< the wait hook asked it to stop waiting
    hung_up,      ///< the line went away (nothing more will ever move)
    failed,       ///< the platform call failed; system_error says why
};

/// What a transfer moved and how it ended.
struct Outcome {
    std::size_t count = 0;
    Ending ending = Ending::complete;
    int system_error = 0;  ///< errno or GetLastError() for failed and hung_up; else 0
};

/// Opens and configures the port named `name` (raw 8N1 at 115200, exclusive use) and
/// applies `timeouts`. Stores the handle in `handle` whenever the port stays open (codes 1,
/// -3, -5, -6); leaves it untouched otherwise. Returns an OpenCode and, for every code but
/// 1, fills `error` with the failed step and its cause. May throw std::bad_alloc while
/// building the device path; nothing is open then.
OpenCode open(const char* name, PortHandle& handle, const PortTimeouts& timeouts, PortError& error);

/// Makes `timeouts` govern the following read and write. False (with the system error in
/// `system_error`) when the platform refused. A read or write whose hook has a deadline needs
/// no call first: the platform may apply time-outs of its own, shortened to the deadline, for
/// that transfer, and they stay in force after it.
bool apply_timeouts(PortHandle handle, const PortTimeouts& timeouts, int& system_error);

/// One platform read of up to `count` bytes under `timeouts` (see PortTimeouts).
/// `after_write` tells that the last transfer on the port was a write, so the device is most
/// likely still working on its reply; a backend may then wait for data before it tries to
/// read. `hook`, when set, is consulted while the read waits.
Outcome read(PortHandle handle, void* destination, std::uint32_t count,
             const PortTimeouts& timeouts, bool after_write, const WaitHook& hook);

/// Hands `count` bytes to the port driver within the write time-out.
Outcome write(PortHandle handle, const void* source, std::size_t count,
              const PortTimeouts& timeouts, const WaitHook& hook);

/// Waits up to `timeout_ms` for input to read. True when a read would not wait: bytes have
/// arrived, or the line hung up; false after the time-out or when the hook asked to stop.
bool wait_readable(PortHandle handle, std::uint32_t timeout_ms, const WaitHook& hook);

/// Drops the bytes that have arrived but not been read. False when the platform refused.
bool discard_input(PortHandle handle);

/// The number of bytes that have arrived and not been read; -1 when the platform cannot say.
long bytes_waiting(PortHandle handle);

/// Releases the port. The handle must be open.
void close(PortHandle handle) noexcept;

/// Lets go of the handle and nothing else: the port's settings and locks stay as they are
/// (a forked child's copy, whose port the parent still uses).
void abandon(PortHandle handle) noexcept;

/// The operating system's text for `system_error`.
std::string error_text(int system_error);

/// The POSIX errno value closest to `system_error`.
int errno_of(int system_error);

}  // namespace Zelkor::HardwareAPI::IO::port
