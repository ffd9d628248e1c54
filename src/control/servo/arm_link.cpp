#include "control/servo/arm_link.h"

#include <ZelkorHardwareAPI/io/stream_use.h>

#include <algorithm>

#include "control/exchange.h"

namespace Zelkor::HardwareAPI::Control::servo {

namespace {

// The bytes of a state reply: its code and its payload.
constexpr long reply_bytes = Devices::Arbelon::state_reply_length + 1;

std::int64_t ns_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}

}  // namespace

StreamDrive StreamDrive::take(IO::StreamUse& use) noexcept {
    return use.drive() ? StreamDrive(&use) : StreamDrive();
}

StreamDrive& StreamDrive::operator=(StreamDrive&& other) noexcept {
    if (this != &other) {
        release();
        use_ = other.use_;
        other.use_ = nullptr;
    }
    return *this;
}

void StreamDrive::release() noexcept {
    if (use_ != nullptr) use_->end_drive();
    use_ = nullptr;
}

ArmLink::ArmLink(Devices::Arbelon& arm, const LinkSettings& settings, Counters& counters) noexcept
    : arm_(&arm), stream_(&arm.get_stream()), settings_(settings), counters_(&counters) {}

void ArmLink::activate(const IO::WaitHook& hook, Clock::time_point now) noexcept {
    hook_before_ = stream_->wait_hook();
    stream_->set_wait_hook(hook);
    last_reply_ = now;
}

void ArmLink::settle() noexcept {
    if (!in_flight_ || !stream_->is_open()) return;
    in_flight_ = false;
    stream_->set_deadline(in_flight_at_ + settings_.reply_timeout);
    Vector3 p{}, v{};
    if (arm_->receive_state(p, v) != Devices::Arbelon::state_reply_length) {
        (void)detail::drain_late_reply(*stream_, in_flight_at_ + 2 * settings_.reply_timeout,
                                       reply_bytes);
    }
}

bool ArmLink::deactivate() noexcept {
    if (!stream_->is_open()) {
        stream_->set_wait_hook(hook_before_);
        return false;
    }
    // The last exchanges are not cut short by the stop request.
    stream_->set_wait_hook({});
    settle();
    (void)detail::drop_waiting_input(*stream_);
    stream_->set_deadline(Clock::now() + std::max<Clock::duration>(settings_.reply_timeout,
                                                                   std::chrono::milliseconds(50)));
    Vector3 p{}, v{};
    const bool limp =
        arm_->end_effector_force({0.0f, 0.0f, 0.0f}, p, v) == Devices::Arbelon::state_reply_length;
    stream_->set_wait_hook(hook_before_);
    return limp;
}

void ArmLink::send(const Request& request) noexcept {
    if (!in_flight_) {
        if (detail::drop_waiting_input(*stream_)) Counters::add(counters_->stale);
    } else if (stream_->bytes_waiting() > reply_bytes) {
        (void)stream_->discard_input();
        Counters::add(counters_->stale);
        in_flight_ = false;
    }
    sending_ = request;
    written_ = Clock::now();
    stream_->set_deadline(written_ + settings_.reply_timeout);
    arm_->send_force(request.force);
}

ArmLink::Received ArmLink::receive(bool stop_requested) noexcept {
    exchange_ns_ = 0;
    Received r;
    if (!settings_.pipeline || !have_state_) {
        r = take_reply(sending_, written_, written_ + 2 * settings_.reply_timeout, 1,
                       stop_requested);
    } else if (in_flight_) {
        // The request just written rides the wire beside the reply read now. A failure drains
        // the line until that request's reply is due too.
        r = take_reply(in_flight_request_, in_flight_at_,
                       std::max(in_flight_at_ + 2 * settings_.reply_timeout,
                                written_ + settings_.reply_timeout),
                       2, stop_requested);
        in_flight_ = r.outcome == Outcome::fresh;
    } else {
        in_flight_ = true;
    }
    if (in_flight_) {
        in_flight_request_ = sending_;
        in_flight_at_ = written_;
    }
    return r;
}

// Reads the reply to `sent`, written at `written`. On a failure, drops what comes of the late
// reply (and of the `replies_owed` - 1 requests written after it) until `drain_bound`. Until
// the first reply of a run, a device that is still waking up has first_reply_timeout to
// answer, and the link makes strict exchanges: a first reply that came later than the wait
// for it would be paired with a later request for good.
ArmLink::Received ArmLink::take_reply(const Request& sent, Clock::time_point written,
                                      Clock::time_point drain_bound, int replies_owed,
                                      bool stop_requested) noexcept {
    const bool first = !have_state_;
    stream_->set_deadline(written +
                          (first ? settings_.first_reply_timeout : settings_.reply_timeout));
    if (first) drain_bound = written + settings_.first_reply_timeout + settings_.reply_timeout;
    Vector3 p = position_, v = velocity_;
    const int result = arm_->receive_state(p, v);
    const Clock::time_point replied = Clock::now();
    exchange_ns_ = ns_between(written, replied);
    if (result != Devices::Arbelon::state_reply_length) {
        // What of this reply came is read; the rest, and the replies to later requests, not.
        const long owed = replies_owed * reply_bytes - (result >= 0 ? 1 + result : 0);
        return fail(sent, replied, drain_bound, owed, stop_requested);
    }
    for (int k = 0; k < 3; ++k) moved_[k] = have_state_ ? p[k] - position_[k] : 0.0f;
    position_ = p;
    velocity_ = v;
    have_state_ = true;
    failures_ = 0;
    last_reply_ = replied;
    return {Outcome::fresh, sent, replied, first};
}

ArmLink::Received ArmLink::fail(const Request& sent, Clock::time_point at,
                                Clock::time_point drain_bound, long owed,
                                bool stop_requested) noexcept {
    if (stop_requested && stream_->is_open()) return {Outcome::end, sent, at, false};  // cut short
    Counters::add(counters_->failed);
    ++failures_;
    if (!stream_->is_open()) {
        reason_ = StopReason::port_closed;
        return {Outcome::end, sent, at, false};
    }
    if (detail::drain_late_reply(*stream_, drain_bound, owed)) Counters::add(counters_->stale);
    if (at - last_reply_ >= settings_.give_up_after ||
        (settings_.max_failures != 0 && failures_ >= settings_.max_failures)) {
        reason_ = StopReason::device_not_answering;
        return {Outcome::end, sent, at, false};
    }
    return {Outcome::failed, sent, at, false};
}

}  // namespace Zelkor::HardwareAPI::Control::servo
