#include <ZelkorHardwareAPI/control/line.h>
#include <ZelkorHardwareAPI/control/recorder.h>
#include <ZelkorHardwareAPI/control/servo.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <string>

#include "control/background_thread.h"
#include "control/exchange.h"
#include "control/triple_buffer.h"
#include "platform/threads.h"

namespace Zelkor::HardwareAPI::Control {

namespace {

using Clock = platform::Clock;

Vec3 widened(const Vector3& v) {
    return {v[0], v[1], v[2]};
}

std::int64_t ns_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}

// The bytes of a state reply: its code and its payload.
constexpr long reply_bytes = Devices::Arbelon::state_reply_length + 1;

// How often a wait of the loop for the port looks at whether stop() asked it to end.
constexpr std::uint32_t stop_check_ms = 2;

bool stop_asked(void* thread) {
    return static_cast<const BackgroundThread*>(thread)->stop_requested();
}

}  // namespace

const char* to_text(StopReason reason) noexcept {
    switch (reason) {
        case StopReason::none:
            return nullptr;
        case StopReason::stopped:
            return "stopped";
        case StopReason::device_not_answering:
            return "device not answering";
        case StopReason::port_closed:
            return "port closed";
        case StopReason::force_law_failed:
            return "force law failed";
        case StopReason::forked:
            return "forked";
    }
    return nullptr;
}

// What makes the force and the law's parameters, handed to the loop through triple buffers
// (setters take setter_mutex_, which the loop never takes; the loop never frees). Setters keep
// the latest of each whole and copy it into the slot they fill.
struct Servo::Inputs {
    struct Source {
        std::vector<Effect> effects;
        ForceFunction function;
        ZelkorForceLaw law = nullptr;
        std::shared_ptr<const void> law_keep;  // what keeps the law's code alive
    };
    struct Params {
        std::array<double, ZELKOR_FORCE_LAW_PARAMS> values{};
        std::size_t count = 0;
        double ramp = 0.0;  // s
    };
    TripleBuffer<Source> source;
    TripleBuffer<Params> params;
    Source latest;  // under setter_mutex_
    Params latest_params;

    void publish_source() {
        source.to_fill() = latest;
        source.publish();
    }
};

// The state the loop publishes, behind a sequence lock: the loop makes the count odd, writes,
// makes it even; a reader retries until it saw the same even count before and after. Every
// field is atomic, so readers never race the loop.
struct Servo::Published {
    std::atomic<std::uint32_t> sequence{0};
    std::atomic<double> time{0.0};
    std::atomic<std::uint64_t> cycle{0};
    std::array<std::atomic<float>, 9> values{};  // position, velocity, force
};

Servo::Servo(Devices::Arbelon& arm, const ServoSettings& settings)
    : arm_(arm),
      settings_(settings),
      thread_(std::make_unique<BackgroundThread>()),
      inputs_(std::make_unique<Inputs>()),
      published_(std::make_unique<Published>()) {
    if (!(settings.rate_hz == 0.0 || (settings.rate_hz >= 1.0 && settings.rate_hz <= 20000.0))) {
        throw std::invalid_argument("the servo's rate must be from 1 to 20000 Hz (or 0: measured)");
    }
    if (!(settings.reply_timeout > 0.0 && settings.reply_timeout <= 10.0)) {
        throw std::invalid_argument("reply_timeout must be more than 0 and at most 10 s");
    }
    if (!(settings.give_up_after > 0.0 && settings.give_up_after <= 3600.0)) {
        throw std::invalid_argument("give_up_after must be more than 0 and at most 3600 s");
    }
    if (settings.hold_cycles > 1000000) {
        throw std::invalid_argument("hold_cycles must be at most 1000000");
    }
    if (!(settings.spin_us >= 0.0 && settings.spin_us <= 10000.0)) {
        throw std::invalid_argument("spin_us must be from 0 to 10000");
    }
    if (!(settings.max_force > 0.0 && settings.max_force <= 1e6)) {
        throw std::invalid_argument("max_force must be more than 0 and at most 1e6 N");
    }
    if (settings.cpu < -1 || settings.cpu >= platform::cpu_count()) {
        throw std::invalid_argument("cpu must be -1 or a CPU of this machine, 0 to " +
                                    std::to_string(platform::cpu_count() - 1));
    }
    rate_hz_.store(settings.rate_hz);
}

Servo::~Servo() {
    stop();
    // A destructor run by the loop's own thread (from a force function) leaves the thread to
    // end by itself, as stop() does there.
}

bool Servo::running() const noexcept {
    return thread_->running();
}

void Servo::start() {
    if (thread_->on_thread()) throw std::logic_error("a servo cannot be started from its own loop");
    if (running()) throw std::logic_error("this servo is already running");
    IO::StreamUse& use = arm_.get_stream().use();
    if (!use.drive()) {
        throw std::logic_error(use.driven() ? "another servo is already driving this arm"
                                            : "the arm's stream is in use by another thread");
    }
    // From here the stream is this servo's: no other start gets this far, and a loop of this
    // servo that ended by itself has published its last figures before it let the stream go.
    stop_reason_.store(StopReason::none);
    left_limp_.store(false);
    realtime_.store(false);
    cycles_.store(0);
    late_.store(0);
    failed_.store(0);
    missed_.store(0);
    stale_.store(0);
    ended_ns_.store(0);
    exchange_times_.clear();
    publish(0.0, 0, {}, {}, {});
    if (const std::shared_ptr<RowRing> ring = std::atomic_load(&recording_)) ring->clear();
    started_ = Clock::now();
    started_ticks_.store(started_.time_since_epoch().count(), std::memory_order_release);
    try {
        thread_->start([this] { run(); });
    } catch (...) {
        use.end_drive();
        throw;
    }
}

void Servo::stop() noexcept {
    thread_->stop();
}

void Servo::set_effects(std::vector<Effect> effects) {
    std::lock_guard<std::mutex> hold(setter_mutex_);
    inputs_->latest.effects = std::move(effects);
    inputs_->latest.function = nullptr;
    inputs_->publish_source();
}

std::vector<Effect> Servo::effects() const {
    std::lock_guard<std::mutex> hold(setter_mutex_);
    return inputs_->latest.effects;
}

void Servo::set_force_function(ForceFunction function) {
    if (running()) throw std::logic_error("the force function can only be set while stopped");
    std::lock_guard<std::mutex> hold(setter_mutex_);
    // The loop computes with the function in place of the effects (which effects() still
    // reports); set_effects() puts them back in force.
    inputs_->latest.function = std::move(function);
    inputs_->publish_source();
}

void Servo::set_force_law(ZelkorForceLaw law, std::shared_ptr<const void> keep_alive) {
    std::lock_guard<std::mutex> hold(setter_mutex_);
    inputs_->latest.law = law;
    inputs_->latest.law_keep = law != nullptr ? std::move(keep_alive) : nullptr;
    inputs_->publish_source();
}

ZelkorForceLaw Servo::force_law() const {
    std::lock_guard<std::mutex> hold(setter_mutex_);
    return inputs_->latest.law;
}

void Servo::record(double seconds) {
    if (running()) throw std::logic_error("a recording can only be set up while stopped");
    if (!(seconds >= 0.0 && seconds <= 86400.0)) {
        throw std::invalid_argument("a recording lasts from 0 to 86400 seconds");
    }
    std::shared_ptr<RowRing> ring;
    if (seconds > 0.0) {
        // A measured rate is at most 1 kHz.
        const double rate = settings_.rate_hz > 0.0 ? settings_.rate_hz : 1000.0;
        ring = std::make_shared<RowRing>(ServoRecord::width,
                                         static_cast<std::size_t>(std::ceil(seconds * rate)) + 1);
    }
    std::atomic_store(&recording_, std::move(ring));
}

std::size_t Servo::recording_capacity() const noexcept {
    const std::shared_ptr<RowRing> ring = std::atomic_load(&recording_);
    return ring ? ring->capacity() : 0;
}

std::size_t Servo::copy_recording(double* out, std::uint64_t& overwritten) const noexcept {
    overwritten = 0;
    const std::shared_ptr<RowRing> ring = std::atomic_load(&recording_);
    if (!ring) return 0;
    return ring->copy(out, overwritten);
}

void Servo::set_params(const double* values, std::size_t count, double ramp) {
    if (count > ZELKOR_FORCE_LAW_PARAMS) {
        throw std::invalid_argument("a force law takes at most " +
                                    std::to_string(ZELKOR_FORCE_LAW_PARAMS) + " parameters, got " +
                                    std::to_string(count));
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::isfinite(values[i])) {
            throw std::invalid_argument("parameter " + std::to_string(i) +
                                        " must be a finite number");
        }
    }
    if (!(ramp >= 0.0 && ramp <= 3600.0)) {
        throw std::invalid_argument("the ramp must be from 0 to 3600 seconds");
    }
    std::lock_guard<std::mutex> hold(setter_mutex_);
    Inputs::Params& latest = inputs_->latest_params;
    latest.values.fill(0.0);
    std::copy(values, values + count, latest.values.begin());
    latest.count = count;
    latest.ramp = ramp;
    inputs_->params.to_fill() = latest;
    inputs_->params.publish();
}

std::vector<double> Servo::params() const {
    std::lock_guard<std::mutex> hold(setter_mutex_);
    const Inputs::Params& latest = inputs_->latest_params;
    return {latest.values.begin(), latest.values.begin() + latest.count};
}

void Servo::publish(double time, std::uint64_t cycle, const Vector3& position,
                    const Vector3& velocity, const Vector3& force) noexcept {
    Published& p = *published_;
    const std::uint32_t s = p.sequence.load(std::memory_order_relaxed);
    p.sequence.store(s + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    p.time.store(time, std::memory_order_relaxed);
    p.cycle.store(cycle, std::memory_order_relaxed);
    for (int i = 0; i < 3; ++i) {
        p.values[i].store(position[i], std::memory_order_relaxed);
        p.values[3 + i].store(velocity[i], std::memory_order_relaxed);
        p.values[6 + i].store(force[i], std::memory_order_relaxed);
    }
    p.sequence.store(s + 2, std::memory_order_release);
}

ServoState Servo::state() const noexcept {
    const Published& p = *published_;
    ServoState out;
    for (;;) {
        const std::uint32_t before = p.sequence.load(std::memory_order_acquire);
        if (before & 1u) {
            std::this_thread::yield();
            continue;
        }
        out.time = p.time.load(std::memory_order_relaxed);
        out.cycle = p.cycle.load(std::memory_order_relaxed);
        for (int i = 0; i < 3; ++i) {
            out.position[i] = p.values[i].load(std::memory_order_relaxed);
            out.velocity[i] = p.values[3 + i].load(std::memory_order_relaxed);
            out.force[i] = p.values[6 + i].load(std::memory_order_relaxed);
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        if (p.sequence.load(std::memory_order_relaxed) == before) return out;
    }
}

ServoStats Servo::stats() const noexcept {
    ServoStats s;
    s.cycles = cycles_.load(std::memory_order_relaxed);
    s.late_cycles = late_.load(std::memory_order_relaxed);
    s.failed_exchanges = failed_.load(std::memory_order_relaxed);
    s.missed = missed_.load(std::memory_order_relaxed);
    s.stale_dropped = stale_.load(std::memory_order_relaxed);
    s.stop_reason = stop_reason_.load(std::memory_order_acquire);
    if (s.stop_reason == StopReason::none && thread_->forked()) s.stop_reason = StopReason::forked;
    s.left_limp = left_limp_.load(std::memory_order_acquire);
    std::int64_t elapsed = ended_ns_.load(std::memory_order_acquire);
    const Clock::rep started = started_ticks_.load(std::memory_order_acquire);
    if (elapsed == 0 && started != 0) {
        elapsed = ns_between(Clock::time_point(Clock::duration(started)), Clock::now());
    }
    if (elapsed > 0) s.rate_hz = static_cast<double>(s.cycles) * 1e9 / static_cast<double>(elapsed);
    // One snapshot for all three, so they stay in order while the loop goes on adding.
    static constexpr double fractions[] = {0.50, 0.99, 0.999};
    std::uint64_t ns[3];
    exchange_times_.percentiles(fractions, ns, 3);
    s.p50_us = static_cast<double>(ns[0]) / 1e3;
    s.p99_us = static_cast<double>(ns[1]) / 1e3;
    s.p999_us = static_cast<double>(ns[2]) / 1e3;
    s.max_us = static_cast<double>(exchange_times_.max_ns()) / 1e3;
    return s;
}

std::vector<Servo::Bucket> Servo::exchange_time_histogram() const {
    std::vector<Bucket> out;
    exchange_times_.for_each_bucket([&out](std::uint64_t from, std::uint64_t to, std::uint64_t n) {
        out.push_back({static_cast<double>(from) / 1e3, static_cast<double>(to) / 1e3, n});
    });
    return out;
}

void Servo::run() noexcept {
    if (settings_.cpu >= 0) (void)platform::pin_to_cpu(settings_.cpu);
    if (settings_.realtime) realtime_.store(platform::make_realtime(), std::memory_order_release);
    platform::tighten_timers();

    IO::SerialStream& stream = arm_.get_stream();
    const IO::WaitHook hook_before = stream.wait_hook();
    // Waits for the port look at the stop request every few milliseconds, so stop() never waits
    // for a silent line's time-out.
    IO::WaitHook hook;
    hook.stop = stop_asked;
    hook.context = thread_.get();
    hook.interval_ms = stop_check_ms;
    stream.set_wait_hook(hook);

    if (settings_.rate_hz == 0.0) {
        // The rate the line holds, measured before the first cycle; a line that answers
        // nothing leaves the lowest rate, and the loop gives up on it as usual.
        const LineMeasurement line = measure_line(arm_, 0.3, settings_.reply_timeout);
        const double held = settings_.pipeline ? line.pipelined_hz : line.strict_hz;
        rate_hz_.store(std::clamp(std::floor(held), 1.0, 1000.0), std::memory_order_release);
        stream.set_wait_hook(hook);
    }
    const double rate = rate_hz_.load(std::memory_order_acquire);
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
    const auto reply_timeout = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(settings_.reply_timeout));
    const auto give_up_after = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(settings_.give_up_after));
    const auto spin = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::micro>(settings_.spin_us));

    StopReason reason = StopReason::stopped;
    Vector3 position{}, velocity{};
    Vector3 held{};      // the force of the latest cycle that had a state: resent after a failure
    Vector3 answered{};  // the force of the request the latest state answers
    bool have_state = false;
    std::uint32_t failures_in_a_row = 0;
    std::uint64_t cycle = 0;
    Clock::time_point due = Clock::now();
    Clock::time_point last_reply = Clock::now();  // the line's silence counts from here
    // With pipeline: the request in flight (written in the cycle before), its force and when.
    bool in_flight = false;
    Vector3 in_flight_force{};
    Clock::time_point in_flight_at{};

    enum class Reply { fresh, failed, end };
    std::int64_t exchange_ns = 0;  // the latest exchange's, for the recording
    // Reads the reply to the request written at `written` with force `sent`, and publishes a
    // whole one. On a failure, drops what comes of the late reply (and of any request written
    // after it) until `drain_bound`.
    // Until the first reply of a run, a device that is still waking up has give_up_after to
    // answer, and the loop makes strict exchanges: a first reply that came later than the wait
    // for it would be paired with a later request for good.
    auto take_reply = [&](Clock::time_point written, const Vector3& sent,
                          Clock::time_point drain_bound, int replies_owed) -> Reply {
        const bool first = !have_state;
        stream.set_deadline(written + (first ? give_up_after : reply_timeout));
        if (first) drain_bound = written + give_up_after + reply_timeout;
        Vector3 p = position, v = velocity;
        const int result = arm_.ReceiveState(p, v);
        const Clock::time_point replied = Clock::now();
        exchange_ns = ns_between(written, replied);
        exchange_times_.add(static_cast<std::uint64_t>(exchange_ns));
        if (result == Devices::Arbelon::state_reply_length) {
            position = p;
            velocity = v;
            have_state = true;
            failures_in_a_row = 0;
            last_reply = replied;
            answered = sent;
            publish(std::chrono::duration<double>(replied - started_).count(), cycle, position,
                    velocity, sent);
            return Reply::fresh;
        }
        if (thread_->stop_requested() && stream.is_open()) return Reply::end;  // cut short
        failed_.fetch_add(1, std::memory_order_relaxed);
        ++failures_in_a_row;
        if (!stream.is_open()) {
            reason = StopReason::port_closed;
            return Reply::end;
        }
        // The reply may still be on its way: it must not pass for a later request's.
        // What of this reply came is read; the rest, and the replies to later requests, not.
        const long owed = replies_owed * reply_bytes - (result >= 0 ? 1 + result : 0);
        if (detail::drain_late_reply(stream, drain_bound, owed)) {
            stale_.fetch_add(1, std::memory_order_relaxed);
        }
        if (replied - last_reply >= give_up_after ||
            (settings_.max_failures != 0 && failures_in_a_row >= settings_.max_failures)) {
            reason = StopReason::device_not_answering;
            return Reply::end;
        }
        return Reply::failed;
    };

    // The law's parameters: those in force, and a ramp from one set to the next.
    using Params = std::array<double, ZELKOR_FORCE_LAW_PARAMS>;
    Params params{}, params_from{}, params_to{};
    Clock::time_point ramp_start{}, ramp_end{};
    bool ramping = false;
    bool law_failed = false;  // a law gave a force that is not finite: zero, then the end

    const std::shared_ptr<RowRing> recording = std::atomic_load(&recording_);
    RowRing* const rows = recording.get();
    Vec3 effects_part{}, law_part{};  // the parts of this cycle's force, for the recording
    unsigned parts = 0;               // ServoRecord::effects and ::law, as they took part

    while (!thread_->stop_requested()) {
        ++cycle;
        const std::uint64_t stale_before = stale_.load(std::memory_order_relaxed);
        exchange_ns = 0;
        parts = 0;
        const Inputs::Source& source = inputs_->source.take();
        const Clock::time_point begun = Clock::now();
        if (inputs_->params.pending()) {
            const Inputs::Params& next = inputs_->params.take();
            params_from = params;
            params_to = next.values;
            ramp_start = begun;
            ramp_end = begun + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(next.ramp));
            ramping = next.ramp > 0.0;
            if (!ramping) params = params_to;
        }
        if (ramping) {
            if (begun >= ramp_end) {
                params = params_to;
                ramping = false;
            } else {
                const double a = std::chrono::duration<double>(begun - ramp_start).count() /
                                 std::chrono::duration<double>(ramp_end - ramp_start).count();
                for (std::size_t i = 0; i < params.size(); ++i) {
                    params[i] = params_from[i] + a * (params_to[i] - params_from[i]);
                }
            }
        }

        Vector3 force{0.0f, 0.0f, 0.0f};
        if (have_state && failures_in_a_row == 0) {
            ServoState state{std::chrono::duration<double>(begun - started_).count(), cycle,
                             position, velocity, answered};
            Vec3 wanted{0.0, 0.0, 0.0};
            if (source.function) {
                try {
                    wanted = source.function(state);
                } catch (...) {
                    reason = StopReason::force_law_failed;
                    break;
                }
            } else {
                wanted =
                    total_force(source.effects, widened(position), widened(velocity), state.time);
                if (!source.effects.empty()) parts |= ServoRecord::effects;
            }
            effects_part = wanted;
            if (source.law != nullptr) {
                const ZelkorServoInput in{state.time,
                                          static_cast<double>(cycle),
                                          {position[0], position[1], position[2]},
                                          {velocity[0], velocity[1], velocity[2]},
                                          {answered[0], answered[1], answered[2]}};
                double out[3] = {0.0, 0.0, 0.0};
                source.law(&in, params.data(), out);
                parts |= ServoRecord::law;
                law_part = {out[0], out[1], out[2]};
                if (std::isfinite(out[0]) && std::isfinite(out[1]) && std::isfinite(out[2])) {
                    for (int i = 0; i < 3; ++i) wanted[i] += out[i];
                } else {
                    law_failed = true;
                    wanted = {0.0, 0.0, 0.0};
                }
            }
            force = clamp_force(wanted, settings_.max_force);
            held = force;
        } else if (have_state && failures_in_a_row <= settings_.hold_cycles) {
            // A failed exchange or two need not make the arm chatter: the last force holds.
            force = held;
        }

        // With nothing in flight, whatever waits answers no request: dropped. With a request
        // in flight, more than its reply waiting means the count went wrong (a reply came
        // later than the wait for it): everything goes, and the pairing starts afresh.
        if (!in_flight) {
            if (detail::drop_waiting_input(stream)) stale_.fetch_add(1, std::memory_order_relaxed);
        } else if (stream.bytes_waiting() > reply_bytes) {
            (void)stream.discard_input();
            stale_.fetch_add(1, std::memory_order_relaxed);
            in_flight = false;
        }
        const Clock::time_point written = Clock::now();
        stream.set_deadline(written + reply_timeout);
        arm_.SendForce(force);
        cycles_.store(cycle, std::memory_order_relaxed);
        Reply reply;
        if (!settings_.pipeline || !have_state) {
            reply = take_reply(written, force, written + 2 * reply_timeout, 1);
        } else if (in_flight) {
            // The request just written rides the wire beside the reply read now. A failure
            // drains the line until that request's reply is due too.
            reply =
                take_reply(in_flight_at, in_flight_force,
                           std::max(in_flight_at + 2 * reply_timeout, written + reply_timeout), 2);
            in_flight = reply == Reply::fresh;
        } else {
            reply = Reply::fresh;
            in_flight = true;
        }
        if (reply == Reply::end) break;
        if (law_failed) {
            reason = StopReason::force_law_failed;
            break;
        }
        if (in_flight) {
            in_flight_force = force;
            in_flight_at = written;
        }

        // The schedule: a cycle that ended after its deadline is late; the next starts at once
        // when less than a period was lost, and whole periods lost are missed slots.
        const Clock::time_point deadline = due + period;
        const Clock::time_point now = Clock::now();
        unsigned flags = parts;
        if (now > deadline) {
            late_.fetch_add(1, std::memory_order_relaxed);
            flags |= ServoRecord::late;
        }
        due = deadline;
        if (now > due + period) {
            const auto lost = (now - due) / period;
            missed_.fetch_add(static_cast<std::uint64_t>(lost), std::memory_order_relaxed);
            due += period * lost;
            flags |= ServoRecord::missed;
        }
        if (rows != nullptr) {
            if (reply == Reply::failed) flags |= ServoRecord::failed;
            if (stale_.load(std::memory_order_relaxed) != stale_before) {
                flags |= ServoRecord::stale_dropped;
            }
            std::atomic<double>* const row = rows->row();
            const auto put = [row](std::size_t column, double value) {
                row[column].store(value, std::memory_order_relaxed);
            };
            put(ServoRecord::time, std::chrono::duration<double>(now - started_).count());
            put(ServoRecord::cycle, static_cast<double>(cycle));
            for (std::size_t i = 0; i < 3; ++i) {
                put(ServoRecord::position + i, position[i]);
                put(ServoRecord::velocity + i, velocity[i]);
                put(ServoRecord::force + i, force[i]);
                put(ServoRecord::effects_force + i,
                    parts & ServoRecord::effects ? effects_part[i] : 0.0);
                put(ServoRecord::law_force + i, parts & ServoRecord::law ? law_part[i] : 0.0);
            }
            put(ServoRecord::exchange_us, static_cast<double>(exchange_ns) / 1e3);
            put(ServoRecord::flags, flags);
            rows->append();
        }
        if (now < due) {
            if (spin > Clock::duration::zero()) {
                if (!thread_->sleep_until(due - spin)) break;
                while (Clock::now() < due) {
                }
            } else if (!thread_->sleep_until(due)) {
                break;
            }
        }
    }

    // The last act: leave the arm limp, if the port still lets us. This exchange is not cut
    // short by the stop request; a reply still in flight is read first, or dropped.
    bool limp = false;
    if (stream.is_open()) {
        stream.set_wait_hook({});
        if (in_flight) {
            stream.set_deadline(in_flight_at + reply_timeout);
            Vector3 p{}, v{};
            if (arm_.ReceiveState(p, v) != Devices::Arbelon::state_reply_length) {
                (void)detail::drain_late_reply(stream, in_flight_at + 2 * reply_timeout,
                                               reply_bytes);
            }
        }
        (void)detail::drop_waiting_input(stream);
        stream.set_deadline(
            Clock::now() + std::max<Clock::duration>(reply_timeout, std::chrono::milliseconds(50)));
        Vector3 p{}, v{};
        limp = arm_.end_effector_force({0.0f, 0.0f, 0.0f}, p, v) ==
               Devices::Arbelon::state_reply_length;
    }
    stream.set_wait_hook(hook_before);

    ended_ns_.store(std::max<std::int64_t>(1, ns_between(started_, Clock::now())),
                    std::memory_order_release);
    left_limp_.store(limp, std::memory_order_release);
    stop_reason_.store(reason, std::memory_order_release);
    // Last: from here another servo may drive the stream, and this one may be started again.
    stream.use().end_drive();
}

}  // namespace Zelkor::HardwareAPI::Control
