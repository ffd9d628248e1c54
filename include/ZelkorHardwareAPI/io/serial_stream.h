// SerialStream: the byte stream through which every device talks to its hardware.
#pragma once

#include <ZelkorHardwareAPI/export.h>
#include <ZelkorHardwareAPI/io/port_error.h>
#include <ZelkorHardwareAPI/io/serialib.h>
#include <ZelkorHardwareAPI/io/stream_use.h>

#include <atomic>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>

namespace Zelkor::HardwareAPI::IO {

/// A std::iostream over one serial port, opened for exclusive use at construction and closed
/// at destruction. Unbuffered: each read and write is one platform transfer.
///
/// Devices use only write(), read() and gcount(). Both transfers first clear the stream state
/// to good, so an earlier short read or failed write never blocks the next call; judge a read
/// by gcount() alone. Not thread-safe: one thread at a time; threads that share a stream take
/// turns through use(), which a servo holds while it drives the stream.
class ZELKOR_API SerialStream : public std::basic_iostream<char> {
  public:
    /// Opens `port_name` (NUL-terminated; see serialib::open for the form). Never fails: when
    /// the port cannot be opened the stream is created unopened, and its transfers return at
    /// once having moved nothing; open_result() and last_error() tell why.
    explicit SerialStream(const char* port_name);
    /// Closes the port, so another stream can open it.
    ~SerialStream() override;

    SerialStream(const SerialStream&) = delete;
    SerialStream& operator=(const SerialStream&) = delete;

    /// Hands all `n` bytes of `data` to the port in one platform write before returning (no
    /// flush needed). Sets badbit when the port is not open or took fewer than `n` bytes.
    /// Blocks up to 8 * n + 8 ms. n == 0 touches nothing.
    SerialStream& write(const char* data, std::streamsize n);

    /// One platform read of up to `n` bytes into `data`. Blocks until all `n` arrived,
    /// 8 * n + 1000 ms passed, or 1000 ms passed without a further byte after the first.
    /// The k bytes delivered are data[0..k-1]; the rest of `data` is untouched; gcount() is
    /// k; k < n sets eofbit and failbit. n == 0 touches nothing.
    SerialStream& read(char* data, std::streamsize n);

    /// read() for the devices: the same platform read, stream state and gcount() afterwards,
    /// without the istream machinery around them. Returns the count delivered.
    std::streamsize read_bytes(char* data, std::streamsize n);

    /// write() for the devices: the same platform write and stream state afterwards, without
    /// the ostream machinery around them. Returns the count the port accepted.
    std::streamsize write_bytes(const char* data, std::streamsize n);

    /// Closes the current port, if any, and opens `port_name` in its place. Returns the
    /// OpenCode of the open as a number (1 on success), or 0 when opening threw (the message
    /// "Could not open port: <name>" then goes to standard output). Never throws.
    std::int8_t connect(const char* port_name);

    /// Closes the port; transfers then return at once, as on a port that never opened.
    /// Idempotent.
    void close() noexcept {
        if (use_.inherited()) {
            buffer->abandon();
        } else {
            buffer->close();
        }
    }

    /// True while the port is open: it opened (possibly only partly configured) and has been
    /// neither closed nor hung up.
    bool is_open() const noexcept { return buffer->is_open(); }

    /// The result of the most recent open (an OpenCode value; 1 for success).
    std::int8_t open_result() const noexcept { return open_result_.load(); }

    /// The cause of the most recent failure of the open or of a transfer, kept until the next
    /// successful open or transfer; a read's failure stays until a read succeeds, a write's
    /// until a write does (see PortError). Like is_open(), safe to ask from any
    /// thread while a transfer runs on another.
    PortError last_error() const noexcept { return buffer->last_error(); }

    /// Who uses the stream (see StreamUse): callers that share the stream between threads
    /// enter it around each exchange; a servo drives it while it runs.
    StreamUse& use() const noexcept { return use_; }

    /// The port name given to the constructor or to the latest connect().
    const std::string& port_name() const noexcept { return port_name_; }

    /// Installs `hook`, which may end transfers' waits early (see WaitHook); a default one
    /// removes it.
    void set_wait_hook(const WaitHook& hook) noexcept { buffer->set_wait_hook(hook); }
    /// The hook in place.
    const WaitHook& wait_hook() const noexcept { return buffer->get_wait_hook(); }
    /// Ends every wait at `deadline` at the latest (WaitHook::deadline), leaving the rest of
    /// the hook as it is; WaitHook::Clock::time_point::max() lifts it.
    void set_deadline(WaitHook::Clock::time_point deadline) noexcept {
        buffer->set_deadline(deadline);
    }

    /// Waits up to `timeout_ms` for input without reading it. True when a read would not wait:
    /// bytes have arrived, the line hung up, or the port is not open (reads return at once).
    bool wait_for_input(std::uint32_t timeout_ms) noexcept {
        return buffer->wait_for_input(timeout_ms);
    }

    /// Drops whatever has arrived but not been read (so a late reply is never taken for the
    /// answer to the next request), and forgets a recorded interruption. False when the port is
    /// not open or the platform refused.
    bool discard_input() noexcept { return buffer->discard_input(); }

  private:
    // Makes gcount() report `count`, as istream::read does.
    void set_gcount(std::streamsize count) noexcept;

    std::unique_ptr<serialib> buffer;
    mutable StreamUse use_;
    std::string port_name_;
    std::atomic<std::int8_t> open_result_{static_cast<std::int8_t>(OpenCode::exception)};
};

}  // namespace Zelkor::HardwareAPI::IO
