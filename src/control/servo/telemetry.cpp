#include "control/servo/telemetry.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <thread>

namespace Zelkor::HardwareAPI::Control::servo {

namespace {

std::int64_t ns_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}

}  // namespace

void Counters::clear() noexcept {
    for (auto* c : {&cycles, &late, &failed, &missed, &stale, &expired}) c->store(0);
}

// One arm's state behind a sequence lock: the loop makes the count odd, writes, makes it even;
// a reader retries until it saw the same even count before and after. Every field is atomic,
// so readers never race the loop.
struct Telemetry::Published {
    std::atomic<std::uint32_t> sequence{0};
    std::atomic<double> time{0.0};
    std::atomic<std::uint64_t> cycle{0};
    std::array<std::atomic<float>, 9> values{};  // position, velocity, force
    std::atomic<double> energy{0.0};
    std::atomic<double> damping_added{0.0};
};

Telemetry::Telemetry(std::size_t arms)
    : arms_(arms), published_(std::make_unique<Published[]>(arms)) {}

Telemetry::~Telemetry() = default;

void Telemetry::begin(Clock::time_point started) noexcept {
    counters.clear();
    exchange_times.clear();
    realtime.store(false);
    stop_reason_.store(StopReason::none);
    failure_[0] = '\0';
    left_limp_.store(false);
    ended_ns_.store(0);
    for (std::size_t i = 0; i < arms_; ++i) publish(i, ServoState{});
    started_ = started;
    started_ticks_.store(started.time_since_epoch().count(), std::memory_order_release);
}

void Telemetry::publish(std::size_t arm, const ServoState& state) noexcept {
    Published& p = published_[arm];
    const std::uint32_t s = p.sequence.load(std::memory_order_relaxed);
    p.sequence.store(s + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    p.time.store(state.time, std::memory_order_relaxed);
    p.cycle.store(state.cycle, std::memory_order_relaxed);
    for (int i = 0; i < 3; ++i) {
        p.values[i].store(state.position[i], std::memory_order_relaxed);
        p.values[3 + i].store(state.velocity[i], std::memory_order_relaxed);
        p.values[6 + i].store(state.force[i], std::memory_order_relaxed);
    }
    p.energy.store(state.energy, std::memory_order_relaxed);
    p.damping_added.store(state.damping_added, std::memory_order_relaxed);
    p.sequence.store(s + 2, std::memory_order_release);
}

ServoState Telemetry::state(std::size_t arm) const noexcept {
    ServoState out;
    if (arm >= arms_) return out;
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

void Telemetry::end(Clock::time_point now, StopReason reason, bool limp,
                    const char* failure) noexcept {
    std::snprintf(failure_, sizeof failure_, "%s", failure != nullptr ? failure : "");
    ended_ns_.store(std::max<std::int64_t>(1, ns_between(started_, now)),
                    std::memory_order_release);
    left_limp_.store(limp, std::memory_order_release);
    stop_reason_.store(reason, std::memory_order_release);
}

ServoStats Telemetry::stats(bool forked) const noexcept {
    ServoStats s;
    s.cycles = counters.cycles.load(std::memory_order_relaxed);
    s.late_cycles = counters.late.load(std::memory_order_relaxed);
    s.failed_exchanges = counters.failed.load(std::memory_order_relaxed);
    s.missed = counters.missed.load(std::memory_order_relaxed);
    s.stale_dropped = counters.stale.load(std::memory_order_relaxed);
    s.expired = counters.expired.load(std::memory_order_relaxed);
    s.stop_reason = stop_reason_.load(std::memory_order_acquire);
    if (s.stop_reason != StopReason::none) std::memcpy(s.failure, failure_, sizeof s.failure);
    if (s.stop_reason == StopReason::none && forked) s.stop_reason = StopReason::forked;
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
    exchange_times.percentiles(fractions, ns, 3);
    s.p50_us = static_cast<double>(ns[0]) / 1e3;
    s.p99_us = static_cast<double>(ns[1]) / 1e3;
    s.p999_us = static_cast<double>(ns[2]) / 1e3;
    s.max_us = static_cast<double>(exchange_times.max_ns()) / 1e3;
    return s;
}

}  // namespace Zelkor::HardwareAPI::Control::servo
