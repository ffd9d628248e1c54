// What stands between the force an environment wants and the force sent: the workspace, the
// velocity limit, the limit on its length, and the fades (the soft start, the fade of an
// expired time to live, the ramp in after failed exchanges), which scale what is sent after
// the limit, so no fade ever lets more than its share of max_force out.
#pragma once

#include <ZelkorHardwareAPI/control/effects.h>
#include <ZelkorHardwareAPI/control/servo.h>

#include <cstdint>

#include "control/servo/ramp.h"
#include "control/servo/telemetry.h"

namespace Zelkor::HardwareAPI::Control::servo {

/// One arm's guard state.
struct ArmGuard {
    Ramp soft{};             // the soft start: from the first reply, a recovery or a refresh
    bool ramp_again = true;  // zero went out (or nothing yet): ramp in at the next reply
    bool fading = false;     // what drives the arm expired
    Ramp fade{};             // from the expiry: 1 - fade is the scale
    Vector3 held{};          // the force of the latest cycle that had a state
};

class Guards {
  public:
    explicit Guards(const ServoSettings& settings) noexcept;

    /// A fresh reply came at `at`: after nothing yet or a zero sent for failures, forces ramp
    /// in again from it.
    void replied(ArmGuard& arm, Clock::time_point at) const noexcept {
        if (!arm.ramp_again) return;
        arm.soft = Ramp{at, soft_start_};
        arm.ramp_again = false;
    }
    /// The watchdog: `expired` says what drives the arm was not refreshed in time. Fades the
    /// arm's force to zero within 50 ms of the expiry (counted), and ramps it in again
    /// (soft_start) once refreshed. Returns the scale of this cycle's force from it.
    double watchdog(ArmGuard& arm, bool expired, Clock::time_point now,
                    Counters& counters) const noexcept {
        if (expired != arm.fading) change_watch(arm, expired, now, counters);
        return arm.fading ? 1.0 - arm.fade.at(now) : 1.0;
    }
    /// The fades' scale of the force sent at `now`: the watchdog's and the soft start's.
    double fade(const ArmGuard& arm, double watchdog, Clock::time_point now) const noexcept {
        const double soft = arm.soft.at(now);
        return soft < watchdog ? soft : watchdog;
    }

    /// `wanted` at position `p` moving at `v` with the workspace's push added and, above
    /// max_velocity, replaced by damping alone; `damped` is then false (the passivity
    /// controller's damping is no longer in it).
    Vec3 limit(Vec3 wanted, const Vec3& p, const Vec3& v, bool& damped) const noexcept {
        if (workspace_) push_back(wanted, p, v);
        if (max_velocity_ > 0.0 &&
            v[0] * v[0] + v[1] * v[1] + v[2] * v[2] > max_velocity_ * max_velocity_) {
            // Too fast: only damping, whatever the environment wants.
            for (int k = 0; k < 3; ++k) wanted[k] = -velocity_damping_ * v[k];
            damped = false;
        }
        return wanted;
    }
    /// The force sent: `wanted` limited to max_force along its direction, then scaled by
    /// `scale` (the fades). `kept`, when given, is set to the share of `wanted` the limit kept.
    Vector3 send(const Vec3& wanted, double scale, double* kept = nullptr) const noexcept {
        const Vector3 limited = clamp_force(wanted, max_force_);
        if (kept != nullptr) *kept = share_kept(wanted, limited);
        const auto k = static_cast<float>(scale);
        return {limited[0] * k, limited[1] * k, limited[2] * k};
    }
    /// A failed exchange: the last force (faded by `watchdog`) for hold_cycles cycles, then
    /// zero, after which forces ramp in again.
    Vector3 hold(ArmGuard& arm, std::uint32_t failures, double watchdog) const noexcept;

  private:
    void push_back(Vec3& wanted, const Vec3& p, const Vec3& v) const noexcept;
    static double share_kept(const Vec3& wanted, const Vector3& limited) noexcept;
    void change_watch(ArmGuard& arm, bool expired, Clock::time_point now,
                      Counters& counters) const noexcept;

    double max_force_;
    Clock::duration soft_start_;
    std::uint32_t hold_cycles_;
    bool workspace_;
    Box bounds_;
    double max_velocity_;
    double velocity_damping_;
};

}  // namespace Zelkor::HardwareAPI::Control::servo
