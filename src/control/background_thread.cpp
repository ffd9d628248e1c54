#include "control/background_thread.h"

#include <new>
#include <stdexcept>
#include <utility>

namespace Zelkor::HardwareAPI::Control {

BackgroundThread::BackgroundThread() {
    fork_hook_.child = &BackgroundThread::after_fork_in_child;
    fork_hook_.context = this;
    platform::add_fork_hook(fork_hook_);
}

BackgroundThread::~BackgroundThread() {
    platform::remove_fork_hook(fork_hook_);
    if (on_thread()) {
        // Destroyed by its own thread, from `last`: it ends right after, by itself. The start()
        // that made it may still be finishing (it holds the lock until it has).
        std::lock_guard<std::mutex> hold(mutex_);
        if (thread_.joinable()) thread_.detach();
        return;
    }
    stop();
}

bool BackgroundThread::on_thread() const noexcept {
    return tag_.load(std::memory_order_acquire) == platform::thread_tag();
}

void BackgroundThread::start(std::function<void()> body, std::function<void()> last) {
    if (on_thread()) throw std::logic_error("a background thread cannot restart itself");
    if (abandoned()) throw std::logic_error("the background thread was abandoned");
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return phase_ == Phase::stopped || phase_ == Phase::running; });
    if (phase_ == Phase::running) {
        if (running()) throw std::logic_error("the background thread is already running");
        join_locked(lock);  // it ended by itself
    }
    phase_ = Phase::starting;
    stop_requested_.store(false, std::memory_order_release);
    waker_.clear();
    forked_.store(false, std::memory_order_release);
    running_.store(true, std::memory_order_release);
    try {
        const platform::SignalsBlocked blocked;
        thread_ = std::thread(
            [this](std::function<void()> run, std::function<void()> then) {
                tag_.store(platform::thread_tag(), std::memory_order_release);
                platform::mark_library_thread();
                run();
                {
                    // A stop() waits for this, not for the thread's end: an abandoned thread
                    // that returns at last tells nobody.
                    std::lock_guard<std::mutex> hold(mutex_);
                    running_.store(false, std::memory_order_release);
                    changed_.notify_all();
                }
                // The object may be gone once `then` returns: nothing of it after.
                if (then) then();
            },
            std::move(body), std::move(last));
    } catch (...) {
        running_.store(false, std::memory_order_release);
        phase_ = Phase::stopped;
        changed_.notify_all();
        throw;
    }
    phase_ = Phase::running;
    changed_.notify_all();
}

void BackgroundThread::request_stop() noexcept {
    stop_requested_.store(true, std::memory_order_release);
    waker_.wake();
}

void BackgroundThread::stop() noexcept {
    if (on_thread()) {
        request_stop();
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    // A start or another stop under way finishes first; a stop that finds the thread joined
    // by another has nothing left to do.
    changed_.wait(lock, [this] { return phase_ == Phase::stopped || phase_ == Phase::running; });
    if (phase_ == Phase::stopped) return;
    request_stop();
    join_locked(lock);
}

void BackgroundThread::abandon() noexcept {
    std::lock_guard<std::mutex> hold(mutex_);
    abandoned_.store(true, std::memory_order_release);
    if (thread_.joinable()) thread_.detach();
    running_.store(false, std::memory_order_release);
    tag_.store(0, std::memory_order_release);
    if (phase_ == Phase::running) phase_ = Phase::stopped;
    changed_.notify_all();
}

// Waits until the body returned (or the thread was abandoned), then joins the thread with the
// lock let go; phase_ is stopping all the while, so every other start or stop waits for the
// join to end.
void BackgroundThread::join_locked(std::unique_lock<std::mutex>& lock) noexcept {
    phase_ = Phase::stopping;
    changed_.wait(lock, [this] { return !running() || abandoned(); });
    std::thread thread = std::move(thread_);
    lock.unlock();
    if (thread.joinable()) thread.join();
    lock.lock();
    // A thread id can be reused once its thread is joined: the tag goes with it.
    tag_.store(0, std::memory_order_release);
    phase_ = Phase::stopped;
    changed_.notify_all();
}

bool BackgroundThread::sleep_until(Clock::time_point deadline) noexcept {
    if (stop_requested()) return false;
    (void)waker_.sleep_until(deadline);
    return !stop_requested();
}

void BackgroundThread::after_fork_in_child(void* context) {
    auto* self = static_cast<BackgroundThread*>(context);
    // The parent's thread does not exist here: its handle is dropped unjoined (there is
    // nothing to join) and the locks, which it may have held, are made anew.
    const bool was_running = self->running_.load(std::memory_order_relaxed);
    new (&self->thread_) std::thread();
    new (&self->mutex_) std::mutex();
    new (&self->changed_) std::condition_variable();
    self->phase_ = Phase::stopped;
    self->tag_.store(0, std::memory_order_relaxed);
    self->running_.store(false, std::memory_order_relaxed);
    self->stop_requested_.store(false, std::memory_order_relaxed);
    if (was_running) self->forked_.store(true, std::memory_order_relaxed);
    self->waker_.renew();
}

}  // namespace Zelkor::HardwareAPI::Control
