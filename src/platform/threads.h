// The platform seam of the library's own threads: identities, a wake-up that ends a sleep
// early, signal masks, CPU affinity, real-time priority and what happens to threads at fork.
// One source file per platform implements it (threads_posix.cpp, threads_win32.cpp); CMake
// picks the file.
#pragma once

#include <chrono>
#include <cstdint>

namespace Zelkor::HardwareAPI::platform {

using Clock = std::chrono::steady_clock;

/// A number that tells the calling thread from every other live thread; never 0 or 1.
std::uintptr_t thread_tag() noexcept;

/// Lets one thread sleep until a deadline while any other may wake it at once: an eventfd on
/// Linux, a pipe on other POSIX systems, an event on Windows. The sleep has the precision of
/// the system's timers (nanoseconds where it has them), never rounded to milliseconds.
class Waker {
  public:
    Waker() noexcept;
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    /// Sleeps until `deadline` or until wake(); true when woken (the wake-up is used up).
    /// Returns at once when the deadline has passed or a wake-up is pending.
    bool sleep_until(Clock::time_point deadline) noexcept;
    /// Ends the current or the next sleep. Any thread; async-signal-safe on POSIX.
    void wake() noexcept;
    /// Forgets a pending wake-up.
    void clear() noexcept;
    /// Makes a new wake-up of its own: a forked child must not share its parent's.
    void renew() noexcept;

  private:
    std::intptr_t handles_[2];
};

/// Marks the calling thread as one of the library's own (see on_library_thread).
void mark_library_thread() noexcept;
/// True on a thread the library started (a servo's loop, a handle's reception).
bool on_library_thread() noexcept;

/// Blocks every signal the system lets a thread block for the life of the scope, so that a
/// thread started within it inherits a full mask: the process's signal handlers then never
/// run on the library's threads. Nothing on Windows.
class SignalsBlocked {
  public:
    SignalsBlocked() noexcept;
    ~SignalsBlocked();
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

  private:
    unsigned char saved_[128];
};

/// Binds the calling thread to CPU `cpu` (counted from 0). True when the system agreed.
bool pin_to_cpu(int cpu) noexcept;

/// The number of CPUs the system has, at least 1.
int cpu_count() noexcept;

/// Asks for real-time scheduling of the calling thread (SCHED_FIFO on POSIX, time-critical
/// priority on Windows). True when the system granted it; otherwise nothing changed.
bool make_realtime() noexcept;

/// Makes the calling thread's timers as precise as the system allows (a timer slack of 1 ns
/// on Linux). Best effort.
void tighten_timers() noexcept;

/// Sleeps for good: for a thread that must never return to where it came from.
[[noreturn]] void hang() noexcept;

/// What an object does in the child of a fork, where none of the parent's other threads runs:
/// `child(context)` is called there, before anything else of the library's runs, and must only
/// reset plain state (no lock, no allocation). On Windows there is no fork and hooks never run.
struct ForkHook {
    void (*child)(void* context) = nullptr;
    void* context = nullptr;
    ForkHook* previous = nullptr;
    ForkHook* next = nullptr;
};

/// Adds `hook` to the hooks run in a forked child; `hook` must stay where it is until removed.
void add_fork_hook(ForkHook& hook) noexcept;
/// Removes `hook` (added before).
void remove_fork_hook(ForkHook& hook) noexcept;

}  // namespace Zelkor::HardwareAPI::platform
