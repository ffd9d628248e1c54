// Who uses a stream: one user at a time, so that no two interleave their bytes on the wire.
#pragma once

#include <ZelkorHardwareAPI/export.h>

#include <atomic>
#include <cstdint>
#include <memory>

namespace Zelkor::HardwareAPI::IO {

/// The right to use one stream, held by one thread at a time, by a servo that drives it, or
/// shared with a receiver that reads it in the background. Every user of a stream goes through
/// this one token: there is no other lock to take.
///
/// A call that uses the port enters before its first transfer and leaves after its last, so a
/// request and its reply are never split by another thread's bytes. Entering again on the
/// thread that holds the stream (a callback of its own call that writes, say) nests. While
/// the holder's call is suspended (its wait was interrupted and a signal handler runs in its
/// place) the holder's own thread is refused, since the handler would break into the middle
/// of an exchange. A servo turns its starter's hold into a drive, which refuses everyone until
/// the servo ends. A receiver (a thread that takes a device's messages as they come) is
/// registered by a thread that holds the stream; it enters around each message like any
/// caller, so other threads' calls take turns with it, but while it is registered no servo
/// drives the stream and no second receiver reads it. Nothing here allocates after
/// construction; entering a free stream and leaving it take no lock.
class ZELKOR_API StreamUse {
  public:
    /// What an attempt to enter found.
    enum class Entry : std::uint8_t {
        taken,      ///< the calling thread now holds the stream
        nested,     ///< the calling thread held it already: it now holds it once more
        driven,     ///< a servo drives the stream: refused
        reentrant,  ///< the caller's own call on the stream is suspended: refused
        busy,       ///< another thread holds it (try_enter), or enter() gave up waiting
    };

    StreamUse();
    ~StreamUse();
    StreamUse(const StreamUse&) = delete;
    StreamUse& operator=(const StreamUse&) = delete;

    /// Enters when the stream is free or held by the calling thread; never waits.
    Entry try_enter() noexcept;
    /// Enters, waiting while another thread holds the stream. `give_up`, when given, is asked
    /// every few milliseconds of waiting; when it returns true the wait ends with busy.
    Entry enter(bool (*give_up)(void* context) = nullptr, void* context = nullptr) noexcept;
    /// Undoes one successful entry (taken or nested) of the calling thread; nothing when the
    /// calling thread does not hold the stream.
    void leave() noexcept;

    /// True when the calling thread holds the stream.
    bool held_by_caller() const noexcept;
    /// Marks the calling thread's call as suspended (see the class), or as going on again.
    /// Only the holder's own calls count.
    void suspend() noexcept;
    void resume() noexcept;

    /// Makes a servo the driver: takes over the calling thread's single hold, or a free
    /// stream. False when another thread holds it, the caller's hold is nested or suspended,
    /// a servo drives it already, or a receiver reads it.
    bool drive() noexcept;
    /// Ends the drive; waiting threads may then enter.
    void end_drive() noexcept;
    /// True while a servo drives the stream.
    bool driven() const noexcept { return holder_.load(std::memory_order_acquire) == driver_tag; }

    /// Registers `receiver` (any address that names it; not null) as the stream's background
    /// reader. The calling thread must hold the stream (an entry, not suspended), so that no
    /// drive and no other registration interleaves. False when it does not, or when a receiver
    /// (this one included) is registered already: receiver() tells which.
    bool begin_receiving(const void* receiver) noexcept;
    /// Ends `receiver`'s registration; nothing when another one is registered. Any thread,
    /// holding the stream or not.
    void end_receiving(const void* receiver) noexcept;
    /// The registered receiver, or null.
    const void* receiver() const noexcept { return receiver_.load(std::memory_order_acquire); }

    /// True in the child of a fork, for a stream the parent had opened: the child's close
    /// then leaves the port's settings to the parent.
    bool inherited() const noexcept { return inherited_.load(std::memory_order_relaxed); }

  private:
    struct Waiting;
    static constexpr std::uintptr_t driver_tag = 1;

    void wake_waiters() noexcept;
    static void after_fork_in_child(void* self);

    std::atomic<std::uintptr_t> holder_{0};       // 0 free, driver_tag, or the holder's thread tag
    std::uint32_t depth_ = 0;                     // the holder's entries
    bool suspended_ = false;                      // the holder's call is suspended
    std::atomic<const void*> receiver_{nullptr};  // changed only by a holder, or cleared
    std::atomic<bool> inherited_{false};
    std::unique_ptr<Waiting> waiting_;
};

}  // namespace Zelkor::HardwareAPI::IO
