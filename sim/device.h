// What the simulator's loop knows of a simulated device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "devices/protocol.h"
#include "framer.h"

namespace Zelkor::Sim {

/// The longest message either device sends: a handle status message with 255 bytes of user
/// data.
inline constexpr std::size_t max_message_length =
    1 + HardwareAPI::Protocol::handle_status_header_length + 255;

/// Where a simulated device puts the messages it sends: one call per whole message, code
/// first. The bytes are copied before send() returns.
class Outbox {
  public:
    virtual void send(const std::uint8_t* message, std::size_t length) = 0;

  protected:
    ~Outbox() = default;
};

/// A simulated device: answers the host's messages and may send some of its own accord.
/// Times are seconds on one monotonic clock. Allocates nothing while it runs.
class SimDevice {
  public:
    virtual ~SimDevice() = default;

    /// How the host's messages to this device are framed.
    virtual MessageLength message_length() const = 0;

    /// Acts on one whole message from the host (framed by message_length()).
    virtual void receive(const std::uint8_t* message, std::size_t length, double now,
                         Outbox& out) = 0;

    /// Bytes arrived that start no message, or a message stopped short and was dropped.
    virtual void malformed(double /*now*/, Outbox& /*out*/) {}

    /// Sends what has fallen due by `now`; returns when something falls due next
    /// (infinity: nothing until the host sends something).
    virtual double tick(double /*now*/, Outbox& /*out*/) {
        return std::numeric_limits<double>::infinity();
    }

    /// The host closed the port: forget the session.
    virtual void disconnected() {}
};

}  // namespace Zelkor::Sim
