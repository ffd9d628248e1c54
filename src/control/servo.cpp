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

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

double dot(const Vec3& a, const Vec3& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// How long a force takes to fade to zero once what was set with a time to live expired.
constexpr auto fade_time = std::chrono::milliseconds(50);

Clock::time_point expiry(double ttl) {
    return ttl > 0.0 ? Clock::now() + seconds(ttl) : Clock::time_point::max();
}

void require_ttl(double ttl) {
    if (!(ttl >= 0.0 && ttl <= 3600.0)) {
        throw std::invalid_argument("a time to live must be from 0 to 3600 seconds");
    }
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
        std::array<std::vector<Effect>, max_arms> effects;
        std::vector<Coupling> couplings;
        ForceFunction function;
        ZelkorForceLaw law = nullptr;
        std::shared_ptr<const void> law_keep;  // what keeps the law's code alive
        Clock::time_point expires = Clock::time_point::max();
    };
    struct Params {
        std::array<double, ZELKOR_FORCE_LAW_PARAMS> values{};
        std::size_t count = 0;
        double ramp = 0.0;  // s
        Clock::time_point expires = Clock::time_point::max();
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

// The state the loop publishes for one arm, behind a sequence lock: the loop makes the count
// odd, writes, makes it even; a reader retries until it saw the same even count before and
// after. Every field is atomic, so readers never race the loop.
struct Servo::Published {
    std::atomic<std::uint32_t> sequence{0};
    std::atomic<double> time{0.0};
    std::atomic<std::uint64_t> cycle{0};
    std::array<std::atomic<float>, 9> values{};  // position, velocity, force
    std::atomic<double> energy{0.0};
    std::atomic<double> damping_added{0.0};
};

double stable_stiffness(double b, double rate_hz, double latency) noexcept {
    if (!(rate_hz > 0.0) || !(b >= 0.0) || !(latency >= 0.0)) return 0.0;
    return 2.0 * b / (1.0 / rate_hz + 2.0 * latency);
}

Servo::Servo(Devices::Arbelon& arm, const ServoSettings& settings)
    : Servo(std::vector<Devices::Arbelon*>{&arm}, settings) {}

Servo::Servo(const std::vector<Devices::Arbelon*>& arms, const ServoSettings& settings)
    : settings_(settings),
      thread_(std::make_unique<BackgroundThread>()),
      inputs_(std::make_unique<Inputs>()) {
    if (arms.empty() || arms.size() > max_arms) {
        throw std::invalid_argument("a servo drives 1 to " + std::to_string(max_arms) + " arms");
    }
    for (std::size_t i = 0; i < arms.size(); ++i) {
        if (arms[i] == nullptr) throw std::invalid_argument("a servo's arm must not be null");
        for (std::size_t j = 0; j < i; ++j) {
            if (&arms[j]->get_stream() == &arms[i]->get_stream()) {
                throw std::invalid_argument(
                    "a servo's arms must each be on a stream of its own: one line carries one "
                    "exchange at a time");
            }
        }
        arms_[i] = arms[i];
    }
    arm_count_ = arms.size();
    if (settings.pipeline && arm_count_ > 1) {
        throw std::invalid_argument("pipeline drives one arm");
    }
    published_ = std::make_unique<Published[]>(arm_count_);
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
    if (!(settings.max_force > 0.0 && settings.max_force <= 20.0)) {
        throw std::invalid_argument(
            "max_force must be more than 0 and at most 20 N, what a desk-top arm takes");
    }
    if (!(settings.soft_start >= 0.0 && settings.soft_start <= 60.0)) {
        throw std::invalid_argument("soft_start must be from 0 to 60 seconds");
    }
    require_finite(settings.workspace_min, "the workspace's corner");
    require_finite(settings.workspace_max, "the workspace's corner");
    require_gain(settings.workspace_stiffness, "the workspace's stiffness");
    require_gain(settings.workspace_damping, "the workspace's damping");
    require_gain(settings.max_velocity, "max_velocity");
    require_gain(settings.velocity_damping, "velocity_damping");
    require_gain(settings.passivity_max_damping, "passivity_max_damping");
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
    for (std::size_t i = 0; i < arm_count_; ++i) {
        IO::StreamUse& use = arms_[i]->get_stream().use();
        if (!use.drive()) {
            for (std::size_t j = 0; j < i; ++j) arms_[j]->get_stream().use().end_drive();
            throw std::logic_error(use.driven() ? "another servo is already driving this arm"
                                                : "the arm's stream is in use by another thread");
        }
    }
    // From here the streams are this servo's: no other start gets this far, and a loop of this
    // servo that ended by itself has published its last figures before it let them go.
    stop_reason_.store(StopReason::none);
    left_limp_.store(false);
    realtime_.store(false);
    cycles_.store(0);
    late_.store(0);
    failed_.store(0);
    missed_.store(0);
    stale_.store(0);
    expired_.store(0);
    ended_ns_.store(0);
    exchange_times_.clear();
    for (std::size_t i = 0; i < arm_count_; ++i) publish(i, 0.0, 0, {}, {}, {}, 0.0, 0.0);
    if (const std::shared_ptr<RowRing> ring = std::atomic_load(&recording_)) ring->clear();
    started_ = Clock::now();
    started_ticks_.store(started_.time_since_epoch().count(), std::memory_order_release);
    try {
        thread_->start([this] { run(); });
    } catch (...) {
        for (std::size_t i = 0; i < arm_count_; ++i) arms_[i]->get_stream().use().end_drive();
        throw;
    }
}

void Servo::stop() noexcept {
    thread_->stop();
}

void Servo::set_effects(std::vector<Effect> effects) {
    set_effects(std::move(effects), 0, 0.0);
}

void Servo::set_effects(std::vector<Effect> effects, std::size_t arm, double ttl) {
    if (arm >= arm_count_) {
        throw std::invalid_argument("this servo drives arms 0 to " +
                                    std::to_string(arm_count_ - 1));
    }
    require_ttl(ttl);
    std::lock_guard<std::mutex> hold(setter_mutex_);
    inputs_->latest.effects[arm] = std::move(effects);
    inputs_->latest.function = nullptr;
    inputs_->latest.expires = expiry(ttl);
    inputs_->publish_source();
}

std::vector<Effect> Servo::effects(std::size_t arm) const {
    std::lock_guard<std::mutex> hold(setter_mutex_);
    return arm < arm_count_ ? inputs_->latest.effects[arm] : std::vector<Effect>{};
}

void Servo::set_couplings(std::vector<Coupling> couplings) {
    for (const Coupling& c : couplings) {
        if (c.a >= arm_count_ || c.b >= arm_count_) {
            throw std::invalid_argument("a coupling joins arms this servo drives, 0 to " +
                                        std::to_string(arm_count_ - 1));
        }
    }
    std::lock_guard<std::mutex> hold(setter_mutex_);
    inputs_->latest.couplings = std::move(couplings);
    inputs_->publish_source();
}

std::vector<Coupling> Servo::couplings() const {
    std::lock_guard<std::mutex> hold(setter_mutex_);
    return inputs_->latest.couplings;
}

void Servo::set_notify(std::function<void(const ServoNotice&)> notify) {
    if (running()) throw std::logic_error("set_notify() only while the servo is stopped");
    notify_ = std::move(notify);
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
    set_params(values, count, ramp, 0.0);
}

void Servo::set_params(const double* values, std::size_t count, double ramp, double ttl) {
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
    require_ttl(ttl);
    std::lock_guard<std::mutex> hold(setter_mutex_);
    Inputs::Params& latest = inputs_->latest_params;
    latest.values.fill(0.0);
    std::copy(values, values + count, latest.values.begin());
    latest.count = count;
    latest.ramp = ramp;
    latest.expires = expiry(ttl);
    inputs_->params.to_fill() = latest;
    inputs_->params.publish();
}

std::vector<double> Servo::params() const {
    std::lock_guard<std::mutex> hold(setter_mutex_);
    const Inputs::Params& latest = inputs_->latest_params;
    return {latest.values.begin(), latest.values.begin() + latest.count};
}

void Servo::publish(std::size_t arm, double time, std::uint64_t cycle, const Vector3& position,
                    const Vector3& velocity, const Vector3& force, double energy,
                    double damping_added) noexcept {
    Published& p = published_[arm];
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
    p.energy.store(energy, std::memory_order_relaxed);
    p.damping_added.store(damping_added, std::memory_order_relaxed);
    p.sequence.store(s + 2, std::memory_order_release);
}

ServoState Servo::state(std::size_t arm) const noexcept {
    ServoState out;
    if (arm >= arm_count_) return out;
    const Published& p = published_[arm];
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
        out.energy = p.energy.load(std::memory_order_relaxed);
        out.damping_added = p.damping_added.load(std::memory_order_relaxed);
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
    s.expired = expired_.load(std::memory_order_relaxed);
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

double Servo::stable_stiffness(double b) const noexcept {
    const double latency =
        static_cast<double>(exchange_times_.percentile(0.5)) / 1e9;  // 0 before any exchange
    return Control::stable_stiffness(b, rate_hz(), latency);
}

void Servo::run() noexcept {
    if (settings_.cpu >= 0) (void)platform::pin_to_cpu(settings_.cpu);
    if (settings_.realtime) realtime_.store(platform::make_realtime(), std::memory_order_release);
    platform::tighten_timers();

    // What the loop keeps of each arm.
    struct ArmLoop {
        Devices::Arbelon* arm = nullptr;
        IO::SerialStream* stream = nullptr;
        IO::WaitHook hook_before;
        Vector3 position{}, velocity{};
        Vector3 answered{};  // the force of the request the latest state answers
        Vector3 acted{};     // the force before it: what acted on the arm as it came to that state
        Vector3 moved{};     // m: how far the arm went as it came to that state
        // The passivity controller's damping in a force is counted as dissipated when it is
        // computed, and swapped for what it really took once its force has acted: the credit
        // travels with its force.
        double credit = 0.0, answered_credit = 0.0, acted_credit = 0.0, in_flight_credit = 0.0;
        double outstanding = 0.0;  // the credits of forces not yet seen acting
        Vector3 held{};            // the force of the latest cycle that had a state
        Vector3 force{};           // this cycle's
        bool have_state = false;
        std::uint32_t failures = 0;
        Clock::time_point last_reply{};
        Clock::time_point ramp_from{};  // forces ramp in from here (soft_start)
        bool ramp_again = false;        // zero went out after failures: ramp in at recovery
        double energy = 0.0;            // the passivity observer's, J
        double damping_added = 0.0;     // this cycle's, N s/m
        // With pipeline: the request in flight (written in the cycle before).
        bool in_flight = false;
        Vector3 in_flight_force{};
        Clock::time_point in_flight_at{};
    };
    std::array<ArmLoop, max_arms> arms{};

    // Waits for the ports look at the stop request every few milliseconds, so stop() never
    // waits for a silent line's time-out.
    IO::WaitHook hook;
    hook.stop = stop_asked;
    hook.context = thread_.get();
    hook.interval_ms = stop_check_ms;
    for (std::size_t i = 0; i < arm_count_; ++i) {
        arms[i].arm = arms_[i];
        arms[i].stream = &arms_[i]->get_stream();
        arms[i].hook_before = arms[i].stream->wait_hook();
        arms[i].stream->set_wait_hook(hook);
    }

    if (settings_.rate_hz == 0.0) {
        // The rate the slowest line holds, measured before the first cycle; a line that
        // answers nothing leaves the lowest rate, and the loop gives up on it as usual.
        double held = 1000.0;
        for (std::size_t i = 0; i < arm_count_; ++i) {
            const LineMeasurement line = measure_line(*arms_[i], 0.3, settings_.reply_timeout);
            held = std::min(held, settings_.pipeline ? line.pipelined_hz : line.strict_hz);
            arms[i].stream->set_wait_hook(hook);
        }
        rate_hz_.store(std::clamp(std::floor(held), 1.0, 1000.0), std::memory_order_release);
    }
    const double rate = rate_hz_.load(std::memory_order_acquire);
    const auto period = seconds(1.0 / rate);
    const auto stall = std::max(seconds(0.05), 10 * period);  // worth a notice
    Clock::time_point told_stall{};
    const auto reply_timeout = seconds(settings_.reply_timeout);
    const auto give_up_after = seconds(settings_.give_up_after);
    const auto spin = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::micro>(settings_.spin_us));
    const auto soft_start = seconds(settings_.soft_start);
    const bool workspace = settings_.workspace_min[0] < settings_.workspace_max[0] &&
                           settings_.workspace_min[1] < settings_.workspace_max[1] &&
                           settings_.workspace_min[2] < settings_.workspace_max[2];
    // The workspace as a box the end-effector is kept inside.
    const Box bounds({0.5 * (settings_.workspace_min[0] + settings_.workspace_max[0]),
                      0.5 * (settings_.workspace_min[1] + settings_.workspace_max[1]),
                      0.5 * (settings_.workspace_min[2] + settings_.workspace_max[2])},
                     {std::abs(0.5 * (settings_.workspace_max[0] - settings_.workspace_min[0])),
                      std::abs(0.5 * (settings_.workspace_max[1] - settings_.workspace_min[1])),
                      std::abs(0.5 * (settings_.workspace_max[2] - settings_.workspace_min[2]))},
                     settings_.workspace_stiffness, settings_.workspace_damping, true);

    StopReason reason = StopReason::stopped;
    std::uint64_t cycle = 0;
    Clock::time_point due = Clock::now();
    for (std::size_t i = 0; i < arm_count_; ++i) arms[i].last_reply = due;

    enum class Reply { fresh, failed, end };
    std::int64_t exchange_ns = 0;  // arm 0's latest exchange, for the recording

    // Reads `a`'s reply to the request written at `written` with force `sent`, and publishes a
    // whole one. On a failure, drops what comes of the late reply (and of the `later` requests
    // written after it) until `drain_bound`. Until the first reply of a run, a device that is
    // still waking up has give_up_after to answer, and the loop makes strict exchanges: a
    // first reply that came later than the wait for it would be paired with a later request
    // for good.
    auto take_reply = [&](std::size_t index, Clock::time_point written, const Vector3& sent,
                          double credit, Clock::time_point drain_bound, int replies_owed) -> Reply {
        ArmLoop& a = arms[index];
        const bool first = !a.have_state;
        a.stream->set_deadline(written + (first ? give_up_after : reply_timeout));
        if (first) drain_bound = written + give_up_after + reply_timeout;
        Vector3 p = a.position, v = a.velocity;
        const int result = a.arm->ReceiveState(p, v);
        const Clock::time_point replied = Clock::now();
        if (index == 0) exchange_ns = ns_between(written, replied);
        exchange_times_.add(static_cast<std::uint64_t>(ns_between(written, replied)));
        if (result == Devices::Arbelon::state_reply_length) {
            if (!a.have_state || a.ramp_again) a.ramp_from = replied;
            for (int k = 0; k < 3; ++k) a.moved[k] = a.have_state ? p[k] - a.position[k] : 0.0f;
            a.position = p;
            a.velocity = v;
            a.have_state = true;
            a.ramp_again = false;
            a.failures = 0;
            a.last_reply = replied;
            a.acted = a.answered;
            a.answered = sent;
            a.acted_credit = a.answered_credit;
            a.answered_credit = credit;
            publish(index, std::chrono::duration<double>(replied - started_).count(), cycle,
                    a.position, a.velocity, sent, a.energy, a.damping_added);
            return Reply::fresh;
        }
        if (thread_->stop_requested() && a.stream->is_open()) return Reply::end;  // cut short
        failed_.fetch_add(1, std::memory_order_relaxed);
        ++a.failures;
        a.outstanding = std::max(0.0, a.outstanding - credit);  // never seen acting
        if (!a.stream->is_open()) {
            reason = StopReason::port_closed;
            return Reply::end;
        }
        // What of this reply came is read; the rest, and the replies to later requests, not.
        const long owed = replies_owed * reply_bytes - (result >= 0 ? 1 + result : 0);
        if (detail::drain_late_reply(*a.stream, drain_bound, owed)) {
            stale_.fetch_add(1, std::memory_order_relaxed);
        }
        if (replied - a.last_reply >= give_up_after ||
            (settings_.max_failures != 0 && a.failures >= settings_.max_failures)) {
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
    Clock::time_point params_expire = Clock::time_point::max();
    bool law_failed = false;  // a law gave a force that is not finite: zero, then the end
    // A time to live that ran out: forces fade to zero from here, and ramp in again when what
    // expired is set anew.
    bool fading = false;
    Clock::time_point fade_from{}, refreshed{};
    Clock::time_point previous_cycle = due;

    const std::shared_ptr<RowRing> recording = std::atomic_load(&recording_);
    RowRing* const rows = recording.get();
    Vec3 effects_part{}, law_part{};  // arm 0's parts of this cycle's force, for the recording
    unsigned parts = 0;               // ServoRecord::effects and ::law, as they took part

    while (!thread_->stop_requested()) {
        ++cycle;
        const std::uint64_t stale_before = stale_.load(std::memory_order_relaxed);
        exchange_ns = 0;
        parts = 0;
        const Inputs::Source& source = inputs_->source.take();
        const Clock::time_point begun = Clock::now();
        const double dt = std::chrono::duration<double>(begun - previous_cycle).count();
        previous_cycle = begun;
        if (inputs_->params.pending()) {
            const Inputs::Params& next = inputs_->params.take();
            params_from = params;
            params_to = next.values;
            params_expire = next.expires;
            ramp_start = begun;
            ramp_end = begun + seconds(next.ramp);
            ramping = next.ramp > 0.0;
            if (!ramping) params = params_to;
        }
        if (ramping) {
            if (begun >= ramp_end) {
                params = params_to;
                ramping = false;
            } else {
                const double f = std::chrono::duration<double>(begun - ramp_start).count() /
                                 std::chrono::duration<double>(ramp_end - ramp_start).count();
                for (std::size_t i = 0; i < params.size(); ++i) {
                    params[i] = params_from[i] + f * (params_to[i] - params_from[i]);
                }
            }
        }
        // A time to live: a stalled program that stops refreshing what it set fades out.
        const bool expired = begun > source.expires || begun > params_expire;
        if (expired && !fading) {
            fading = true;
            fade_from = begun;
            expired_.fetch_add(1, std::memory_order_relaxed);
        } else if (!expired && fading) {
            fading = false;
            refreshed = begun;
        }
        double scale = 1.0;
        if (fading) {
            scale = std::max(0.0, 1.0 - std::chrono::duration<double>(begun - fade_from).count() /
                                            std::chrono::duration<double>(fade_time).count());
        }
        const double t = std::chrono::duration<double>(begun - started_).count();

        // Every arm's force, from its latest state.
        for (std::size_t i = 0; i < arm_count_; ++i) {
            ArmLoop& a = arms[i];
            a.force = {0.0f, 0.0f, 0.0f};
            a.damping_added = 0.0;
            a.credit = 0.0;
            if (a.have_state && a.failures == 0) {
                ServoState state{t, cycle, a.position, a.velocity, a.answered, a.energy, 0.0};
                const Vec3 p = widened(a.position), v = widened(a.velocity);
                Vec3 wanted{0.0, 0.0, 0.0};
                if (source.function && i == 0) {
                    try {
                        wanted = source.function(state);
                    } catch (...) {
                        reason = StopReason::force_law_failed;
                        break;
                    }
                } else {
                    wanted = total_force(source.effects[i], p, v, t);
                    if (i == 0 && !source.effects[0].empty()) parts |= ServoRecord::effects;
                }
                for (const Coupling& c : source.couplings) {
                    if (c.a != i && c.b != i) continue;
                    const ArmLoop& other = arms[c.a == i ? c.b : c.a];
                    if (!other.have_state) continue;
                    for (int k = 0; k < 3; ++k) {
                        wanted[k] += -c.stiffness * (p[k] - other.position[k]) -
                                     c.damping * (v[k] - other.velocity[k]);
                    }
                }
                if (i == 0) effects_part = wanted;
                if (i == 0 && source.law != nullptr) {
                    const ZelkorServoInput in{t,
                                              static_cast<double>(cycle),
                                              {p[0], p[1], p[2]},
                                              {v[0], v[1], v[2]},
                                              {a.answered[0], a.answered[1], a.answered[2]}};
                    double out[3] = {0.0, 0.0, 0.0};
                    source.law(&in, params.data(), out);
                    parts |= ServoRecord::law;
                    law_part = {out[0], out[1], out[2]};
                    if (std::isfinite(out[0]) && std::isfinite(out[1]) && std::isfinite(out[2])) {
                        for (int k = 0; k < 3; ++k) wanted[k] += out[k];
                    } else {
                        law_failed = true;
                        wanted = {0.0, 0.0, 0.0};
                    }
                }
                if (settings_.passivity && !law_failed) {
                    // The energy the environment has taken from the user: the force that acted
                    // as the arm came to its latest state, against the way it moved. A
                    // sampled, delayed law gives energy out that the force it computes from
                    // the same state would not show. When it has given out more than it took
                    // (less the damping on its way), damping in the next force takes that back.
                    const double speed2 = dot(v, v);
                    a.energy -= dot(widened(a.acted), widened(a.moved));
                    a.outstanding -= a.acted_credit;
                    a.moved = {0.0f, 0.0f, 0.0f};
                    a.acted_credit = 0.0;
                    const double energy = a.energy + a.outstanding;
                    if (energy < 0.0 && speed2 > 1e-12 && dt > 0.0) {
                        a.damping_added =
                            std::min(-energy / (speed2 * dt), settings_.passivity_max_damping);
                        for (int k = 0; k < 3; ++k) wanted[k] -= a.damping_added * v[k];
                    }
                }
                if (workspace) {
                    const Vec3 back = force_of(Effect(bounds), p, v);
                    for (int k = 0; k < 3; ++k) wanted[k] += back[k];
                }
                bool damped = a.damping_added > 0.0;
                if (settings_.max_velocity > 0.0 &&
                    dot(v, v) > settings_.max_velocity * settings_.max_velocity) {
                    // Too fast: only damping, whatever the environment wants.
                    for (int k = 0; k < 3; ++k) wanted[k] = -settings_.velocity_damping * v[k];
                    damped = false;
                }
                double ramp = 1.0;
                if (soft_start > Clock::duration::zero()) {
                    const Clock::time_point from = std::max(a.ramp_from, refreshed);
                    ramp = std::min(1.0, std::chrono::duration<double>(begun - from).count() /
                                             settings_.soft_start);
                }
                const double k = std::min(ramp, scale);
                for (int j = 0; j < 3; ++j) wanted[j] *= k;
                a.force = clamp_force(wanted, settings_.max_force);
                if (damped) {
                    const double asked = std::sqrt(dot(wanted, wanted));
                    const Vec3 sent = widened(a.force);
                    const double cut = asked > 0.0 ? std::sqrt(dot(sent, sent)) / asked : 0.0;
                    a.credit = a.damping_added * k * cut * dot(v, v) * dt;
                    a.outstanding += a.credit;
                }
                a.held = a.force;
            } else if (a.have_state && a.failures <= settings_.hold_cycles) {
                // A failed exchange or two need not make the arm chatter: the last force holds.
                const float k = static_cast<float>(scale);
                a.force = {a.held[0] * k, a.held[1] * k, a.held[2] * k};
            } else if (a.have_state) {
                a.ramp_again = true;  // zero goes out: forces ramp in again at recovery
            }
        }
        if (reason == StopReason::force_law_failed) break;

        // Every arm's request goes out, then every reply is read: exchanges on different lines
        // overlap. With nothing in flight, whatever waits answers no request: dropped. With a
        // request in flight, more than its reply waiting means the count went wrong (a reply
        // came later than the wait for it): everything goes, and the pairing starts afresh.
        std::array<Clock::time_point, max_arms> written{};
        for (std::size_t i = 0; i < arm_count_; ++i) {
            ArmLoop& a = arms[i];
            if (!a.in_flight) {
                if (detail::drop_waiting_input(*a.stream)) {
                    stale_.fetch_add(1, std::memory_order_relaxed);
                }
            } else if (a.stream->bytes_waiting() > reply_bytes) {
                (void)a.stream->discard_input();
                stale_.fetch_add(1, std::memory_order_relaxed);
                a.in_flight = false;
            }
            written[i] = Clock::now();
            a.stream->set_deadline(written[i] + reply_timeout);
            a.arm->SendForce(a.force);
        }
        cycles_.store(cycle, std::memory_order_relaxed);
        Reply reply = Reply::fresh;  // arm 0's, for the recording
        for (std::size_t i = 0; i < arm_count_ && reason == StopReason::stopped; ++i) {
            ArmLoop& a = arms[i];
            Reply r;
            if (!settings_.pipeline || !a.have_state) {
                r = take_reply(i, written[i], a.force, a.credit, written[i] + 2 * reply_timeout, 1);
            } else if (a.in_flight) {
                // The request just written rides the wire beside the reply read now. A failure
                // drains the line until that request's reply is due too.
                r = take_reply(
                    i, a.in_flight_at, a.in_flight_force, a.in_flight_credit,
                    std::max(a.in_flight_at + 2 * reply_timeout, written[i] + reply_timeout), 2);
                a.in_flight = r == Reply::fresh;
            } else {
                r = Reply::fresh;
                a.in_flight = true;
            }
            if (a.in_flight) {
                a.in_flight_force = a.force;
                a.in_flight_credit = a.credit;
                a.in_flight_at = written[i];
            }
            if (i == 0) reply = r;
            if (r == Reply::end) break;
        }
        // The last cycle, too, is on record, whatever ends the loop.
        if (law_failed) reason = StopReason::force_law_failed;
        const bool ending = reason != StopReason::stopped || thread_->stop_requested();

        // The schedule: a cycle that ended after its deadline is late; the next starts at once
        // when less than a period was lost, and whole periods lost are missed slots.
        const Clock::time_point deadline = due + period;
        const Clock::time_point now = Clock::now();
        unsigned flags = parts;
        if (!ending && now > deadline) {
            late_.fetch_add(1, std::memory_order_relaxed);
            flags |= ServoRecord::late;
        }
        // A stall the loop has no part in (the machine held it up): told, once a second at most.
        if (!ending && notify_ && now - deadline > stall &&
            now - told_stall >= std::chrono::seconds(1)) {
            told_stall = now;
            notify_({ServoNotice::Kind::stalled, StopReason::none,
                     std::chrono::duration<double>(now - deadline).count()});
        }
        due = deadline;
        if (!ending && now > due + period) {
            const auto lost = (now - due) / period;
            missed_.fetch_add(static_cast<std::uint64_t>(lost), std::memory_order_relaxed);
            due += period * lost;
            flags |= ServoRecord::missed;
        }
        if (rows != nullptr) {
            const ArmLoop& a = arms[0];
            if (reply != Reply::fresh) flags |= ServoRecord::failed;
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
                put(ServoRecord::position + i, a.position[i]);
                put(ServoRecord::velocity + i, a.velocity[i]);
                put(ServoRecord::force + i, a.force[i]);
                put(ServoRecord::effects_force + i,
                    parts & ServoRecord::effects ? effects_part[i] : 0.0);
                put(ServoRecord::law_force + i, parts & ServoRecord::law ? law_part[i] : 0.0);
            }
            put(ServoRecord::exchange_us, static_cast<double>(exchange_ns) / 1e3);
            put(ServoRecord::flags, flags);
            put(ServoRecord::energy, a.energy);
            put(ServoRecord::damping_added, a.damping_added);
            rows->append();
        }
        if (ending) break;
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

    // The last act: leave every arm limp, if its port still lets us. These exchanges are not
    // cut short by the stop request; a reply still in flight is read first, or dropped.
    bool limp = true;
    for (std::size_t i = 0; i < arm_count_; ++i) {
        ArmLoop& a = arms[i];
        if (!a.stream->is_open()) {
            limp = false;
            continue;
        }
        a.stream->set_wait_hook({});
        if (a.in_flight) {
            a.stream->set_deadline(a.in_flight_at + reply_timeout);
            Vector3 p{}, v{};
            if (a.arm->ReceiveState(p, v) != Devices::Arbelon::state_reply_length) {
                (void)detail::drain_late_reply(*a.stream, a.in_flight_at + 2 * reply_timeout,
                                               reply_bytes);
            }
        }
        (void)detail::drop_waiting_input(*a.stream);
        a.stream->set_deadline(
            Clock::now() + std::max<Clock::duration>(reply_timeout, std::chrono::milliseconds(50)));
        Vector3 p{}, v{};
        limp = a.arm->end_effector_force({0.0f, 0.0f, 0.0f}, p, v) ==
                   Devices::Arbelon::state_reply_length &&
               limp;
    }
    for (std::size_t i = 0; i < arm_count_; ++i) arms[i].stream->set_wait_hook(arms[i].hook_before);

    ended_ns_.store(std::max<std::int64_t>(1, ns_between(started_, Clock::now())),
                    std::memory_order_release);
    left_limp_.store(limp, std::memory_order_release);
    stop_reason_.store(reason, std::memory_order_release);
    // Last: from here another servo may drive the streams, and this one may be started again.
    for (std::size_t i = 0; i < arm_count_; ++i) arms_[i]->get_stream().use().end_drive();
    if (notify_ && reason != StopReason::stopped) notify_({ServoNotice::Kind::ended, reason, 0.0});
}

}  // namespace Zelkor::HardwareAPI::Control
