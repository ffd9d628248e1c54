#include "control/servo/guards.h"

#include <algorithm>
#include <cmath>

namespace Zelkor::HardwareAPI::Control::servo {

namespace {

// How long a force takes to fade to zero once what drives it expired.
constexpr auto fade_time = std::chrono::milliseconds(50);

double dot(const Vec3& a, const Vec3& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// The workspace as a box the end-effector is kept inside.
Box bounds_of(const ServoSettings& s) {
    Vec3 centre{}, half{};
    for (int i = 0; i < 3; ++i) {
        centre[i] = 0.5 * (s.workspace_min[i] + s.workspace_max[i]);
        half[i] = std::abs(0.5 * (s.workspace_max[i] - s.workspace_min[i]));
    }
    return Box(centre, half, s.workspace_stiffness, s.workspace_damping, true);
}

}  // namespace

Guards::Guards(const ServoSettings& settings) noexcept
    : max_force_(settings.max_force),
      soft_start_(seconds(settings.soft_start)),
      hold_cycles_(settings.hold_cycles),
      workspace_(workspace_used(settings)),
      bounds_(bounds_of(settings)),
      max_velocity_(settings.max_velocity),
      velocity_damping_(settings.velocity_damping) {}

void Guards::change_watch(ArmGuard& arm, bool expired, Clock::time_point now,
                          Counters& counters) const noexcept {
    arm.fading = expired;
    if (expired) {
        arm.fade = Ramp{now, fade_time};
        Counters::add(counters.expired);
    } else {
        arm.soft = Ramp{std::max(arm.soft.from, now), soft_start_};
    }
}

// The workspace's push back towards it.
void Guards::push_back(Vec3& wanted, const Vec3& p, const Vec3& v) const noexcept {
    const Vec3 back = force_of(Effect(bounds_), p, v);
    for (int k = 0; k < 3; ++k) wanted[k] += back[k];
}

double Guards::share_kept(const Vec3& wanted, const Vector3& limited) noexcept {
    const double asked = std::sqrt(dot(wanted, wanted));
    const Vec3 l{limited[0], limited[1], limited[2]};
    return asked > 0.0 && std::isfinite(asked) ? std::sqrt(dot(l, l)) / asked : 0.0;
}

Vector3 Guards::hold(ArmGuard& arm, std::uint32_t failures, double watchdog) const noexcept {
    if (failures <= hold_cycles_) {
        // A failed exchange or two need not make the arm chatter: the last force holds.
        const auto k = static_cast<float>(watchdog);
        return {arm.held[0] * k, arm.held[1] * k, arm.held[2] * k};
    }
    arm.ramp_again = true;  // zero goes out: forces ramp in again at recovery
    return {0.0f, 0.0f, 0.0f};
}

}  // namespace Zelkor::HardwareAPI::Control::servo
