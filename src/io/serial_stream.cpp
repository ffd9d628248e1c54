#include "io/serial_stream.h"

#include <cstdio>

namespace Zelkor::HardwareAPI::IO {

SerialStream::SerialStream(const char* port_name) : std::basic_iostream<char>(nullptr) {
    (void)connect(port_name);
}

SerialStream::~SerialStream() {
    buffer->close();
    buffer.reset();
}

std::int8_t SerialStream::connect(const char* port_name) {
    buffer = std::make_unique<serialib>();
    rdbuf(buffer.get());
    try {
        return buffer->open(port_name);
    } catch (...) {
        std::printf("Could not open port: %s\n", port_name ? port_name : "(null)");
        return static_cast<std::int8_t>(OpenCode::exception);
    }
}

SerialStream& SerialStream::write(const char* data, std::streamsize n) {
    clear();
    std::basic_ostream<char>::write(data, n);
    return *this;
}

SerialStream& SerialStream::read(char* data, std::streamsize n) {
    clear();
    std::basic_istream<char>::read(data, n);
    return *this;
}

}  // namespace Zelkor::HardwareAPI::IO
