// The simulated arm's mass and damping at the end-effector, and the hand that holds it.
#include <gtest/gtest.h>

#include <cmath>

#include "arm_model.h"

namespace {

using namespace Zelkor::Sim;
using Mode = ArmModel::Mode;

double dot(const Vec3& a, const Vec3& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
Vec3 sum(const Vec3& a, const Vec3& b, double scale = 1.0) {  // a + scale b
    return {a[0] + scale * b[0], a[1] + scale * b[1], a[2] + scale * b[2]};
}

const ArmParameters light = with_end_effector_damping(with_end_effector_mass({}, 0.1), 1.0);

TEST(sim_hand_test, the_arm_has_the_documented_mass_and_damping_along_each_axis) {
    // Pushed from rest in the home pose along one axis: the speed after 2 ms gives the mass
    // (F t / m), the speed it settles at (five of the slowest time constants on) the damping.
    const struct {
        ArmParameters arm;
        int axis;
        double mass, damping;  // kg, N s/m
    } cases[] = {
        {{}, 0, 0.100, 1.50},
        {{}, 1, 0.050, 0.625},
        {{}, 2, 0.0429, 0.441},
        {light, 0, 0.1006, 1.0},
        {light, 2, 0.1001, 1.0},
        {with_end_effector_damping(with_end_effector_mass({}, 2.0), 30.0), 1, 2.0, 30.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.mass << " kg, axis " << c.axis);
        const double f = 0.002;  // slow enough to stay near the home pose
        Vec3 force{};
        force[c.axis] = f;
        ArmModel model(c.arm);
        model.command(Mode::force, force);
        model.step(0.002);
        EXPECT_NEAR(f * 0.002 / model.velocity()[c.axis], c.mass, 0.04 * c.mass);
        model.step(0.7);
        EXPECT_NEAR(f / model.velocity()[c.axis], c.damping, 0.02 * c.damping);
    }
}

TEST(sim_hand_test, the_grip_pulls_with_its_spring_and_damper_and_adds_to_the_motors) {
    // The end-effector at rest in the home pose; the hand, resting on its target, `offset`
    // from it and moving at `velocity`.
    const struct {
        double k, b;
        Vec3 offset, velocity;
    } cases[] = {
        {200, 2, {0, 0, 0}, {0, 0, 0}},  // on the end-effector: no force, nothing moves
        {200, 0, {0.01, 0, 0}, {0, 0, 0}}, {500, 0, {0, -0.004, 0.002}, {0, 0, 0}},
        {100, 3, {0, 0, 0}, {0, 0, 0.5}},  {1000, 10, {-0.002, 0.001, 0}, {0.1, 0, -0.1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "K " << c.k << ", B " << c.b);
        ArmModel free(light);
        const Vec3 home = free.position(), hand = sum(home, c.offset);
        free.attach_hand({0.3, c.k, c.b}, Trajectory(hand));
        free.set_hand_state(hand, c.velocity);
        const Vec3 want = sum(sum({}, c.offset, c.k), c.velocity, c.b);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(free.hand_force()[i], want[i], 1e-9);

        // With the motors pushing back as hard, the end-effector stays put.
        ArmModel held = free;
        held.command(Mode::force, sum({}, want, -1.0));
        free.step(1e-4);
        held.step(1e-4);
        const Vec3 v = free.velocity();
        const double speed = std::sqrt(dot(want, want)) * 1e-4 / 0.1;  // F t / m
        if (speed == 0) {
            EXPECT_EQ(free.position(), home);
            EXPECT_EQ(free.hand_position(), hand);
            continue;
        }
        EXPECT_GT(dot(v, want), 0.9 * std::sqrt(dot(v, v) * dot(want, want)));
        EXPECT_NEAR(std::sqrt(dot(v, v)), speed, 0.1 * speed);
        EXPECT_LT(std::sqrt(dot(held.velocity(), held.velocity())), 0.02 * speed);
    }
}

TEST(sim_hand_test, energy_decays_with_damping_and_never_grows) {
    // The hand let go 1 cm from its target, where the end-effector rests (or the arm set
    // swinging): the energy falls at every step, whichever damper takes it, with a grip far
    // stiffer than the step could follow explicitly, and with a heavy end-effector whose
    // centripetal forces must do no work.
    const struct {
        const char* what;
        ArmParameters arm;
        HandParameters hand;
        Vec3 swing;  // joint velocities at the start, rad/s
        double seconds;
    } cases[] = {
        {"the default arm", {}, {0.3, 200, 2}, {}, 3},
        {"only the hand's damper", with_end_effector_damping({}, 0.0), {0.3, 200, 2}, {}, 3},
        {"only the arm's damping", light, {0.3, 200, 0}, {}, 6},
        {"the stiffest grip", with_end_effector_mass({}, 0.01), {0.01, 1e5, 1e3}, {}, 1},
        {"a swinging mass",
         with_end_effector_damping(with_end_effector_mass({}, 1.0), 0.0),
         {0.3, 20, 0},
         {0.4, -1.2, 1.5},
         0.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ArmModel m(c.arm);
        const Vec3 target = m.position();
        m.attach_hand(c.hand, Trajectory(target));
        m.set_hand_state(sum(target, {0.006, -0.006, 0.005}), {});
        m.set_state(m.joint_position(), c.swing);
        // Kinetic energy of arm and hand, and what the hand's two springs hold, J.
        const auto energy = [&] {
            const Vec3 qd = m.joint_velocity();
            const Mat3 inertia = joint_inertia(m.parameters(), m.joint_position());
            const Vec3 vh = m.hand_velocity(), grip = sum(m.hand_position(), m.position(), -1),
                       pull = sum(m.hand_position(), target, -1);
            double e = 0.5 * c.hand.mass * dot(vh, vh) +
                       0.5 * c.hand.stiffness * (dot(grip, grip) + dot(pull, pull));
            for (int r = 0; r < 3; ++r) e += 0.5 * qd[r] * dot(inertia[r], qd);
            return e;
        };
        const double start = energy();
        double last = start;
        for (double t = 0; t < c.seconds; t += 0.01) {
            m.step(0.01);
            ASSERT_LE(energy(), last * (1 + 1e-9) + 1e-15) << "at " << t << " s";
            last = energy();
        }
        if (c.swing[0] == 0) EXPECT_LT(last, 0.01 * start);
    }
}

}  // namespace
