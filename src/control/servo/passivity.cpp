#include "control/servo/passivity.h"

#include <algorithm>

namespace Zelkor::HardwareAPI::Control::servo {

namespace {

double dot(const Vec3& a, const Vec3& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

Vec3 widened(const Vector3& v) {
    return {v[0], v[1], v[2]};
}

}  // namespace

double Passivity::damping(const Vec3& v, double dt, double max_damping) noexcept {
    energy_ -= dot(widened(acted_), widened(moved_));
    outstanding_ -= acted_credit_;
    moved_ = {0.0f, 0.0f, 0.0f};
    acted_credit_ = 0.0;
    const double speed2 = dot(v, v);
    const double energy = energy_ + outstanding_;
    if (energy < 0.0 && speed2 > 1e-12 && dt > 0.0) {
        return std::min(-energy / (speed2 * dt), max_damping);
    }
    return 0.0;
}

double Passivity::sent(double damping, double share, const Vec3& v, double dt) noexcept {
    const double credit = damping * share * dot(v, v) * dt;
    outstanding_ += credit;
    return credit;
}

}  // namespace Zelkor::HardwareAPI::Control::servo
