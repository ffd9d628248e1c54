#include <ZelkorHardwareAPI/control/effects.h>

#include <algorithm>
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

Vec3 minus(const Vec3& a, const Vec3& b) {
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

Vec3 plus(const Vec3& a, const Vec3& b) {
    return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}

constexpr Vec3 zero{0.0, 0.0, 0.0};

// `v` normalised; std::invalid_argument naming `what` when it has no direction.
Vec3 unit(const Vec3& v, const char* what) {
    require_finite(v, what);
    const double length = std::sqrt(dot(v, v));
    // Components near the double range overflow the length; such a vector is as unusable
    // as a zero one.
    if (!(length > 0.0) || !std::isfinite(length)) {
        throw std::invalid_argument(std::string(what) + " must not be zero");
    }
    return scaled(v, 1.0 / length);
}

// A penalty surface's push along the unit `n` at `depth` (> 0): it pushes and never pulls, and
// the damping only slows the push, never turns it into a pull.
Vec3 push_along(const Vec3& n, double depth, double stiffness, double damping, const Vec3& v) {
    const double push = stiffness * depth - damping * dot(n, v);
    return push > 0.0 ? scaled(n, push) : zero;
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
    normal = unit(normal, "the wall's normal");
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

Sphere::Sphere(const Vec3& centre_, double radius_, double stiffness_, double damping_,
               bool inside_)
    : centre(centre_), radius(radius_), stiffness(stiffness_), damping(damping_), inside(inside_) {
    require_finite(centre, "the sphere's centre");
    require_gain(radius, "the sphere's radius");
    require_gain(stiffness, "the sphere's stiffness");
    require_gain(damping, "the sphere's damping");
}

Box::Box(const Vec3& centre_, const Vec3& half_extents_, double stiffness_, double damping_,
         bool inside_)
    : centre(centre_),
      half_extents(half_extents_),
      stiffness(stiffness_),
      damping(damping_),
      inside(inside_) {
    require_finite(centre, "the box's centre");
    for (double h : half_extents) require_gain(h, "the box's half_extents");
    require_gain(stiffness, "the box's stiffness");
    require_gain(damping, "the box's damping");
}

ViscousRegion::ViscousRegion(const Vec3& centre_, double damping_, std::optional<double> radius_,
                             std::optional<Vec3> half_extents_)
    : centre(centre_), damping(damping_), radius(radius_), half_extents(half_extents_) {
    require_finite(centre, "the viscous region's centre");
    require_gain(damping, "the viscous region's damping");
    if (radius.has_value() == half_extents.has_value()) {
        throw std::invalid_argument(
            "a viscous region needs exactly one of radius (a sphere) and half_extents (a box)");
    }
    if (radius) require_gain(*radius, "the viscous region's radius");
    if (half_extents) {
        for (double h : *half_extents) require_gain(h, "the viscous region's half_extents");
    }
}

Guide::Guide(const Vec3& start_, const Vec3& end_, double stiffness_, double damping_)
    : start(start_), end(end_), stiffness(stiffness_), damping(damping_) {
    require_finite(start, "the guide's start");
    require_finite(end, "the guide's end");
    require_gain(stiffness, "the guide's stiffness");
    require_gain(damping, "the guide's damping");
    const Vec3 along = minus(end, start);
    if (!std::isfinite(dot(along, along))) {
        throw std::invalid_argument("the guide's start and end are too far apart to measure");
    }
}

Vibration::Vibration(const Vec3& direction_, double amplitude_, double frequency_)
    : direction(direction_), amplitude(amplitude_), frequency(frequency_) {
    direction = unit(direction, "the vibration's direction");
    require_gain(amplitude, "the vibration's amplitude");
    require_gain(frequency, "the vibration's frequency");
}

Detents::Detents(const Vec3& axis_, double spacing_, double stiffness_, const Vec3& origin_)
    : axis(axis_), spacing(spacing_), stiffness(stiffness_), origin(origin_) {
    axis = unit(axis, "the detents' axis");
    require_finite(spacing, "the detents' spacing");
    if (!(spacing > 0.0)) throw std::invalid_argument("the detents' spacing must be more than 0");
    require_gain(stiffness, "the detents' stiffness");
    require_finite(origin, "the detents' origin");
}

Friction::Friction(const Vec3& normal_, double offset_, double stiffness_, double mu_,
                   double damping_)
    : normal(normal_), offset(offset_), stiffness(stiffness_), mu(mu_), damping(damping_) {
    normal = unit(normal, "the friction's normal");
    require_finite(offset, "the friction's offset");
    require_gain(stiffness, "the friction's stiffness");
    require_gain(mu, "the friction's mu");
    require_gain(damping, "the friction's damping");
}

namespace {

Vec3 sphere_force(const Sphere& s, const Vec3& p, const Vec3& v) {
    const Vec3 d = minus(p, s.centre);
    const double r = std::sqrt(dot(d, d));
    if (s.inside) {
        if (!(r > s.radius)) return zero;
        return push_along(scaled(d, -1.0 / r), r - s.radius, s.stiffness, s.damping, v);
    }
    if (!(r < s.radius)) return zero;
    // Any direction is as short a way out of the centre; up is as good as any.
    const Vec3 n = r > 0.0 ? scaled(d, 1.0 / r) : Vec3{0.0, 0.0, 1.0};
    return push_along(n, s.radius - r, s.stiffness, s.damping, v);
}

Vec3 box_force(const Box& b, const Vec3& p, const Vec3& v) {
    const Vec3 d = minus(p, b.centre);
    Vec3 f = zero;
    if (b.inside) {
        // Each axis is a pair of walls of its own: a corner pushes back along both.
        for (int i = 0; i < 3; ++i) {
            const double beyond = std::fabs(d[i]) - b.half_extents[i];
            if (!(beyond > 0.0)) continue;
            const double n = d[i] > 0.0 ? -1.0 : 1.0;
            const double push = b.stiffness * beyond - b.damping * n * v[i];
            if (push > 0.0) f[i] = n * push;
        }
        return f;
    }
    int nearest = -1;
    double least = 0.0;
    for (int i = 0; i < 3; ++i) {
        const double depth = b.half_extents[i] - std::fabs(d[i]);
        if (!(depth > 0.0)) return zero;
        if (nearest < 0 || depth < least) {
            nearest = i;
            least = depth;
        }
    }
    Vec3 n = zero;
    n[nearest] = d[nearest] < 0.0 ? -1.0 : 1.0;
    return push_along(n, least, b.stiffness, b.damping, v);
}

bool within(const ViscousRegion& r, const Vec3& p) {
    const Vec3 d = minus(p, r.centre);
    if (r.radius) return dot(d, d) <= *r.radius * *r.radius;
    if (!r.half_extents) return false;
    for (int i = 0; i < 3; ++i) {
        if (!(std::fabs(d[i]) <= (*r.half_extents)[i])) return false;
    }
    return true;
}

Vec3 guide_force(const Guide& g, const Vec3& p, const Vec3& v) {
    const Vec3 along = minus(g.end, g.start);
    const double length2 = dot(along, along);
    Vec3 nearest = g.start;
    Vec3 across = v;
    if (length2 > 0.0) {
        const double s = std::clamp(dot(minus(p, g.start), along) / length2, 0.0, 1.0);
        nearest = plus(g.start, scaled(along, s));
        across = minus(v, scaled(along, dot(v, along) / length2));
    }
    const Vec3 off = minus(p, nearest);
    Vec3 f{};
    for (int i = 0; i < 3; ++i) f[i] = -g.stiffness * off[i] - g.damping * across[i];
    return f;
}

Vec3 detents_force(const Detents& d, const Vec3& p) {
    const double s = dot(d.axis, minus(p, d.origin));
    const double k = std::floor(s / d.spacing + 0.5);
    // A spacing so small that s / spacing overflows has no nearest detent to speak of.
    if (!std::isfinite(k)) return zero;
    return scaled(d.axis, -d.stiffness * (s - k * d.spacing));
}

Vec3 friction_force(const Friction& w, EffectState& proxy, const Vec3& p, const Vec3& v) {
    const double depth = w.offset - dot(w.normal, p);
    if (!(depth > 0.0)) {
        // A position that is not a number drops the proxy rather than keep a NaN in it.
        proxy.held = std::isfinite(depth);
        proxy.point = p;
        return zero;
    }
    // The position's projection onto the surface: the proxy never needs to be further from it.
    const Vec3 surface = plus(p, scaled(w.normal, depth));
    if (proxy.held) {
        proxy.point = plus(proxy.point, scaled(w.normal, w.offset - dot(w.normal, proxy.point)));
    } else {
        proxy.point = surface;
        proxy.held = true;
    }
    const double pressed = w.stiffness * depth - w.damping * dot(w.normal, v);
    const double normal_force = pressed > 0.0 ? pressed : 0.0;
    const Vec3 slide = minus(proxy.point, surface);  // on the surface
    Vec3 tangential = scaled(slide, w.stiffness);
    const double length = std::sqrt(dot(tangential, tangential));
    const double limit = w.mu * normal_force;
    if (length > limit) {
        // Slipping: the proxy moves towards the position just far enough for the tangential
        // force to lie on the friction cone.
        const double keep = limit / length;
        proxy.point = plus(surface, scaled(slide, keep));
        tangential = scaled(tangential, keep);
    }
    return plus(scaled(w.normal, normal_force), tangential);
}

// A Friction object's own proxy advances (force_at, and callers who keep the object).
Vec3 own_friction_force(const Friction& w, const Vec3& p, const Vec3& v) {
    EffectState state{w.proxy.point, w.proxy.held};
    const Vec3 f = friction_force(w, state, p, v);
    w.proxy.point = state.point;
    w.proxy.held = state.held;
    return f;
}

}  // namespace

Coupling::Coupling(std::size_t a_, std::size_t b_, double stiffness_, double damping_)
    : a(a_), b(b_), stiffness(stiffness_), damping(damping_) {
    if (a == b) throw std::invalid_argument("a coupling joins two different arms");
    if (a >= 4 || b >= 4) throw std::invalid_argument("a coupling's arms are numbered 0 to 3");
    require_gain(stiffness, "the coupling's stiffness");
    require_gain(damping, "the coupling's damping");
}

Vec3 force_of(const Effect& effect, const Vec3& p, const Vec3& v, double t) noexcept {
    struct Visit {
        const Vec3& p;
        const Vec3& v;
        double t;
        Vec3 operator()(const Wall& w) const {
            const double depth = w.offset - dot(w.normal, p);
            if (depth <= 0.0) return zero;
            return push_along(w.normal, depth, w.stiffness, w.damping, v);
        }
        Vec3 operator()(const Spring& s) const {
            Vec3 f{};
            for (int i = 0; i < 3; ++i)
                f[i] = -s.stiffness * (p[i] - s.anchor[i]) - s.damping * v[i];
            return f;
        }
        Vec3 operator()(const Damper& d) const { return scaled(v, -d.damping); }
        Vec3 operator()(const ConstantForce& c) const { return c.force; }
        Vec3 operator()(const Sphere& s) const { return sphere_force(s, p, v); }
        Vec3 operator()(const Box& b) const { return box_force(b, p, v); }
        Vec3 operator()(const ViscousRegion& r) const {
            return within(r, p) ? scaled(v, -r.damping) : zero;
        }
        Vec3 operator()(const Guide& g) const { return guide_force(g, p, v); }
        Vec3 operator()(const Vibration& s) const {
            constexpr double two_pi = 6.283185307179586;
            return scaled(s.direction, s.amplitude * std::sin(two_pi * s.frequency * t));
        }
        Vec3 operator()(const Detents& d) const { return detents_force(d, p); }
        Vec3 operator()(const Friction& w) const { return own_friction_force(w, p, v); }
    };
    return std::visit(Visit{p, v, t}, effect);
}

Vec3 force_of(const Effect& effect, EffectState& state, const Vec3& p, const Vec3& v,
              double t) noexcept {
    const auto* friction = std::get_if<Friction>(&effect);
    if (friction == nullptr) return force_of(effect, p, v, t);
    return friction_force(*friction, state, p, v);
}

bool same_effect(const Effect& a, const Effect& b) noexcept {
    if (a.index() != b.index()) return false;
    const auto* x = std::get_if<Friction>(&a);
    const auto* y = std::get_if<Friction>(&b);
    // Only a Friction keeps a state so far.
    return x == nullptr ||
           (x->normal == y->normal && x->offset == y->offset && x->stiffness == y->stiffness &&
            x->mu == y->mu && x->damping == y->damping);
}

Vec3 force_of(const Effect& effect, const Vec3& p, const Vec3& v) noexcept {
    return force_of(effect, p, v, 0.0);
}

Vec3 force_of(const Friction& friction, const Vec3& p, const Vec3& v) noexcept {
    return own_friction_force(friction, p, v);
}

Vec3 force_of(const Friction& friction, const Vec3& p, const Vec3& v, double) noexcept {
    return own_friction_force(friction, p, v);
}

Vec3 total_force(const std::vector<Effect>& effects, const Vec3& p, const Vec3& v,
                 double t) noexcept {
    Vec3 sum{0.0, 0.0, 0.0};
    for (const Effect& e : effects) {
        const Vec3 f = force_of(e, p, v, t);
        for (int i = 0; i < 3; ++i) sum[i] += f[i];
    }
    return sum;
}

Vec3 total_force(const std::vector<Effect>& effects, const Vec3& p, const Vec3& v) noexcept {
    return total_force(effects, p, v, 0.0);
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
