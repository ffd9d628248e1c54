// The simulated Handle: answers a wake-up with its information, then streams status
// messages that echo the latest user data the host sent.
#pragma once

#include <array>
#include <cstdint>

#include "device.h"
#include "devices/protocol.h"

namespace Zelkor::Sim {

/// Error codes the simulated handle reports in its error messages.
namespace HandleErrorCode {
inline constexpr std::uint8_t foreign_device =
    0x01;                                        ///< a handle-state message for another device id
inline constexpr std::uint8_t malformed = 0x02;  ///< bytes that start no message, or a cut-off one
inline constexpr std::uint8_t periodic = 0x03;   ///< the default of --error-code
}  // namespace HandleErrorCode

struct HandleSettings {
    HardwareAPI::Protocol::HandleInfo info;
    double status_rate = 100.0;  ///< status messages per second once woken; 0: none
    std::uint64_t error_every =
        0;  ///< an error message after every this many status messages; 0: never
    std::uint8_t error_code = HandleErrorCode::periodic;
    std::uint8_t sensor_level = 200;  ///< the hall-effect sensor byte of every status message
    double turn_rate = 0.5;           ///< how fast the handle turns, rad/s
};

/// Silent until the host wakes it. The status messages carry the device id, error flag 0,
/// the sensor level, the orientation (w, x, y, z) and the user data of the latest
/// handle-state message for this device id; the first one goes out one period after the
/// wake-up. A handle-state message for another device id, and input that is no message, are
/// answered with an error message and otherwise ignored.
class HandleSim : public SimDevice {
  public:
    explicit HandleSim(const HandleSettings& settings);

    MessageLength message_length() const override;
    void receive(const std::uint8_t* message, std::size_t length, double now, Outbox& out) override;
    void malformed(double now, Outbox& out) override;
    double tick(double now, Outbox& out) override;
    /// Back to asleep, with no user data.
    void disconnected() override;

    /// The orientation sent in status message number `n` (0 first): a unit quaternion
    /// (w, x, y, z) turning at turn_rate about a fixed tilted axis.
    std::array<float, 4> orientation(std::uint64_t n) const;

  private:
    void send_error(std::uint8_t code, Outbox& out);

    HandleSettings settings_;
    bool awake_ = false;
    double next_status_ = 0.0;
    std::uint64_t statuses_ = 0;
    std::uint8_t user_data_length_ = 0;
    std::array<std::uint8_t, 255> user_data_{};
};

}  // namespace Zelkor::Sim
