// Fault injection: spoils the messages a simulated device sends, holds some of its replies
// back, and makes it fall silent or hang up, reproducibly from a seed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "device.h"
#include "random.h"

namespace Zelkor::Sim {

inline constexpr std::uint64_t never = std::numeric_limits<std::uint64_t>::max();

struct FaultSettings {
    std::uint64_t seed = 1;
    /// Chance per message sent, each in [0, 1], together at most 1; at most one fault per
    /// message.
    double drop = 0.0;                   ///< the message is not sent
    double wrong_code = 0.0;             ///< its code byte is XORed with 0x30 (0x2B and 0x1B swap)
    double truncate = 0.0;               ///< only the code and 0 to length-2 payload bytes are sent
    double garbage = 0.0;                ///< 1 to 8 bytes that are no message code go out before it
    std::uint64_t faults_after = 0;      ///< the first this many messages sent are never spoilt
    std::uint64_t max_faults = never;    ///< at most this many messages are spoilt
    std::uint64_t silent_after = never;  ///< host messages served before the device falls silent
    std::uint64_t hangup_after = never;  ///< host messages served before the device hangs up
    /// Late replies: the state replies (0x2B, 0x1B) are counted over the whole run from the
    /// first, and the late_every-th, the 2 late_every-th and so on are each held late_seconds
    /// before they go out; 0: none.
    std::uint64_t late_every = 0;
    double late_seconds = 0.0;
};

enum class Fault { none, drop, wrong_code, truncate, garbage };

/// Name of a fault for diagnostics.
const char* fault_name(Fault fault);

/// Sits between a device and the port: every message the device sends passes through
/// send(), which passes it on to `out` intact or spoilt. The same seed and the same sequence
/// of host and device messages spoil the same messages in the same way.
class Faults : public Outbox {
  public:
    Faults(const FaultSettings& settings, Outbox& out);

    /// What the device does about a message from the host.
    enum class Verdict {
        serve,    ///< answer it as usual
        ignore,   ///< fallen silent: neither this nor anything else is answered or sent
        hang_up,  ///< close the port now, without answering
    };

    /// Counts one message from the host.
    Verdict admit();

    /// True once the device has fallen silent: send() then passes nothing on.
    bool silent() const { return silent_; }

    void send(const std::uint8_t* message, std::size_t length) override;

    /// The fault applied to the latest message sent.
    Fault last() const { return last_; }
    /// How many messages have been spoilt so far.
    std::uint64_t spoilt() const { return spoilt_; }

  private:
    Fault choose();

    FaultSettings settings_;
    Outbox& out_;
    Random random_;
    std::uint64_t admitted_ = 0;
    std::uint64_t sent_ = 0;
    std::uint64_t spoilt_ = 0;
    bool silent_ = false;
    Fault last_ = Fault::none;
};

/// Sits between a device and what it sends through (the faults above): the replies late_every
/// and late_seconds choose are held before they are passed on, and every message the device
/// sends while one is held waits behind it, so the order stays the device's own. A device
/// that stalls once: it keeps reading requests and answering them, and the answers all come
/// late by the stall. A message passed on is on its way at the time at() last gave for it,
/// or, held, at the moment its hold ends (next()); the caller passes it on then with pop().
/// Allocates nothing.
class LateReplies : public Outbox {
  public:
    /// Bytes and messages it holds at most: 64 KiB, some 2,600 state replies, a second of a
    /// servo's exchanges at 2.6 kHz. A message beyond them is lost, as a device that is asked
    /// more than it can buffer loses answers.
    static constexpr std::size_t max_bytes = 1 << 16;
    static constexpr std::size_t max_messages = 4096;

    LateReplies(const FaultSettings& settings, Outbox& out);

    /// The time of what the device sends next (s).
    void at(double now) { now_ = now; }

    void send(const std::uint8_t* message, std::size_t length) override;

    /// When the oldest message held may go on; infinity when none is held.
    double next() const;
    /// Passes the oldest message held on. Call when next() has come.
    void pop();
    /// Drops every message held (the host has gone); the count of replies runs on.
    void clear();

    /// How many replies it has chosen to hold so far.
    std::uint64_t held() const { return held_; }

  private:
    struct Entry {
        double due;
        std::size_t length;
    };

    std::uint64_t every_;
    double seconds_;
    Outbox& out_;
    double now_ = 0.0;
    std::uint64_t replies_ = 0;
    std::uint64_t held_ = 0;
    std::array<std::uint8_t, max_bytes> bytes_{};
    std::array<Entry, max_messages> entries_{};
    std::size_t byte_head_ = 0, byte_size_ = 0;
    std::size_t head_ = 0, size_ = 0;
};

}  // namespace Zelkor::Sim
