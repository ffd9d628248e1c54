#include "arm_model.h"

#include <algorithm>
#include <cmath>

namespace Zelkor::Sim {

namespace {

double finite_or_zero(double v) {
    return std::isfinite(v) ? v : 0.0;
}

Vec3 finite_or_zero(const Vec3& v) {
    return {finite_or_zero(v[0]), finite_or_zero(v[1]), finite_or_zero(v[2])};
}

Vec3 times(const Mat3& m, const Vec3& v) {
    Vec3 out{};
    for (int r = 0; r < 3; ++r) out[r] = m[r][0] * v[0] + m[r][1] * v[1] + m[r][2] * v[2];
    return out;
}

Vec3 transpose_times(const Mat3& m, const Vec3& v) {
    Vec3 out{};
    for (int c = 0; c < 3; ++c) out[c] = m[0][c] * v[0] + m[1][c] * v[1] + m[2][c] * v[2];
    return out;
}

}  // namespace

Vec3 forward_kinematics(const ArmParameters& arm, const Vec3& q) {
    // Reach from the yaw axis, and height, in the arm's vertical plane.
    const double reach = arm.upper_arm * std::cos(q[1]) + arm.forearm * std::cos(q[1] + q[2]);
    const double height = arm.upper_arm * std::sin(q[1]) + arm.forearm * std::sin(q[1] + q[2]);
    return {reach * std::cos(q[0]), reach * std::sin(q[0]), height};
}

Mat3 jacobian(const ArmParameters& arm, const Vec3& q) {
    const double c0 = std::cos(q[0]), s0 = std::sin(q[0]);
    const double c12 = std::cos(q[1] + q[2]), s12 = std::sin(q[1] + q[2]);
    const double reach = arm.upper_arm * std::cos(q[1]) + arm.forearm * c12;
    const double height = arm.upper_arm * std::sin(q[1]) + arm.forearm * s12;
    // d(reach)/dq1 = -height, d(reach)/dq2 = -forearm sin(q1+q2);
    // d(height)/dq1 = reach,  d(height)/dq2 = forearm cos(q1+q2).
    const double dr1 = -height, dr2 = -arm.forearm * s12;
    const double dh1 = reach, dh2 = arm.forearm * c12;
    return {{{-reach * s0, c0 * dr1, c0 * dr2},  //
             {reach * c0, s0 * dr1, s0 * dr2},
             {0.0, dh1, dh2}}};
}

ArmModel::ArmModel(const ArmParameters& parameters) : arm_(parameters), q_(parameters.home) {}

void ArmModel::command(Mode mode, const Vec3& values) {
    mode_ = mode;
    target_ = finite_or_zero(values);
}

void ArmModel::set_state(const Vec3& q, const Vec3& qd) {
    q_ = finite_or_zero(q);
    qd_ = finite_or_zero(qd);
}

Vec3 ArmModel::position() const {
    return forward_kinematics(arm_, q_);
}

Vec3 ArmModel::velocity() const {
    return times(jacobian(arm_, q_), qd_);
}

Vec3 ArmModel::motor_torque() const {
    Vec3 tau{};
    switch (mode_) {
        case Mode::torque:
            tau = target_;
            break;
        case Mode::force:
            tau = transpose_times(jacobian(arm_, q_), target_);
            break;
        case Mode::position: {
            const Vec3 p = position(), v = velocity();
            Vec3 f{};
            for (int i = 0; i < 3; ++i) {
                f[i] = arm_.cartesian_kp * (target_[i] - p[i]) - arm_.cartesian_kd * v[i];
            }
            tau = transpose_times(jacobian(arm_, q_), f);
            break;
        }
        case Mode::angles:
            for (int i = 0; i < 3; ++i) {
                tau[i] = arm_.joint_kp * (target_[i] - q_[i]) - arm_.joint_kd * qd_[i];
            }
            break;
    }
    for (double& t : tau) t = std::clamp(finite_or_zero(t), -arm_.torque_limit, arm_.torque_limit);
    return tau;
}

Vec3 ArmModel::motor_current() const {
    Vec3 current = motor_torque();
    for (double& c : current) c /= arm_.torque_constant;
    return current;
}

Vec3 ArmModel::wall_torque() const {
    Vec3 tau{};
    for (int i = 0; i < 3; ++i) {
        double depth = 0.0;  // signed: positive pushes the joint back up
        if (q_[i] < arm_.lower_limit[i]) depth = arm_.lower_limit[i] - q_[i];
        if (q_[i] > arm_.upper_limit[i]) depth = arm_.upper_limit[i] - q_[i];
        if (depth != 0.0) tau[i] = arm_.wall_stiffness * depth - arm_.wall_damping * qd_[i];
    }
    return tau;
}

void ArmModel::step(double dt) {
    // A caller bounds its steps anyway; this only keeps the step count sane.
    constexpr double max_step = 1.0;
    if (!(dt > 0.0) || !std::isfinite(dt)) return;
    dt = std::min(dt, max_step);
    const int steps = static_cast<int>(std::ceil(dt / arm_.max_substep));
    const double h = dt / steps;
    for (int n = 0; n < steps; ++n) {
        const Vec3 motor = motor_torque();
        const Vec3 wall = wall_torque();
        for (int i = 0; i < 3; ++i) {
            const double acceleration =
                (motor[i] + wall[i] - arm_.damping[i] * qd_[i]) / arm_.inertia[i];
            qd_[i] += h * acceleration;
            q_[i] += h * qd_[i];
        }
    }
}

}  // namespace Zelkor::Sim
