// Win32 serial port: CreateFileA on the COM device, the line through the DCB, the time-outs
// through COMMTIMEOUTS. The port is opened for overlapped I/O, so that a wait for input can
// be bounded (a WaitCommEvent on a synchronous handle waits for ever, and holds up every
// other call on the handle meanwhile, a write from another thread included). ReadFile and
// WriteFile are still waited for at once: the driver ends each by the time-out record.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>

#include "io/port.h"

namespace Zelkor::HardwareAPI::IO::port {

namespace {

// The DCB layout the port driver expects; the record's length field carries this value.
static_assert(sizeof(DCB) == 28, "DCB must be the 28-byte Win32 record");
static_assert(sizeof(PortHandle) == sizeof(HANDLE), "a HANDLE must fit a PortHandle");

HANDLE handle_of(PortHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

COMMTIMEOUTS comm_timeouts(const PortTimeouts& t) {
    COMMTIMEOUTS c{};
    c.ReadIntervalTimeout = t.read_interval;
    c.ReadTotalTimeoutMultiplier = t.read_total_multiplier;
    c.ReadTotalTimeoutConstant = t.read_total_constant;
    c.WriteTotalTimeoutMultiplier = t.write_total_multiplier;
    c.WriteTotalTimeoutConstant = t.write_total_constant;
    return c;
}

// The errors ReadFile and WriteFile give once the adapter is gone.
bool line_gone(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_BAD_COMMAND ||
           error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_GEN_FAILURE ||
           error == ERROR_OPERATION_ABORTED;
}

Outcome failed_transfer(std::size_t count, DWORD e = GetLastError()) {
    Outcome result;
    result.count = count;
    result.ending = line_gone(e) ? Ending::hung_up : Ending::failed;
    result.system_error = static_cast<int>(e);
    return result;
}

// Makes the driver end the coming transfer of `count` bytes by the hook's deadline at the
// latest: each total time-out becomes the smaller of its own length and the time left (at
// least 1 ms, since 0 would mean "no time-out").
bool bound_by(PortHandle handle, const PortTimeouts& timeouts, const WaitHook& hook,
              std::size_t count) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(hook.deadline - WaitHook::Clock::now())
            .count();
    const std::uint64_t ms = left < 1 ? 1 : static_cast<std::uint64_t>(left);
    auto total = [&](std::uint32_t multiplier, std::uint32_t constant) {
        const std::uint64_t own = std::uint64_t{multiplier} * count + constant;
        const std::uint64_t bound = own < ms ? own : ms;
        return static_cast<DWORD>(bound > 0x7fffffff ? 0x7fffffff : bound);
    };
    COMMTIMEOUTS c = comm_timeouts(timeouts);
    c.ReadTotalTimeoutConstant =
        total(timeouts.read_total_multiplier, timeouts.read_total_constant);
    c.ReadTotalTimeoutMultiplier = 0;
    c.WriteTotalTimeoutConstant =
        total(timeouts.write_total_multiplier, timeouts.write_total_constant);
    c.WriteTotalTimeoutMultiplier = 0;
    return SetCommTimeouts(handle_of(handle), &c) != 0;
}

// What a transfer of `count` bytes does before it reaches the driver: asks the hook (the
// driver cannot be asked to cut a wait short once it waits), and bounds the driver's waits by
// the hook's deadline. False, with `result` filled in, when the transfer must not go ahead.
bool ready_for(PortHandle handle, const PortTimeouts& timeouts, const WaitHook& hook,
               std::size_t count, Outcome& result) {
    if (hook && hook.stop(hook.context)) {
        result.ending = Ending::interrupted;
        return false;
    }
    if (hook.deadline != WaitHook::Clock::time_point::max() &&
        !bound_by(handle, timeouts, hook, count)) {
        result = failed_transfer(0);
        return false;
    }
    return true;
}

// How a transfer the driver ended early ended: by the hook's deadline (which bound_by gave the
// driver) when that has come, else by the port's own time-out.
Ending cut_short(const WaitHook& hook) {
    if (hook.deadline == WaitHook::Clock::time_point::max()) return Ending::timed_out;
    return WaitHook::Clock::now() + std::chrono::milliseconds(1) >= hook.deadline
               ? Ending::interrupted
               : Ending::timed_out;
}

// The event this thread's overlapped calls signal: made on the thread's first call and kept
// until the thread ends, so no transfer ever creates one. Null when it could not be made.
HANDLE thread_event() {
    struct Event {
        HANDLE handle = CreateEventA(nullptr, TRUE /* manual reset */, FALSE, nullptr);
        ~Event() {
            if (handle != nullptr) CloseHandle(handle);
        }
    };
    thread_local Event event;
    return event.handle;
}

// Runs one overlapped ReadFile or WriteFile (`start` issues it) to its end. True with the
// count in `moved` when it succeeded; false with the count moved before the failure and the
// error in `error`.
template <class Start>
bool overlapped(HANDLE h, Start start, DWORD& moved, DWORD& error) {
    moved = 0;
    OVERLAPPED ov{};
    ov.hEvent = thread_event();
    if (ov.hEvent == nullptr) {
        error = GetLastError();
        return false;
    }
    if (!start(&ov) && GetLastError() != ERROR_IO_PENDING) {
        error = GetLastError();
        return false;
    }
    if (GetOverlappedResult(h, &ov, &moved, TRUE)) return true;
    error = GetLastError();
    return false;
}

// Windows ends a transfer that the port's time-outs cut short with success and fewer bytes;
// Wine fails it with ERROR_TIMEOUT instead, with the count of what moved. Either is a time-out,
// never a failed port.
bool ended_by_timeouts(DWORD error) {
    return error == ERROR_TIMEOUT;
}

// Bytes waiting to be read; -1 when the port cannot say (a read would fail at once).
long queued(HANDLE h) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(h, &errors, &status)) return -1;
    return static_cast<long>(status.cbInQue);
}

// Ends the WaitCommEvent of `ov`, if it still waits, and waits until the driver has let go of
// `ov`.
void end_wait(HANDLE h, OVERLAPPED& ov) {
    // A mask set while a wait is pending also ends it, where cancelling is not supported.
    if (!CancelIoEx(h, &ov) && GetLastError() != ERROR_NOT_FOUND) SetCommMask(h, 0);
    DWORD unused = 0;
    (void)GetOverlappedResult(h, &ov, &unused, TRUE);
}

OpenCode configure_failed(OpenCode code, PortError& error) {
    error = {PortError::Step::configure, PortError::Cause::system,
             static_cast<int>(GetLastError())};
    return code;
}

}  // namespace

OpenCode open(const char* name, PortHandle& handle, const PortTimeouts& timeouts,
              PortError& error) {
    using Cause = PortError::Cause;
    // "\\.\" reaches the device namespace, where every COM port lives (COM10 and up have no
    // other name); the name follows unchanged, of any length.
    const std::string path = std::string("\\\\.\\") + name;

    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0 /* exclusive */,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        // A COM port held by another program answers "access denied".
        const bool held = e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION;
        error = {PortError::Step::open, held ? Cause::in_use : Cause::system, static_cast<int>(e)};
        return e == ERROR_FILE_NOT_FOUND ? OpenCode::not_found : OpenCode::open_failed;
    }
    // The device namespace also reaches files ("\\.\C:\data.bin"); only character devices
    // are ports, so a mistyped name never lets the first write land in somebody's file.
    if (GetFileType(h) != FILE_TYPE_CHAR) {
        CloseHandle(h);
        error = {PortError::Step::open, Cause::not_a_port, 0};
        return OpenCode::open_failed;
    }
    handle = reinterpret_cast<PortHandle>(h);

    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(h, &dcb)) return configure_failed(OpenCode::get_state_failed, error);
    // Only these four change: flow control, DTR/RTS handling and the special characters stay
    // as the port reports them.
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(h, &dcb)) return configure_failed(OpenCode::set_state_failed, error);

    int system_error = 0;
    if (!apply_timeouts(handle, timeouts, system_error)) {
        return configure_failed(OpenCode::set_timeouts_failed, error);
    }
    return OpenCode::ok;
}

bool apply_timeouts(PortHandle handle, const PortTimeouts& timeouts, int& system_error) {
    COMMTIMEOUTS c = comm_timeouts(timeouts);
    if (SetCommTimeouts(handle_of(handle), &c) != 0) return true;
    system_error = static_cast<int>(GetLastError());
    return false;
}

// The time-outs were applied by apply_timeouts just before; the driver enforces them and
// does its own waiting, so whether a write came before makes no difference here. The driver
// cannot be asked to cut a wait short, so the hook is consulted only before the call.
Outcome read(PortHandle handle, void* destination, std::uint32_t count,
             const PortTimeouts& timeouts, bool /*after_write*/, const WaitHook& hook) {
    Outcome result;
    if (!ready_for(handle, timeouts, hook, count, result)) return result;
    const HANDLE h = handle_of(handle);
    DWORD received = 0, error = 0;
    // Bytes that reached the caller's buffer before a failure are reported like any short
    // read, so the count always says what the buffer holds.
    if (!overlapped(
            h, [&](OVERLAPPED* ov) { return ReadFile(h, destination, count, nullptr, ov); },
            received, error) &&
        !ended_by_timeouts(error)) {
        return failed_transfer(received, error);
    }
    result.count = received;
    if (received < count) result.ending = cut_short(hook);
    return result;
}

Outcome write(PortHandle handle, const void* source, std::size_t count,
              const PortTimeouts& timeouts, const WaitHook& hook) {
    Outcome result;
    if (!ready_for(handle, timeouts, hook, count, result)) return result;
    // The count must come back as a (32-bit) DWORD: a larger request is cut to what fits and
    // reported as the short write it then is.
    constexpr std::size_t max_chunk = 0x7fffffff;
    const DWORD chunk = static_cast<DWORD>(count > max_chunk ? max_chunk : count);
    const HANDLE h = handle_of(handle);
    DWORD written = 0, error = 0;
    if (!overlapped(
            h, [&](OVERLAPPED* ov) { return WriteFile(h, source, chunk, nullptr, ov); }, written,
            error) &&
        !ended_by_timeouts(error)) {
        return failed_transfer(written, error);
    }
    // A write ended by its time-out reports success (the driver's STATUS_TIMEOUT is a
    // success code) with fewer bytes written; report that count so the stream records the
    // failure instead of taking it for a complete write.
    result.count = written;
    if (written < count) result.ending = cut_short(hook);
    return result;
}

namespace {

// The wait for a driver that cannot signal a received byte (Wine's, for one, on a pseudo-
// terminal, whose modem status it cannot read, ends every WaitCommEvent at once as
// cancelled): the queue is looked at every millisecond. `ask_at` is the end of the hook's
// current slice.
bool poll_queue(HANDLE h, WaitHook::Clock::time_point deadline, const WaitHook& hook,
                WaitHook::Clock::time_point ask_at) {
    for (;;) {
        const long waiting = queued(h);
        if (waiting != 0) return true;
        const auto now = WaitHook::Clock::now();
        if (now >= deadline) return false;
        if (hook && now >= ask_at) {
            if (hook.stop(hook.context)) return false;
            ask_at = now + std::chrono::milliseconds(hook.interval_ms);
        }
        Sleep(1);
    }
}

}  // namespace

// Waits on the driver's event for a received byte, in slices of the hook's interval, asking
// the hook at the end of each.
bool wait_readable(PortHandle handle, std::uint32_t timeout_ms, const WaitHook& hook) {
    using Clock = WaitHook::Clock;
    const HANDLE h = handle_of(handle);
    const auto start = Clock::now();
    const auto deadline = std::min(start + std::chrono::milliseconds(timeout_ms), hook.deadline);
    const std::uint32_t interval_ms = std::max<std::uint32_t>(hook.interval_ms, 1);
    auto ask_at = start + std::chrono::milliseconds(interval_ms);
    // The mask first, then the queue: a byte that arrives in between is then seen by the
    // wait below at once. A port that cannot tell its queue fails a read at once, which
    // says why.
    const bool events = SetCommMask(h, EV_RXCHAR) != 0;
    const long waiting = queued(h);
    if (waiting != 0) return true;
    OVERLAPPED ov{};
    ov.hEvent = thread_event();
    if (!events || ov.hEvent == nullptr) return poll_queue(h, deadline, hook, ask_at);
    bool pending = false;
    for (;;) {
        if (!pending) {
            DWORD seen = 0;
            ResetEvent(ov.hEvent);
            if (WaitCommEvent(h, &seen, &ov)) {
                if (queued(h) != 0) return true;
                // A byte that came and went before the wait: wait for the next, while time
                // is left.
                if (Clock::now() >= deadline) return false;
                continue;
            }
            if (GetLastError() != ERROR_IO_PENDING) return poll_queue(h, deadline, hook, ask_at);
            pending = true;
        }
        const auto now = Clock::now();
        const auto until = std::min(deadline, hook ? ask_at : deadline);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
        const DWORD woke =
            left <= 0 ? WAIT_TIMEOUT
                      : WaitForSingleObject(
                            ov.hEvent, static_cast<DWORD>(std::min<long long>(left, 0x7fffffff)));
        if (woke == WAIT_OBJECT_0) {
            pending = false;
            DWORD unused = 0;
            if (!GetOverlappedResult(h, &ov, &unused, FALSE)) {
                // Ended by the driver, not by a byte: either the port failed (a read then
                // says why) or the driver cannot wait for events.
                if (queued(h) < 0) return true;
                return poll_queue(h, deadline, hook, ask_at);
            }
            if (queued(h) != 0) return true;
            continue;
        }
        if (woke != WAIT_TIMEOUT) {
            end_wait(h, ov);
            return true;
        }
        const auto after = Clock::now();
        if (after >= deadline) {
            end_wait(h, ov);
            return queued(h) > 0;
        }
        if (hook && after >= ask_at) {
            if (hook.stop(hook.context)) {
                end_wait(h, ov);
                return false;
            }
            ask_at = after + std::chrono::milliseconds(interval_ms);
        }
    }
}

bool discard_input(PortHandle handle) {
    return PurgeComm(handle_of(handle), PURGE_RXCLEAR) != 0;
}

long bytes_waiting(PortHandle handle) {
    return queued(handle_of(handle));
}

void close(PortHandle handle) noexcept {
    CloseHandle(handle_of(handle));
}

void abandon(PortHandle handle) noexcept {
    CloseHandle(handle_of(handle));
}

std::string error_text(int system_error) {
    char text[256] = {};
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(system_error), 0, text, sizeof text, nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    if (message.empty()) message = "system error";
    return message + " (error " + std::to_string(system_error) + ")";
}

int errno_of(int system_error) {
    switch (static_cast<DWORD>(system_error)) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
            return EACCES;
        case ERROR_SHARING_VIOLATION:
            return EBUSY;
        case ERROR_SEM_TIMEOUT:
            return ETIMEDOUT;
        case ERROR_INVALID_NAME:
            return EINVAL;
        default:
            return EIO;
    }
}

}  // namespace Zelkor::HardwareAPI::IO::port
