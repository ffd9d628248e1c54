// One arm's paired exchange: the servo's link to its device, which the line measurement uses
// too. A line that carries no request ids is paired by count: the replies owed are kept in
// order, across cycles, so a reply to a request that timed out is dropped whenever it comes,
// however late; and a reply that comes sooner than the line allows cannot be the one awaited.
#pragma once

#include <ZelkorHardwareAPI/control/line.h>
#include <ZelkorHardwareAPI/control/servo.h>
#include <ZelkorHardwareAPI/devices/arbelon.h>
#include <ZelkorHardwareAPI/io/serial_stream.h>

#include <array>
#include <cstdint>

#include "control/servo/ramp.h"
#include "control/servo/telemetry.h"

namespace Zelkor::HardwareAPI::Control::servo {

/// The right to drive one stream (see IO::StreamUse::drive): taken whole or not at all,
/// released when the token is, movable, never copied.
class StreamDrive {
  public:
    StreamDrive() = default;
    /// Takes the drive of `use`; an empty token when another user has it.
    static StreamDrive take(IO::StreamUse& use) noexcept;
    StreamDrive(StreamDrive&& other) noexcept : use_(other.use_) { other.use_ = nullptr; }
    StreamDrive& operator=(StreamDrive&& other) noexcept;
    StreamDrive(const StreamDrive&) = delete;
    StreamDrive& operator=(const StreamDrive&) = delete;
    ~StreamDrive() { release(); }

    explicit operator bool() const noexcept { return use_ != nullptr; }
    /// Lets the stream go: others may use it from here.
    void release() noexcept;

  private:
    explicit StreamDrive(IO::StreamUse* use) noexcept : use_(use) {}
    IO::StreamUse* use_ = nullptr;
};

/// How a link exchanges.
struct LinkSettings {
    Clock::duration reply_timeout{};
    /// What the first reply of a run may take: a device that is still waking up.
    Clock::duration first_reply_timeout{};
    /// Without a whole reply for this long, the link gives up (Outcome::end).
    Clock::duration give_up_after = Clock::duration::max();
    std::uint32_t max_failures = 0;  ///< 0: give_up_after alone
    bool pipeline = false;
};

class ArmLink {
  public:
    /// What rides with a request: its force, and what the passivity controller counted as
    /// dissipated by it.
    struct Request {
        Vector3 force{};
        double credit = 0.0;
    };
    enum class Outcome : std::uint8_t {
        fresh,   ///< the reply came whole: a new state
        none,    ///< no reply was due this cycle (the first pipelined request went out)
        failed,  ///< no whole reply in time: the state stays as it was
        end,     ///< the link cannot go on: reason() says why, or a stop cut the wait short
    };
    /// What receive() found.
    struct Received {
        Outcome outcome = Outcome::none;
        Request request;         ///< fresh: the request the state answers; failed: the lost one
        Clock::time_point at{};  ///< when the read ended
    };

    /// Requests whose replies a link keeps count of at most; beyond, the oldest are taken for
    /// lost (a device silent for that many requests has long been given up on).
    static constexpr std::size_t max_owed = 64;

    ArmLink() = default;
    ArmLink(Devices::Arbelon& arm, const LinkSettings& settings, Counters& counters) noexcept;

    /// Puts `hook` (the loop's stop check) on the stream, keeping the one it had; `now` starts
    /// the time without a reply.
    void activate(const IO::WaitHook& hook, Clock::time_point now) noexcept;
    /// The link's last act: the replies still owed are read (or waited for, at most a
    /// reply_timeout after each was due), and one zero-force exchange leaves the arm limp.
    /// Puts the stream's own hook back. True when the zero force was answered whole.
    bool deactivate() noexcept;
    /// Reads the replies still owed, each given until a reply_timeout after it was due, and
    /// drops what waits after them: the stream owes nothing to anyone then, as far as a
    /// device that answers at all allows.
    void settle() noexcept;

    /// Writes `request`. With nothing owed, input already waiting answers no request and is
    /// dropped first.
    void send(const Request& request) noexcept;
    /// Reads the reply this cycle awaits: to the request just sent (strict), or to the one
    /// sent the cycle before (pipelined). Replies owed to older requests that come first are
    /// dropped. `stop_requested` tells whether a stop cut a wait short.
    Received receive(bool stop_requested) noexcept;

    /// Why the link ended (Outcome::end not cut short by a stop): port closed, or device not
    /// answering.
    StopReason reason() const noexcept { return reason_; }
    bool have_state() const noexcept { return have_state_; }
    const Vector3& position() const noexcept { return position_; }
    const Vector3& velocity() const noexcept { return velocity_; }
    /// m: how far the arm went as it came to the latest state (0 for the first).
    const Vector3& moved() const noexcept { return moved_; }
    /// Failed exchanges since the latest whole reply.
    std::uint32_t failures() const noexcept { return failures_; }
    /// ns from the awaited reply's request to the read's end (0: no read this cycle).
    std::int64_t exchange_ns() const noexcept { return exchange_ns_; }
    /// Replies owed: requests written and not yet answered nor taken for lost.
    std::size_t owed() const noexcept { return count_; }
    bool open() const noexcept { return stream_->is_open(); }
    /// Before the first exchange: whether to keep a request in flight.
    void set_pipeline(bool pipeline) noexcept { settings_.pipeline = pipeline; }

  private:
    // One request whose reply is owed.
    struct Owed {
        Request request;
        Clock::time_point written{};
    };
    enum class Read : std::uint8_t { whole, timed_out, broken };

    Owed& owed_at(std::size_t i) noexcept { return owed_[(head_ + i) % max_owed]; }
    void push(const Owed& owed) noexcept;
    void pop() noexcept;
    Read read_reply(Clock::time_point deadline) noexcept;
    Received await(std::size_t index, bool stop_requested) noexcept;
    Received fresh(const Owed& owed, Clock::time_point at, bool first) noexcept;
    Received fail(const Owed& owed, Clock::time_point at, bool taken_for_older,
                  bool stop_requested) noexcept;
    void resynchronise(Clock::time_point bound) noexcept;
    void learn(Clock::duration exchange, bool proven = false) noexcept;

    Devices::Arbelon* arm_ = nullptr;
    IO::SerialStream* stream_ = nullptr;
    LinkSettings settings_;
    Counters* counters_ = nullptr;
    IO::WaitHook hook_before_;

    bool have_state_ = false;
    Vector3 position_{}, velocity_{}, moved_{};
    std::uint32_t failures_ = 0;
    Clock::time_point last_reply_{};
    std::int64_t exchange_ns_ = 0;
    StopReason reason_ = StopReason::none;

    // The replies owed, oldest first, and the bytes of the oldest one read so far.
    std::array<Owed, max_owed> owed_{};
    std::size_t head_ = 0, count_ = 0;
    std::array<std::uint8_t, Devices::Arbelon::state_reply_length + 1> reply_{};
    std::size_t partial_ = 0;
    // No reply comes sooner after its request than this: half the quickest strict exchange of
    // the run (0 until the first few are in). It only ever comes down: a reply taken as too
    // soon that proves to be the awaited one (nothing else came) teaches it too.
    Clock::duration soonest_{};
    Clock::duration quickest_ = Clock::duration::max();
    std::uint32_t learnt_ = 0;
    std::uint32_t overcounted_ = 0;  // cycles in a row that dropped a reply, then timed out
    bool resynchronising_ = false;   // pipelined, after a failure: strict until a reply comes
};

// The line's measurement (see Control::measure_line), ended early when `stop` says so.
LineMeasurement measure_line(Devices::Arbelon& arm, double seconds, double reply_timeout,
                             const IO::WaitHook& stop) noexcept;

}  // namespace Zelkor::HardwareAPI::Control::servo
