// Receiver: takes a Handle's messages in a thread of its own.
#pragma once

#include <ZelkorHardwareAPI/devices/handle.h>
#include <ZelkorHardwareAPI/export.h>

#include <atomic>
#include <exception>
#include <mutex>
#include <thread>

namespace Zelkor::HardwareAPI::Control {

/// Calls Handle::Receive in a loop on a thread of its own, so the handle's callbacks run there
/// as its messages arrive.
///
/// The thread waits for input without holding `lock`, and holds it while it takes a message
/// (callbacks included). Everyone else who uses the handle's stream meanwhile (a write of
/// SendHandleState, say) takes `lock` too, which serialises them with the reader; the lock is
/// recursive, so a callback may write. The loop ends when stop() asks, when a callback
/// throws (the exception is kept for stop() to return), or when the port closes or hangs up.
class ZELKOR_API Receiver {
  public:
    /// How often a reader waiting on a quiet line looks at its stop flag, in milliseconds.
    static constexpr std::uint32_t poll_ms = 10;

    /// Binds the receiver to `handle`; both it and `lock` must outlive the receiver.
    Receiver(Devices::Handle& handle, std::recursive_mutex& lock) : handle_(handle), lock_(lock) {}
    /// Stops the thread if it runs (an exception it kept is dropped).
    ~Receiver() { (void)stop(); }

    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    /// Starts the thread. Throws std::logic_error when it already runs.
    void start();
    /// Asks the thread to end and joins it: within poll_ms on a quiet line, or once the
    /// message being taken is done. Returns the exception that ended it, if a callback threw
    /// one (and forgets it). Must not be called from the thread itself (see request_stop).
    std::exception_ptr stop() noexcept;
    /// Asks the thread to end without waiting for it (from a callback, say).
    void request_stop() noexcept { stop_requested_.store(true, std::memory_order_release); }
    /// True from start() until the loop ended.
    bool running() const noexcept { return running_.load(std::memory_order_acquire); }
    /// True when called on the receiving thread.
    bool on_receiving_thread() const noexcept {
        return running() && std::this_thread::get_id() == thread_id_.load();
    }
    /// True once stop() or request_stop() asked the loop to end.
    bool stopping() const noexcept { return stop_requested_.load(std::memory_order_acquire); }

  private:
    void run() noexcept;

    Devices::Handle& handle_;
    std::recursive_mutex& lock_;
    std::thread thread_;
    std::atomic<std::thread::id> thread_id_{};
    std::atomic<bool> stop_requested_{false};
    std::atomic<bool> running_{false};
    std::exception_ptr error_;  // written by the loop before it ends, read after the join
};

}  // namespace Zelkor::HardwareAPI::Control
