// The servo loop against a pseudo-terminal whose other side plays an arm: what it sends each
// cycle, how it stops, and how it shares the arm. The bounds on counts and times are loose on
// purpose: the machine may be loaded, and the loop's timing is measured by the benchmark.
#include <ZelkorHardwareAPI/control/servo.h>
#include <ZelkorHardwareAPI/force_law.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "pty.h"

using namespace Zelkor::HardwareAPI::Control;
using Zelkor::HardwareAPI::Vector3;
using Zelkor::HardwareAPI::Devices::Arbelon;
using Zelkor::HardwareAPI::IO::SerialStream;
using zelkor_test::Bytes;
using zelkor_test::Clock;
using zelkor_test::ms_since;
using zelkor_test::Pty;

namespace {

float f32_at(const Bytes& b, std::size_t at) {
    std::uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) bits |= static_cast<std::uint32_t>(b[at + i]) << (8 * i);
    float v;
    std::memcpy(&v, &bits, 4);
    return v;
}

void put_f32(Bytes& b, float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, 4);
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

// Plays an arm at `position`: answers every force request with its state, and records the
// forces. Given a velocity, it moves at it, 2 ms per reply. It can fall silent or hang up after a
// number of requests.
class ArmPeer {
  public:
    enum class After { keep_answering, fall_silent, hang_up };

    ArmPeer(Pty& pty, Vector3 position, After after = After::keep_answering, int after_n = 0)
        : pty_(pty), position_(position), after_(after), after_n_(after_n), thread_([this] {
              serve();
          }) {}
    ~ArmPeer() {
        done_ = true;
        thread_.join();
    }

    std::vector<Vector3> forces() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return forces_;
    }
    /// The velocity its replies report, and move at, from now on.
    void set_velocity(const Vector3& v) {
        std::lock_guard<std::mutex> hold(mutex_);
        velocity_ = v;
    }

  private:
    void serve() {
        while (!done_) {
            const Bytes request = pty_.receive(13, 50);
            if (request.size() < 13) continue;
            if (request[0] != 0x2A) continue;
            int n;
            {
                std::lock_guard<std::mutex> hold(mutex_);
                forces_.push_back({f32_at(request, 1), f32_at(request, 5), f32_at(request, 9)});
                n = static_cast<int>(forces_.size());
            }
            if (after_ != After::keep_answering && n > after_n_) {
                if (after_ == After::hang_up) {
                    pty_.close_master();
                    return;
                }
                continue;
            }
            Bytes reply{0x2B};
            {
                std::lock_guard<std::mutex> hold(mutex_);
                for (int k = 0; k < 3; ++k) put_f32(reply, position_[k] += velocity_[k] * 0.002f);
                for (float v : velocity_) put_f32(reply, v);
            }
            pty_.send(reply);
        }
    }

    Pty& pty_;
    Vector3 position_;
    After after_;
    int after_n_;
    mutable std::mutex mutex_;
    std::vector<Vector3> forces_;
    Vector3 velocity_{};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Plays an arm that reports as its position the force it was last asked for, so a state is
// fresh exactly when its position equals the force of the request it answers. The n-th reply
// (from 1) waits delay_us(n) microseconds first, the replies after it waiting in line behind
// it. With `byte_us`, the arm is behind a serial wire: a request is the device's only once its
// 13 bytes have crossed, and each reply byte takes its own time, so surplus replies are not all
// waiting when the host writes next, as they are on a bare pseudo-terminal.
class EchoPeer {
  public:
    // A 115200-baud wire: 86.8 us a byte.
    static constexpr int uart_byte_us = 87;

    EchoPeer(Pty& pty, std::function<int(int)> delay_us, int byte_us = 0)
        : pty_(pty),
          delay_us_(std::move(delay_us)),
          byte_us_(byte_us),
          thread_([this] { serve(); }) {}
    ~EchoPeer() {
        done_ = true;
        thread_.join();
    }

  private:
    void serve() {
        int n = 0;
        while (!done_) {
            const Bytes request = pty_.receive(13, 20);
            if (request.size() < 13 || request[0] != 0x2A) continue;
            std::this_thread::sleep_for(std::chrono::microseconds(13 * byte_us_));  // crossing
            std::this_thread::sleep_for(std::chrono::microseconds(delay_us_(++n)));
            Bytes reply{0x2B};
            reply.insert(reply.end(), request.begin() + 1, request.end());
            for (int i = 0; i < 3; ++i) put_f32(reply, 0.0f);
            if (byte_us_ == 0) {
                pty_.send(reply);
                continue;
            }
            // Each byte at its own time on the wire: a late wake-up sends what is due at once,
            // as a wire would have carried it meanwhile.
            const auto start = Clock::now();
            for (std::size_t k = 0; k < reply.size(); ++k) {
                std::this_thread::sleep_until(start +
                                              std::chrono::microseconds(byte_us_ * (k + 1)));
                pty_.send({reply[k]});
            }
        }
    }

    Pty& pty_;
    std::function<int(int)> delay_us_;
    int byte_us_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Settings at `rate_hz` whose forces go out whole from the first cycle (no soft start), for the
// tests that check every force sent.
ServoSettings at(double rate_hz, double max_force = 5.0) {
    ServoSettings settings;
    settings.rate_hz = rate_hz;
    settings.max_force = max_force;
    settings.soft_start = 0.0;
    return settings;
}

bool wait_until_stopped(const Servo& servo, double ms) {
    return zelkor_test::wait_until([&] { return !servo.running(); }, ms);
}

float length(const Vector3& f) {
    return std::sqrt(f[0] * f[0] + f[1] * f[1] + f[2] * f[2]);
}

}  // namespace

TEST(servo_test, each_cycle_sends_the_force_of_the_previous_reply_and_stop_leaves_it_limp) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    Arbelon arm(&stream);
    ArmPeer peer(pty, {0.1f, 0.0f, -0.02f});
    {
        Servo servo(arm, at(200.0));
        servo.set_effects({Spring({0, 0, 0}, 10.0), Wall({0, 0, 1}, 0.0, 100.0)});
        servo.start();
        EXPECT_TRUE(servo.running());
        ASSERT_TRUE(zelkor_test::wait_until([&] { return servo.state().cycle >= 20; }));
        const ServoState state = servo.state();
        EXPECT_EQ(state.position, (Vector3{0.1f, 0.0f, -0.02f}));
        servo.stop();
        servo.stop();  // idempotent
        EXPECT_FALSE(servo.running());

        const ServoStats stats = servo.stats();
        EXPECT_EQ(stats.stop_reason, StopReason::stopped);
        EXPECT_STREQ(to_text(stats.stop_reason), "stopped");
        EXPECT_GE(stats.cycles, 20u);
        // Cycles keep to their deadlines: never more than the rate allows, however late the
        // machine lets the loop run.
        EXPECT_LE(stats.rate_hz, 200.0 * 1.01 + 10.0);
        EXPECT_LT(stats.failed_exchanges, stats.cycles) << "some replies may come late, not all";
        EXPECT_GT(stats.rate_hz, 0.0);
        EXPECT_GT(stats.max_us, 0.0);
        EXPECT_LE(stats.p50_us, stats.p99_us);
        EXPECT_LE(stats.p99_us, stats.max_us);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto forces = peer.forces();
    ASSERT_GE(forces.size(), 3u);
    EXPECT_EQ(forces.front(), (Vector3{0, 0, 0})) << "no reply yet: no force";
    // Spring: -10 * (0.1, 0, -0.02); wall: 100 * 0.02 upwards. A cycle after one whose reply
    // came too late (a loaded machine) sends no force.
    const Vector3 expected{-1.0f, 0.0f, 0.2f + 2.0f};
    std::size_t pushed = 0;
    for (std::size_t i = 1; i + 1 < forces.size(); ++i) {
        if (forces[i] == Vector3{0, 0, 0}) continue;
        ++pushed;
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(forces[i][k], expected[k], 1e-5) << i;
    }
    EXPECT_GE(pushed, 1u);
    EXPECT_EQ(forces.back(), (Vector3{0, 0, 0})) << "the last request leaves the arm limp";
}

TEST(servo_test, forces_are_clamped_and_a_function_may_compute_them) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    Arbelon arm(&stream);
    ArmPeer peer(pty, {1.0f, 0.0f, 0.0f});
    ServoSettings settings = at(500.0, 2.5);
    settings.max_failures = 1000000;  // a slow peer must not end the loop under the test
    Servo servo(arm, settings);
    std::atomic<int> calls{0};
    std::atomic<bool> saw_previous{false};
    servo.set_force_function([&](const ServoState& s) {
        calls.fetch_add(1);
        // The state carries the force sent in the cycle before, clamped.
        if (std::fabs(length(s.force) - 2.5f) < 1e-5f) saw_previous = true;
        return Vec3{-100.0 * s.position[0], 100.0, 0.0};
    });
    servo.start();
    ASSERT_TRUE(zelkor_test::wait_until([&] { return saw_previous.load(); }));
    EXPECT_THROW(servo.set_force_function(nullptr), std::logic_error);
    // Effects set while the function runs replace it at once.
    servo.set_effects({ConstantForce({0, 0, 1})});
    const int before = calls.load();
    ASSERT_TRUE(zelkor_test::wait_until([&] { return servo.state().force == Vector3{0, 0, 1}; }));
    EXPECT_LE(calls.load(), before + 1) << "at most the cycle under way";
    servo.stop();
    std::size_t pushed = 0;
    for (const Vector3& f : peer.forces()) {
        // The first cycle, one after a late reply, and the effects that replaced the function.
        if (f == Vector3{0, 0, 0} || f == Vector3{0, 0, 1}) continue;
        ++pushed;
        EXPECT_NEAR(length(f), 2.5f, 1e-5);
        EXPECT_NEAR(f[0], -2.5f * std::sqrt(0.5f), 1e-5) << "scaled, not cut per axis";
    }
    EXPECT_GT(pushed, 0u);
}

TEST(servo_test, stops_by_itself_when_the_device_falls_silent_or_hangs_up) {
    struct Case {
        const char* what;
        ArmPeer::After after;
        StopReason reason;
    } cases[] = {
        {"silent", ArmPeer::After::fall_silent, StopReason::device_not_answering},
        {"hang-up", ArmPeer::After::hang_up, StopReason::port_closed},
    };
    for (const auto& c : cases) {
        Pty pty;
        SerialStream stream(pty.path().c_str());
        Arbelon arm(&stream);
        ArmPeer peer(pty, {0.1f, 0, 0}, c.after, 5);
        ServoSettings settings = at(500.0);
        // Seconds without a reply: long enough for a peer thread that a loaded machine
        // starts late to answer the first requests.
        settings.give_up_after = 0.5;
        settings.hold_cycles = 2;
        Servo servo(arm, settings);
        servo.set_effects({Spring({0, 0, 0}, 10.0)});
        const auto start = Clock::now();
        servo.start();
        EXPECT_TRUE(wait_until_stopped(servo, 5000)) << c.what;
        EXPECT_LT(ms_since(start), 3000.0) << c.what << ": no wait on the port's 1 s time-out";
        const ServoStats stats = servo.stats();
        EXPECT_EQ(stats.stop_reason, c.reason) << c.what;
        if (c.reason == StopReason::device_not_answering) {
            EXPECT_GE(stats.failed_exchanges, 2u) << c.what;
            EXPECT_FALSE(stats.left_limp) << "the zero force got no reply either";
            // The sixth request (the spring's force) went unanswered: that force is resent for
            // the two cycles held, then only zero goes out (the last request too).
            const auto forces = peer.forces();
            ASSERT_GE(forces.size(), 9u);
            for (std::size_t i = 5; i <= 5 + 2; ++i) {
                EXPECT_EQ(forces[i], (Vector3{-1.0f, 0, 0})) << "held, request " << i;
            }
            for (std::size_t i = 5 + 3; i < forces.size(); ++i) {
                EXPECT_EQ(forces[i], (Vector3{0, 0, 0})) << c.what << " request " << i;
            }
        } else {
            EXPECT_FALSE(stream.is_open());
        }
        servo.stop();  // after the loop ended by itself: nothing to do
        EXPECT_EQ(servo.stats().stop_reason, c.reason);
    }
}

TEST(servo_test, effects_swapped_from_other_threads_while_it_runs) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    Arbelon arm(&stream);
    ArmPeer peer(pty, {0.0f, 0.0f, 0.0f});
    Servo servo(arm, at(1000.0));
    servo.start();
    std::vector<std::thread> setters;
    for (int t = 0; t < 2; ++t) {
        setters.emplace_back([&servo, t] {
            for (int i = 0; i < 200; ++i) {
                servo.set_effects({ConstantForce({static_cast<double>(t), 0, 1}), Damper(1.0)});
                (void)servo.effects();
                (void)servo.state();
                (void)servo.stats();
            }
        });
    }
    for (auto& s : setters) s.join();
    servo.set_effects({ConstantForce({0, 0, -1.5})});
    EXPECT_EQ(servo.effects().size(), 1u);
    EXPECT_TRUE(zelkor_test::wait_until([&] {
        return servo.state().force == Vector3{0, 0, -1.5f};
    })) << "the latest list is in force";
    servo.stop();
}

TEST(servo_test, one_servo_per_arm) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    Arbelon arm(&stream);
    ArmPeer peer(pty, {0.0f, 0.0f, 0.0f});
    Servo first(arm, {100.0});
    Servo second(arm, {100.0});
    first.start();
    EXPECT_THROW(first.start(), std::logic_error);
    EXPECT_THROW(second.start(), std::logic_error);
    first.stop();
    second.start();
    EXPECT_TRUE(second.running());
    second.stop();
    // Settings out of range are refused up front.
    EXPECT_THROW(Servo(arm, {0.5}), std::invalid_argument);
    EXPECT_THROW(Servo(arm, {1000.0, -1.0}), std::invalid_argument);
    EXPECT_THROW(Servo(arm, {std::nan(""), 5.0}), std::invalid_argument);
}

TEST(servo_test, asking_for_real_time_priority_never_fails) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    Arbelon arm(&stream);
    ArmPeer peer(pty, {0.0f, 0.0f, 0.0f});
    ServoSettings settings;
    settings.realtime = true;
    Servo servo(arm, settings);
    servo.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(servo.running());
    (void)servo.realtime();  // granted or not, depending on the machine's permissions
    servo.stop();
    EXPECT_GT(servo.stats().cycles, 0u);
}

TEST(servo_test, every_state_answers_its_own_request_however_late_the_replies) {
    struct Case {
        const char* what;
        double rate_hz;
        std::function<int(int)> delay_us;
    } cases[] = {
        {"clean line", 1000.0, [](int) { return 0; }},
        // Late beyond the time-out, within the wait for a late reply that follows it.
        {"every twentieth reply after the time-out", 500.0,
         [](int n) { return n % 20 == 0 ? 150000 : 0; }},
        {"a line slower than the loop", 1000.0, [](int) { return 3000; }},
    };
    for (const Case& c : cases) {
        for (const bool pipeline : {false, true}) {
            Pty pty;
            SerialStream stream(pty.path().c_str());
            Arbelon arm(&stream);
            EchoPeer peer(pty, c.delay_us);
            ServoSettings settings = at(c.rate_hz);
            // A time-out a peer thread keeps to on a loaded machine; a late reply's is twice it.
            settings.reply_timeout = 0.1;
            settings.pipeline = pipeline;
            Servo servo(arm, settings);
            std::atomic<int> fresh{0}, stale{0};
            servo.set_force_function([&](const ServoState& s) {
                // A force of its own each cycle, small enough to be sent as it is.
                (s.position == s.force ? fresh : stale).fetch_add(1);
                return Vec3{static_cast<double>(s.cycle % 1000) * 1e-3, 0.0, 0.0};
            });
            servo.start();
            EXPECT_TRUE(zelkor_test::wait_until([&] { return fresh.load() >= 100; }))
                << c.what << (pipeline ? ", pipelined" : "");
            servo.stop();
            EXPECT_EQ(stale.load(), 0) << c.what << (pipeline ? ", pipelined" : "");
            if (c.delay_us(20) != 0 && c.delay_us(1) == 0) {
                EXPECT_GT(servo.stats().failed_exchanges, 0u) << c.what;
            }
        }
    }
}

namespace {
// A law as a C function: a spring to the origin with stiffness params[0], plus params[1] in z.
extern "C" void spring_law(const ZelkorServoInput* in, const double* params, double force[3]) {
    for (int i = 0; i < 3; ++i) force[i] = -params[0] * in->position[i];
    force[2] += params[1];
}
extern "C" void failing_law(const ZelkorServoInput* in, const double*, double force[3]) {
    force[0] = in->cycle > 5 ? std::nan("") : 0.5;
}
// Says it cannot go on at its 6th cycle, leaving a finite force that must not go out.
extern "C" void refusing_law(const ZelkorServoInput* in, const double*, double force[3]) {
    force[0] = 0.5;
    if (in->cycle > 5) zelkor_force_law_failed("the target went out of reach");
}
// Never returns once it is past its 6th cycle (until told to).
std::atomic<bool> law_may_return{false};
extern "C" void stuck_law(const ZelkorServoInput* in, const double*, double force[3]) {
    force[0] = 0.5;
    while (in->cycle > 5 && !law_may_return.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
}  // namespace

TEST(servo_test, a_force_law_adds_to_the_effects_and_its_parameters_ramp) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    Arbelon arm(&stream);
    ArmPeer peer(pty, {0.1f, 0.0f, 0.0f});
    ServoSettings settings = at(500.0);
    settings.max_failures = 1000000;
    Servo servo(arm, settings);
    servo.set_effects({ConstantForce({0, 1, 0})});
    const double stiffness[] = {10.0, 0.0};
    servo.set_params(stiffness, 2);
    auto released = std::make_shared<int>(0);
    std::weak_ptr<int> first = released;
    servo.set_force_law(spring_law, std::move(released));
    servo.start();
    auto force = [&] { return servo.state().force; };
    ASSERT_TRUE(zelkor_test::wait_until([&] {
        return force() == Vector3{-1.0f, 1.0f, 0.0f};
    })) << "the law's force (-1, 0, 0) plus the effect's (0, 1, 0)";
    // A ramp from 10 to 20 N/m over 0.3 s: the forces in between move one way only.
    const double stiffer[] = {20.0, 0.5};
    servo.set_params(stiffer, 2, 0.3);
    std::vector<float> xs;
    ASSERT_TRUE(zelkor_test::wait_until([&] {
        xs.push_back(force()[0]);
        return force() == Vector3{-2.0f, 1.0f, 0.5f};
    }));
    EXPECT_TRUE(std::is_sorted(xs.rbegin(), xs.rend())) << "from -1 to -2, never back";
    EXPECT_GT(std::count_if(xs.begin(), xs.end(), [](float x) { return x < -1.01f && x > -1.99f; }),
              0)
        << "in between for a while";
    // Swapped while it runs; the first law's keep-alive goes once the loop cannot call it.
    servo.set_force_law(nullptr);
    ASSERT_TRUE(zelkor_test::wait_until([&] { return force() == Vector3{0.0f, 1.0f, 0.0f}; }));
    // Released by a later setter of what the arms share, once the loop has moved on: never by
    // the loop itself.
    EXPECT_TRUE(zelkor_test::wait_until([&] {
        servo.set_couplings({});
        return first.expired();
    }));
    EXPECT_EQ(servo.params(), (std::vector<double>{20.0, 0.5}));
    EXPECT_THROW(servo.set_params(stiffer, ZELKOR_FORCE_LAW_PARAMS + 1), std::invalid_argument);
    const double bad[] = {std::nan("")};
    EXPECT_THROW(servo.set_params(bad, 1), std::invalid_argument);
    servo.stop();

    // A law that gives a force that is not finite: zero is sent, and the loop ends.
    servo.set_force_law(failing_law);
    servo.start();
    ASSERT_TRUE(wait_until_stopped(servo, 10000));
    EXPECT_EQ(servo.stats().stop_reason, StopReason::force_law_failed);
    EXPECT_STREQ(servo.stats().failure, "the force law's force (nan, 0, 0) N is not finite");
    const auto forces = peer.forces();
    ASSERT_GE(forces.size(), 2u);
    EXPECT_EQ(forces[forces.size() - 2], (Vector3{0, 0, 0})) << "the cycle the law failed";
    EXPECT_EQ(forces.back(), (Vector3{0, 0, 0})) << "and the last request";
}

TEST(servo_test, safety_ramps_fades_limits_and_keeps_the_environment_passive) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    Arbelon arm(&stream);
    ArmPeer peer(pty, {0.1f, 0.0f, 0.0f});
    ServoSettings settings = at(500.0);
    settings.max_failures = 1000000;
    auto force = [](Servo& s) { return s.state().force; };

    // Soft start: forces ramp in from zero, never down, to the whole force.
    settings.soft_start = 0.2;
    {
        Servo servo(arm, settings);
        servo.set_effects({ConstantForce({0, 0, 2})});
        servo.start();
        std::vector<float> zs;
        ASSERT_TRUE(zelkor_test::wait_until([&] {
            zs.push_back(force(servo)[2]);
            return zs.back() == 2.0f;
        }));
        EXPECT_TRUE(std::is_sorted(zs.begin(), zs.end()));
        EXPECT_GT(std::count_if(zs.begin(), zs.end(), [](float z) { return z > 0.1f && z < 1.9f; }),
                  0);

        // A time to live that runs out fades the force to zero; refreshed, it ramps in again.
        servo.set_effects({ConstantForce({0, 0, 2})}, 0, 0.05);
        ASSERT_TRUE(zelkor_test::wait_until([&] { return force(servo)[2] == 0.0f; }));
        EXPECT_EQ(servo.stats().expired, 1u);
        servo.set_effects({ConstantForce({0, 0, 2})}, 0, 10.0);
        ASSERT_TRUE(zelkor_test::wait_until([&] { return force(servo)[2] == 2.0f; }));
        EXPECT_THROW(servo.set_effects({}, 1, 0.0), std::invalid_argument) << "one arm";
        EXPECT_THROW(servo.set_effects({}, 0, -1.0), std::invalid_argument);
    }

    // The workspace pushes back into its box; above max_velocity only damping goes out.
    settings.soft_start = 0.0;
    settings.workspace_min = {-0.05, -0.05, -0.05};
    settings.workspace_max = {0.095, 0.05, 0.05};
    {
        Servo servo(arm, settings);
        servo.start();
        ASSERT_TRUE(zelkor_test::wait_until([&] { return servo.state().cycle > 3; }));
        EXPECT_NEAR(force(servo)[0], -500.0f * 0.005f, 1e-4) << "5 mm outside, 500 N/m";
    }
    settings.workspace_max = settings.workspace_min;  // none
    settings.max_velocity = 0.5;
    peer.set_velocity({1.0f, 0.0f, 0.0f});
    {
        Servo servo(arm, settings);
        servo.set_effects({ConstantForce({0, 0, 2})});
        servo.start();
        ASSERT_TRUE(zelkor_test::wait_until([&] {
            return force(servo) == Vector3{-5.0f, 0, 0};
        })) << "10 N s/m against 1 m/s, clamped to 5 N, and nothing of the effect";
    }

    // An environment that gives energy out (a force along the motion) gets damping that takes
    // it back: after the two forces in flight before the first state, hardly any push goes out,
    // and the energy given out does not grow.
    settings.max_velocity = 0.0;
    settings.passivity = true;
    peer.set_velocity({0.1f, 0.0f, 0.0f});
    {
        Servo servo(arm, settings);
        servo.set_effects({ConstantForce({1, 0, 0})});
        const std::size_t before = peer.forces().size();
        servo.start();
        ASSERT_TRUE(zelkor_test::wait_until([&] { return servo.state().cycle > 40; }));
        servo.stop();
        const auto sent = peer.forces();
        double pushed = 0.0;  // N, on average over the cycles after the first few
        for (std::size_t i = before + 6; i + 1 < sent.size(); ++i) pushed += sent[i][0];
        pushed /= static_cast<double>(sent.size() - before - 7);
        EXPECT_LT(std::abs(pushed), 0.2) << "against the push of 1 N the effect wants";
        EXPECT_GT(servo.state().energy, -3 * 1.0 * 0.1 * 0.002) << "at most three cycles' worth";
    }
    EXPECT_NEAR(stable_stiffness(1.0, 1000.0, 0.0), 2000.0, 1e-9);
    EXPECT_NEAR(stable_stiffness(1.0, 1000.0, 0.001), 2000.0 / 3.0, 1e-9);
}

TEST(servo_test, two_arms_coupled_pull_towards_each_other) {
    Pty pty_a, pty_b;
    SerialStream stream_a(pty_a.path().c_str()), stream_b(pty_b.path().c_str());
    Arbelon a(&stream_a), b(&stream_b);
    ArmPeer leader(pty_a, {0.10f, 0.0f, 0.0f}), follower(pty_b, {0.12f, 0.0f, 0.0f});
    EXPECT_THROW(Servo({&a, &a}, at(500.0)), std::invalid_argument) << "one stream each";
    Servo servo({&a, &b}, at(500.0));
    EXPECT_THROW(servo.set_couplings({Coupling(0, 2, 1.0)}), std::invalid_argument);
    servo.set_couplings({Coupling(0, 1, 100.0)});
    servo.start();
    ASSERT_TRUE(zelkor_test::wait_until([&] {
        return std::abs(servo.state(0).force[0] - 2.0f) < 1e-4 &&
               std::abs(servo.state(1).force[0] + 2.0f) < 1e-4;
    })) << "100 N/m over 2 cm, each arm pulled towards the other";
    servo.stop();
    EXPECT_EQ(leader.forces().back(), (Vector3{0, 0, 0}));
    EXPECT_EQ(follower.forces().back(), (Vector3{0, 0, 0}));
    EXPECT_TRUE(servo.stats().left_limp);
}

TEST(servo_test, each_arm_has_its_own_time_to_live_and_each_effect_its_own_state) {
    Pty pty_a, pty_b;
    SerialStream stream_a(pty_a.path().c_str()), stream_b(pty_b.path().c_str());
    Arbelon a(&stream_a), b(&stream_b);
    // Arm a slides along x over the floor of a rough surface, 2 mm deep (1 N pressed down),
    // at 0.1 mm a reply: its friction saturates at mu times 1 N within a millimetre.
    ArmPeer slider(pty_a, {0.0f, 0.0f, -0.002f}), other(pty_b, {0.1f, 0.0f, 0.0f});
    slider.set_velocity({0.05f, 0.0f, 0.0f});
    ServoSettings settings = at(500.0);
    settings.max_failures = 1000000;
    Servo servo({&a, &b}, settings);
    const Effect rough = Friction({0, 0, 1}, 0.0, 500.0, 0.5);
    servo.set_effects({rough}, 0, 0.3);
    servo.set_effects({ConstantForce({0, 1, 0})}, 1);  // no time to live on arm b
    servo.start();
    ASSERT_TRUE(zelkor_test::wait_until([&] { return servo.state(0).force[0] < -0.49f; }));
    // Updates of anything else, and refreshes of the same list, leave the proxy where it was:
    // the friction never slips.
    const double params[] = {1.0};
    const std::size_t before = slider.forces().size();
    const auto until = Clock::now() + std::chrono::milliseconds(200);
    while (Clock::now() < until) {
        servo.set_params(params, 1);
        servo.set_couplings({});
        servo.set_effects({ConstantForce({0, 1, 0})}, 1);
        servo.set_effects({rough}, 0, 0.3);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const auto forces = slider.forces();
    ASSERT_GT(forces.size(), before + 10);
    float weakest = -1e9f;  // the tangential force nearest zero
    for (std::size_t i = before; i < forces.size(); ++i) weakest = std::max(weakest, forces[i][0]);
    EXPECT_LT(weakest, -0.45f) << "a setter reset the proxy: the tangential force went";
    // Arm a's list expires (0.3 s) and fades; arm b, set without one, pushes on.
    ASSERT_TRUE(zelkor_test::wait_until([&] { return servo.state(0).force == Vector3{}; }));
    EXPECT_EQ(servo.state(1).force, (Vector3{0.0f, 1.0f, 0.0f}));
    EXPECT_GE(servo.stats().expired, 1u);
    servo.stop();
}

TEST(servo_test, forces_ramp_in_below_the_limit_and_notices_come_off_the_loop_thread) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    Arbelon arm(&stream);
    ArmPeer peer(pty, {0.1f, 0.0f, 0.0f}, ArmPeer::After::hang_up, 150);
    ServoSettings settings = at(500.0);
    settings.soft_start = 0.2;
    settings.max_failures = 1000000;
    settings.law_timeout = 1.0;  // its function's long cycle is a stall, not a stuck law
    Servo servo(arm, settings);
    servo.record(2.0);
    std::atomic<std::thread::id> loop{}, told{};
    std::atomic<int> stalls{0}, ends{0};
    servo.set_force_function([&](const ServoState& s) {
        loop = std::this_thread::get_id();
        // One long cycle: a stall worth a notice.
        if (s.cycle == 20) std::this_thread::sleep_for(std::chrono::milliseconds(120));
        return Vec3{1000.0, 0.0, 0.0};
    });
    servo.set_notify([&](const ServoNotice& n) {
        told = std::this_thread::get_id();
        (n.kind == ServoNotice::Kind::stalled ? stalls : ends)++;
    });
    servo.start();
    ASSERT_TRUE(wait_until_stopped(servo, 10000));
    ASSERT_TRUE(zelkor_test::wait_until([&] { return ends.load() == 1; }));
    EXPECT_EQ(servo.stats().stop_reason, StopReason::port_closed);
    EXPECT_EQ(stalls.load(), 1);
    EXPECT_NE(told.load(), loop.load()) << "told on the loop's own thread";
    // Every force the soft start let out is its share of max_force, however large the want:
    // the limit comes first. The first reply came at least one exchange after the start.
    const std::vector<ServoRow> rows = servo.recording();
    ASSERT_GT(rows.size(), 20u);
    const double first_reply = rows[0].exchange_us / 1e6;
    for (const ServoRow& row : rows) {
        const double share = std::min(1.0, std::max(0.0, (row.time - first_reply) / 0.2));
        const Vector3 f{float(row.force[0]), float(row.force[1]), float(row.force[2])};
        EXPECT_LE(length(f), 5.0 * share + 1e-4) << "cycle " << row.cycle;
    }
}

TEST(servo_test, a_failing_law_says_why_and_a_stuck_one_is_taken_over) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    Arbelon arm(&stream);
    ArmPeer peer(pty, {0.1f, 0.0f, 0.0f});
    EXPECT_EQ(zelkor_force_law_failed("outside a law"), 0);
    struct Case {
        const char* name;
        std::function<void(Servo&)> set;
        StopReason reason;
        const char* failure;
    } cases[] = {
        {"a law that says it failed", [](Servo& s) { s.set_force_law(refusing_law); },
         StopReason::force_law_failed, "the target went out of reach"},
        {"a function that throws",
         [](Servo& s) {
             s.set_force_function([](const ServoState& state) -> Vec3 {
                 if (state.cycle > 5) throw std::runtime_error("no model");
                 return {0.5, 0.0, 0.0};
             });
         },
         StopReason::force_law_failed, "the force function threw: no model"},
        {"a law that never returns", [](Servo& s) { s.set_force_law(stuck_law); },
         StopReason::force_law_overran, "a cycle spent more than 0.05 s in its force law"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServoSettings settings = at(500.0);
        settings.max_failures = 1000000;
        auto servo = std::make_unique<Servo>(arm, settings);
        c.set(*servo);
        const std::size_t before = peer.forces().size();
        servo->start();
        ASSERT_TRUE(wait_until_stopped(*servo, 10000));
        const ServoStats stats = servo->stats();
        EXPECT_EQ(stats.stop_reason, c.reason);
        EXPECT_EQ(std::string(stats.failure).rfind(c.failure, 0), 0u) << stats.failure;
        EXPECT_TRUE(stats.left_limp);
        const auto forces = peer.forces();
        ASSERT_GT(forces.size(), before + 5);
        EXPECT_EQ(forces.back(), (Vector3{0, 0, 0})) << "zero last, on the wire";
        servo->stop();  // returns at once, though the law's thread is stuck
        if (c.reason == StopReason::force_law_overran) {
            EXPECT_THROW(servo->start(), std::logic_error) << "its loop is still in the law";
            // The stream is free again: the token went with the take-over.
            Vector3 p{}, v{};
            EXPECT_EQ(arm.end_effector_force({0, 0, 0}, p, v), 24);
        }
        servo.reset();  // the servo goes; the stuck thread keeps what it may touch
    }
    // Let the abandoned thread return: it finds itself taken over and touches nothing.
    law_may_return = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

TEST(servo_test, a_reply_later_than_any_wait_is_dropped_whenever_it_comes_on_a_slow_wire) {
    // One reply in 25 held 60 ms: more than twice the 25 ms a reply is given, so it comes
    // after its request's exchange failed and the next request has gone out. Counted, it is
    // dropped then, and the replies after it pair with their own requests again.
    for (const bool pipeline : {false, true}) {
        SCOPED_TRACE(pipeline ? "pipelined" : "strict");
        Pty pty;
        SerialStream stream(pty.path().c_str());
        Arbelon arm(&stream);
        // One reply in 25 held 60 ms.
        EchoPeer peer(
            pty, [](int n) { return n % 25 == 0 ? 60000 : 0; }, EchoPeer::uart_byte_us);
        ServoSettings settings = at(100.0);
        settings.pipeline = pipeline;
        settings.max_failures = 1000000;
        settings.give_up_after = 10.0;  // a loaded machine may hold the peer up for a while
        Servo servo(arm, settings);
        std::atomic<int> fresh{0}, stale{0};
        servo.set_force_function([&](const ServoState& s) {
            if (s.cycle > 1) (s.position == s.force ? fresh : stale).fetch_add(1);
            return Vec3{static_cast<double>(s.cycle % 1000) * 1e-3, 0.0, 0.0};
        });
        servo.start();
        EXPECT_TRUE(zelkor_test::wait_until([&] { return fresh.load() >= 150; }, 60000));
        servo.stop();
        EXPECT_EQ(stale.load(), 0) << "states paired with the wrong request";
        EXPECT_GT(servo.stats().failed_exchanges, 0u) << "the held replies came late";
        EXPECT_GT(servo.stats().stale_dropped, 0u) << "and were dropped when they came";
        EXPECT_TRUE(servo.stats().left_limp);
    }
}

TEST(servo_test, a_device_slow_to_answer_at_first_has_its_later_quick_replies_taken) {
    // The first 20 replies take 10 ms more than the wire's 3.3 ms: a reply twice as quick as
    // the quickest of them is still the device's own, once the line proves it.
    Pty pty;
    SerialStream stream(pty.path().c_str());
    Arbelon arm(&stream);
    EchoPeer peer(
        pty, [](int n) { return n <= 20 ? 10000 : 0; }, EchoPeer::uart_byte_us);
    ServoSettings settings = at(100.0);
    settings.give_up_after = 10.0;
    Servo servo(arm, settings);
    std::atomic<int> fresh{0}, stale{0};
    servo.set_force_function([&](const ServoState& s) {
        if (s.cycle > 1) (s.position == s.force ? fresh : stale).fetch_add(1);
        return Vec3{static_cast<double>(s.cycle % 1000) * 1e-3, 0.0, 0.0};
    });
    servo.start();
    EXPECT_TRUE(zelkor_test::wait_until([&] { return fresh.load() >= 100; }, 60000));
    servo.stop();
    EXPECT_EQ(stale.load(), 0);
    // The first quick one fails, and the two after it settle the count.
    EXPECT_LE(servo.stats().failed_exchanges, 4u) << "quick replies were taken for stray ones";
}

// A run that ends by itself (the device hangs up) while its recording streams to a file: the
// file is finished without a stop(), with a row for every cycle, and each start() empties it.
TEST(servo_test, a_recording_streamed_to_a_file_is_whole_when_the_loop_ends_by_itself) {
    const std::string path = ::testing::TempDir() + "servo_test_stream.npz";
    auto file_text = [&] {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        std::string text;
        if (f == nullptr) return text;
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) {
            text.append(buffer, n);
        }
        std::fclose(f);
        return text;
    };
    auto whole = [](const std::string& text) {  // ends with the zip's end record
        return text.size() > 22 && text.compare(text.size() - 22, 4, "PK\x05\x06") == 0;
    };
    for (int run = 0; run < 2; ++run) {
        Pty pty;
        SerialStream stream(pty.path().c_str());
        Arbelon arm(&stream);
        ArmPeer peer(pty, {0.1f, 0, 0}, ArmPeer::After::hang_up, 120 + 30 * run);
        Servo servo(arm, at(500.0));
        servo.record_to(path);
        EXPECT_EQ(servo.recording_file(), path);
        servo.start();
        ASSERT_TRUE(wait_until_stopped(servo, 10000));
        ASSERT_TRUE(zelkor_test::wait_until([&] { return whole(file_text()); }))
            << "finished without a stop()";
        const std::string shape = "'shape': (" + std::to_string(servo.stats().cycles) + ", " +
                                  std::to_string(ServoRecord::width) + ")";
        EXPECT_NE(file_text().find(shape), std::string::npos) << shape;
        servo.stop();
        EXPECT_FALSE(servo.recording_file_error());
        EXPECT_EQ(servo.recording_file_lost(), 0u);
        EXPECT_THROW(servo.record_to(::testing::TempDir() + "no such folder/x.npz"),
                     std::system_error);
    }
    std::remove(path.c_str());
}
