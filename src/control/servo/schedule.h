// The servo's schedule: cycles start on absolute deadlines, one period apart.
#pragma once

#include <cstdint>

#include "control/background_thread.h"
#include "control/servo/ramp.h"

namespace Zelkor::HardwareAPI::Control::servo {

class Schedule {
  public:
    /// How a cycle ended against its deadline.
    struct Verdict {
        bool late = false;         ///< it ended after its deadline
        std::uint64_t missed = 0;  ///< whole periods lost after it, skipped
        double stalled = 0.0;      ///< s after the deadline, when worth a notice (0: not)
    };

    Schedule(Clock::duration period, Clock::time_point start) noexcept;

    /// At a cycle's end, at `now`: a cycle that ended after its deadline is late; the next
    /// starts at once when less than a period was lost, and whole periods lost are missed
    /// slots, never caught up in a burst. A stall of more than 50 ms and ten periods is worth
    /// a notice, at most once a second. `ending`: the last cycle, judged on nothing.
    Verdict end_cycle(Clock::time_point now, bool ending) noexcept {
        const Clock::time_point deadline = due_ + period_;
        due_ = deadline;
        if (ending || now <= deadline) return {};
        return overran(now, deadline);
    }
    /// Sleeps until the next cycle is due (it is `now`), spinning its last `spin`; false when
    /// `thread` was asked to end meanwhile.
    bool wait(BackgroundThread& thread, Clock::time_point now,
              Clock::duration spin) const noexcept {
        if (now >= due_) return !thread.stop_requested();
        return sleep(thread, spin);
    }

    Clock::duration period() const noexcept { return period_; }
    /// How long after its deadline a cycle ends for the loop to count as stalled.
    Clock::duration stall() const noexcept { return stall_; }
    Clock::time_point due() const noexcept { return due_; }

  private:
    Verdict overran(Clock::time_point now, Clock::time_point deadline) noexcept;
    bool sleep(BackgroundThread& thread, Clock::duration spin) const noexcept;

    Clock::duration period_;
    Clock::duration stall_;
    Clock::time_point due_;
    Clock::time_point told_stall_{};
};

}  // namespace Zelkor::HardwareAPI::Control::servo
