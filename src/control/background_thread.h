// The owner of one background thread: a small locked state machine that serialises start,
// stop, join and destruction, from any thread and any number of them at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/threads.h"

namespace Zelkor::HardwareAPI::Control {

/// Runs one body at a time on a thread of its own.
///
/// - start() and stop() may be called from any thread, several at once: they take turns, and
///   every stop() returns once the thread has ended (its body returned and it was joined).
/// - The thread never joins itself: stop() from the thread only asks it to end, and an object
///   destroyed by its own thread (in `last`, see start) lets the thread finish on its own.
/// - The thread starts with every signal blocked.
/// - In the child of a fork no thread runs: the object reads as stopped and forked() is true.
class BackgroundThread {
  public:
    using Clock = platform::Clock;

    BackgroundThread();
    /// Stops the thread if it runs; on the thread itself, leaves it to end by itself.
    ~BackgroundThread();
    BackgroundThread(const BackgroundThread&) = delete;
    BackgroundThread& operator=(const BackgroundThread&) = delete;

    /// Starts `body` on a new thread; then `last`, when given, runs there after the body once
    /// running() is false, and may destroy this object (nothing of it is touched afterwards).
    /// A thread that ended by itself is joined first. Throws std::logic_error when a thread
    /// runs (or when called from it), std::system_error when none could be started.
    void start(std::function<void()> body, std::function<void()> last = {});
    /// Asks the thread to end and waits until it has; from the thread itself, only asks.
    /// Nothing to do when no thread runs.
    void stop() noexcept;
    /// Asks the thread to end and wakes it from sleep_until, without waiting. Any thread.
    void request_stop() noexcept;
    /// Lets go of a thread that will not end (stuck in code that never returns): it is
    /// detached, every stop() returns, and the object reads as stopped. What the thread may
    /// touch if it ever goes on must outlive it (its body's own references). The object can
    /// never start a thread again (start() throws std::logic_error). Not from the thread.
    void abandon() noexcept;
    /// True once abandon() let a thread go.
    bool abandoned() const noexcept { return abandoned_.load(std::memory_order_acquire); }
    /// Wakes the thread from sleep_until (or makes its next one return at once), without
    /// asking it to end. Any thread.
    void wake() noexcept { waker_.wake(); }

    /// True once the thread was asked to end (for the body's loop).
    bool stop_requested() const noexcept { return stop_requested_.load(std::memory_order_acquire); }
    /// True from start() until the body returned.
    bool running() const noexcept { return running_.load(std::memory_order_acquire); }
    /// True when called on the thread.
    bool on_thread() const noexcept;
    /// True when a fork left this object in the child, where its thread never ran.
    bool forked() const noexcept { return forked_.load(std::memory_order_acquire); }

    /// For the body: sleeps until `deadline` or until asked to end; false when asked to end.
    bool sleep_until(Clock::time_point deadline) noexcept;

  private:
    enum class Phase { stopped, starting, running, stopping };

    void join_locked(std::unique_lock<std::mutex>& lock) noexcept;
    static void after_fork_in_child(void* self);

    platform::ForkHook fork_hook_;
    std::mutex mutex_;
    std::condition_variable changed_;
    Phase phase_ = Phase::stopped;
    std::thread thread_;
    std::atomic<std::uintptr_t> tag_{0};  // the thread's platform::thread_tag while it lives
    std::atomic<bool> stop_requested_{false};
    std::atomic<bool> running_{false};
    std::atomic<bool> forked_{false};
    std::atomic<bool> abandoned_{false};
    platform::Waker waker_;
};

}  // namespace Zelkor::HardwareAPI::Control
