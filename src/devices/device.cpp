#include <ZelkorHardwareAPI/devices/device.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace Zelkor::HardwareAPI::Devices {

namespace {
char* chars(const std::unique_ptr<std::uint8_t[]>& buffer) {
    return reinterpret_cast<char*>(buffer.get());
}
}  // namespace

Device::Device(IO::SerialStream* stream_) : stream(stream_) {
    if (stream == nullptr) throw std::invalid_argument("a device needs a SerialStream, got null");
    // Zero-filled; the receive buffer first.
    receive_buffer = std::make_unique<std::uint8_t[]>(buffer_size);
    send_buffer = std::make_unique<std::uint8_t[]>(buffer_size);
}

void Device::send(std::size_t length) {
    (void)stream->write_bytes(chars(send_buffer), static_cast<std::streamsize>(length));
}

void Device::send_request(std::size_t length) {
    if (stream->last_error().cause == IO::PortError::Cause::interrupted) {
        (void)stream->discard_input();
    }
    send(length);
}

bool Device::receive_code() {
    return stream->read_bytes(chars(receive_buffer), 1) == 1;
}

int Device::receive_reply(std::uint8_t expected_code, std::size_t payload_length) {
    // A silent line has just used up the whole read time-out; a drain would only add a
    // further one.
    if (!receive_code()) return note(-1);
    if (receive_buffer[0] != expected_code) {
        // The drain ends no later than the whole reply's read would have: a device trickling
        // a byte now and then must not hold the exchange for the drain's own time-outs (about
        // 9 s). A drain cut this way records an interruption, so the next request drops
        // what still comes first.
        const IO::WaitHook::Clock::time_point before = stream->wait_hook().deadline;
        const IO::WaitHook::Clock::time_point reply_deadline =
            IO::WaitHook::Clock::now() +
            std::chrono::milliseconds(8 * (1 + std::uint64_t{payload_length}) + 1000);
        stream->set_deadline(std::min(before, reply_deadline));
        (void)stream->read_bytes(chars(receive_buffer), static_cast<std::streamsize>(buffer_size));
        stream->set_deadline(before);
        return note(-1);
    }
    return note(static_cast<int>(
        stream->read_bytes(chars(receive_buffer), static_cast<std::streamsize>(payload_length))));
}

}  // namespace Zelkor::HardwareAPI::Devices
