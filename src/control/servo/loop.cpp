#include "control/servo/loop.h"

#include <ZelkorHardwareAPI/control/line.h>

#include <algorithm>
#include <cmath>

#include "control/servo/rows.h"
#include "platform/threads.h"

namespace Zelkor::HardwareAPI::Control {

void Servo::Impl::run() noexcept {
    servo::Loop(*this).run();
}

namespace servo {

namespace {

// How often a wait of the loop for the port looks at whether stop() asked it to end.
constexpr std::uint32_t stop_check_ms = 2;

bool stop_asked(void* thread) {
    return static_cast<const BackgroundThread*>(thread)->stop_requested();
}

Vec3 widened(const Vector3& v) {
    return {v[0], v[1], v[2]};
}

LinkSettings link_settings(const ServoSettings& s) {
    LinkSettings l;
    l.reply_timeout = seconds(s.reply_timeout);
    l.first_reply_timeout = seconds(s.give_up_after);
    l.give_up_after = seconds(s.give_up_after);
    l.max_failures = s.max_failures;
    l.pipeline = s.pipeline;
    return l;
}

}  // namespace

Loop::Loop(Servo::Impl& servo)
    : s_(servo),
      count_(servo.arm_count),
      compose_(views_.data(), servo.arm_count),
      guards_(servo.settings),
      schedule_(Clock::duration(1), Clock::now()),
      spin_(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double, std::micro>(servo.settings.spin_us))),
      recording_(std::atomic_load(&servo.recording)) {
    servo.loop.store(this, std::memory_order_release);
    const LinkSettings link = link_settings(servo.settings);
    for (std::size_t i = 0; i < count_; ++i) {
        arms_[i].link = ArmLink(*servo.arms[i], link, servo.telemetry.counters);
    }
}

void Loop::run() noexcept {
    prepare();
    while (!s_.thread.stop_requested() && cycle()) {
    }
    // A loop abandoned in its force law (see take_over) touches nothing more.
    if (!abandoned_)
        finish(reason_,
               reason_ == StopReason::force_law_failed ? compose_.failure().what : nullptr);
}

void Loop::take_over(const char* why) noexcept {
    finish(StopReason::force_law_overran, why);
}

void Loop::prepare() noexcept {
    const ServoSettings& settings = s_.settings;
    if (settings.cpu >= 0) (void)platform::pin_to_cpu(settings.cpu);
    if (settings.realtime) s_.telemetry.realtime.store(platform::make_realtime());
    platform::tighten_timers();
    // Waits for the ports look at the stop request every few milliseconds, so stop() never
    // waits for a silent line's time-out, nor for the line's measurement.
    IO::WaitHook hook;
    hook.stop = stop_asked;
    hook.context = &s_.thread;
    hook.interval_ms = stop_check_ms;
    if (settings.rate_hz == 0.0) choose_rate(hook);
    const Clock::time_point now = Clock::now();
    for (std::size_t i = 0; i < count_; ++i) arms_[i].link.activate(hook, now);
    schedule_ = Schedule(seconds(1.0 / s_.telemetry.rate_hz.load()), now);
    previous_ = now;
}

// The rate the slowest line holds, measured before the first cycle, and for a single arm
// whether a request in flight holds more; a line that answers nothing leaves the lowest rate,
// and the loop gives up on it as usual.
void Loop::choose_rate(const IO::WaitHook& stop) noexcept {
    const ServoSettings& settings = s_.settings;
    double strict = 1000.0, pipelined = 1000.0;
    for (std::size_t i = 0; i < count_; ++i) {
        const LineMeasurement line = measure_line(*s_.arms[i], 1.0, settings.reply_timeout, stop);
        strict = std::min(strict, line.strict_hz);
        pipelined = std::min(pipelined, line.pipelined_hz);
    }
    const bool pipe = settings.pipeline || (count_ == 1 && pipelined > strict);
    double rate = std::clamp(std::floor(pipe ? pipelined : strict), 1.0, 1000.0);
    // A scene steps by whole timesteps: the period lengthened to the nearest they make up.
    rate = 1.0 / s_.mailbox.scene_period(1.0 / rate);
    s_.telemetry.rate_hz.store(rate);
    s_.telemetry.pipelined.store(pipe);
    arms_[0].link.set_pipeline(pipe);
    if (s_.thread.stop_requested()) return;  // stopped while measuring: nothing to tell
    ServoNotice told;
    told.kind = ServoNotice::Kind::measured;
    told.strict_hz = strict;
    told.pipelined_hz = pipelined;
    told.rate_hz = rate;
    told.pipelined = pipe;
    if (s_.notices.push(told)) s_.notifier.wake();
}

bool Loop::cycle() noexcept {
    ++cycle_;
    Counters& counters = s_.telemetry.counters;
    const std::uint64_t stale_before = counters.stale.load(std::memory_order_relaxed);
    const Clock::time_point begun = Clock::now();
    const double dt = seconds_between(previous_, begun);
    previous_ = begun;
    take_commands(begun);
    const double time = seconds_between(s_.telemetry.started(), begun);
    bool failed = false;
    // The supervisor watches this: a cycle that stays too long in its force law is taken over.
    s_.composing_since.store(begun.time_since_epoch().count(), std::memory_order_release);
    for (std::size_t i = 0; i < count_; ++i) {
        guard_arm(i, begun, time, dt, wanted_[i]);
        failed = failed || wanted_[i].failed;
    }
    if (s_.composing_since.exchange(0, std::memory_order_acq_rel) == Servo::Impl::abandoned) {
        abandoned_ = true;  // the stream is the supervisor's now
        return false;
    }
    const ArmLink::Outcome reply = exchange();
    // The last cycle, too, is on record, whatever ends the loop.
    if (failed) reason_ = StopReason::force_law_failed;
    if (scene_failure_ != StopReason::none && reason_ == StopReason::stopped) {
        reason_ = scene_failure_;
    }
    const bool ending = reason_ != StopReason::stopped || s_.thread.stop_requested();
    const Clock::time_point now = Clock::now();
    const Schedule::Verdict verdict = schedule_.end_cycle(now, ending);
    if (verdict.late) Counters::add(counters.late);
    if (verdict.missed > 0) Counters::add(counters.missed, verdict.missed);
    if (verdict.stalled > 0.0 && s_.notify) {
        if (s_.notices.push({ServoNotice::Kind::stalled, StopReason::none, verdict.stalled})) {
            s_.notifier.wake();
        }
    }
    record(now, wanted_[0], reply, verdict,
           counters.stale.load(std::memory_order_relaxed) != stale_before);
    return !ending && schedule_.wait(s_.thread, now, spin_);
}

void Loop::take_commands(Clock::time_point now) noexcept {
    for (std::size_t i = 0; i < count_; ++i) arms_[i].command = &s_.mailbox.take_arm(i);
    take_scene();
    bool changed = false;
    shared_ = &s_.mailbox.take_shared(changed);
    if (changed && shared_->params_serial != params_serial_) {
        params_serial_ = shared_->params_serial;
        params_from_ = params_;
        params_ramp_ = Ramp{now, seconds(shared_->ramp)};
        params_ramping_ = true;
    }
    if (params_ramping_) {
        const double f = params_ramp_.at(now);
        for (std::size_t k = 0; k < params_.size(); ++k) {
            params_[k] = params_from_[k] + f * (shared_->params[k] - params_from_[k]);
        }
        params_ramping_ = f < 1.0;
    }
}

// The scene handed over last: the one before is pulled no more, the new one steps from here.
void Loop::take_scene() noexcept {
    bool changed = false;
    const SceneCommand& command = s_.mailbox.take_scene(changed);
    MujocoScene* const next = command.scene.get();
    MujocoScene::Impl* const impl = next != nullptr ? &next->impl() : nullptr;
    if (impl != scene_) {
        if (scene_ != nullptr) scene_->let_go();
        scene_ = impl;
        if (scene_ != nullptr) scene_->begin(command.steps, schedule_.period(), schedule_.stall());
    }
    // Only now may the scene before change hands.
    if (changed) s_.mailbox.scene_taken_up_to(command.serial);
}

// Arm i's request this cycle: what its environment wants, guarded; the last force held after
// a failed exchange.
void Loop::guard_arm(std::size_t i, Clock::time_point now, double time, double dt,
                     Wanted& w) noexcept {
    Arm& a = arms_[i];
    a.request = {};
    a.damping_added = 0.0;
    const bool expired = now > a.command->expires || (i == 0 && now > shared_->params_expire);
    const double watchdog = guards_.watchdog(a.guard, expired, now, s_.telemetry.counters);
    const ArmView& view = views_[i];
    if (!view.have_state || a.link.failures() > 0) {
        w = Wanted{};
        if (view.have_state) a.request.force = guards_.hold(a.guard, a.link.failures(), watchdog);
        return;
    }
    compose_.arm(i, *a.command, *shared_, params_.data(), time, cycle_, a.passivity.energy(), w);
    if (w.failed) return;  // zero goes out, then the loop ends
    if (scene_ != nullptr) scene_->couple(i, view.position, view.velocity, w.force);
    const Vec3& v = view.velocity;
    if (s_.settings.passivity) {
        a.damping_added = a.passivity.damping(v, dt, s_.settings.passivity_max_damping);
        for (int k = 0; k < 3; ++k) w.force[k] -= a.damping_added * v[k];
    }
    bool damped = a.damping_added > 0.0;
    const Vec3 limited = guards_.limit(w.force, view.position, v, damped);
    const double scale = guards_.fade(a.guard, watchdog, now);
    double kept = 0.0;
    a.request.force = guards_.send(limited, scale, damped ? &kept : nullptr);
    if (damped) a.request.credit = a.passivity.sent(a.damping_added, scale * kept, v, dt);
    a.guard.held = a.request.force;
}

// Every arm's request goes out, then every reply is read: exchanges on different lines
// overlap. Returns arm 0's outcome.
ArmLink::Outcome Loop::exchange() noexcept {
    for (std::size_t i = 0; i < count_; ++i) arms_[i].link.send(arms_[i].request);
    // The scene steps while the requests are on their way: its time is not the state's.
    if (scene_ != nullptr) scene_failure_ = scene_->step();
    s_.telemetry.counters.cycles.store(cycle_, std::memory_order_relaxed);
    ArmLink::Outcome first = ArmLink::Outcome::fresh;
    exchange_ns_ = 0;
    for (std::size_t i = 0; i < count_ && reason_ == StopReason::stopped; ++i) {
        ArmLink& link = arms_[i].link;
        const ArmLink::Received r = link.receive(s_.thread.stop_requested());
        if (r.outcome != ArmLink::Outcome::none) {
            s_.telemetry.exchange_times.add(static_cast<std::uint64_t>(link.exchange_ns()));
        }
        if (i == 0) {
            first = r.outcome;
            exchange_ns_ = link.exchange_ns();
        }
        received(i, r);
        if (r.outcome == ArmLink::Outcome::end) break;
    }
    return first;
}

void Loop::received(std::size_t i, const ArmLink::Received& r) noexcept {
    Arm& a = arms_[i];
    if (r.outcome == ArmLink::Outcome::fresh) {
        guards_.replied(a.guard, r.at);
        a.passivity.answered(r.request.force, r.request.credit, a.link.moved());
        views_[i] = {true, widened(a.link.position()), widened(a.link.velocity()), r.request.force};
        s_.telemetry.publish(
            i, {seconds_between(s_.telemetry.started(), r.at), cycle_, a.link.position(),
                a.link.velocity(), r.request.force, a.passivity.energy(), a.damping_added});
    } else if (r.outcome == ArmLink::Outcome::failed) {
        a.passivity.lost(r.request.credit);
    } else if (r.outcome == ArmLink::Outcome::end && a.link.reason() != StopReason::none) {
        a.passivity.lost(r.request.credit);
        reason_ = a.link.reason();
    }
}

void Loop::record(Clock::time_point now, const Wanted& wanted, ArmLink::Outcome reply,
                  const Schedule::Verdict& verdict, bool stale) noexcept {
    if (!recording_) return;
    const Arm& a = arms_[0];
    ServoRow row;
    row.time = seconds_between(s_.telemetry.started(), now);
    row.cycle = cycle_;
    row.position = widened(a.link.position());
    row.velocity = widened(a.link.velocity());
    row.force = widened(a.request.force);
    row.effects_force = wanted.parts & ServoRecord::effects ? wanted.effects : Vec3{};
    row.law_force = wanted.parts & ServoRecord::law ? wanted.law : Vec3{};
    row.exchange_us = static_cast<double>(exchange_ns_) / 1e3;
    const bool failed = reply == ArmLink::Outcome::failed || reply == ArmLink::Outcome::end;
    row.flags = wanted.parts | (verdict.late ? ServoRecord::late : 0u) |
                (verdict.missed > 0 ? ServoRecord::missed : 0u) |
                (failed ? ServoRecord::failed : 0u) | (stale ? ServoRecord::stale_dropped : 0u);
    row.energy = a.passivity.energy();
    row.damping_added = a.damping_added;
    if (scene_ != nullptr) {
        row.scene_force = scene_->arm_parts();
        row.flags |= ServoRecord::scene;
    }
    write_row(*recording_, row);
}

// The last act: leave every arm limp, if its port still lets us, tell how the run ended, and
// let the streams go.
void Loop::finish(StopReason reason, const char* failure) noexcept {
    s_.law_failure = reason == StopReason::force_law_failed ? compose_.failure() : LawCall{};
    bool limp = true;
    for (std::size_t i = 0; i < count_; ++i) limp = arms_[i].link.deactivate() && limp;
    if (scene_ != nullptr) scene_->let_go();
    s_.telemetry.end(Clock::now(), reason, limp, failure);
    // From here another servo may drive the streams, and this one may be started again.
    for (std::size_t i = 0; i < count_; ++i) s_.drives[i].release();
    if (reason != StopReason::stopped) s_.ended.store(reason, std::memory_order_release);
}

}  // namespace servo
}  // namespace Zelkor::HardwareAPI::Control
