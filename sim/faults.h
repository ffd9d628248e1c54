// Fault injection: spoils the messages a simulated device sends, and makes it fall silent
// or hang up, reproducibly from a seed.
#pragma once

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

}  // namespace Zelkor::Sim
