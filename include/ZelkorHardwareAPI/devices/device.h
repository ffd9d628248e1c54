#pragma once

#include <ZelkorHardwareAPI/export.h>
#include <ZelkorHardwareAPI/io/serial_stream.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace Zelkor::HardwareAPI::Devices {

/// Common base of the devices: a borrowed stream and two 1024-byte buffers in which every
/// command is assembled and every reply lands. Performs no I/O of its own; one thread at a
/// time.
class ZELKOR_API Device {
  public:
    /// Size of each buffer, and of the read that discards an unexpected reply.
    static constexpr std::size_t buffer_size = 1024;

    /// Binds the device to `stream`, which is not owned and must outlive the device. Throws
    /// std::invalid_argument when `stream` is null; performs no I/O.
    explicit Device(IO::SerialStream* stream);

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    /// The stream the device talks through (borrowed; see the constructor).
    IO::SerialStream& get_stream() const noexcept { return *stream; }

    /// What the latest receive operation returned (an exchange's or Receive's result: the
    /// payload length, a short count, or -1); 0 before the first. Any thread: a control loop
    /// may be exchanging on another.
    int last_result() const noexcept { return last_result_.load(std::memory_order_relaxed); }

  protected:
    /// Writes the first `length` bytes of send_buffer in one write. The outcome is not checked.
    void send(std::size_t length);

    /// send() for a request that expects a reply. When the previous wait on the stream was
    /// interrupted (see IO::WaitHook), the reply it was waiting for may still come; whatever
    /// has arrived is dropped first, so that reply is never taken for this request's.
    void send_request(std::size_t length);

    /// Reads one code byte into receive_buffer[0]. Returns false when none arrived before the
    /// time-out: a byte left over from an earlier reply is never taken for a fresh code.
    bool receive_code();

    /// Reads a reply: the code byte, then the whole `payload_length`-byte payload in one read
    /// into receive_buffer[0..]. Returns payload_length when it all arrived (the caller decodes
    /// it), the short count when it did not, and -1 when no code arrived or it was not
    /// `expected_code`; a wrong code is followed by one read of buffer_size bytes that
    /// discards whatever else comes, ending at the latest 8 * (1 + payload_length) + 1000 ms
    /// after the wrong code arrived (the time the whole reply's read may take).
    int receive_reply(std::uint8_t expected_code, std::size_t payload_length);

    /// Records `result` as last_result() and returns it.
    int note(int result) noexcept {
        last_result_.store(result, std::memory_order_relaxed);
        return result;
    }

    IO::SerialStream* stream;
    std::unique_ptr<std::uint8_t[]> send_buffer;
    std::unique_ptr<std::uint8_t[]> receive_buffer;

  private:
    std::atomic<int> last_result_{0};
};

}  // namespace Zelkor::HardwareAPI::Devices
