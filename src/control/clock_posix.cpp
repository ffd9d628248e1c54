// POSIX: clock_nanosleep on the monotonic clock, which std::chrono::steady_clock reads too.
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <cerrno>

#include "control/clock.h"

namespace Zelkor::HardwareAPI::Control::platform {

void sleep_until(Clock::time_point deadline) noexcept {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    if (ns <= 0) return;
    timespec at{};
    at.tv_sec = static_cast<time_t>(ns / 1000000000);
    at.tv_nsec = static_cast<long>(ns % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

bool make_realtime() noexcept {
    // Above ordinary real-time work, below the kernel's own threads (which run at 50 and 99).
    sched_param param{};
    param.sched_priority = 80;
    const int max = sched_get_priority_max(SCHED_FIFO);
    if (max >= 0 && param.sched_priority > max) param.sched_priority = max;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

}  // namespace Zelkor::HardwareAPI::Control::platform
