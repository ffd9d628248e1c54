#include <ZelkorHardwareAPI/control/effects.h>

#include <cmath>
#include <stdexcept>
#include <string>

namespace Zelkor::HardwareAPI::Control {

namespace {

double dot(const Vec3& a, const Vec3& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

Vec3 scaled(const Vec3& v, double k) {
    return {v[0] * k, v[1] * k, v[2] * k};
}

}  // namespace

void require_finite(double value, const char* what) {
    if (!std::isfinite(value)) {
        throw std::invalid_argument(std::string(what) + " must be a finite number");
    }
}

void require_gain(double value, const char* what) {
    require_finite(value, what);
    if (value < 0.0) throw std::invalid_argument(std::string(what) + " must not be negative");
}

void require_finite(const Vec3& v, const char* what) {
    for (double x : v) require_finite(x, what);
}

Wall::Wall(const Vec3& normal_, double offset_, double stiffness_, double damping_)
    : normal(normal_), offset(offset_), stiffness(stiffness_), damping(damping_) {
    require_finite(normal, "the wall's normal");
    require_finite(offset, "the wall's offset");
    require_gain(stiffness, "the wall's stiffness");
    require_gain(damping, "the wall's damping");
    const double length = std::sqrt(dot(normal, normal));
    // Components near the double range overflow the length; such a normal is as unusable
    // as a zero one.
    if (!(length > 0.0) || !std::isfinite(length)) {
        throw std::invalid_argument("the wall's normal must not be zero");
    }
    normal = scaled(normal, 1.0 / length);
}

Spring::Spring(const Vec3& anchor_, double stiffness_, double damping_)
    : anchor(anchor_), stiffness(stiffness_), damping(damping_) {
    require_finite(anchor, "the spring's anchor");
    require_gain(stiffness, "the spring's stiffness");
    require_gain(damping, "the spring's damping");
}

Damper::Damper(double damping_) : damping(damping_) {
    require_gain(damping, "the damping");
}

ConstantForce::ConstantForce(const Vec3& force_) : force(force_) {
    require_finite(force, "the constant force");
}

Vec3 force_of(const Effect& effect, const Vec3& p, const Vec3& v) noexcept {
    struct Visit {
        const Vec3& p;
        const Vec3& v;
        Vec3 operator()(const Wall& w) const {
            const double depth = w.offset - dot(w.normal, p);
            if (depth <= 0.0) return {0.0, 0.0, 0.0};
            const double push = w.stiffness * depth - w.damping * dot(w.normal, v);
            return push > 0.0 ? scaled(w.normal, push) : Vec3{0.0, 0.0, 0.0};
        }
        Vec3 operator()(const Spring& s) const {
            Vec3 f{};
            for (int i = 0; i < 3; ++i)
                f[i] = -s.stiffness * (p[i] - s.anchor[i]) - s.damping * v[i];
            return f;
        }
        Vec3 operator()(const Damper& d) const { return scaled(v, -d.damping); }
        Vec3 operator()(const ConstantForce& c) const { return c.force; }
    };
    return std::visit(Visit{p, v}, effect);
}

Vec3 total_force(const std::vector<Effect>& effects, const Vec3& p, const Vec3& v) noexcept {
    Vec3 sum{0.0, 0.0, 0.0};
    for (const Effect& e : effects) {
        const Vec3 f = force_of(e, p, v);
        for (int i = 0; i < 3; ++i) sum[i] += f[i];
    }
    return sum;
}

Vector3 clamp_force(const Vec3& force, double max_force) noexcept {
    for (double x : force) {
        if (!std::isfinite(x)) return {0.0f, 0.0f, 0.0f};
    }
    auto sent = [](const Vec3& f, double k) -> Vector3 {
        return {static_cast<float>(f[0] * k), static_cast<float>(f[1] * k),
                static_cast<float>(f[2] * k)};
    };
    const double length = std::sqrt(dot(force, force));
    if (std::isfinite(length)) return sent(force, length > max_force ? max_force / length : 1.0);
    // Components beyond about 1e154 square to infinity, though the force itself is finite:
    // its direction is measured on a copy divided by its largest component, which is
    // finite and at least 1 long.
    double largest = 0.0;
    for (double x : force) largest = std::fmax(largest, std::fabs(x));
    const Vec3 direction = scaled(force, 1.0 / largest);
    const double reduced = std::sqrt(dot(direction, direction));
    // The force is largest * reduced long; only a max_force as enormous would leave it whole.
    if (largest <= max_force / reduced) return sent(force, 1.0);
    return sent(direction, max_force / reduced);
}

}  // namespace Zelkor::HardwareAPI::Control
