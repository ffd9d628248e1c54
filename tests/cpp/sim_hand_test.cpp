// The simulated arm's mass and damping at the end-effector, and the hand that holds it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "arm_model.h"

namespace {

using namespace Zelkor::Sim;
using Mode = ArmModel::Mode;

double dot(const Vec3& a, const Vec3& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
double norm(const Vec3& a) {
    return std::sqrt(dot(a, a));
}
Vec3 plus(const Vec3& a, const Vec3& b) {
    return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}
Vec3 minus(const Vec3& a, const Vec3& b) {
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
Vec3 scaled(const Vec3& a, double s) {
    return {a[0] * s, a[1] * s, a[2] * s};
}

const ArmParameters light = with_end_effector_damping(with_end_effector_mass({}, 0.1), 1.0);

TEST(sim_hand_test, the_arm_has_the_documented_mass_and_damping_along_each_axis) {
    // Pushed from rest in the home pose with a small force along one axis: the speed after
    // two milliseconds gives the mass (v = F t / m), the speed it settles at the damping
    // (F / b).
    const struct {
        const char* arm;
        ArmParameters parameters;
        int axis;
        double mass, damping;  // kg, N s/m; 0: not checked
    } cases[] = {
        {"default", {}, 0, 0.100, 0},
        {"default", {}, 1, 0.050, 0.625},
        {"default", {}, 2, 0.0429, 0},
        {"0.1 kg, 1 N s/m", light, 0, 0.1006, 1.0},
        {"0.1 kg, 1 N s/m", light, 1, 0.1001, 1.0},
        {"0.1 kg, 1 N s/m", light, 2, 0.1001, 1.0},
        {"2 kg, 30 N s/m", with_end_effector_damping(with_end_effector_mass({}, 2.0), 30.0), 1, 2.0,
         30.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.arm << ", axis " << c.axis);
        const double f = 0.05;
        Vec3 force{};
        force[c.axis] = f;

        ArmModel model(c.parameters);
        model.command(Mode::force, force);
        const double t = 0.002;  // short against every m/b here
        model.step(t);
        EXPECT_NEAR(f * t / model.velocity()[c.axis], c.mass, 0.04 * c.mass);

        if (c.damping == 0) continue;
        // Five time constants on, the speed is within 1 % of F / b.
        model.step(5.0 * c.mass / c.damping);
        EXPECT_NEAR(f / model.velocity()[c.axis], c.damping, 0.02 * c.damping);
    }
}

TEST(sim_hand_test, the_grip_pulls_with_its_spring_and_damper_and_adds_to_the_motors) {
    // The end-effector at rest in the home pose, the hand (resting at its target) placed
    // `offset` from it and moving at `velocity`.
    const struct {
        double k, b;
        Vec3 offset, velocity;
    } cases[] = {
        {200, 2, {0, 0, 0}, {0, 0, 0}},  // at rest on its target: no force
        {200, 0, {0.01, 0, 0}, {0, 0, 0}}, {500, 0, {0, -0.004, 0.002}, {0, 0, 0}},
        {100, 3, {0, 0, 0}, {0, 0, 0.5}},  {1000, 10, {-0.002, 0.001, 0}, {0.1, 0, -0.1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "K " << c.k << ", B " << c.b << ", offset " << c.offset[0] << ", "
                     << c.offset[1] << ", " << c.offset[2]);
        ArmModel free(light);
        const Vec3 home = free.position();
        const Vec3 hand = plus(home, c.offset);
        free.attach_hand({0.3, c.k, c.b}, Trajectory(hand));
        free.set_hand_state(hand, c.velocity);
        const Vec3 want = plus(scaled(c.offset, c.k), scaled(c.velocity, c.b));
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(free.hand_force()[i], want[i], 1e-9);

        // The motors pushing back with the same force hold the end-effector still.
        ArmModel held = free;
        held.command(Mode::force, scaled(want, -1.0));
        const double t = 1e-4;
        free.step(t);
        held.step(t);
        if (norm(want) == 0) {
            EXPECT_LT(norm(minus(free.position(), home)), 1e-15);
            EXPECT_LT(norm(minus(free.hand_position(), hand)), 1e-15);
            continue;
        }
        const Vec3 v = free.velocity();
        EXPECT_GT(dot(v, want), 0.9 * norm(v) * norm(want)) << "pulled towards the hand";
        EXPECT_NEAR(norm(v), norm(want) * t / 0.1, 0.1 * norm(want) * t / 0.1);
        EXPECT_LT(norm(held.velocity()), 0.02 * norm(v));
    }
}

// The kinetic energy of arm and hand and the energy in the hand's two springs, J.
double energy(const ArmModel& m, const HandParameters& hand, const Vec3& target) {
    const Vec3 qd = m.joint_velocity();
    const Mat3 inertia = joint_inertia(m.parameters(), m.joint_position());
    double e = 0.0;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) e += 0.5 * qd[r] * inertia[r][c] * qd[c];
    }
    const Vec3 vh = m.hand_velocity();
    const Vec3 grip = minus(m.hand_position(), m.position());
    const Vec3 pull = minus(m.hand_position(), target);
    return e + 0.5 * hand.mass * dot(vh, vh) +
           0.5 * hand.stiffness * (dot(grip, grip) + dot(pull, pull));
}

TEST(sim_hand_test, energy_decays_with_damping_and_never_grows) {
    // The hand let go 1 cm from its target, which is where the end-effector rests: the
    // energy falls step by step, whichever damper takes it, and also with a grip far stiffer
    // than the integration step could follow explicitly.
    const ArmParameters undamped = with_end_effector_damping({}, 0.0);
    const struct {
        const char* what;
        ArmParameters arm;
        HandParameters hand;
        double seconds;
    } cases[] = {
        {"the default arm, a relaxed hand", {}, {0.3, 200, 2}, 3},
        {"only the hand's damper", undamped, {0.3, 200, 2}, 3},
        {"only the arm's damping", light, {0.3, 200, 0}, 6},
        {"a light arm in the stiffest grip", with_end_effector_mass({}, 0.01), {0.01, 1e5, 1e3}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ArmModel model(c.arm);
        const Vec3 target = model.position();
        model.attach_hand(c.hand, Trajectory(target));
        model.set_hand_state(plus(target, {0.006, -0.006, 0.005}), {0, 0, 0});
        const double start = energy(model, c.hand, target);
        double last = start;
        for (double t = 0; t < c.seconds; t += 0.01) {
            model.step(0.01);
            const double e = energy(model, c.hand, target);
            ASSERT_LE(e, last * (1 + 1e-9) + 1e-15) << "at " << t << " s";
            last = e;
        }
        EXPECT_LT(last, 0.01 * start);
        EXPECT_LT(norm(minus(model.position(), target)), 1e-3);
    }
}

TEST(sim_hand_test, a_trajectory_is_followed_in_straight_lines_and_held_at_its_ends) {
    Trajectory path;
    ASSERT_EQ(path.assign({10.0, 10.5, 11.5}, {{0, 0, 0}, {0.1, 0, 0}, {0.1, 0.2, -0.1}}), "");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double t;
        Vec3 position, velocity;
    } cases[] = {
        {-1.0, {0, 0, 0}, {0, 0, 0}},  // before the start: the first sample
        {nan, {0, 0, 0}, {0, 0, 0}},
        {0.0, {0, 0, 0}, {0, 0, 0}},  // times count from the first sample
        {0.25, {0.05, 0, 0}, {0.2, 0, 0}},
        {0.5, {0.1, 0, 0}, {0, 0.2, -0.1}},  // on a sample: the segment after it
        {1.0, {0.1, 0.1, -0.05}, {0, 0.2, -0.1}},
        {1.5, {0.1, 0.2, -0.1}, {0, 0, 0}},  // the end, and after it: held
        {99.0, {0.1, 0.2, -0.1}, {0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "t = " << c.t);
        Vec3 p, v;
        path.sample(c.t, p, v);
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(p[i], c.position[i], 1e-12);
            EXPECT_NEAR(v[i], c.velocity[i], 1e-12);
        }
    }
    EXPECT_DOUBLE_EQ(path.duration(), 1.5);
}

}  // namespace
