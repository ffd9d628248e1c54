// The simulated Arbelon: answers the arm's requests from the arm model.
#pragma once

#include <cstdio>
#include <utility>

#include "arm_model.h"
#include "device.h"
#include "devices/protocol.h"

namespace Zelkor::Sim {

/// Each request first lets the arm run for the time since the previous request under the
/// command it had, then takes the request's command, then replies with the state as it is.
/// So a reply shows the arm one step behind its request, as a device that samples its
/// sensors when a request arrives does.
class ArbelonSim : public SimDevice {
  public:
    /// Longest stretch of real time one request lets pass, s: a host that pauses does not
    /// find the arm flung across the workspace.
    static constexpr double max_dt = 0.05;

    /// `fixed_dt` > 0: each of the four state requests advances the arm by exactly that
    /// many seconds and the wake-up and current requests not at all, whatever the clock
    /// says. 0: real time between requests, at most max_dt.
    ArbelonSim(const HardwareAPI::Protocol::DeviceInfo& identity, double fixed_dt,
               const ArmParameters& arm = {});

    MessageLength message_length() const override;
    void receive(const std::uint8_t* message, std::size_t length, double now, Outbox& out) override;
    /// The host is gone: the motors go limp; the arm stays where it is.
    void disconnected() override;

    const ArmModel& arm() const { return arm_; }

    /// Puts a hand on the end-effector (see ArmModel::attach_hand); it holds on when the host
    /// goes, and its target's time is the arm's simulated time.
    void attach_hand(const HandParameters& hand, Trajectory target) {
        arm_.attach_hand(hand, std::move(target));
    }

    /// From now on an end-effector force request is answered with the force as the position
    /// (and a zero velocity): a host can tell a state answers its own request.
    void echo_forces() { echo_ = true; }

    /// From now on every state request writes a CSV row to `trace` (after a header line,
    /// written now): the arm's simulated time (s), the request (force, position, torques or
    /// angles) and its three values, and the end-effector's position (m) and velocity (m/s)
    /// once the request is taken, as the reply reports them. The row is written before the
    /// reply is sent. The file stays the caller's.
    void trace_to(std::FILE* trace);

  private:
    void advance(std::uint8_t code, double now);
    void trace(std::uint8_t code, const HardwareAPI::Vector3& request) const;

    HardwareAPI::Protocol::DeviceInfo identity_;
    double fixed_dt_;
    ArmModel arm_;
    bool echo_ = false;
    std::FILE* trace_ = nullptr;
    bool clock_started_ = false;
    double last_request_ = 0.0;
};

}  // namespace Zelkor::Sim
