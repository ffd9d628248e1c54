#include <ZelkorHardwareAPI/control/effects.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>

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
    // A vector of unit length to within rounding is kept as it is: normalised again it could
    // move in its last bits, and an effect remade from its own attributes would differ.
    if (std::fabs(length - 1.0) <= 8.0 * std::numeric_limits<double>::epsilon()) return v;
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

Vec3 friction_force(const Friction& w, EffectState& state, const Vec3& p, const Vec3& v) {
    const double depth = w.offset - dot(w.normal, p);
    if (!(depth > 0.0)) {
        // A position that is not a number drops the proxy rather than keep a NaN in it.
        state.held = std::isfinite(depth);
        state.point = p;
        return zero;
    }
    // The position's projection onto the surface: the proxy never needs to be further from it.
    const Vec3 surface = plus(p, scaled(w.normal, depth));
    if (state.held) {
        state.point = plus(state.point, scaled(w.normal, w.offset - dot(w.normal, state.point)));
    } else {
        state.point = surface;
        state.held = true;
    }
    const double pressed = w.stiffness * depth - w.damping * dot(w.normal, v);
    const double normal_force = pressed > 0.0 ? pressed : 0.0;
    const Vec3 slide = minus(state.point, surface);  // on the surface
    Vec3 tangential = scaled(slide, w.stiffness);
    const double length = std::sqrt(dot(tangential, tangential));
    const double limit = w.mu * normal_force;
    if (length > limit) {
        // Slipping: the proxy moves towards the position just far enough for the tangential
        // force to lie on the friction cone.
        const double keep = limit / length;
        state.point = plus(surface, scaled(slide, keep));
        tangential = scaled(tangential, keep);
    }
    return plus(scaled(w.normal, normal_force), tangential);
}

// Each effect type's force (newtons, advancing its state), its stiffness (N/m, for the
// stability advice; 0 for one without) and its parameters (what same_effect compares), one
// overload each per type: the visits below find them, and fail to compile without them.

Vec3 force(const Wall& w, EffectState&, const Vec3& p, const Vec3& v, double) {
    const double depth = w.offset - dot(w.normal, p);
    if (depth <= 0.0) return zero;
    return push_along(w.normal, depth, w.stiffness, w.damping, v);
}
double stiffness(const Wall& w) {
    return w.stiffness;
}
auto parameters(const Wall& w) {
    return std::tie(w.normal, w.offset, w.stiffness, w.damping);
}

Vec3 force(const Spring& s, EffectState&, const Vec3& p, const Vec3& v, double) {
    Vec3 f{};
    for (int i = 0; i < 3; ++i) f[i] = -s.stiffness * (p[i] - s.anchor[i]) - s.damping * v[i];
    return f;
}
double stiffness(const Spring& s) {
    return s.stiffness;
}
auto parameters(const Spring& s) {
    return std::tie(s.anchor, s.stiffness, s.damping);
}

Vec3 force(const Damper& d, EffectState&, const Vec3&, const Vec3& v, double) {
    return scaled(v, -d.damping);
}
double stiffness(const Damper&) {
    return 0.0;
}
auto parameters(const Damper& d) {
    return std::tie(d.damping);
}

Vec3 force(const ConstantForce& c, EffectState&, const Vec3&, const Vec3&, double) {
    return c.force;
}
double stiffness(const ConstantForce&) {
    return 0.0;
}
auto parameters(const ConstantForce& c) {
    return std::tie(c.force);
}

Vec3 force(const Sphere& s, EffectState&, const Vec3& p, const Vec3& v, double) {
    return sphere_force(s, p, v);
}
double stiffness(const Sphere& s) {
    return s.stiffness;
}
auto parameters(const Sphere& s) {
    return std::tie(s.centre, s.radius, s.stiffness, s.damping, s.inside);
}

Vec3 force(const Box& b, EffectState&, const Vec3& p, const Vec3& v, double) {
    return box_force(b, p, v);
}
double stiffness(const Box& b) {
    return b.stiffness;
}
auto parameters(const Box& b) {
    return std::tie(b.centre, b.half_extents, b.stiffness, b.damping, b.inside);
}

Vec3 force(const ViscousRegion& r, EffectState&, const Vec3& p, const Vec3& v, double) {
    return within(r, p) ? scaled(v, -r.damping) : zero;
}
double stiffness(const ViscousRegion&) {
    return 0.0;
}
auto parameters(const ViscousRegion& r) {
    return std::tie(r.centre, r.damping, r.radius, r.half_extents);
}

Vec3 force(const Guide& g, EffectState&, const Vec3& p, const Vec3& v, double) {
    return guide_force(g, p, v);
}
double stiffness(const Guide& g) {
    return g.stiffness;
}
auto parameters(const Guide& g) {
    return std::tie(g.start, g.end, g.stiffness, g.damping);
}

Vec3 force(const Vibration& s, EffectState&, const Vec3&, const Vec3&, double t) {
    constexpr double two_pi = 6.283185307179586;
    return scaled(s.direction, s.amplitude * std::sin(two_pi * s.frequency * t));
}
double stiffness(const Vibration&) {
    return 0.0;
}
auto parameters(const Vibration& s) {
    return std::tie(s.direction, s.amplitude, s.frequency);
}

Vec3 force(const Detents& d, EffectState&, const Vec3& p, const Vec3&, double) {
    return detents_force(d, p);
}
double stiffness(const Detents& d) {
    return d.stiffness;
}
auto parameters(const Detents& d) {
    return std::tie(d.axis, d.spacing, d.stiffness, d.origin);
}

Vec3 force(const Friction& w, EffectState& state, const Vec3& p, const Vec3& v, double) {
    return friction_force(w, state, p, v);
}
double stiffness(const Friction& w) {
    return w.stiffness;
}
auto parameters(const Friction& w) {  // the proxy is state
    return std::tie(w.normal, w.offset, w.stiffness, w.mu, w.damping);
}

// The force of an effect whose state is kept in the object itself, for the calls that are
// given none: only a Friction keeps any, its own proxy.
template <typename E>
Vec3 force_in_itself(const E& effect, const Vec3& p, const Vec3& v, double t) {
    EffectState none;
    return force(effect, none, p, v, t);
}
Vec3 force_in_itself(const Friction& w, const Vec3& p, const Vec3& v, double t) {
    EffectState own{w.proxy.point, w.proxy.held};
    const Vec3 f = force(w, own, p, v, t);
    // Member by member: a Proxy's assignment is a copy's, which starts without a proxy.
    w.proxy.point = own.point;
    w.proxy.held = own.held;
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

Vec3 force_of(const Effect& effect, EffectState& state, const Vec3& p, const Vec3& v,
              double t) noexcept {
    if (effect.valueless_by_exception()) return zero;
    return std::visit([&](const auto& e) { return force(e, state, p, v, t); }, effect);
}

Vec3 force_of(const Effect& effect, const Vec3& p, const Vec3& v, double t) noexcept {
    if (effect.valueless_by_exception()) return zero;
    return std::visit([&](const auto& e) { return force_in_itself(e, p, v, t); }, effect);
}

Vec3 force_of(const Effect& effect, const Vec3& p, const Vec3& v) noexcept {
    return force_of(effect, p, v, 0.0);
}

Vec3 force_of(const Friction& friction, const Vec3& p, const Vec3& v) noexcept {
    return force_in_itself(friction, p, v, 0.0);
}

Vec3 force_of(const Friction& friction, const Vec3& p, const Vec3& v, double t) noexcept {
    return force_in_itself(friction, p, v, t);
}

const char* effect_name(const Effect& effect) noexcept {
    return effect.valueless_by_exception() ? "" : effect_names[effect.index()];
}

bool same_effect(const Effect& a, const Effect& b) noexcept {
    if (a.index() != b.index()) return false;
    if (a.valueless_by_exception()) return true;
    return std::visit(
        [&b](const auto& x) {
            const auto& y = *std::get_if<std::decay_t<decltype(x)>>(&b);
            return parameters(x) == parameters(y);
        },
        a);
}

double stiffness_of(const Effect& effect) noexcept {
    if (effect.valueless_by_exception()) return 0.0;
    return std::visit([](const auto& e) { return stiffness(e); }, effect);
}

Stiffest stiffest(const std::vector<Effect>& effects) noexcept {
    Stiffest found;
    for (std::size_t i = 0; i < effects.size(); ++i) {
        const double k = stiffness_of(effects[i]);
        if (k > found.stiffness) found = {k, effect_name(effects[i]), i};
    }
    return found;
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

Vec3 total_force(const std::vector<Effect>& effects, EffectState* states, const Vec3& p,
                 const Vec3& v, double t) noexcept {
    Vec3 sum{0.0, 0.0, 0.0};
    for (std::size_t k = 0; k < effects.size(); ++k) {
        const Vec3 f = force_of(effects[k], states[k], p, v, t);
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
