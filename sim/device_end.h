// The device's end of the port, without the port: what the simulator does with the bytes a
// host writes, and when it has bytes for the host. Plain logic on times handed in, so the
// POSIX loop drives it with the clock and a pseudo-terminal, and the tests and the fuzz
// targets' fake port drive it with times of their own.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "device.h"
#include "faults.h"
#include "framer.h"
#include "line.h"

namespace Zelkor::Sim {

/// The bytes a host writes cross the line to the device, which takes them as whole messages
/// (through the fault injector's count of host messages) and answers; what it sends passes
/// the late-reply hold, then the faults that spoil messages, then crosses the line back and
/// waits for the host to read it. Times are seconds on one monotonic clock, handed to every
/// call in order. Allocates nothing.
class DeviceEnd {
  public:
    /// Bytes for the host it holds at most: beyond that, while the host is not reading, whole
    /// messages are dropped (never cut).
    static constexpr std::size_t max_unread = 1 << 16;

    /// `now`: when the line's adapter timer starts (the port is made).
    DeviceEnd(SimDevice& device, const FaultSettings& faults, LineKind line, double now);
    DeviceEnd(const DeviceEnd&) = delete;
    DeviceEnd& operator=(const DeviceEnd&) = delete;

    /// How many bytes from the host it takes now: what the line has room for (a host's
    /// writes beyond it wait, as on a real line), or without timing any number.
    std::size_t room() const;
    /// The host wrote `n` bytes at `now`; more than room() are dropped (logged). Without
    /// timing they reach the device at once. False once the device has hung up.
    bool write(const std::uint8_t* bytes, std::size_t n, double now);

    /// Does what falls due by `now`, each at its own time: bytes reaching the device, held
    /// replies going out, a message that stopped short dropped, the device's own messages,
    /// bytes reaching the host. False once the device has hung up.
    bool advance(double now);
    /// When something falls due next, as of the latest advance(); infinity: nothing until the
    /// host writes.
    double next() const;

    /// How many bytes the host can read now.
    std::size_t readable() const { return out_.released(); }
    /// The oldest of them, at most `n`, in one piece (call again after a wrap).
    std::size_t front(std::size_t n, const std::uint8_t*& data) const {
        return out_.front(n, data);
    }
    /// The host has read `n` of them.
    void consume(std::size_t n) { out_.consume(n); }

    /// A host opened the port at `now`: the line starts afresh.
    void connect(double now);
    /// The host closed the port at `now`: what is on its way either way, held or unread is
    /// dropped, and the device forgets the session.
    void disconnect(double now);

    /// The device has hung up (a hang-up fault): it takes and sends nothing more.
    bool hung_up() const { return hung_up_; }
    /// The fault injector, for what it has done.
    const Faults& faults() const { return faults_; }
    const LateReplies& late() const { return late_; }

  private:
    // Messages on their way to the host. Whole messages only: one that does not fit while the
    // host is not reading is dropped, never cut, so the host never sees half a message. On a
    // timed line the bytes wait here until the line has carried them (release()).
    class OutQueue : public Outbox {
      public:
        explicit OutQueue(LineDirection& line) : line_(line) {}

        /// The time of what the device sends next: the line starts carrying it then.
        void at(double now) { now_ = now; }
        void send(const std::uint8_t* message, std::size_t length) override;
        /// Lets the next `n` bytes go to the host: the line has carried them.
        void release(std::size_t n) { released_ = std::min(size_, released_ + n); }
        std::size_t released() const { return released_; }
        std::size_t front(std::size_t n, const std::uint8_t*& data) const;
        void consume(std::size_t n);
        void clear() { head_ = size_ = released_ = 0; }

      private:
        std::array<std::uint8_t, max_unread> buffer_{};
        std::size_t head_ = 0;
        std::size_t size_ = 0;
        std::size_t released_ = 0;
        LineDirection& line_;
        double now_ = 0.0;
    };

    // The device's answers and messages from now on leave at `now`.
    void sending_at(double now);
    // Hands the device the bytes of one host write, or of one step of the line, that reached
    // it at `now`. False after a hang-up.
    bool feed(const std::uint8_t* bytes, std::size_t n, double now);
    bool dispatch(double now);
    // Drops a message that stopped short, if it has gone stale by `now`.
    void expire(double now);

    SimDevice& device_;
    Line line_;
    OutQueue out_;
    Faults faults_;
    LateReplies late_;
    Framer framer_;
    // Bytes from the host that a timed line has not yet carried to the device: exactly the
    // bytes the line's device direction holds.
    std::array<std::uint8_t, LineDirection::max_bytes> in_{};
    std::size_t in_head_ = 0;
    std::size_t in_size_ = 0;
    double device_next_;
    bool hung_up_ = false;
};

}  // namespace Zelkor::Sim
