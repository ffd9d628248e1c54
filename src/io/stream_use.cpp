#include <ZelkorHardwareAPI/io/stream_use.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/threads.h"

namespace Zelkor::HardwareAPI::IO {

// Threads waiting to enter sleep on a condition; the holder that leaves wakes them only when
// it sees one counted, so the common case (nobody waiting) takes no lock.
struct StreamUse::Waiting {
    std::mutex mutex;
    std::condition_variable freed;
    std::atomic<int> count{0};
    platform::ForkHook fork_hook;
};

StreamUse::StreamUse() : waiting_(std::make_unique<Waiting>()) {
    waiting_->fork_hook.child = &StreamUse::after_fork_in_child;
    waiting_->fork_hook.context = this;
    platform::add_fork_hook(waiting_->fork_hook);
}

StreamUse::~StreamUse() {
    platform::remove_fork_hook(waiting_->fork_hook);
}

StreamUse::Entry StreamUse::try_enter() noexcept {
    const std::uintptr_t me = platform::thread_tag();
    std::uintptr_t holder = holder_.load(std::memory_order_acquire);
    for (;;) {
        if (holder == me) {
            if (suspended_) return Entry::reentrant;
            ++depth_;
            return Entry::nested;
        }
        if (holder == driver_tag) return Entry::driven;
        if (holder != 0) return Entry::busy;
        if (holder_.compare_exchange_weak(holder, me, std::memory_order_acq_rel,
                                          std::memory_order_acquire)) {
            depth_ = 1;
            suspended_ = false;
            return Entry::taken;
        }
    }
}

StreamUse::Entry StreamUse::enter(bool (*give_up)(void*), void* context) noexcept {
    Entry entry = try_enter();
    if (entry != Entry::busy) return entry;
    Waiting& w = *waiting_;
    std::unique_lock<std::mutex> lock(w.mutex);
    w.count.fetch_add(1);
    for (;;) {
        entry = try_enter();
        if (entry != Entry::busy) break;
        if (give_up != nullptr && give_up(context)) break;
        // The slice bounds how late give_up is heard; a leaving holder wakes the wait at once.
        w.freed.wait_for(lock, std::chrono::milliseconds(5));
    }
    w.count.fetch_sub(1);
    return entry;
}

void StreamUse::leave() noexcept {
    if (holder_.load(std::memory_order_relaxed) != platform::thread_tag()) return;
    if (--depth_ > 0) return;
    suspended_ = false;
    holder_.store(0, std::memory_order_seq_cst);
    wake_waiters();
}

void StreamUse::wake_waiters() noexcept {
    // Paired with the waiter's count before its attempt: either it sees the stream free, or
    // this sees it counted and wakes it.
    if (waiting_->count.load(std::memory_order_seq_cst) == 0) return;
    { std::lock_guard<std::mutex> hold(waiting_->mutex); }
    waiting_->freed.notify_all();
}

bool StreamUse::held_by_caller() const noexcept {
    return holder_.load(std::memory_order_acquire) == platform::thread_tag();
}

void StreamUse::suspend() noexcept {
    if (held_by_caller()) suspended_ = true;
}

void StreamUse::resume() noexcept {
    if (held_by_caller()) suspended_ = false;
}

bool StreamUse::drive() noexcept {
    const std::uintptr_t me = platform::thread_tag();
    const bool taken_here = holder_.load(std::memory_order_acquire) != me;
    if (taken_here) {
        // A free stream is taken as a call takes it, so that whoever comes meanwhile waits
        // rather than finds a drive that may yet be refused.
        std::uintptr_t free = 0;
        if (!holder_.compare_exchange_strong(free, me, std::memory_order_acq_rel)) return false;
        depth_ = 1;
        suspended_ = false;
    } else if (depth_ != 1 || suspended_) {
        return false;
    }
    // A receiver registers only while it holds the stream: with the stream held here, what
    // this reads stands until the drive ends.
    if (receiver() != nullptr) {
        if (taken_here) leave();  // a caller's own hold stays its own
        return false;
    }
    depth_ = 0;
    holder_.store(driver_tag, std::memory_order_release);
    return true;
}

bool StreamUse::begin_receiving(const void* receiver) noexcept {
    if (receiver == nullptr || !held_by_caller() || suspended_) return false;
    const void* none = nullptr;
    return receiver_.compare_exchange_strong(none, receiver, std::memory_order_acq_rel);
}

void StreamUse::end_receiving(const void* receiver) noexcept {
    const void* expected = receiver;
    (void)receiver_.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}

void StreamUse::end_drive() noexcept {
    std::uintptr_t expected = driver_tag;
    if (holder_.compare_exchange_strong(expected, 0, std::memory_order_seq_cst)) wake_waiters();
}

void StreamUse::after_fork_in_child(void* context) {
    // Whoever held the stream in the parent has no thread here.
    auto* self = static_cast<StreamUse*>(context);
    Waiting& w = *self->waiting_;
    new (&w.mutex) std::mutex();
    new (&w.freed) std::condition_variable();
    w.count.store(0, std::memory_order_relaxed);
    self->holder_.store(0, std::memory_order_relaxed);
    self->depth_ = 0;
    self->suspended_ = false;
    self->receiver_.store(nullptr, std::memory_order_relaxed);  // its thread is not here either
    self->inherited_.store(true, std::memory_order_relaxed);
}

}  // namespace Zelkor::HardwareAPI::IO
