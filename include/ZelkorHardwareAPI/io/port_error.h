// What a serial port reports about its failures, and the hook that lets a caller cut a wait
// short.
#pragma once

#include <ZelkorHardwareAPI/export.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace Zelkor::HardwareAPI::IO {

/// The cause of a port's most recent failure: the step that failed and why. A port keeps it
/// until its next successful open or transfer (a failed read until a read succeeds, a failed
/// write until a write does). Copied by value; building it never allocates
/// (the text is made only when message() asks for it).
struct ZELKOR_API PortError {
    /// Which step failed.
    enum class Step : std::uint8_t {
        none,       ///< nothing has failed
        open,       ///< opening the port (missing, held elsewhere, no permission, not a port)
        configure,  ///< reading or applying the line settings or the time-outs
        read,       ///< a read
        write,      ///< a write
        hang_up,    ///< the line went away: an unplugged adapter, a closed pseudo-terminal
    };
    /// Why it failed.
    enum class Cause : std::uint8_t {
        none,         ///< no failure
        system,       ///< the operating system refused; system_error says why
        timed_out,    ///< the port's time-out ended the transfer before all bytes moved
        interrupted,  ///< the wait hook asked the transfer to stop waiting
        not_open,     ///< there is no open port (never opened, closed, or hung up)
        not_a_port,   ///< the name is a file or a device that is no serial line
        in_use,       ///< another program holds the port
    };

    Step step = Step::none;
    Cause cause = Cause::none;
    /// errno on POSIX, GetLastError() on Windows, when the operating system gave one; else 0.
    int system_error = 0;

    /// True when a failure is recorded.
    explicit operator bool() const noexcept { return cause != Cause::none; }

    /// The matching POSIX errno value (ENOENT for a missing port, EACCES, EBUSY for a port
    /// held elsewhere, ETIMEDOUT, EINTR, ...); 0 when nothing failed.
    int error_number() const noexcept;

    /// One line of English saying what failed, e.g. "read timed out" or "open failed: No
    /// such file or directory (errno 2)"; empty when nothing failed.
    std::string message() const;
};

/// What may end a transfer's wait for the port before its time-outs do.
///
/// `stop`, when set, is consulted whenever a signal interrupts a wait and at the end of every
/// `interval_ms` of waiting, never before the first wait (a transfer served at once never
/// consults it); when it returns true the transfer stops waiting and returns what it has moved
/// so far, recording Cause::interrupted, and otherwise the wait goes on. It runs on the thread
/// of the transfer, with no lock of the library held, and must not touch the port.
///
/// `deadline` ends every wait at that time at the latest (a control loop bounds each exchange
/// by its cycle this way). A transfer it cuts short records Cause::interrupted, like one the
/// hook stopped, so a reply that comes after it is dropped before the next request (see
/// Device::send_request). On POSIX waits end to the nanosecond, never rounded to milliseconds.
struct WaitHook {
    using Clock = std::chrono::steady_clock;

    bool (*stop)(void* context) = nullptr;
    void* context = nullptr;
    std::uint32_t interval_ms = 50;
    Clock::time_point deadline = Clock::time_point::max();

    explicit operator bool() const noexcept { return stop != nullptr; }
};

}  // namespace Zelkor::HardwareAPI::IO
