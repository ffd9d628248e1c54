// Windows: a high-resolution waitable timer per thread, armed with the time left until the
// deadline (the timer's own absolute form counts in system time, which can jump).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "control/clock.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace Zelkor::HardwareAPI::Control::platform {

namespace {

// One timer per thread, closed when the thread ends.
struct Timer {
    HANDLE handle;
    Timer() {
        handle = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                        TIMER_ALL_ACCESS);
        // Older systems know no high-resolution timers; an ordinary one still keeps the
        // schedule, at the system timer's granularity.
        if (handle == nullptr) handle = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    }
    ~Timer() {
        if (handle != nullptr) CloseHandle(handle);
    }
};

}  // namespace

void sleep_until(Clock::time_point deadline) noexcept {
    thread_local Timer timer;
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return;
    const auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count() / 100;
    if (timer.handle == nullptr || ticks == 0) {
        Sleep(0);
        return;
    }
    LARGE_INTEGER due{};
    due.QuadPart = -static_cast<LONGLONG>(ticks);  // negative: relative, in 100 ns units
    if (SetWaitableTimer(timer.handle, &due, 0, nullptr, nullptr, FALSE)) {
        WaitForSingleObject(timer.handle, INFINITE);
    }
}

bool make_realtime() noexcept {
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) != 0;
}

}  // namespace Zelkor::HardwareAPI::Control::platform
