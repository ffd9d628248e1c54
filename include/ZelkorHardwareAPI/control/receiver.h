// Receiver: takes a Handle's messages in a thread of its own.
#pragma once

#include <ZelkorHardwareAPI/devices/handle.h>
#include <ZelkorHardwareAPI/export.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

namespace Zelkor::HardwareAPI::Control {

class BackgroundThread;

/// Calls Handle::Receive in a loop on a thread of its own, so the handle's callbacks run there
/// as its messages arrive.
///
/// While it runs, the receiver is registered as the stream's background reception
/// (IO::StreamUse::begin_receiving): no servo drives the stream and no second receiver reads
/// it meanwhile. The thread waits for input without holding the stream, and holds it while it
/// takes a message, callbacks included. Everyone else who uses the handle's stream meanwhile
/// (a write of SendHandleState, say) enters the stream's use too (stream.use().enter() and
/// leave() around the call), which serialises them with the reader; a callback may write,
/// since its thread holds the stream already. The loop ends when stop() asks, when a callback
/// throws (the exception is kept for stop() to return), or when the port closes or hangs up.
/// start(), stop() and the destructor may be called from any thread, several at once; the
/// thread runs with every signal blocked.
class ZELKOR_API Receiver {
  public:
    /// How often a reader waiting on a quiet line looks at its stop flag, in milliseconds.
    static constexpr std::uint32_t poll_ms = 10;

    /// Binds the receiver to `handle`, which must outlive it.
    explicit Receiver(Devices::Handle& handle);
    /// The same, and `lock` is also held while a message is taken, for callers that
    /// serialise their own writes with it; it must outlive the receiver. Writers that enter
    /// the stream's use need no lock of their own; a writer that takes `lock` before it
    /// enters the stream deadlocks with the reader, which takes them the other way round.
    [[deprecated("writers take turns through the stream's use: pass no lock")]] Receiver(
        Devices::Handle& handle, std::recursive_mutex& lock);
    /// Stops the thread if it runs (an exception it kept is dropped). Destroyed on its own
    /// thread (from `last`, see start), it lets the thread end by itself.
    ~Receiver();

    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    /// Starts the thread, registering the receiver as the stream's reader first; a call of
    /// another thread on the stream is waited for. `last`, when given, runs on the thread once
    /// the loop has ended and running() is false; it may destroy the receiver. Throws
    /// std::logic_error when the thread already runs or when called from it, when a servo
    /// drives the stream, when another receiver reads it, and when the calling thread's own
    /// call on the stream is suspended (a signal handler's reentrant call).
    void start(std::function<void()> last = {});
    /// Asks the thread to end and waits for it: within poll_ms on a quiet line, or once the
    /// message being taken is done. Returns the exception that ended it, if a callback threw
    /// one (and forgets it). From the thread itself it only asks, and returns null.
    std::exception_ptr stop() noexcept;
    /// Asks the thread to end without waiting for it (from a callback, say).
    void request_stop() noexcept;
    /// True from start() until the loop ended.
    bool running() const noexcept;
    /// True when called on the receiving thread.
    bool on_receiving_thread() const noexcept;
    /// True once stop() or request_stop() asked the loop to end.
    bool stopping() const noexcept;
    /// True when a fork left this receiver in the child, where its thread never ran.
    bool forked() const noexcept;

  private:
    void run() noexcept;

    Devices::Handle& handle_;
    std::recursive_mutex* lock_ = nullptr;
    std::unique_ptr<BackgroundThread> thread_;
    std::mutex error_mutex_;
    std::exception_ptr error_;  // what ended the loop; under error_mutex_
};

}  // namespace Zelkor::HardwareAPI::Control
