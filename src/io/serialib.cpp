#include "io/serialib.h"

#include <algorithm>
#include <limits>

#include "io/port.h"

namespace io = Zelkor::HardwareAPI::IO;

namespace {
// The read time-out constant in force for every read; open stores a smaller value that only
// the platform's write path ever sees.
constexpr std::uint32_t read_total_constant_ms = 1000;
}  // namespace

serialib::~serialib() { close(); }

void serialib::close() noexcept {
    if (!is_open()) return;
    io::port::close(port_handle);
    port_handle = io::invalid_port_handle;
    has_lookahead = false;
}

std::int8_t serialib::open(const char* port_name) {
    if (port_name == nullptr) return static_cast<std::int8_t>(io::OpenCode::not_found);
    // A second open must not leak the first port.
    close();
    timeouts = io::PortTimeouts{1000, 8, 8, 8, 8};
    return static_cast<std::int8_t>(io::port::open(port_name, port_handle, timeouts));
}

int serialib::read_port(void* destination, std::uint32_t count) {
    timeouts.read_total_constant = read_total_constant_ms;
    if (!io::port::apply_timeouts(port_handle, timeouts)) return -1;
    const long r = io::port::read(port_handle, destination, count, timeouts, after_write);
    after_write = false;
    return r < 0 ? -2 : static_cast<int>(r);
}

serialib::int_type serialib::overflow(int_type c) {
    if (!is_open() || traits_type::eq_int_type(c, traits_type::eof())) return traits_type::eof();
    const char byte = static_cast<char>(c);
    after_write = true;
    return io::port::write(port_handle, &byte, 1, timeouts) == 1 ? c : traits_type::eof();
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
    if (!is_open()) return 0;
    if (has_lookahead) return 1;
    if (read_port(&lookahead, 1) != 1) return 0;
    has_lookahead = true;
    return 1;
}

serialib::int_type serialib::underflow() {
    if (!is_open()) return traits_type::eof();
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
    if (!is_open() || n <= 0) return 0;
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
    if (!is_open() || n <= 0) return 0;
    after_write = true;
    const long written = io::port::write(port_handle, s, static_cast<std::size_t>(n), timeouts);
    return written > 0 ? written : 0;
}

std::basic_streambuf<char>* serialib::setbuf(char_type*, std::streamsize) { return this; }
