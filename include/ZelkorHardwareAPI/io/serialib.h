// serialib: an unbuffered std::streambuf over one serial port.
//
// Every bulk transfer is exactly one platform read or one platform write, issued at the
// moment the stream asks for it; the only byte the buffer ever holds is the one-byte
// look-ahead that the character-wise stream operations need.
#pragma once

#include <ZelkorHardwareAPI/export.h>
#include <ZelkorHardwareAPI/io/port_error.h>

#include <atomic>
#include <cstdint>
#include <streambuf>

namespace Zelkor::HardwareAPI::IO {

class SerialStream;
namespace port {
struct Outcome;
}

/// Result codes of serialib::open and SerialStream::connect. The numeric values are part of
/// the interface: callers compare against them.
enum class OpenCode : std::int8_t {
    exception = 0,          ///< opening threw (the device path could not be built)
    ok = 1,                 ///< port opened and configured
    not_found = -1,         ///< no such port
    open_failed = -2,       ///< port exists but could not be opened (held elsewhere, not a port)
    get_state_failed = -3,  ///< line settings could not be read (not a terminal); port stays open
    set_state_failed = -5,  ///< line settings could not be applied; port stays open
    set_timeouts_failed = -6,  ///< time-outs could not be applied; port stays open
};

/// Platform handle of an open port: a file descriptor on POSIX, a HANDLE on Windows.
using PortHandle = std::intptr_t;

/// The "no port" value: -1 is both an invalid descriptor and INVALID_HANDLE_VALUE.
inline constexpr PortHandle invalid_port_handle = -1;

/// The port's time-outs in milliseconds, laid out like the Win32 COMMTIMEOUTS record.
/// A read of n bytes returns when all n arrived, when read_total_multiplier * n +
/// read_total_constant ms have passed, or read_interval ms after the last byte once at
/// least one arrived. A write of n bytes may take write_total_multiplier * n +
/// write_total_constant ms.
struct PortTimeouts {
    std::uint32_t read_interval;
    std::uint32_t read_total_multiplier;
    std::uint32_t read_total_constant;
    std::uint32_t write_total_multiplier;
    std::uint32_t write_total_constant;
};

}  // namespace Zelkor::HardwareAPI::IO

/// Stream buffer of one serial port (115200 baud, 8N1, raw). Never throws, never prints.
/// Not thread-safe: one thread at a time.
class ZELKOR_API serialib : public std::basic_streambuf<char> {
  public:
    /// Creates a closed buffer; nothing is opened.
    serialib() = default;
    /// Closes the port if it is open.
    ~serialib() override;

    serialib(const serialib&) = delete;
    serialib& operator=(const serialib&) = delete;

    /// Opens `port_name` for exclusive use and configures it. `port_name` is a NUL-terminated
    /// name: on POSIX a path when it contains '/', otherwise a name under /dev; on Windows a
    /// COM port name. A null name gives -1. Returns a Zelkor::HardwareAPI::IO::OpenCode value;
    /// on -3, -5 and -6 the port stays open. Throws only std::bad_alloc (building the path).
    std::int8_t open(const char* port_name);

    /// One platform read of up to `count` bytes into `destination`, after applying the read
    /// time-outs. Blocks until all `count` bytes arrived, 8 * count + 1000 ms passed, or
    /// 1000 ms passed without a further byte after the first. Returns the bytes delivered
    /// (0 to count), -1 if the time-outs could not be applied (nothing read), -2 if the
    /// platform read failed. Does not check that the port is open; callers do. A line that
    /// hangs up closes the port.
    int read_port(void* destination, std::uint32_t count);

    /// True while a port is open (also after open returned -3, -5 or -6). False again after
    /// close() and after the line hung up.
    bool is_open() const noexcept {
        return handle() != Zelkor::HardwareAPI::IO::invalid_port_handle;
    }

    /// Closes the port if it is open; transfers then return at once. Idempotent.
    void close() noexcept;
    /// close() that leaves the port's settings and locks as they are: for a forked child,
    /// whose parent still uses the port.
    void abandon() noexcept;

    /// The cause of the most recent failure of open or of a transfer, kept until the next
    /// successful open or transfer; a successful read keeps a write's failure, and a
    /// successful write a read's. A transfer on a closed port records Cause::not_open only
    /// when nothing else is recorded, so the reason the port closed stays visible.
    /// Safe to call from any thread, also while a transfer runs on another.
    Zelkor::HardwareAPI::IO::PortError last_error() const noexcept {
        return unpack(error.load(std::memory_order_relaxed));
    }

    /// Installs what may end transfers' waits early (see WaitHook; a default one removes it).
    void set_wait_hook(const Zelkor::HardwareAPI::IO::WaitHook& hook) noexcept { wait_hook = hook; }
    const Zelkor::HardwareAPI::IO::WaitHook& get_wait_hook() const noexcept { return wait_hook; }
    /// Sets only the wait hook's deadline.
    void set_deadline(Zelkor::HardwareAPI::IO::WaitHook::Clock::time_point deadline) noexcept {
        wait_hook.deadline = deadline;
    }

    /// Waits up to `timeout_ms` for input (see port::wait_readable). True when a read would not
    /// wait: a byte is held or has arrived, the line hung up, or no port is open.
    bool wait_for_input(std::uint32_t timeout_ms) noexcept;

    /// Drops the held look-ahead byte and whatever has arrived at the port but not been read,
    /// and forgets a recorded interruption (what it left on its way is dropped). False when no
    /// port is open or the platform refused.
    bool discard_input() noexcept;

  protected:
    /// Writes one byte (the low 8 bits of c). Returns c, or EOF when closed, c is EOF or the
    /// write failed.
    int_type overflow(int_type c) override;
    /// Puts c back as the look-ahead byte; EOF when a byte is already held or c is EOF.
    int_type pbackfail(int_type c) override;
    /// 1 when a byte is held or one arrives within the read time-out (it becomes the held
    /// byte), 0 otherwise. Blocks like a one-byte read (up to 1008 ms).
    std::streamsize showmanyc() override;
    /// The held byte, or the next byte from the port (which becomes the held byte), as
    /// 0..255; EOF when closed, on time-out or on failure.
    int_type underflow() override;
    /// underflow(), then the look-ahead is emptied.
    int_type uflow() override;
    /// The held byte (if any) followed by one platform read. Returns the exact number of
    /// bytes placed in s; 0 when closed or n <= 0, without touching the port.
    std::streamsize xsgetn(char_type* s, std::streamsize n) override;
    /// One platform write of all n bytes. Returns the number of bytes the port accepted
    /// (n when complete); 0 when closed, n <= 0, the time-outs could not be applied or the
    /// write failed.
    std::streamsize xsputn(const char_type* s, std::streamsize n) override;
    /// Ignores its arguments: the buffer stays unbuffered.
    std::basic_streambuf<char>* setbuf(char_type* s, std::streamsize n) override;

  private:
    // The handle and the last failure are atomic (relaxed: nothing else is published with
    // them), so another thread may ask whether the port is open, and why it failed, while a
    // transfer runs.
    Zelkor::HardwareAPI::IO::PortHandle handle() const noexcept {
        return port_handle.load(std::memory_order_relaxed);
    }
    void set_error(const Zelkor::HardwareAPI::IO::PortError& e) noexcept {
        error.store(pack(e), std::memory_order_relaxed);
    }
    // A successful transfer of `done` (read or write) clears the record, except a failure of
    // the other direction: a write that goes through says nothing of the read that failed
    // before it. Most find the record clear already.
    void forget_error(Zelkor::HardwareAPI::IO::PortError::Step done) noexcept;
    static std::uint64_t pack(const Zelkor::HardwareAPI::IO::PortError& e) noexcept;
    static Zelkor::HardwareAPI::IO::PortError unpack(std::uint64_t bits) noexcept;

    // Notes how a transfer of `step` ended; a hang-up closes the port.
    void record(Zelkor::HardwareAPI::IO::PortError::Step step,
                const Zelkor::HardwareAPI::IO::port::Outcome& outcome) noexcept;
    // A transfer found no open port.
    void record_not_open(Zelkor::HardwareAPI::IO::PortError::Step step) noexcept;
    // Makes the driver hold `timeouts` for the coming transfer, calling the platform only when
    // it holds others or unknown ones. A transfer bounded by the wait hook's deadline needs
    // none: the platform applies its own, shortened ones for it. False, with the failure
    // recorded, when the platform refused.
    bool ready_timeouts() noexcept;
    // After a platform transfer: one bounded by a deadline may have left the driver with
    // time-outs of the platform's making.
    void after_transfer() noexcept {
        if (wait_hook.deadline != Zelkor::HardwareAPI::IO::WaitHook::Clock::time_point::max())
            applied_known = false;
    }

    std::uint8_t lookahead = 0;
    bool has_lookahead = false;
    bool after_write = false;  // the last transfer was a write: the reply is probably pending
    std::atomic<Zelkor::HardwareAPI::IO::PortHandle> port_handle{
        Zelkor::HardwareAPI::IO::invalid_port_handle};
    // Filled with the port's standard time-outs from the start, so a port left half
    // configured (open returned -3 or -5) still times out like a configured one.
    Zelkor::HardwareAPI::IO::PortTimeouts timeouts{1000, 8, 8, 8, 8};
    // The time-outs the driver holds, while applied_known: set by an open that applied them
    // and by every apply since. Setting them is a system call per transfer on some platforms.
    Zelkor::HardwareAPI::IO::PortTimeouts applied{};
    bool applied_known = false;
    std::atomic<std::uint64_t> error{0};  // a packed PortError
    Zelkor::HardwareAPI::IO::WaitHook wait_hook;
};
