// A scene stepped by the servo's loop, against an engine of the test's own (free point masses
// integrated by hand) and a pseudo-terminal that plays the arm: the coupling's force on both
// sides, one period of steps per cycle, what ends the loop, and a scene changing hands while
// loops run. Bounds on counts and times are loose: the machine may be loaded.
#include "control/servo/scene.h"

#include <ZelkorHardwareAPI/control/scene.h>
#include <ZelkorHardwareAPI/control/servo.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "pty.h"

using namespace Zelkor::HardwareAPI::Control;
using Zelkor::HardwareAPI::Vector3;
using Zelkor::HardwareAPI::Devices::Arbelon;
using Zelkor::HardwareAPI::IO::SerialStream;
using zelkor_test::Bytes;
using zelkor_test::Pty;

namespace {

// The engine: body 0 is the world, each other body a free point mass, integrated by
// semi-implicit Euler under its xfrc_applied force alone. What makes it misbehave is set on it.
struct FakeModel {
    double timestep = 0.0005;
    double mass = 0.1;  // kg; 0: the bodies never move
};

struct FakeData {
    explicit FakeData(std::size_t bodies)
        : qpos(7 * bodies), qvel(6 * bodies), xfrc(6 * (bodies + 1)), bodies(bodies) {}
    double time = 0.0;
    std::vector<double> qpos, qvel, xfrc;
    std::size_t bodies;
    int bad = 0;                          // a warning counter
    std::uint64_t nan_after = ~0ull;      // steps after which qpos is NaN
    std::uint64_t bad_after = ~0ull;      // ... after which the counter rises
    int sleep_us = 0;                     // each step takes this long
    std::atomic<int> inside{0};           // steps under way
    std::atomic<bool> overlapped{false};  // two steps were under way at once
    std::atomic<std::uint64_t> steps{0};
};

void fake_step(const void* model, void* data) {
    const auto& m = *static_cast<const FakeModel*>(model);
    auto& d = *static_cast<FakeData*>(data);
    if (d.inside.fetch_add(1) != 0) d.overlapped = true;
    if (d.sleep_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(d.sleep_us));
    for (std::size_t b = 0; b < d.bodies && m.mass > 0.0; ++b) {
        for (int k = 0; k < 3; ++k) {
            d.qvel[6 * b + k] += d.xfrc[6 * (b + 1) + k] / m.mass * m.timestep;
            d.qpos[7 * b + k] += d.qvel[6 * b + k] * m.timestep;
        }
    }
    d.time += m.timestep;
    const std::uint64_t n = d.steps.fetch_add(1) + 1;
    if (n > d.nan_after) d.qpos[0] = std::numeric_limits<double>::quiet_NaN();
    if (n > d.bad_after) ++d.bad;
    d.inside.fetch_sub(1);
}

void fake_get_state(const void*, const void* data, double* state, int) {
    const auto& d = *static_cast<const FakeData*>(data);
    state[0] = d.time;
    std::memcpy(state + 1, d.qpos.data(), d.qpos.size() * sizeof(double));
}

struct FakeScene {
    FakeScene(std::size_t bodies, const VirtualCoupling& coupling, FakeModel m = {},
              Vec3 origin = {0.1, 0.0, 0.0})
        : model(m), data(bodies) {
        MujocoBinding b;
        b.step = fake_step;
        b.get_state = fake_get_state;
        b.model = &model;
        b.data = &data;
        b.state_size = 1 + data.qpos.size();
        b.timestep = model.timestep;
        b.xfrc_applied = data.xfrc.data();
        b.qpos = data.qpos.data();
        b.qvel = data.qvel.data();
        b.bad_state_counters[0] = &data.bad;
        std::vector<MujocoTool> tools;
        for (std::size_t i = 0; i < bodies; ++i) tools.push_back({i + 1, 7 * i, 6 * i, origin});
        scene = std::make_shared<MujocoScene>(b, tools, coupling);
    }
    FakeModel model;
    FakeData data;
    std::shared_ptr<MujocoScene> scene;
};

float f32_at(const Bytes& b, std::size_t at) {
    float v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

// Plays an arm that stays at `position`: answers every force request and keeps the forces.
class StillArm {
  public:
    StillArm(Pty& pty, Vector3 position)
        : pty_(pty), position_(position), thread_([this] { serve(); }) {}
    ~StillArm() {
        done_ = true;
        thread_.join();
    }
    std::vector<Vector3> forces() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return forces_;
    }

  private:
    void serve() {
        while (!done_) {
            const Bytes request = pty_.receive(13, 20);
            if (request.size() < 13 || request[0] != 0x2A) continue;
            {
                std::lock_guard<std::mutex> hold(mutex_);
                forces_.push_back({f32_at(request, 1), f32_at(request, 5), f32_at(request, 9)});
            }
            Bytes reply{0x2B};
            const float state[6] = {position_[0], position_[1], position_[2], 0, 0, 0};
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(state);
            reply.insert(reply.end(), bytes, bytes + sizeof state);
            pty_.send(reply);
        }
    }

    Pty& pty_;
    Vector3 position_;
    mutable std::mutex mutex_;
    std::vector<Vector3> forces_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

ServoSettings at(double rate_hz) {
    ServoSettings s;
    s.rate_hz = rate_hz;
    s.soft_start = 0.0;
    return s;
}

// One arm on a pseudo-terminal.
struct Rig {
    explicit Rig(Vector3 position)
        : stream(pty.path().c_str()), arm(&stream), peer(pty, position) {}
    Pty pty;
    SerialStream stream;
    Arbelon arm;
    StillArm peer;
};

}  // namespace

TEST(scene_test, the_coupling_pulls_tool_and_arm_together_one_period_of_steps_a_cycle) {
    // The arm 1 cm in front of the origin, the scene twice as large: the tool, which cannot
    // move, is 2 cm behind the end-effector in the scene. The arm feels 100 N/m over its 1 cm,
    // the tool twice that force.
    Rig rig({0.11f, 0.0f, 0.0f});
    FakeModel fixed;
    fixed.mass = 0.0;
    FakeScene fake(1, {100.0, 0.0, 2.0}, fixed);
    Servo servo(rig.arm, at(1000.0));
    servo.record(5.0);
    servo.set_scene(fake.scene);
    EXPECT_EQ(servo.scene(), fake.scene);
    servo.start();
    ASSERT_TRUE(zelkor_test::wait_until([&] { return servo.stats().cycles >= 100; }));
    const SceneState running = fake.scene->state();
    EXPECT_NEAR(running.coupling_forces.at(0)[0], 2.0, 1e-4);
    servo.stop();

    const auto forces = rig.peer.forces();
    ASSERT_GE(forces.size(), 10u);
    EXPECT_NEAR(forces[forces.size() - 2][0], -1.0f, 1e-4) << "-F / scale";
    EXPECT_EQ(forces.back(), (Vector3{0, 0, 0}));
    const ServoStats stats = servo.stats();
    const SceneState after = fake.scene->state();
    EXPECT_EQ(after.steps, 2 * stats.cycles) << "0.5 ms steps, 1 ms cycles";
    EXPECT_EQ(fake.data.steps.load(), after.steps);
    EXPECT_NEAR(after.time, after.steps * 0.0005, 1e-9);
    EXPECT_EQ(after.coupling_forces.at(0), (Vec3{0, 0, 0})) << "let go: pulled no more";
    EXPECT_EQ(fake.data.xfrc[6], 0.0);
    const std::vector<ServoRow> rows = servo.recording();
    ASSERT_FALSE(rows.empty());
    const ServoRow& last_pushed = rows[rows.size() - 2];
    EXPECT_TRUE(last_pushed.flags & ServoRecord::scene);
    EXPECT_NEAR(last_pushed.scene_force[0][0], -1.0, 1e-6);
    EXPECT_EQ(last_pushed.scene_force[1], (Vec3{0, 0, 0})) << "no second arm";

    // A free tool follows the end-effector and comes to rest on it, damped.
    FakeScene free(1, {100.0, 5.0, 2.0});
    servo.set_scene(free.scene);
    EXPECT_FALSE(fake.scene->impl().owner.load()) << "the scene before changed hands";
    servo.start();
    ASSERT_TRUE(zelkor_test::wait_until(
        [&] { return std::abs(free.scene->state().tool_positions.at(0)[0] - 0.02) < 1e-4; }));
    servo.stop();
}

TEST(scene_test, what_does_not_fit_is_refused) {
    Rig a({0.1f, 0.0f, 0.0f}), b({0.1f, 0.0f, 0.0f});
    const VirtualCoupling coupling{100.0, 0.0, 1.0};
    FakeScene one(1, coupling), two(2, coupling);
    FakeModel odd;
    odd.timestep = 0.0003;
    FakeScene uneven(1, coupling, odd);
    Servo servo(a.arm, at(1000.0));
    ServoSettings measured = at(1000.0);
    measured.rate_hz = 0.0;
    Servo measuring(a.arm, measured);

    EXPECT_THROW(servo.set_scene(two.scene), std::invalid_argument) << "a tool per arm";
    try {
        servo.set_scene(uneven.scene);
        ADD_FAILURE() << "a timestep that does not divide the period";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("0.0003"), std::string::npos) << e.what();
    }
    measuring.set_scene(uneven.scene);  // a measured rate is fitted to the scene
    measuring.set_scene(nullptr);
    EXPECT_NEAR(uneven.scene->whole_steps_from(0.001), 0.0012, 1e-15) << "four steps";
    EXPECT_NEAR(one.scene->whole_steps_from(0.001), 0.001, 1e-15) << "two steps, not three";
    EXPECT_NEAR(one.scene->whole_steps_from(1e-6), 0.0005, 1e-15) << "a step at least";
    EXPECT_EQ(servo.scene(), nullptr) << "nothing refused was set";

    servo.set_scene(one.scene);
    Servo other(b.arm, at(1000.0));
    EXPECT_THROW(other.set_scene(one.scene), std::logic_error) << "another servo's";
    one.scene->set_timestep(0.0003);  // the model changed before the start
    EXPECT_THROW(servo.start(), std::invalid_argument);
    EXPECT_FALSE(servo.running());
    one.scene->set_timestep(0.00025);
    servo.start();
    ASSERT_TRUE(zelkor_test::wait_until([&] { return servo.stats().cycles >= 10; }));
    servo.stop();
    EXPECT_EQ(one.scene->state().steps, 4 * servo.stats().cycles);

    MujocoBinding empty;
    EXPECT_THROW(MujocoScene(empty, {{1, 0, 0}}, coupling), std::invalid_argument);
    for (const VirtualCoupling& wrong :
         {VirtualCoupling{-1.0, 0.0, 1.0}, VirtualCoupling{1.0, NAN, 1.0},
          VirtualCoupling{1.0, 0.0, 0.0}, VirtualCoupling{1.0, 0.0, INFINITY}}) {
        EXPECT_THROW(FakeScene(1, wrong), std::invalid_argument);
    }
    EXPECT_THROW(FakeScene(1, coupling, {}, {0, INFINITY, 0}), std::invalid_argument);
    EXPECT_THROW(FakeScene(5, coupling), std::invalid_argument) << "more tools than arms";
}

TEST(scene_test, a_scene_that_goes_bad_or_falls_behind_ends_the_loop_limp) {
    struct Case {
        const char* name;
        void (*spoil)(FakeData&);
        StopReason reason;
    };
    const Case cases[] = {
        {"not finite", [](FakeData& d) { d.nan_after = 50; }, StopReason::scene_failed},
        {"reset by the engine", [](FakeData& d) { d.bad_after = 50; }, StopReason::scene_failed},
        {"slower than the period", [](FakeData& d) { d.sleep_us = 3000; },
         StopReason::scene_too_slow},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig({0.1f, 0.0f, 0.0f});
        FakeScene fake(1, {100.0, 0.0, 1.0});
        c.spoil(fake.data);
        Servo servo(rig.arm, at(1000.0));
        servo.set_scene(fake.scene);
        servo.start();
        ASSERT_TRUE(zelkor_test::wait_until([&] { return !servo.running(); }));
        const ServoStats stats = servo.stats();
        EXPECT_EQ(stats.stop_reason, c.reason);
        EXPECT_TRUE(stats.left_limp);
        EXPECT_EQ(rig.peer.forces().back(), (Vector3{0, 0, 0}));
    }
    EXPECT_STREQ(to_text(StopReason::scene_failed), "scene failed");
    EXPECT_STREQ(to_text(StopReason::scene_too_slow), "scene too slow");
}

TEST(scene_test, a_scene_changes_hands_between_running_loops_never_stepped_by_two) {
    Rig a({0.1f, 0.0f, 0.0f}), b({0.1f, 0.0f, 0.0f});
    FakeScene fake(1, {100.0, 1.0, 1.0});
    Servo first(a.arm, at(1000.0)), second(b.arm, at(1000.0));
    first.start();
    second.start();
    std::atomic<bool> done{false};
    std::uint64_t read = 0;
    std::thread reader([&] {
        SceneState s;
        while (!done) {
            fake.scene->state(s);
            read = std::max(read, s.steps);
        }
    });
    for (int round = 0; round < 20; ++round) {
        Servo& now = round % 2 == 0 ? first : second;
        Servo& then = round % 2 == 0 ? second : first;
        now.set_scene(fake.scene);
        EXPECT_THROW(then.set_scene(fake.scene), std::logic_error);
        const std::uint64_t before = fake.data.steps.load();
        ASSERT_TRUE(zelkor_test::wait_until([&] { return fake.data.steps.load() > before + 4; }));
        now.set_scene(nullptr);
        EXPECT_FALSE(fake.scene->impl().stepping.load()) << "let go before the setter returned";
    }
    done = true;
    reader.join();
    first.stop();
    second.stop();
    EXPECT_FALSE(fake.data.overlapped.load());
    EXPECT_GT(read, 0u);
    EXPECT_EQ(fake.scene->state().steps, fake.data.steps.load());
}
