#include <ZelkorHardwareAPI/control/servo.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <string>

#include "control/clock.h"

namespace Zelkor::HardwareAPI::Control {

namespace {

using Clock = platform::Clock;

// The arms that have a running servo: one servo per arm. Touched only by start() and by a
// loop as it ends, never within a cycle.
std::mutex driven_mutex;
std::vector<const Devices::Arbelon*> driven;

bool claim(const Devices::Arbelon& arm) {
    std::lock_guard<std::mutex> hold(driven_mutex);
    if (std::find(driven.begin(), driven.end(), &arm) != driven.end()) return false;
    driven.push_back(&arm);
    return true;
}

void release(const Devices::Arbelon& arm) noexcept {
    std::lock_guard<std::mutex> hold(driven_mutex);
    driven.erase(std::remove(driven.begin(), driven.end(), &arm), driven.end());
}

Vec3 widened(const Vector3& v) {
    return {v[0], v[1], v[2]};
}

std::int64_t ns_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
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
    }
    return nullptr;
}

struct Servo::EffectList {
    std::vector<Effect> effects;
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
    : arm_(arm), settings_(settings), published_(std::make_unique<Published>()) {
    if (!(settings.rate_hz >= 1.0 && settings.rate_hz <= 20000.0)) {
        throw std::invalid_argument("the servo's rate must be from 1 to 20000 Hz");
    }
    if (!(settings.max_force > 0.0 && settings.max_force <= 1e6)) {
        throw std::invalid_argument("max_force must be more than 0 and at most 1e6 N");
    }
    max_failures_ =
        settings.max_failures != 0
            ? settings.max_failures
            : static_cast<std::uint32_t>(std::max(1.0, std::ceil(0.05 * settings.rate_hz)));
}

Servo::~Servo() {
    stop();
    delete pending_.exchange(nullptr);
    delete retired_.exchange(nullptr);
    delete current_;
}

void Servo::start() {
    if (running()) throw std::logic_error("this servo is already running");
    if (thread_.joinable()) thread_.join();  // a loop that ended by itself
    if (!claim(arm_)) throw std::logic_error("another servo is already driving this arm");
    stop_requested_.store(false);
    stop_reason_.store(StopReason::none);
    realtime_.store(false);
    cycles_.store(0);
    late_.store(0);
    failed_.store(0);
    ended_ns_.store(0);
    exchange_times_.clear();
    publish(0.0, 0, {}, {}, {});
    started_ = Clock::now();
    started_ticks_.store(started_.time_since_epoch().count(), std::memory_order_release);
    running_.store(true, std::memory_order_release);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        running_.store(false);
        release(arm_);
        throw;
    }
}

void Servo::stop() noexcept {
    stop_requested_.store(true, std::memory_order_release);
    if (thread_.joinable()) thread_.join();
}

void Servo::set_effects(std::vector<Effect> effects) {
    auto fresh = std::make_unique<EffectList>();
    fresh->effects = effects;
    std::lock_guard<std::mutex> hold(setter_mutex_);
    latest_ = std::move(effects);
    function_ = nullptr;
    delete retired_.exchange(nullptr, std::memory_order_acq_rel);
    // A list the loop has not taken yet is simply replaced.
    delete pending_.exchange(fresh.release(), std::memory_order_acq_rel);
}

std::vector<Effect> Servo::effects() const {
    std::lock_guard<std::mutex> hold(setter_mutex_);
    return latest_;
}

void Servo::set_force_function(ForceFunction function) {
    if (running()) throw std::logic_error("the force function can only be set while stopped");
    std::lock_guard<std::mutex> hold(setter_mutex_);
    function_ = std::move(function);
}

const Servo::EffectList* Servo::take_effects() noexcept {
    if (EffectList* fresh = pending_.exchange(nullptr, std::memory_order_acq_rel)) {
        EffectList* old = current_;
        current_ = fresh;
        // Normally the setter frees it; only when two lists came within one cycle does the
        // loop free one here.
        delete retired_.exchange(old, std::memory_order_acq_rel);
    }
    return current_;
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
    s.stop_reason = stop_reason_.load(std::memory_order_acquire);
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
    if (settings_.realtime) realtime_.store(platform::make_realtime(), std::memory_order_release);

    IO::SerialStream& stream = arm_.get_stream();
    const IO::WaitHook hook_before = stream.wait_hook();
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / settings_.rate_hz));
    ForceFunction function;
    {
        std::lock_guard<std::mutex> hold(setter_mutex_);
        function = function_;
    }

    StopReason reason = StopReason::stopped;
    Vector3 position{}, velocity{}, force{};
    bool have_state = false;
    std::uint32_t failures_in_a_row = 0;
    bool discard = false;
    std::uint64_t cycle = 0;
    Clock::time_point due = started_;
    while (!stop_requested_.load(std::memory_order_acquire)) {
        ++cycle;
        const EffectList* effects = take_effects();
        // The force comes from the previous reply; without one (at the start, or after a
        // failed exchange) the arm is left limp for this cycle.
        force = {0.0f, 0.0f, 0.0f};
        if (have_state && failures_in_a_row == 0) {
            ServoState state{std::chrono::duration<double>(Clock::now() - started_).count(), cycle,
                             position, velocity, force};
            Vec3 wanted{0.0, 0.0, 0.0};
            if (function) {
                try {
                    wanted = function(state);
                } catch (...) {
                    reason = StopReason::force_law_failed;
                    break;
                }
            } else if (effects != nullptr) {
                wanted = total_force(effects->effects, widened(position), widened(velocity));
            }
            force = clamp_force(wanted, settings_.max_force);
        }

        const Clock::time_point next = due + period;
        stream.set_deadline(next);
        if (discard) {
            // A reply that came after its cycle gave up on it must not pass for this one's.
            // Dropping what has arrived as late as possible gives it the most time to come.
            (void)stream.discard_input();
            discard = false;
        }
        const Clock::time_point sent = Clock::now();
        Vector3 p = position, v = velocity;
        const int result = arm_.end_effector_force(force, p, v);
        const Clock::time_point replied = Clock::now();
        exchange_times_.add(static_cast<std::uint64_t>(ns_between(sent, replied)));
        cycles_.store(cycle, std::memory_order_relaxed);

        if (result == Devices::Arbelon::state_reply_length) {
            position = p;
            velocity = v;
            have_state = true;
            failures_in_a_row = 0;
            publish(std::chrono::duration<double>(replied - started_).count(), cycle, position,
                    velocity, force);
        } else {
            failed_.fetch_add(1, std::memory_order_relaxed);
            ++failures_in_a_row;
            if (!stream.is_open()) {
                reason = StopReason::port_closed;
                break;
            }
            if (failures_in_a_row >= max_failures_) {
                reason = StopReason::device_not_answering;
                break;
            }
            discard = true;
        }

        due = next;
        const Clock::time_point now = Clock::now();
        if (now > due) {
            // Late: no burst of cycles to catch up; carry on from the next deadline.
            late_.fetch_add(1, std::memory_order_relaxed);
            due += period * ((now - due) / period + 1);
        }
        platform::sleep_until(due);
    }

    // The last act: leave the arm limp, if the port still lets us.
    if (stream.is_open()) {
        if (reason != StopReason::stopped) (void)stream.discard_input();
        stream.set_deadline(Clock::now() +
                            std::max<Clock::duration>(period, std::chrono::milliseconds(50)));
        Vector3 p{}, v{};
        (void)arm_.end_effector_force({0.0f, 0.0f, 0.0f}, p, v);
    }
    stream.set_wait_hook(hook_before);

    ended_ns_.store(std::max<std::int64_t>(1, ns_between(started_, Clock::now())),
                    std::memory_order_release);
    stop_reason_.store(reason, std::memory_order_release);
    release(arm_);
    running_.store(false, std::memory_order_release);
}

}  // namespace Zelkor::HardwareAPI::Control
