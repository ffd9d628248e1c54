// SerialStream: the byte stream through which every device talks to its hardware.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>

#include "io/serialib.h"

namespace Zelkor::HardwareAPI::IO {

/// A std::iostream over one serial port, opened for exclusive use at construction and closed
/// at destruction. Unbuffered: each read and write is one platform transfer.
///
/// Devices use only write(), read() and gcount(). Both transfers first clear the stream state
/// to good, so an earlier short read or failed write never blocks the next call; judge a read
/// by gcount() alone. Not thread-safe: one thread at a time.
class SerialStream : public std::basic_iostream<char> {
public:
    /// Opens `port_name` (NUL-terminated; see serialib::open for the form). Never fails: when
    /// the port cannot be opened the stream is created unopened, and its transfers return at
    /// once having moved nothing.
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

private:
    std::int8_t connect(const char* port_name);

    std::unique_ptr<serialib> buffer;
};

}  // namespace Zelkor::HardwareAPI::IO
