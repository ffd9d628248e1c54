#include "io/serial_stream.h"

#include <cstdio>

namespace Zelkor::HardwareAPI::IO {

SerialStream::SerialStream(const char* port_name)
    : std::basic_iostream<char>(nullptr), buffer(std::make_unique<serialib>()) {
    rdbuf(buffer.get());
    (void)connect(port_name);
}

SerialStream::~SerialStream() {
    buffer->close();
    buffer.reset();
}

std::int8_t SerialStream::connect(const char* port_name) {
    buffer->close();
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

SerialStream& SerialStream::read(char* data, std::streamsize n) {
    clear();
    std::basic_istream<char>::read(data, n);
    return *this;
}

}  // namespace Zelkor::HardwareAPI::IO
