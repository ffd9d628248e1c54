#include <ZelkorHardwareAPI/io/serialib.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "io/port.h"

namespace io = Zelkor::HardwareAPI::IO;
using Step = io::PortError::Step;
using Cause = io::PortError::Cause;

namespace {
// The read time-out constant in force for every read; open stores a smaller value that only
// the platform's write path ever sees.
constexpr std::uint32_t read_total_constant_ms = 1000;

bool same(const io::PortTimeouts& a, const io::PortTimeouts& b) noexcept {
    return a.read_interval == b.read_interval &&
           a.read_total_multiplier == b.read_total_multiplier &&
           a.read_total_constant == b.read_total_constant &&
           a.write_total_multiplier == b.write_total_multiplier &&
           a.write_total_constant == b.write_total_constant;
}
}  // namespace

serialib::~serialib() {
    close();
}

void serialib::close() noexcept {
    if (!is_open()) return;
    io::port::close(port_handle.exchange(io::invalid_port_handle, std::memory_order_relaxed));
    has_lookahead = false;
}

void serialib::abandon() noexcept {
    if (!is_open()) return;
    io::port::abandon(port_handle.exchange(io::invalid_port_handle, std::memory_order_relaxed));
    has_lookahead = false;
}

std::int8_t serialib::open(const char* port_name) {
    // A second open must not leak the first port.
    close();
    if (port_name == nullptr) {
        set_error({Step::open, Cause::system, 0});
        return static_cast<std::int8_t>(io::OpenCode::not_found);
    }
    timeouts = io::PortTimeouts{1000, 8, 8, 8, 8};
    // A fresh attempt: nothing of the port before stays recorded, even if this one throws.
    set_error({});
    applied_known = false;
    io::PortError failure;
    io::PortHandle opened = io::invalid_port_handle;
    const io::OpenCode code = io::port::open(port_name, opened, timeouts, failure);
    port_handle.store(opened, std::memory_order_relaxed);
    set_error(failure);
    // Only an open that went all the way applied the time-outs.
    if (code == io::OpenCode::ok) {
        applied = timeouts;
        applied_known = true;
    }
    return static_cast<std::int8_t>(code);
}

std::uint64_t serialib::pack(const io::PortError& e) noexcept {
    return static_cast<std::uint64_t>(e.step) | static_cast<std::uint64_t>(e.cause) << 8 |
           static_cast<std::uint64_t>(static_cast<std::uint32_t>(e.system_error)) << 32;
}

io::PortError serialib::unpack(std::uint64_t bits) noexcept {
    return {static_cast<Step>(bits & 0xFF), static_cast<Cause>((bits >> 8) & 0xFF),
            static_cast<int>(static_cast<std::uint32_t>(bits >> 32))};
}

void serialib::record(Step step, const io::port::Outcome& outcome) noexcept {
    switch (outcome.ending) {
        case io::port::Ending::complete:
            forget_error(step);
            return;
        case io::port::Ending::timed_out:
            set_error({step, Cause::timed_out, 0});
            return;
        case io::port::Ending::interrupted:
            set_error({step, Cause::interrupted, 0});
            return;
        case io::port::Ending::failed:
            set_error({step, Cause::system, outcome.system_error});
            return;
        case io::port::Ending::hung_up:
            // Nothing will ever move on this handle again; letting it go frees the device
            // node, so the adapter gets its old name back when it is plugged in again.
            set_error({Step::hang_up, Cause::system, outcome.system_error});
            close();
            return;
    }
}

void serialib::record_not_open(Step step) noexcept {
    if (!last_error()) set_error({step, Cause::not_open, 0});
}

void serialib::forget_error(Step done) noexcept {
    const std::uint64_t bits = error.load(std::memory_order_relaxed);
    if (bits == 0) return;
    const Step failed = unpack(bits).step;
    if ((done == Step::read && failed == Step::write) ||
        (done == Step::write && failed == Step::read)) {
        return;
    }
    error.store(0, std::memory_order_relaxed);
}

bool serialib::ready_timeouts() noexcept {
    if (wait_hook.deadline != io::WaitHook::Clock::time_point::max()) return true;
    if (applied_known && same(applied, timeouts)) return true;
    int system_error = 0;
    if (!io::port::apply_timeouts(handle(), timeouts, system_error)) {
        applied_known = false;
        set_error({Step::configure, Cause::system, system_error});
        return false;
    }
    applied = timeouts;
    applied_known = true;
    return true;
}

int serialib::read_port(void* destination, std::uint32_t count) {
    timeouts.read_total_constant = read_total_constant_ms;
    if (!ready_timeouts()) return -1;
    const io::port::Outcome r =
        io::port::read(handle(), destination, count, timeouts, after_write, wait_hook);
    after_write = false;
    after_transfer();
    if (r.ending == io::port::Ending::complete) {
        forget_error(Step::read);
        return static_cast<int>(r.count);
    }
    record(Step::read, r);
    if (r.ending == io::port::Ending::failed && r.count == 0) return -2;
    return static_cast<int>(r.count);
}

bool serialib::wait_for_input(std::uint32_t timeout_ms) noexcept {
    if (has_lookahead || !is_open()) return true;
    return io::port::wait_readable(handle(), timeout_ms, wait_hook);
}

bool serialib::discard_input() noexcept {
    has_lookahead = false;
    if (!is_open() || !io::port::discard_input(handle())) return false;
    // What an interrupted read left on its way has been dropped now: the next request need
    // not drop input again (which, with a request in flight, would drop its reply).
    if (unpack(error.load(std::memory_order_relaxed)).cause == Cause::interrupted) {
        error.store(0, std::memory_order_relaxed);
    }
    return true;
}

serialib::int_type serialib::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::eof();
    if (!is_open()) {
        record_not_open(Step::write);
        return traits_type::eof();
    }
    if (!ready_timeouts()) return traits_type::eof();
    const char byte = static_cast<char>(c);
    after_write = true;
    const io::port::Outcome r = io::port::write(handle(), &byte, 1, timeouts, wait_hook);
    after_transfer();
    record(Step::write, r);
    return r.count == 1 ? c : traits_type::eof();
}

serialib::int_type serialib::pbackfail(int_type c) {
    if (has_lookahead || traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::eof();
    }
    lookahead = static_cast<std::uint8_t>(c);
    has_lookahead = true;
    return c;
}

std::streamsize serialib::showmanyc() {
    if (!is_open()) {
        record_not_open(Step::read);
        return 0;
    }
    if (has_lookahead) return 1;
    if (read_port(&lookahead, 1) != 1) return 0;
    has_lookahead = true;
    return 1;
}

serialib::int_type serialib::underflow() {
    if (!is_open()) {
        record_not_open(Step::read);
        return traits_type::eof();
    }
    if (!has_lookahead) {
        if (read_port(&lookahead, 1) != 1) return traits_type::eof();
        has_lookahead = true;
    }
    return traits_type::to_int_type(static_cast<char>(lookahead));
}

serialib::int_type serialib::uflow() {
    const int_type c = underflow();
    has_lookahead = false;
    return c;
}

std::streamsize serialib::xsgetn(char_type* s, std::streamsize n) {
    if (n <= 0) return 0;
    if (!is_open()) {
        record_not_open(Step::read);
        return 0;
    }
    // read_port reports its count as an int; a larger request becomes a short read rather
    // than a wrapped count.
    constexpr std::streamsize max_count = std::numeric_limits<int>::max();
    if (has_lookahead) {
        s[0] = static_cast<char_type>(lookahead);
        has_lookahead = false;
        if (n == 1) return 1;
        const int r = read_port(s + 1, static_cast<std::uint32_t>(std::min(n - 1, max_count)));
        return r >= 0 ? 1 + r : 1;
    }
    const int r = read_port(s, static_cast<std::uint32_t>(std::min(n, max_count)));
    return r > 0 ? r : 0;
}

std::streamsize serialib::xsputn(const char_type* s, std::streamsize n) {
    if (n <= 0) return 0;
    if (!is_open()) {
        record_not_open(Step::write);
        return 0;
    }
    if (!ready_timeouts()) return 0;
    after_write = true;
    const io::port::Outcome r =
        io::port::write(handle(), s, static_cast<std::size_t>(n), timeouts, wait_hook);
    after_transfer();
    if (r.ending == io::port::Ending::complete) {
        forget_error(Step::write);
    } else {
        record(Step::write, r);
    }
    return static_cast<std::streamsize>(r.count);
}

std::basic_streambuf<char>* serialib::setbuf(char_type*, std::streamsize) {
    return this;
}

namespace Zelkor::HardwareAPI::IO {

int PortError::error_number() const noexcept {
    switch (cause) {
        case Cause::none:
            return 0;
        case Cause::system:
            return system_error != 0 ? port::errno_of(system_error) : EIO;
        case Cause::timed_out:
            return ETIMEDOUT;
        case Cause::interrupted:
            return EINTR;
        case Cause::not_open:
            return EBADF;
        case Cause::not_a_port:
            return ENOTTY;
        case Cause::in_use:
            return EBUSY;
    }
    return EIO;
}

std::string PortError::message() const {
    static const char* const verbs[] = {"",     "open",  "configuring the line",
                                        "read", "write", "the line hung up"};
    const std::string what = verbs[static_cast<int>(step)];
    switch (cause) {
        case Cause::none:
            return "";
        case Cause::timed_out:
            return what + " timed out";
        case Cause::interrupted:
            return what + " interrupted";
        case Cause::not_open:
            return what + " failed: the port is not open";
        case Cause::not_a_port:
            return what + " failed: not a serial port";
        case Cause::in_use:
            return what + " failed: the port is in use by another program";
        case Cause::system:
            break;
    }
    if (step == Step::hang_up) {
        return "the line hung up (device unplugged or closed)";
    }
    if (system_error == 0) return what + " failed";
    return what + " failed: " + port::error_text(system_error);
}

}  // namespace Zelkor::HardwareAPI::IO
