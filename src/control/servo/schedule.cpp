#include "control/servo/schedule.h"

#include <algorithm>

namespace Zelkor::HardwareAPI::Control::servo {

Schedule::Schedule(Clock::duration period, Clock::time_point start) noexcept
    : period_(period), stall_(std::max(seconds(0.05), 10 * period)), due_(start) {}

Schedule::Verdict Schedule::end_cycle(Clock::time_point now, bool ending) noexcept {
    Verdict v;
    const Clock::time_point deadline = due_ + period_;
    due_ = deadline;
    if (ending) return v;
    v.late = now > deadline;
    // A stall the loop has no part in (the machine held it up): told once a second at most.
    if (now - deadline > stall_ && now - told_stall_ >= std::chrono::seconds(1)) {
        told_stall_ = now;
        v.stalled = seconds_between(deadline, now);
    }
    if (now > due_ + period_) {
        const auto lost = (now - due_) / period_;
        v.missed = static_cast<std::uint64_t>(lost);
        due_ += period_ * lost;
    }
    return v;
}

bool Schedule::wait(BackgroundThread& thread, Clock::time_point now,
                    Clock::duration spin) const noexcept {
    if (now >= due_) return !thread.stop_requested();
    if (spin > Clock::duration::zero()) {
        if (!thread.sleep_until(due_ - spin)) return false;
        while (Clock::now() < due_) {
        }
        return true;
    }
    return thread.sleep_until(due_);
}

}  // namespace Zelkor::HardwareAPI::Control::servo
