// One arm's paired exchange: the servo's link to its device, which the line measurement uses
// too. A line that carries no request ids is paired by order: each request's reply is read, or
// timed out and drained, before a reply is taken for a later request.
#pragma once

#include <ZelkorHardwareAPI/control/servo.h>
#include <ZelkorHardwareAPI/devices/arbelon.h>
#include <ZelkorHardwareAPI/io/serial_stream.h>

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
        bool first = false;      ///< fresh: the first state of the run
    };

    ArmLink() = default;
    ArmLink(Devices::Arbelon& arm, const LinkSettings& settings, Counters& counters) noexcept;

    /// Puts `hook` (the loop's stop check) on the stream, keeping the one it had; `now` starts
    /// the time without a reply.
    void activate(const IO::WaitHook& hook, Clock::time_point now) noexcept;
    /// The link's last act: a reply still in flight is read (or drained), input waiting is
    /// dropped, and one zero-force exchange leaves the arm limp. Puts the stream's own hook
    /// back. True when the zero force was answered whole.
    bool deactivate() noexcept;
    /// Reads the reply of a request still in flight, or drains it (the end of a pipelined run).
    void settle() noexcept;

    /// Writes `request`. With nothing in flight, input already waiting answers no request and
    /// is dropped first; with a request in flight, more than its reply waiting means the count
    /// went wrong (a reply came later than the wait for it): everything goes, and the pairing
    /// starts afresh.
    void send(const Request& request) noexcept;
    /// Reads the reply this cycle owes: the request just sent (strict), or the one sent the
    /// cycle before (pipelined). `stop_requested` tells whether a stop cut a wait short.
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
    /// ns from the latest read's request to its end (0: no read this cycle).
    std::int64_t exchange_ns() const noexcept { return exchange_ns_; }
    bool open() const noexcept { return stream_->is_open(); }

  private:
    Received take_reply(const Request& sent, Clock::time_point written,
                        Clock::time_point drain_bound, int replies_owed,
                        bool stop_requested) noexcept;
    Received fail(const Request& sent, Clock::time_point at, Clock::time_point drain_bound,
                  long owed, bool stop_requested) noexcept;

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

    Request sending_;  // this cycle's
    Clock::time_point written_{};
    // With pipeline: the request in flight, written the cycle before.
    bool in_flight_ = false;
    Request in_flight_request_;
    Clock::time_point in_flight_at_{};
};

}  // namespace Zelkor::HardwareAPI::Control::servo
