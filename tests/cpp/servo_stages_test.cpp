// The servo's stages one by one, without a device: the ramps, the hand-over of commands and the
// state each effect keeps in its place, the guards' order (limit first, then the fades), the
// schedule's verdicts, the passivity controller, the notice ring, the settings' checks and the
// recording's rows.
#include <ZelkorHardwareAPI/control/servo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "control/servo/guards.h"
#include "control/servo/mailbox.h"
#include "control/servo/notices.h"
#include "control/servo/passivity.h"
#include "control/servo/ramp.h"
#include "control/servo/rows.h"
#include "control/servo/schedule.h"

using namespace Zelkor::HardwareAPI::Control;
using namespace Zelkor::HardwareAPI::Control::servo;
using std::chrono::milliseconds;
using Zelkor::HardwareAPI::Vector3;

namespace {

const Clock::time_point t0 = Clock::now();

Clock::time_point at_ms(double ms) {
    return t0 + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double, std::milli>(ms));
}

double length(const Vector3& f) {
    return std::sqrt(double{f[0]} * f[0] + double{f[1]} * f[1] + double{f[2]} * f[2]);
}

}  // namespace

TEST(servo_stages_test, a_ramp_rises_linearly_and_a_zero_length_one_is_a_step) {
    struct Case {
        double length_ms, t_ms, expected;
    } cases[] = {
        {200, -1, 0.0},  {200, 0, 0.0}, {200, 50, 0.25}, {200, 200, 1.0},
        {200, 1e6, 1.0}, {0, -1, 0.0},  {0, 0, 1.0},     {0, 5, 1.0},
    };
    for (const Case& c : cases) {
        const Ramp ramp{t0, seconds(c.length_ms / 1e3)};
        EXPECT_NEAR(ramp.at(at_ms(c.t_ms)), c.expected, 1e-9) << c.length_ms << " " << c.t_ms;
    }
}

TEST(servo_stages_test, an_effect_keeps_its_state_while_it_stays_in_its_place) {
    Mailbox mailbox(2);
    const Friction rough({0, 0, 1}, 0.0, 500.0, 0.5);
    const Wall wall({0, 0, 1}, 0.0, 500.0);
    const auto never = Clock::time_point::max();
    auto take = [&] { return &mailbox.take_arm(0); };
    mailbox.set_effects(0, {rough}, never);
    ArmCommand* c = take();
    ASSERT_EQ(c->states.size(), 1u);
    c->states[0] = {{0.1, 0.2, 0.0}, true};  // what the loop's friction proxy came to
    // Whatever else is set, the friction keeps its proxy: the shared slot, another arm, the
    // same list again (a refresh of its time to live), or an effect added after it.
    mailbox.set_couplings({});
    mailbox.set_params(nullptr, 0, 0.0, never);
    mailbox.set_effects(1, {wall}, never);
    EXPECT_TRUE(take()->states[0].held);
    mailbox.set_effects(0, {rough}, t0 + std::chrono::seconds(1));
    EXPECT_TRUE(take()->states[0].held);
    mailbox.set_effects(0, {rough, wall}, never);
    c = take();
    EXPECT_TRUE(c->states[0].held);
    EXPECT_EQ(c->states[0].point, (Vec3{0.1, 0.2, 0.0}));
    EXPECT_FALSE(c->states[1].held);
    // Changed, or moved to another place: afresh. Also when the loop missed the list in
    // between (a place's effect changed and changed back).
    mailbox.set_effects(0, {wall, rough}, never);
    EXPECT_FALSE(take()->states[1].held);
    take()->states[1].held = true;
    mailbox.set_effects(0, {wall, Friction({0, 0, 1}, 0.0, 500.0, 0.6)}, never);
    mailbox.set_effects(0, {wall, rough}, never);
    EXPECT_FALSE(take()->states[1].held);
    // Each arm's time to live is its own.
    mailbox.set_effects(0, {rough}, at_ms(10));
    mailbox.set_effects(1, {wall}, never);
    EXPECT_EQ(take()->expires, at_ms(10));
    EXPECT_EQ(mailbox.take_arm(1).expires, never);
}

TEST(servo_stages_test, the_fades_scale_what_the_limit_lets_out) {
    ServoSettings settings;
    settings.max_force = 5.0;
    settings.soft_start = 0.2;
    settings.hold_cycles = 2;
    const Guards guards(settings);
    Counters counters;
    ArmGuard arm;
    guards.replied(arm, t0);
    // A huge force 1 ms after the first reply: 1/200 of max_force goes out, never more.
    double kept = 0.0;
    const double fade = guards.fade(arm, guards.watchdog(arm, false, at_ms(1), counters), at_ms(1));
    const Vector3 sent = guards.send({1000.0, 0.0, 0.0}, fade, &kept);
    EXPECT_NEAR(length(sent), 5.0 * 0.005, 1e-6);
    EXPECT_NEAR(kept, 0.005, 1e-9);
    // An expiry fades to zero within 50 ms, once counted; a refresh ramps in again.
    EXPECT_NEAR(guards.watchdog(arm, true, at_ms(300), counters), 1.0, 1e-9);
    EXPECT_NEAR(guards.watchdog(arm, true, at_ms(325), counters), 0.5, 1e-9);
    EXPECT_NEAR(guards.watchdog(arm, true, at_ms(351), counters), 0.0, 1e-9);
    EXPECT_EQ(counters.expired.load(), 1u);
    EXPECT_NEAR(guards.watchdog(arm, false, at_ms(400), counters), 1.0, 1e-9);
    EXPECT_NEAR(guards.fade(arm, 1.0, at_ms(450)), 0.25, 1e-9);
    // Failed exchanges hold the last force (faded as the watchdog says), then zero, after
    // which the next reply ramps in again.
    arm.held = {1.0f, 0.0f, 0.0f};
    EXPECT_EQ(guards.hold(arm, 2, 0.5), (Vector3{0.5f, 0.0f, 0.0f}));
    EXPECT_EQ(guards.hold(arm, 3, 1.0), (Vector3{0.0f, 0.0f, 0.0f}));
    guards.replied(arm, at_ms(1000));
    EXPECT_NEAR(guards.fade(arm, 1.0, at_ms(1100)), 0.5, 1e-9);
}

TEST(servo_stages_test, the_schedule_judges_each_cycle_by_its_deadline) {
    struct Case {
        double end_ms;
        bool late;
        std::uint64_t missed;
        bool stalled;
    } cases[] = {
        {0.5, false, 0, false},     // cycle 1 ends before its deadline at 1 ms
        {2.5, true, 0, false},      // cycle 2 (due 2 ms) is late; less than a period lost
        {3.2, true, 0, false},      // cycle 3 (due 3 ms)
        {7.5, true, 3, false},      // cycle 4 (due 4 ms) lost 3 whole periods
        {80.0, true, 72, true},     // a stall over 50 ms and ten periods: worth a notice
        {200.0, true, 119, false},  // but not twice within a second
    };
    Schedule schedule(milliseconds(1), t0);
    for (const Case& c : cases) {
        const Schedule::Verdict v = schedule.end_cycle(at_ms(c.end_ms), false);
        EXPECT_EQ(v.late, c.late) << c.end_ms;
        EXPECT_EQ(v.missed, c.missed) << c.end_ms;
        EXPECT_EQ(v.stalled > 0.0, c.stalled) << c.end_ms;
    }
    EXPECT_FALSE(schedule.end_cycle(at_ms(1000), true).late)
        << "the last cycle is judged on nothing";
}

TEST(servo_stages_test, passivity_takes_back_what_the_environment_gave_out) {
    Passivity p;
    const Vec3 v{0.1, 0.0, 0.0};
    // A force along the motion that acted as the arm went 1 mm: 1 N x 1 mm given out.
    p.answered({1.0f, 0.0f, 0.0f}, 0.0, {0.0f, 0.0f, 0.0f});
    p.answered({1.0f, 0.0f, 0.0f}, 0.0, {0.001f, 0.0f, 0.0f});
    const double b = p.damping(v, 0.001, 1000.0);
    EXPECT_NEAR(p.energy(), -0.001, 1e-9);
    EXPECT_NEAR(b, 0.001 / (0.01 * 0.001), 1e-3) << "-E / (|v|^2 dt), the 1 mm being a float";
    EXPECT_EQ(p.damping(v, 0.001, 20.0), 20.0) << "capped";
    // The credit of the damping sent counts until its force is seen acting.
    const double credit = p.sent(20.0, 0.5, v, 0.001);
    EXPECT_NEAR(credit, 20.0 * 0.5 * 0.01 * 0.001, 1e-12);
    p.lost(credit);
    EXPECT_EQ(p.damping({0.0, 0.0, 0.0}, 0.001, 20.0), 0.0) << "no damping for an arm at rest";
}

TEST(servo_stages_test, the_notice_ring_keeps_order_and_counts_what_it_drops) {
    NoticeRing ring;
    for (std::uint32_t i = 0; i < NoticeRing::capacity + 2; ++i) {
        EXPECT_EQ(ring.push({ServoNotice::Kind::stalled, StopReason::none, double(i)}),
                  i < NoticeRing::capacity);
    }
    EXPECT_EQ(ring.dropped(), 2u);
    ServoNotice n;
    for (std::uint32_t i = 0; i < NoticeRing::capacity; ++i) {
        ASSERT_TRUE(ring.pop(n));
        EXPECT_EQ(n.late, double(i));
    }
    EXPECT_FALSE(ring.pop(n));
}

TEST(servo_stages_test, settings_are_checked_against_the_table) {
    auto with = [](auto change) {
        ServoSettings s;
        change(s);
        return s;
    };
    struct Case {
        ServoSettings settings;
        const char* error;  // nullptr: accepted
    } cases[] = {
        {ServoSettings{}, nullptr},
        {with([](ServoSettings& s) { s.rate_hz = 0.0; }), nullptr},  // measured
        {with([](ServoSettings& s) { s.rate_hz = 0.5; }), "rate_hz must be from 1 to 20000 Hz"},
        {with([](ServoSettings& s) { s.max_force = 0.0; }), "max_force must be more than 0"},
        {with([](ServoSettings& s) { s.soft_start = std::nan(""); }), "soft_start must be a fin"},
        {with([](ServoSettings& s) { s.workspace_damping = -1; }), "workspace_damping must not"},
        {with([](ServoSettings& s) { s.max_velocity = -1; }), "max_velocity must be more than 0"},
        {with([](ServoSettings& s) { s.cpu = -2; }), "cpu must be from 0"},
        {with([](ServoSettings& s) { s.cpu = 65535; }), "a CPU of this machine"},
        {with([](ServoSettings& s) {
             s.workspace_min = {0, 0, std::nan("")};
         }),
         "workspace_min"},
        // A misordered workspace is refused, never silently left unguarded.
        {with([](ServoSettings& s) {
             s.workspace_max = {0.1, 0.1, -0.1};
         }),
         "lowest corner"},
    };
    for (const Case& c : cases) {
        if (c.error == nullptr) {
            EXPECT_NO_THROW(validate(c.settings));
            continue;
        }
        try {
            validate(c.settings);
            ADD_FAILURE() << "accepted: " << c.error;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
}

TEST(servo_stages_test, a_row_reads_back_as_it_was_written) {
    RowRing ring(ServoRecord::width, 4);
    ServoRow row;
    row.time = 1.5;
    row.cycle = 123456789;
    row.position = {0.1, -0.2, 0.3};
    row.law_force = {1, 2, 3};
    row.flags = ServoRecord::late | ServoRecord::law;
    row.damping_added = 7.0;
    write_row(ring, row);
    double stored[ServoRecord::width * 4];
    std::uint64_t first = 0;
    ASSERT_EQ(ring.copy(stored, first), 1u);
    EXPECT_EQ(stored[ServoRecord::cycle], 123456789.0);
    EXPECT_EQ(stored[ServoRecord::law_force + 2], 3.0);
    const ServoRow back = read_row(stored);
    EXPECT_EQ(back.cycle, row.cycle);
    EXPECT_EQ(back.position, row.position);
    EXPECT_EQ(back.law_force, row.law_force);
    EXPECT_EQ(back.flags, row.flags);
    EXPECT_EQ(back.damping_added, row.damping_added);
}
