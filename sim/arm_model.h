// The simulated Arbelon: a three-joint arm (base yaw, shoulder, elbow) driven by one motor per
// joint. Pure computation, no I/O: the simulator's loop decides when time passes.
//
// Frame: x forward, y left, z up, in metres; the origin is where the base yaw axis meets the
// shoulder axis. Joint 0 turns the arm about z; joint 1 lifts the upper arm from the x-y
// plane; joint 2 is the elbow, measured from the line of the upper arm (negative bends the
// forearm down). Angles in radians, torques in N m, forces in N.
//
// Beside the joints' own rotors the arm may carry a point mass at the end-effector and feel a
// viscous drag there (end_effector_mass, end_effector_damping): those are the same along
// every axis, which the rotors seen from the end-effector are not. A hand may hold the
// end-effector (attach_hand): its force adds to the motors'.
#pragma once

#include <optional>

#include "hand.h"
#include "vec3.h"

namespace Zelkor::Sim {

/// Everything that makes up the arm. The defaults are the simulator's documented arm.
struct ArmParameters {
    double upper_arm = 0.20;  ///< shoulder to elbow, m
    double forearm = 0.20;    ///< elbow to end-effector, m
    /// Each joint is a rotor with its own constant inertia (kg m²); the coupling between the
    /// links is left out, which keeps the arm well-behaved in every pose.
    Vec3 inertia{0.004, 0.006, 0.002};
    Vec3 damping{0.05, 0.05, 0.03};  ///< viscous, N m s/rad
    /// A point mass at the end-effector, kg (0: none). The joints then see an inertia that
    /// changes with the pose, and their accelerations are solved together.
    double end_effector_mass = 0.0;
    /// Viscous drag on the end-effector, N s/m, the same along every axis (0: none).
    double end_effector_damping = 0.0;
    /// The workspace: each joint meets a stiff spring-damper wall outside [lower, upper].
    Vec3 lower_limit{-1.0, -0.2, -2.5};
    Vec3 upper_limit{1.0, 1.4, -0.4};
    double wall_stiffness = 300.0;  ///< N m/rad
    double wall_damping = 1.0;      ///< N m s/rad, only while in a wall
    double torque_limit = 1.5;      ///< each motor's torque saturates here, N m
    double torque_constant = 0.5;   ///< joint torque per motor current, N m/A
    /// Internal controllers (run at every integration step).
    double joint_kp = 4.0;        ///< angle request: N m/rad
    double joint_kd = 0.3;        ///< angle request: N m s/rad
    double cartesian_kp = 150.0;  ///< position request: N/m
    double cartesian_kd = 5.0;    ///< position request: N s/m
    /// Integration: semi-implicit Euler in steps of at most this long, s. The damping, the
    /// walls and the hand's spring are taken at the end of each step (linearly implicit), so
    /// a light arm in a stiff wall or a stiff grip stays stable.
    double max_substep = 0.0005;
    /// The start pose: upper arm 45° up, forearm 90° down from it, the end-effector level
    /// with the shoulder at (0.283, 0, 0).
    Vec3 home{0.0, 0.7853981633974483, -1.5707963267948966};
};

/// End-effector position of the joint angles `q`.
Vec3 forward_kinematics(const ArmParameters& arm, const Vec3& q);

/// d(end-effector position)/d(q) at `q`.
Mat3 jacobian(const ArmParameters& arm, const Vec3& q);

/// The part of the end-effector's acceleration that comes from the joint velocities `qd`
/// alone (dJ/dt times qd): what turns a point mass's inertia into centripetal forces, m/s².
Vec3 velocity_acceleration(const ArmParameters& arm, const Vec3& q, const Vec3& qd);

/// The joints' inertia matrix at `q`: the rotors plus the end-effector mass through the
/// Jacobian, kg m².
Mat3 joint_inertia(const ArmParameters& arm, const Vec3& q);

/// The rotor inertia each joint keeps when the arm's mass is put at the end-effector
/// (with_end_effector_mass), kg m²: it keeps a joint whose lever arm vanishes (the yaw joint
/// with the end-effector over the base) from having no inertia at all; in the home pose it
/// adds well under a gram along each axis.
inline constexpr double residual_rotor_inertia = 1e-5;

/// `arm` with its moving mass as a point mass of `kg` at the end-effector, the same along
/// every axis: the rotors keep only residual_rotor_inertia.
ArmParameters with_end_effector_mass(ArmParameters arm, double kg);

/// `arm` with its viscous damping as `b` N s/m at the end-effector, the same along every axis,
/// in place of the joints' own.
ArmParameters with_end_effector_damping(ArmParameters arm, double b);

/// The arm's state and the command it follows. The command holds until the next one.
class ArmModel {
  public:
    /// What the motors are doing.
    enum class Mode {
        torque,    ///< the commanded joint torques act directly (zero: the arm is limp)
        force,     ///< the commanded end-effector force, through the Jacobian transpose
        position,  ///< a PD controller in space pulls the end-effector to a point
        angles,    ///< a PD controller per joint pulls the joints to angles
    };

    /// At rest in the home pose, limp.
    explicit ArmModel(const ArmParameters& parameters = {});

    const ArmParameters& parameters() const { return arm_; }

    /// Sets the command. Values that are not finite count as 0.
    void command(Mode mode, const Vec3& values);
    /// Zero torque: what the motors do when no host is in charge.
    void relax() { command(Mode::torque, {0.0, 0.0, 0.0}); }
    Mode mode() const { return mode_; }

    /// Advances the arm by `dt` seconds (negative or non-finite counts as 0, more than 1 s as
    /// 1 s) in steps of at most max_substep.
    void step(double dt);

    /// Places the arm; for tests and resets. Values that are not finite count as 0. A hand
    /// stays where it is.
    void set_state(const Vec3& q, const Vec3& qd);

    /// Puts a hand on the end-effector, replacing any: it starts at rest where the
    /// end-effector is, and from then on is pulled to `target` at the time the model has
    /// been stepped through since it was made.
    void attach_hand(const HandParameters& hand, Trajectory target);
    /// Places the hand; for tests. Does nothing without one.
    void set_hand_state(const Vec3& position, const Vec3& velocity);
    /// The hand's position (m) and velocity (m/s); zeros without one.
    Vec3 hand_position() const;
    Vec3 hand_velocity() const;
    /// The force the hand puts on the end-effector now, N; zeros without one.
    Vec3 hand_force() const;

    /// Seconds stepped through since the model was made.
    double time() const { return time_; }

    const Vec3& joint_position() const { return q_; }
    const Vec3& joint_velocity() const { return qd_; }
    Vec3 position() const;  ///< end-effector position, m
    Vec3 velocity() const;  ///< end-effector velocity, m/s

    /// The torques the motors deliver now, after saturation, N m.
    Vec3 motor_torque() const;
    /// The three motor currents that deliver motor_torque(), A.
    Vec3 motor_current() const;

  private:
    struct Hand {
        HandParameters parameters;
        Trajectory target;
        Vec3 position{};
        Vec3 velocity{};
    };

    void substep(double h);

    ArmParameters arm_;
    Vec3 q_{};
    Vec3 qd_{};
    Mode mode_ = Mode::torque;
    Vec3 target_{};
    std::optional<Hand> hand_;
    double time_ = 0.0;  ///< seconds stepped through: the hand's target's clock
};

}  // namespace Zelkor::Sim
