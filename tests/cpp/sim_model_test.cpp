// The simulator's arm model: kinematics, dynamics, controllers, workspace walls.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "arm_model.h"

namespace {

using Zelkor::Sim::ArmModel;
using Zelkor::Sim::ArmParameters;
using Zelkor::Sim::Vec3;
using Mode = ArmModel::Mode;

constexpr double pi = 3.14159265358979323846;

double dot(const Vec3& a, const Vec3& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
double norm(const Vec3& a) {
    return std::sqrt(dot(a, a));
}
Vec3 minus(const Vec3& a, const Vec3& b) {
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

void expect_near(const Vec3& got, const Vec3& want, double tolerance) {
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(got[i], want[i], tolerance) << "component " << i;
}

TEST(sim_arm_test, forward_kinematics_of_known_poses) {
    const ArmParameters arm;  // both links 0.2 m
    const struct {
        Vec3 q, position;
    } cases[] = {
        {{0, 0, 0}, {0.4, 0, 0}},                    // stretched forward
        {{pi / 2, 0, 0}, {0, 0.4, 0}},               // turned to the left
        {{0, pi / 2, 0}, {0, 0, 0.4}},               // pointing up
        {{0, 0, -pi / 2}, {0.2, 0, -0.2}},           // forearm hanging down
        {{0, pi / 4, -pi / 2}, {0.28284271, 0, 0}},  // home
        {{-pi / 2, pi / 4, -pi / 2}, {0, -0.28284271, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "q = " << c.q[0] << ", " << c.q[1] << ", " << c.q[2]);
        expect_near(Zelkor::Sim::forward_kinematics(arm, c.q), c.position, 1e-8);
    }
    expect_near(ArmModel().position(), {0.28284271, 0, 0}, 1e-8);
}

TEST(sim_arm_test, jacobian_is_the_derivative_of_forward_kinematics) {
    const ArmParameters arm;
    const Vec3 poses[] = {
        {0, pi / 4, -pi / 2}, {0.7, 0.3, -1.2}, {-0.9, 1.3, -0.5}, {0.2, -0.1, -2.4}};
    const double h = 1e-6;
    for (const Vec3& q : poses) {
        const auto j = Zelkor::Sim::jacobian(arm, q);
        for (int c = 0; c < 3; ++c) {
            Vec3 up = q, down = q;
            up[c] += h;
            down[c] -= h;
            const Vec3 diff = minus(Zelkor::Sim::forward_kinematics(arm, up),
                                    Zelkor::Sim::forward_kinematics(arm, down));
            for (int r = 0; r < 3; ++r) EXPECT_NEAR(j[r][c], diff[r] / (2 * h), 1e-7);
        }
    }
}

TEST(sim_arm_test, end_effector_velocity_is_jacobian_times_joint_velocity) {
    ArmModel model;
    model.set_state({0.3, 0.5, -1.1}, {0.2, -0.4, 0.7});
    const Vec3 before = model.position();
    const Vec3 velocity = model.velocity();
    // A short limp, frictionless-enough step moves the end-effector by about v dt.
    model.relax();
    model.step(1e-5);
    expect_near(minus(model.position(), before),
                {velocity[0] * 1e-5, velocity[1] * 1e-5, velocity[2] * 1e-5}, 1e-8);
}

TEST(sim_arm_test, a_force_moves_the_end_effector_its_way_through_the_jacobian_transpose) {
    const Vec3 forces[] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0},       {0, -1, 0},
                           {0, 0, 1}, {0, 0, -1}, {0.5, -0.5, 0.7}};
    for (const Vec3& f : forces) {
        SCOPED_TRACE(testing::Message() << "force " << f[0] << ", " << f[1] << ", " << f[2]);
        ArmModel model;
        const Vec3 start = model.position();
        model.command(Mode::force, f);
        const auto j = Zelkor::Sim::jacobian(model.parameters(), model.joint_position());
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(model.motor_torque()[c], j[0][c] * f[0] + j[1][c] * f[1] + j[2][c] * f[2],
                        1e-12);
        }
        model.step(0.05);
        const Vec3 moved = minus(model.position(), start);
        EXPECT_GT(norm(moved), 1e-3);
        // The move lies within 60 degrees of the force.
        EXPECT_GT(dot(moved, f) / (norm(moved) * norm(f)), 0.5);
    }
}

TEST(sim_arm_test, requests_for_angles_and_positions_converge) {
    const struct {
        Mode mode;
        Vec3 target;
    } cases[] = {
        {Mode::angles, {0.3, 0.5, -1.0}},     {Mode::angles, {-0.6, 1.0, -2.0}},
        {Mode::position, {0.25, 0.05, 0.05}}, {Mode::position, {0.2, -0.1, -0.08}},
        {Mode::position, {0.32, 0.0, 0.1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "target " << c.target[0] << ", " << c.target[1] << ", " << c.target[2]);
        ArmModel model;
        model.command(c.mode, c.target);
        for (int i = 0; i < 1500; ++i) model.step(0.001);
        const Vec3 reached = c.mode == Mode::angles ? model.joint_position() : model.position();
        expect_near(reached, c.target, 1e-3);
        EXPECT_LT(norm(model.joint_velocity()), 1e-2);
    }
}

TEST(sim_arm_test, workspace_walls_hold_each_joint_near_its_limits) {
    const ArmParameters p;
    const double give = p.torque_limit / p.wall_stiffness;
    // Swinging in from the home pose under full torque, no joint gets further in than this.
    const double impact = 0.08;
    for (int joint = 0; joint < 3; ++joint) {
        for (const double torque : {p.torque_limit, -p.torque_limit}) {
            SCOPED_TRACE(testing::Message() << "joint " << joint << ", torque " << torque);
            ArmModel model;
            Vec3 tau{0, 0, 0};
            tau[joint] = torque;
            model.command(Mode::torque, tau);
            double extreme = model.joint_position()[joint];
            for (int i = 0; i < 3000; ++i) {
                model.step(0.001);
                const double q = model.joint_position()[joint];
                extreme = torque > 0 ? std::max(extreme, q) : std::min(extreme, q);
            }
            const double settled = model.joint_position()[joint];
            if (torque > 0) {
                EXPECT_NEAR(settled, p.upper_limit[joint] + give, 1e-3);
                EXPECT_LT(extreme, p.upper_limit[joint] + impact);
            } else {
                EXPECT_NEAR(settled, p.lower_limit[joint] - give, 1e-3);
                EXPECT_GT(extreme, p.lower_limit[joint] - impact);
            }
        }
    }
}

TEST(sim_arm_test, motors_saturate_and_currents_follow_the_torque) {
    ArmModel model;
    const ArmParameters& p = model.parameters();
    model.command(Mode::torque, {0.5, -10.0, 100.0});
    expect_near(model.motor_torque(), {0.5, -p.torque_limit, p.torque_limit}, 1e-12);
    expect_near(model.motor_current(),
                {0.5 / p.torque_constant, -p.torque_limit / p.torque_constant,
                 p.torque_limit / p.torque_constant},
                1e-12);
}

TEST(sim_arm_test, a_limp_arm_rests_and_damping_stops_it) {
    ArmModel model;
    const Vec3 home = model.joint_position();
    model.step(1.0);
    expect_near(model.joint_position(), home, 0.0);

    model.set_state({0, 0.6, -1.2}, {0.5, -0.5, 0.5});
    for (int i = 0; i < 3; ++i) model.step(1.0);
    EXPECT_LT(norm(model.joint_velocity()), 1e-4);
}

TEST(sim_arm_test, bad_numbers_leave_the_state_finite) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    ArmModel model;
    for (Mode mode : {Mode::torque, Mode::force, Mode::position, Mode::angles}) {
        model.command(mode, {nan, inf, -inf});
        model.step(0.01);
        model.command(mode, {1e30, -1e30, 3e38});
        model.step(0.01);
    }
    model.step(nan);
    model.step(-1.0);
    model.step(inf);
    model.step(1e12);  // bounded to one second
    for (double v : model.joint_position()) EXPECT_TRUE(std::isfinite(v));
    for (double v : model.joint_velocity()) EXPECT_TRUE(std::isfinite(v));

    model.command(Mode::torque, {nan, nan, nan});
    expect_near(model.motor_torque(), {0, 0, 0}, 0.0);
}

TEST(sim_arm_test, steps_are_split_so_the_result_does_not_depend_on_how_time_is_sliced) {
    ArmModel coarse, fine;
    for (ArmModel* m : {&coarse, &fine}) m->command(Mode::force, {0.3, -0.2, 0.4});
    coarse.step(0.04);
    for (int i = 0; i < 80; ++i) fine.step(0.0005);
    expect_near(coarse.joint_position(), fine.joint_position(), 1e-9);
}

}  // namespace
