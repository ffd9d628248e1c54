#include "arm_model.h"

#include <algorithm>
#include <cmath>
#include <utility>

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

// aᵀ b
Mat3 transpose_product(const Mat3& a, const Mat3& b) {
    Mat3 out{};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            out[r][c] = a[0][r] * b[0][c] + a[1][r] * b[1][c] + a[2][r] * b[2][c];
    }
    return out;
}

// The linear system of one integration step: the joints' velocities, then the hand's when
// there is one. Symmetric positive definite, so elimination needs no pivoting; partial
// pivoting costs nothing at this size and covers rounding.
struct StepSystem {
    static constexpr int max_size = 6;
    std::array<std::array<double, max_size>, max_size> a{};
    std::array<double, max_size> b{};
    int n = 3;

    // The solution into b. False (b unusable) when the matrix is singular.
    bool solve() {
        for (int k = 0; k < n; ++k) {
            int pivot = k;
            for (int r = k + 1; r < n; ++r) {
                if (std::fabs(a[r][k]) > std::fabs(a[pivot][k])) pivot = r;
            }
            if (!(std::fabs(a[pivot][k]) > 0.0)) return false;
            std::swap(a[k], a[pivot]);
            std::swap(b[k], b[pivot]);
            for (int r = k + 1; r < n; ++r) {
                const double f = a[r][k] / a[k][k];
                if (f == 0.0) continue;
                for (int c = k; c < n; ++c) a[r][c] -= f * a[k][c];
                b[r] -= f * b[k];
            }
        }
        for (int k = n - 1; k >= 0; --k) {
            double sum = b[k];
            for (int c = k + 1; c < n; ++c) sum -= a[k][c] * b[c];
            b[k] = sum / a[k][k];
        }
        return true;
    }
};

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

Vec3 velocity_acceleration(const ArmParameters& arm, const Vec3& q, const Vec3& qd) {
    const double c0 = std::cos(q[0]), s0 = std::sin(q[0]);
    const double c1 = std::cos(q[1]), s1 = std::sin(q[1]);
    const double c12 = std::cos(q[1] + q[2]), s12 = std::sin(q[1] + q[2]);
    const double a = arm.upper_arm, b = arm.forearm;
    const double w0 = qd[0], w1 = qd[1], w12 = qd[1] + qd[2];
    const double reach = a * c1 + b * c12;
    const double reach_rate = -a * s1 * w1 - b * s12 * w12;
    // The second derivatives of reach and height with the joint accelerations left out.
    const double reach_curve = -a * c1 * w1 * w1 - b * c12 * w12 * w12;
    const double height_curve = -a * s1 * w1 * w1 - b * s12 * w12 * w12;
    return {reach_curve * c0 - 2.0 * reach_rate * s0 * w0 - reach * c0 * w0 * w0,
            reach_curve * s0 + 2.0 * reach_rate * c0 * w0 - reach * s0 * w0 * w0, height_curve};
}

Mat3 joint_inertia(const ArmParameters& arm, const Vec3& q) {
    const Mat3 j = jacobian(arm, q);
    Mat3 m = transpose_product(j, j);
    for (auto& row : m) {
        for (double& x : row) x *= arm.end_effector_mass;
    }
    for (int i = 0; i < 3; ++i) m[i][i] += arm.inertia[i];
    return m;
}

ArmParameters with_end_effector_mass(ArmParameters arm, double kg) {
    arm.end_effector_mass = kg;
    arm.inertia = {residual_rotor_inertia, residual_rotor_inertia, residual_rotor_inertia};
    return arm;
}

ArmParameters with_end_effector_damping(ArmParameters arm, double b) {
    arm.end_effector_damping = b;
    arm.damping = {0.0, 0.0, 0.0};
    return arm;
}

ArmModel::ArmModel(const ArmParameters& parameters) : arm_(parameters), q_(parameters.home) {}

void ArmModel::attach_hand(const HandParameters& hand, Trajectory target) {
    hand_ = Hand{hand, std::move(target), position(), {0.0, 0.0, 0.0}};
}

void ArmModel::set_hand_state(const Vec3& position, const Vec3& velocity) {
    if (!hand_) return;
    hand_->position = finite_or_zero(position);
    hand_->velocity = finite_or_zero(velocity);
}

Vec3 ArmModel::hand_position() const {
    return hand_ ? hand_->position : Vec3{};
}

Vec3 ArmModel::hand_velocity() const {
    return hand_ ? hand_->velocity : Vec3{};
}

Vec3 ArmModel::hand_force() const {
    if (!hand_) return {};
    const Vec3 p = position(), v = velocity();
    const HandParameters& h = hand_->parameters;
    Vec3 f{};
    for (int i = 0; i < 3; ++i) {
        f[i] = h.stiffness * (hand_->position[i] - p[i]) + h.damping * (hand_->velocity[i] - v[i]);
    }
    return f;
}

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

void ArmModel::step(double dt) {
    // A caller bounds its steps anyway; this only keeps the step count sane.
    constexpr double max_step = 1.0;
    if (!(dt > 0.0) || !std::isfinite(dt)) return;
    dt = std::min(dt, max_step);
    const int steps = static_cast<int>(std::ceil(dt / arm_.max_substep));
    const double h = dt / steps;
    for (int n = 0; n < steps; ++n) substep(h);
}

// One step of h seconds. Each force that is linear in the state is taken at the end of the
// step, to first order (the position at the end is the position now plus h times the new
// velocity); the motors, the centripetal forces and which joints are in their walls at the
// start. That gives one linear system in the new joint velocities and, with a hand, its new
// velocity:
//
//   joints: (M + h C + h² K_w + g JᵀJ) q̇' - g Jᵀ v_h'
//               = M q̇ + h (τ + K_w (limit - q) - m Jᵀ a_v + K Jᵀ (x_h - p))
//   hand:   (m_h + 2 h B + 2 h² K) v_h' - g J q̇'
//               = m_h v_h + h (K (p - x_h) + K (x_t - x_h) + B v_t)
//
// with M the joint inertia, C the joints' damping plus b JᵀJ plus the walls' damping where a
// joint is in its wall, K_w the walls' stiffness there, a_v = dJ/dt q̇, K and B the hand's
// spring and damper, g = h B + h² K, and x_t, v_t the hand's target at the step's end.
void ArmModel::substep(double h) {
    const Mat3 j = jacobian(arm_, q_);
    const Mat3 jtj = transpose_product(j, j);
    const Vec3 p = position();
    const Vec3 motor = motor_torque();
    const Vec3 centripetal = transpose_times(
        j, velocity_acceleration(arm_, q_, qd_));  // times the end-effector mass below
    const double m = arm_.end_effector_mass, b = arm_.end_effector_damping;

    StepSystem s;
    s.n = hand_ ? 6 : 3;
    const Mat3 inertia = joint_inertia(arm_, q_);
    const Vec3 momentum = times(inertia, qd_);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) s.a[r][c] = inertia[r][c] + h * b * jtj[r][c];
        s.a[r][r] += h * arm_.damping[r];
        s.b[r] = momentum[r] + h * (motor[r] - m * centripetal[r]);
        double limit = q_[r];
        if (q_[r] < arm_.lower_limit[r]) limit = arm_.lower_limit[r];
        if (q_[r] > arm_.upper_limit[r]) limit = arm_.upper_limit[r];
        if (limit != q_[r]) {
            s.a[r][r] += h * arm_.wall_damping + h * h * arm_.wall_stiffness;
            s.b[r] += h * arm_.wall_stiffness * (limit - q_[r]);
        }
    }
    Vec3 target{}, target_velocity{};
    if (hand_) {
        const HandParameters& hp = hand_->parameters;
        hand_->target.sample(time_ + h, target, target_velocity);
        const double k = hp.stiffness, g = h * hp.damping + h * h * k;
        Vec3 stretch{};  // hand minus end-effector
        for (int i = 0; i < 3; ++i) stretch[i] = hand_->position[i] - p[i];
        const Vec3 pull = transpose_times(j, stretch);
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                s.a[r][c] += g * jtj[r][c];
                s.a[r][3 + c] = -g * j[c][r];
                s.a[3 + r][c] = -g * j[r][c];
            }
            s.a[3 + r][3 + r] = hp.mass + 2.0 * h * hp.damping + 2.0 * h * h * k;
            s.b[r] += h * k * pull[r];
            s.b[3 + r] = hp.mass * hand_->velocity[r] +
                         h * (k * (target[r] - hand_->position[r]) - k * stretch[r] +
                              hp.damping * target_velocity[r]);
        }
    }
    time_ += h;
    if (!s.solve()) return;  // a degenerate pose: the arm holds still for this step
    for (int i = 0; i < 3; ++i) {
        qd_[i] = finite_or_zero(s.b[i]);
        q_[i] += h * qd_[i];
    }
    if (hand_) {
        for (int i = 0; i < 3; ++i) {
            hand_->velocity[i] = finite_or_zero(s.b[3 + i]);
            hand_->position[i] += h * hand_->velocity[i];
        }
    }
}

}  // namespace Zelkor::Sim
