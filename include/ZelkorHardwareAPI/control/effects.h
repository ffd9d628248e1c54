// Force effects for the servo loop: each turns the end-effector's position and velocity into a
// force, and the servo sums them every cycle.
#pragma once

#include <ZelkorHardwareAPI/devices/vector.h>
#include <ZelkorHardwareAPI/export.h>

#include <array>
#include <variant>
#include <vector>

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

using Effect = std::variant<Wall, Spring, Damper, ConstantForce>;

/// The force of one effect at `position` (m) moving at `velocity` (m/s), in newtons.
ZELKOR_API Vec3 force_of(const Effect& effect, const Vec3& position, const Vec3& velocity) noexcept;

/// The sum of the forces of `effects`, in newtons.
ZELKOR_API Vec3 total_force(const std::vector<Effect>& effects, const Vec3& position,
                            const Vec3& velocity) noexcept;

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
