#include <ZelkorHardwareAPI/io/serial_stream.h>

#include <cstdio>

namespace Zelkor::HardwareAPI::IO {

SerialStream::SerialStream(const char* port_name)
    : std::basic_iostream<char>(nullptr), buffer(std::make_unique<serialib>()) {
    rdbuf(buffer.get());
    (void)connect(port_name);
}

SerialStream::~SerialStream() {
    close();
    buffer.reset();
}

std::int8_t SerialStream::connect(const char* port_name) {
    close();
    try {
        port_name_ = port_name ? port_name : "";
        open_result_ = buffer->open(port_name);
    } catch (...) {
        std::printf("Could not open port: %s\n", port_name ? port_name : "(null)");
        open_result_ = static_cast<std::int8_t>(OpenCode::exception);
    }
    return open_result_.load();
}

SerialStream& SerialStream::write(const char* data, std::streamsize n) {
    clear();
    std::basic_ostream<char>::write(data, n);
    return *this;
}

// The state is set only when it changes: clear() is a call into the standard library, and in
// a run of whole transfers the state stays good.
std::streamsize SerialStream::write_bytes(const char* data, std::streamsize n) {
    const std::streamsize written = n > 0 ? buffer->sputn(data, n) : 0;
    const iostate state = written == n ? goodbit : badbit;
    if (rdstate() != state) clear(state);
    return written;
}

std::streamsize SerialStream::read_bytes(char* data, std::streamsize n) {
    const std::streamsize got = n > 0 ? buffer->sgetn(data, n) : 0;
    set_gcount(got);
    const iostate state = got == n ? goodbit : eofbit | failbit;
    if (rdstate() != state) clear(state);
    return got;
}

// The count is a protected member of the standard library's istream, under its own name in
// each implementation. Elsewhere a zero-length istream read at least keeps gcount() from
// describing an older read.
void SerialStream::set_gcount(std::streamsize count) noexcept {
#if defined(__GLIBCXX__)
    _M_gcount = count;
#elif defined(_LIBCPP_VERSION)
    __gc_ = count;
#elif defined(_MSC_VER)
    _Chcount = count;
#else
    (void)count;
    std::basic_istream<char>::read(nullptr, 0);
#endif
}

SerialStream& SerialStream::read(char* data, std::streamsize n) {
    clear();
    std::basic_istream<char>::read(data, n);
    return *this;
}

}  // namespace Zelkor::HardwareAPI::IO
