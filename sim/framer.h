// Splits the byte stream from the host into whole messages.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace Zelkor::Sim {

/// How long the message that starts at `bytes` is, with `available` (>= 1) bytes at hand:
/// its whole length (code included) once that is known, even if not all of it has arrived;
/// 0 when more bytes are needed to tell; -1 when the first byte starts no message.
using MessageLength = long (*)(const std::uint8_t* bytes, std::size_t available);

/// Holds the bytes of at most one partial message between reads. A message that stops short
/// is dropped once no further byte has come for stale_after seconds, so a lost byte cannot
/// swallow the messages after it. Allocates nothing.
class Framer {
  public:
    /// Longest message it can hold (the longest one of either device is 259 bytes).
    static constexpr std::size_t capacity = 512;
    /// Seconds of quiet after which a partial message is dropped. A whole message arrives
    /// in one piece from a host that writes it in one call, and takes 22 ms at most at
    /// 115200 baud.
    static constexpr double stale_after = 0.1;

    explicit Framer(MessageLength length_of) : length_of_(length_of) {}

    /// What next() found.
    struct Item {
        enum class Kind { none, message, garbage } kind = Kind::none;
        const std::uint8_t* data = nullptr;  ///< valid until the next push() or reset()
        std::size_t length = 0;
    };

    /// Takes as many of the `n` bytes as fit (at least 1 while no message is pending for
    /// next()) and notes `now` (s) as the time of the latest byte. Returns the count taken.
    std::size_t push(const std::uint8_t* data, std::size_t n, double now);

    /// The next whole message, or the next run of bytes that start no message, or none
    /// when only part of a message (or nothing) is left.
    Item next();

    /// Drops a partial message that has had no further byte since stale_after before `now`.
    /// Returns the number of bytes dropped.
    std::size_t expire(double now);

    /// When expire() will drop the partial message held now; infinity when none is held.
    double deadline() const;

    /// Forgets everything held.
    void reset() { start_ = end_ = 0; }

  private:
    MessageLength length_of_;
    std::array<std::uint8_t, capacity> buffer_{};
    std::size_t start_ = 0;
    std::size_t end_ = 0;
    double last_byte_ = 0.0;
};

}  // namespace Zelkor::Sim
