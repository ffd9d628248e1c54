// Windows: an event for the wake-up beside a high-resolution waitable timer, thread priority
// and affinity masks. There is no fork, and no signal reaches the library's threads.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/threads.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace Zelkor::HardwareAPI::platform {

std::uintptr_t thread_tag() noexcept {
    // Thread ids are multiples of 4 and never 0.
    return static_cast<std::uintptr_t>(GetCurrentThreadId()) + 4;
}

namespace {
thread_local bool library_thread = false;
}  // namespace

void mark_library_thread() noexcept {
    library_thread = true;
}

bool on_library_thread() noexcept {
    return library_thread;
}

namespace {

HANDLE as_handle(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

void make_handles(std::intptr_t (&handles)[2]) noexcept {
    handles[0] = reinterpret_cast<std::intptr_t>(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                          TIMER_ALL_ACCESS);
    // Older systems know no high-resolution timers; an ordinary one still keeps the
    // schedule, at the system timer's granularity.
    if (timer == nullptr) timer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    handles[1] = reinterpret_cast<std::intptr_t>(timer);
}

void close_handles(std::intptr_t (&handles)[2]) noexcept {
    for (std::intptr_t& h : handles) {
        if (h != 0) CloseHandle(as_handle(h));
        h = 0;
    }
}

}  // namespace

Waker::Waker() noexcept {
    make_handles(handles_);
}

Waker::~Waker() {
    close_handles(handles_);
}

bool Waker::sleep_until(Clock::time_point deadline) noexcept {
    const HANDLE event = as_handle(handles_[0]);
    const HANDLE timer = as_handle(handles_[1]);
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return event != nullptr && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    }
    // The timer is armed with the time left (its absolute form counts in system time, which
    // can jump), in 100 ns units.
    const auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count() / 100;
    LARGE_INTEGER due{};
    due.QuadPart = -static_cast<LONGLONG>(ticks > 0 ? ticks : 1);
    if (timer != nullptr && SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
        if (event == nullptr) {
            WaitForSingleObject(timer, INFINITE);
            return false;
        }
        const HANDLE both[2] = {event, timer};
        const DWORD r = WaitForMultipleObjects(2, both, FALSE, INFINITE);
        if (r == WAIT_OBJECT_0) {
            CancelWaitableTimer(timer);
            return true;
        }
        return false;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
    if (event == nullptr) {
        Sleep(static_cast<DWORD>(ms));
        return false;
    }
    return WaitForSingleObject(event, static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
}

void Waker::wake() noexcept {
    if (handles_[0] != 0) SetEvent(as_handle(handles_[0]));
}

void Waker::clear() noexcept {
    if (handles_[0] != 0) ResetEvent(as_handle(handles_[0]));
}

void Waker::renew() noexcept {
    close_handles(handles_);
    make_handles(handles_);
}

SignalsBlocked::SignalsBlocked() noexcept : saved_{} {}
SignalsBlocked::~SignalsBlocked() = default;

bool pin_to_cpu(int cpu) noexcept {
    if (cpu < 0 || cpu >= static_cast<int>(8 * sizeof(DWORD_PTR))) return false;
    return SetThreadAffinityMask(GetCurrentThread(), DWORD_PTR{1} << cpu) != 0;
}

int cpu_count() noexcept {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}

bool make_realtime() noexcept {
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) != 0;
}

void tighten_timers() noexcept {}

void hang() noexcept {
    for (;;) Sleep(INFINITE);
}

void add_fork_hook(ForkHook&) noexcept {}
void remove_fork_hook(ForkHook&) noexcept {}

}  // namespace Zelkor::HardwareAPI::platform
