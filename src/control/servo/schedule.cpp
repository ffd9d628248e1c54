#include "control/servo/schedule.h"

#include <algorithm>

namespace Zelkor::HardwareAPI::Control::servo {

Schedule::Schedule(Clock::duration period, Clock::time_point start) noexcept
    : period_(period), stall_(std::max(seconds(0.05), 10 * period)), due_(start) {}

// A cycle that ended after its deadline: late, and maybe worth a notice or whole periods lost.
Schedule::Verdict Schedule::overran(Clock::time_point now, Clock::time_point deadline) noexcept {
    Verdict v;
    v.late = true;
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

bool Schedule::sleep(BackgroundThread& thread, Clock::duration spin) const noexcept {
    if (spin > Clock::duration::zero()) {
        if (!thread.sleep_until(due_ - spin)) return false;
        while (Clock::now() < due_) {
        }
        return true;
    }
    return thread.sleep_until(due_);
}

}  // namespace Zelkor::HardwareAPI::Control::servo
