// What the servo's loop publishes for any thread to read without blocking it: each arm's latest
// state behind a sequence lock, the counters, the exchange times and how the run ended.
#pragma once

#include <ZelkorHardwareAPI/control/histogram.h>
#include <ZelkorHardwareAPI/control/servo.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "control/servo/ramp.h"

namespace Zelkor::HardwareAPI::Control::servo {

/// The counters of a run. The loop alone adds to them (relaxed: each is a figure of its own).
struct Counters {
    std::atomic<std::uint64_t> cycles{0}, late{0}, failed{0}, missed{0}, stale{0}, expired{0};

    void clear() noexcept;
    static void add(std::atomic<std::uint64_t>& counter, std::uint64_t n = 1) noexcept {
        counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }
};

class Telemetry {
  public:
    explicit Telemetry(std::size_t arms);
    ~Telemetry();

    /// At start(), before the loop runs: everything afresh.
    void begin(Clock::time_point started) noexcept;
    /// The loop: `state` is arm `arm`'s latest.
    void publish(std::size_t arm, const ServoState& state) noexcept;
    /// Any thread: arm `arm`'s latest state (a default one for an arm not driven).
    ServoState state(std::size_t arm) const noexcept;
    /// The loop's last act: how it ended, and what failed (may be null).
    void end(Clock::time_point now, StopReason reason, bool limp,
             const char* failure = nullptr) noexcept;
    /// Any thread: the figures so far; `forked` says the run is a forked child's copy.
    ServoStats stats(bool forked) const noexcept;
    Clock::time_point started() const noexcept { return started_; }

    Counters counters;
    DurationHistogram exchange_times;
    std::atomic<double> rate_hz{0.0};
    std::atomic<bool> pipelined{false};
    std::atomic<bool> realtime{false};

  private:
    struct Published;
    std::size_t arms_;
    std::unique_ptr<Published[]> published_;
    Clock::time_point started_{};               // begin() and the loop only
    std::atomic<Clock::rep> started_ticks_{0};  // the same, for stats()
    std::atomic<std::int64_t> ended_ns_{0};     // after the start; 0 while running
    std::atomic<StopReason> stop_reason_{StopReason::none};
    std::atomic<bool> left_limp_{false};
    char failure_[sizeof(ServoStats::failure)] = {};  // written before stop_reason_
};

}  // namespace Zelkor::HardwareAPI::Control::servo
