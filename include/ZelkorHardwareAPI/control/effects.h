// Force effects for the servo loop: each turns the end-effector's position and velocity (and the
// servo's time) into a force, and the servo sums them every cycle.
#pragma once

#include <ZelkorHardwareAPI/devices/vector.h>
#include <ZelkorHardwareAPI/export.h>

#include <array>
#include <cstddef>
#include <optional>
#include <variant>
#include <vector>

/// The effect types, one row each: the table from which the Effect variant below, the force
/// visit, the names, stiffest() and the Python module's classes (their registration, their
/// conversion, ZelkorHardwareAPI.effect_types and Effect) all follow, in this order. X(T) is
/// given each type's bare name, as in `Wall`.
///
/// A new effect is its struct below, its constructor and its force, stiffness and parameters
/// overloads in src/control/effects.cpp (the visit fails to compile without them), its Python
/// class in src/python/effects.cpp, its stub, tests and docs, and one row here.
#define ZELKOR_EFFECTS(X) \
    X(Wall)               \
    X(Spring)             \
    X(Damper)             \
    X(ConstantForce)      \
    X(Sphere)             \
    X(Box)                \
    X(ViscousRegion)      \
    X(Guide)              \
    X(Vibration)          \
    X(Detents)            \
    X(Friction)

namespace Zelkor::HardwareAPI::Control {

/// A vector of three doubles: x, y, z of the end-effector, in metres, m/s or newtons.
using Vec3 = std::array<double, 3>;

/// A half-space that pushes the end-effector out along `normal` while it is inside:
/// force = normal * max(0, stiffness * depth - damping * (normal . velocity)), where
/// depth = offset - normal . position > 0. It pushes and never pulls.
struct ZELKOR_API Wall {
    /// Throws std::invalid_argument unless every value is finite, `normal` is not zero and
    /// the gains are not negative. `normal` is stored normalised.
    Wall(const Vec3& normal, double offset, double stiffness, double damping = 0.0);

    Vec3 normal;       ///< unit vector pointing out of the wall
    double offset;     ///< metres: the wall's surface is where normal . position == offset
    double stiffness;  ///< N/m
    double damping;    ///< N s/m, acting only while inside
};

/// A spring to `anchor`: force = -stiffness * (position - anchor) - damping * velocity.
struct ZELKOR_API Spring {
    /// Throws std::invalid_argument unless every value is finite and the gains not negative.
    Spring(const Vec3& anchor, double stiffness, double damping = 0.0);

    Vec3 anchor;       ///< metres
    double stiffness;  ///< N/m
    double damping;    ///< N s/m
};

/// Viscous damping: force = -damping * velocity.
struct ZELKOR_API Damper {
    /// Throws std::invalid_argument unless `damping` is finite and not negative.
    explicit Damper(double damping);

    double damping;  ///< N s/m
};

/// The same force every cycle.
struct ZELKOR_API ConstantForce {
    /// Throws std::invalid_argument unless every component is finite.
    explicit ConstantForce(const Vec3& force);

    Vec3 force;  ///< N
};

/// A ball (inside == false) or a spherical cavity (inside == true) rendered as a penalty
/// surface. With d = position - centre and r = |d|: the ball pushes along n = d / r while
/// r < radius, the depth being radius - r; the cavity pushes along n = -d / r while
/// r > radius, the depth being r - radius. force = n * max(0, stiffness * depth - damping *
/// (n . velocity)): it pushes and never pulls. At the ball's very centre it pushes along +z.
struct ZELKOR_API Sphere {
    /// Throws std::invalid_argument unless every value is finite and radius and the gains are
    /// not negative.
    Sphere(const Vec3& centre, double radius, double stiffness, double damping = 0.0,
           bool inside = false);

    Vec3 centre;       ///< metres
    double radius;     ///< metres
    double stiffness;  ///< N/m of depth
    double damping;    ///< N s/m along the radius, acting only while penetrating
    bool inside;       ///< true: a cavity that keeps the end-effector in; false: a solid ball
};

/// An axis-aligned box rendered as a penalty surface, solid (inside == false) or a cavity
/// (inside == true). With d = position - centre: the solid box, while |d[i]| < half_extents[i]
/// on every axis, pushes out through the nearest face (the axis of least depth
/// half_extents[i] - |d[i]|, x first on a tie, +1 when d[i] == 0) as a Wall there would. The
/// cavity pushes back in on each axis where |d[i]| > half_extents[i], as a wall on that face
/// would. It pushes and never pulls.
struct ZELKOR_API Box {
    /// Throws std::invalid_argument unless every value is finite and the half-extents and the
    /// gains are not negative.
    Box(const Vec3& centre, const Vec3& half_extents, double stiffness, double damping = 0.0,
        bool inside = false);

    Vec3 centre;        ///< metres
    Vec3 half_extents;  ///< metres from the centre to the faces, along x, y and z
    double stiffness;   ///< N/m of depth
    double damping;     ///< N s/m across the face, acting only while penetrating
    bool inside;        ///< true: a cavity that keeps the end-effector in; false: a solid box
};

/// Viscous damping, force = -damping * velocity, only while the end-effector is inside or on
/// the surface of a sphere (radius) or an axis-aligned box (half_extents) around `centre`.
struct ZELKOR_API ViscousRegion {
    /// Throws std::invalid_argument unless exactly one of `radius` and `half_extents` is given,
    /// every value is finite, and the damping, radius and half-extents are not negative.
    ViscousRegion(const Vec3& centre, double damping, std::optional<double> radius,
                  std::optional<Vec3> half_extents = std::nullopt);

    Vec3 centre;                       ///< metres
    double damping;                    ///< N s/m
    std::optional<double> radius;      ///< metres: the region is a sphere
    std::optional<Vec3> half_extents;  ///< metres: the region is a box
};

/// A virtual fixture: a spring to the nearest point q of the segment from `start` to `end`,
/// force = -stiffness * (position - q) - damping * (the velocity across the segment, its
/// component along the segment removed). When start == end the segment is a point and the
/// damping acts on the whole velocity.
struct ZELKOR_API Guide {
    /// Throws std::invalid_argument unless every value is finite, the gains are not negative
    /// and the segment's length is a finite double.
    Guide(const Vec3& start, const Vec3& end, double stiffness, double damping = 0.0);

    Vec3 start;        ///< metres
    Vec3 end;          ///< metres
    double stiffness;  ///< N/m from the segment
    double damping;    ///< N s/m across the segment
};

/// A sinusoidal force along `direction`: amplitude * sin(2 pi frequency t), t the servo's
/// time in seconds. (A servo samples it at its rate: frequencies above half the rate alias.)
struct ZELKOR_API Vibration {
    /// Throws std::invalid_argument unless every value is finite, `direction` is not zero and
    /// the amplitude and frequency are not negative. `direction` is stored normalised.
    Vibration(const Vec3& direction, double amplitude, double frequency);

    Vec3 direction;    ///< unit vector
    double amplitude;  ///< N
    double frequency;  ///< Hz
};

/// Detents along the line through `origin` in the direction `axis`: with s = axis . (position
/// - origin) and k the nearest whole number to s / spacing (a half rounds up), force =
/// -stiffness * (s - k * spacing) * axis: a saw-tooth along the axis only, snapping to the
/// positions origin + k * spacing * axis.
struct ZELKOR_API Detents {
    /// Throws std::invalid_argument unless every value is finite, `axis` is not zero, the
    /// spacing is more than zero and the stiffness not negative. `axis` is stored normalised.
    Detents(const Vec3& axis, double spacing, double stiffness,
            const Vec3& origin = {0.0, 0.0, 0.0});

    Vec3 axis;         ///< unit vector
    double spacing;    ///< metres between detents
    double stiffness;  ///< N/m from the nearest detent, along the axis
    Vec3 origin;       ///< metres: a detent
};

/// A Wall (same normal, offset, stiffness and damping) with Coulomb friction on its surface,
/// rendered through a proxy point. Out of contact the proxy follows the end-effector. In
/// contact (depth = offset - normal . position > 0) the proxy is kept on the surface (the
/// first contact takes the previous proxy, or without one the position, projected onto it);
/// the normal force is the wall's, Fn = max(0, stiffness * depth - damping * (normal .
/// velocity)), and the tangential force is stiffness * (proxy - position) projected on the
/// surface, at most mu * Fn: when it would be more, the proxy slides towards the position's
/// projection until it is exactly mu * Fn. Each call of force_of advances the proxy, so one
/// Friction object serves one loop, in one thread at a time (copies start with no proxy).
struct ZELKOR_API Friction {
    /// Throws std::invalid_argument unless every value is finite, `normal` is not zero and the
    /// gains and mu are not negative. `normal` is stored normalised.
    Friction(const Vec3& normal, double offset, double stiffness, double mu, double damping = 0.0);

    Vec3 normal;       ///< unit vector pointing out of the wall
    double offset;     ///< metres: the surface is where normal . position == offset
    double stiffness;  ///< N/m, into the wall and along its surface
    double mu;         ///< the friction coefficient: tangential force at most mu * normal force
    double damping;    ///< N s/m along the normal, acting only while in contact

    /// State kept between calls: the proxy point (metres) once there is one. A copy starts
    /// without one, so every servo loop and every copy handed out takes its own at its first
    /// contact and never shares the original's.
    struct Proxy {
        Vec3 point{};
        bool held = false;

        Proxy() = default;
        Proxy(const Proxy&) noexcept {}
        Proxy& operator=(const Proxy&) noexcept {
            held = false;
            return *this;
        }
    };
    mutable Proxy proxy;
};

/// A virtual spring-damper between the end-effectors of two arms of one servo, numbered as
/// the servo was given them (teleoperation: position to position, both ways). On arm `a`:
/// -stiffness * (p_a - p_b) - damping * (v_a - v_b); on arm `b` the opposite.
struct ZELKOR_API Coupling {
    /// Throws std::invalid_argument for a == b, an arm numbered 4 or more, or gains that are
    /// not finite or negative.
    Coupling(std::size_t a, std::size_t b, double stiffness, double damping = 0.0);

    std::size_t a;
    std::size_t b;
    double stiffness;  ///< N/m
    double damping;    ///< N s/m
};

namespace detail {
// The variant of the types after a leading `void`: a list made by the table has a comma before
// each row, the first included.
template <typename Void, typename... T>
struct VariantAfter {
    using type = std::variant<T...>;
};
}  // namespace detail

#define ZELKOR_EFFECT_AFTER_COMMA(T) , T
/// Any one effect: std::variant<Wall, Spring, ..., Friction>, in the order of ZELKOR_EFFECTS.
using Effect = detail::VariantAfter<void ZELKOR_EFFECTS(ZELKOR_EFFECT_AFTER_COMMA)>::type;
#undef ZELKOR_EFFECT_AFTER_COMMA

#define ZELKOR_EFFECT_NAME(T) #T,
/// The effect types' names ("Wall", ...), in the order of Effect's alternatives.
inline constexpr std::array<const char*, std::variant_size_v<Effect>> effect_names{
    ZELKOR_EFFECTS(ZELKOR_EFFECT_NAME)};
#undef ZELKOR_EFFECT_NAME

/// The name of the type `effect` holds, from effect_names ("Wall", ...); never null.
ZELKOR_API const char* effect_name(const Effect& effect) noexcept;

/// What an effect keeps from one cycle to the next, apart from its parameters: a servo keeps
/// one per effect it renders, for as long as the same effect (same_effect) stays in its
/// place, and a fresh one (default-constructed) for a new effect. Only a Friction keeps any.
struct EffectState {
    Vec3 point{};       ///< metres: a Friction's proxy point, once `held`
    bool held = false;  ///< whether a Friction has its proxy (taken at its first call)
};

/// The force of `effect` at `position` (m) moving at `velocity` (m/s) at the servo's `time`
/// (s), in newtons, advancing `state`, the effect's own (see EffectState). The effect's object
/// is only read: a Friction's own proxy is left as it is.
ZELKOR_API Vec3 force_of(const Effect& effect, EffectState& state, const Vec3& position,
                         const Vec3& velocity, double time) noexcept;

/// Whether `a` and `b` hold the same type with equal parameters: the same effect, whose state
/// carries over from one to the other. A Friction's proxy is state, not a parameter.
ZELKOR_API bool same_effect(const Effect& a, const Effect& b) noexcept;

/// The stiffness of `effect` in N/m: a Wall's, Spring's, Sphere's, Box's, Guide's, Detents' or
/// Friction's own, 0 for one that has none (a Damper, ConstantForce, ViscousRegion, Vibration).
ZELKOR_API double stiffness_of(const Effect& effect) noexcept;

/// The stiffest of a list of effects, as stiffest() finds it.
struct Stiffest {
    double stiffness = 0.0;      ///< N/m; 0 when no effect has a stiffness more than 0
    const char* name = nullptr;  ///< its type's name ("Wall", ...); null when stiffness is 0
    std::size_t index = 0;       ///< its place in the list; 0 when stiffness is 0
};

/// The effect of `effects` with the largest stiffness (stiffness_of), the first of them on a
/// tie: what the loop's stability depends on. Allocates nothing.
ZELKOR_API Stiffest stiffest(const std::vector<Effect>& effects) noexcept;

/// The force of one effect at `position` (m) moving at `velocity` (m/s), in newtons, at the
/// servo's time 0. A Friction's proxy advances.
ZELKOR_API Vec3 force_of(const Effect& effect, const Vec3& position, const Vec3& velocity) noexcept;
/// The same at the servo's `time`, in seconds (what a Vibration depends on). A Friction
/// advances the proxy of the very object `effect` holds, as the overloads below do.
ZELKOR_API Vec3 force_of(const Effect& effect, const Vec3& position, const Vec3& velocity,
                         double time) noexcept;

/// The force of this very Friction (newtons), advancing its own proxy: an Effect made from it
/// would be a copy, with a proxy of its own. It does not depend on the time.
ZELKOR_API Vec3 force_of(const Friction& friction, const Vec3& position,
                         const Vec3& velocity) noexcept;
ZELKOR_API Vec3 force_of(const Friction& friction, const Vec3& position, const Vec3& velocity,
                         double time) noexcept;

/// The sum of the forces of `effects`, in newtons, at the servo's time 0.
ZELKOR_API Vec3 total_force(const std::vector<Effect>& effects, const Vec3& position,
                            const Vec3& velocity) noexcept;
/// The sum of the forces of `effects` at the servo's `time`, in seconds; newtons.
ZELKOR_API Vec3 total_force(const std::vector<Effect>& effects, const Vec3& position,
                            const Vec3& velocity, double time) noexcept;

/// The sum of the forces of `effects` at the servo's `time`, each advancing its own state of
/// `states` (one per effect, in the same order): what a servo's cycle renders. Newtons.
ZELKOR_API Vec3 total_force(const std::vector<Effect>& effects, EffectState* states,
                            const Vec3& position, const Vec3& velocity, double time) noexcept;

/// `force` scaled down to a length of `max_force` along its own direction when it is longer,
/// also when it is too long for its length to be a finite double; zero when any component
/// is not finite. Newtons.
ZELKOR_API Vector3 clamp_force(const Vec3& force, double max_force) noexcept;

/// Throws std::invalid_argument naming `what` unless `value` is finite.
ZELKOR_API void require_finite(double value, const char* what);
/// Throws std::invalid_argument naming `what` unless every component is finite.
ZELKOR_API void require_finite(const Vec3& value, const char* what);
/// Throws std::invalid_argument naming `what` unless `value` is finite and not negative.
ZELKOR_API void require_gain(double value, const char* what);

}  // namespace Zelkor::HardwareAPI::Control
