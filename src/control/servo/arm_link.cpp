#include "control/servo/arm_link.h"

#include <ZelkorHardwareAPI/io/stream_use.h>

#include <algorithm>

#include "control/exchange.h"
#include "devices/protocol.h"

namespace Zelkor::HardwareAPI::Control::servo {

namespace {

namespace Protocol = HardwareAPI::Protocol;

// The bytes of a state reply: its code and its payload.
constexpr std::size_t reply_length = Devices::Arbelon::state_reply_length + 1;
// The strict exchanges of a run before their quickest tells how soon a reply can come.
constexpr std::uint32_t exchanges_to_learn = 16;

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

void ArmLink::push(const Owed& owed) noexcept {
    // A device silent for this many requests has long been given up on: its oldest are lost.
    if (count_ == max_owed) {
        pop();
        partial_ = 0;
    }
    owed_at(count_) = owed;
    ++count_;
}

void ArmLink::pop() noexcept {
    head_ = (head_ + 1) % max_owed;
    --count_;
}

// Reads the rest of the oldest owed reply, by `deadline` at the latest. A reply that comes short
// keeps what came (partial_), and the next read goes on from there: no byte of a reply is ever
// taken for the start of another. A code that starts no state reply means the count of bytes
// is lost (noise, or a reply to something else): broken.
ArmLink::Read ArmLink::read_reply(Clock::time_point deadline) noexcept {
    stream_->set_deadline(deadline);
    char* const into = reinterpret_cast<char*>(reply_.data());
    const bool starts = partial_ == 0;
    const std::streamsize got =
        stream_->read_bytes(into + partial_, static_cast<std::streamsize>(reply_length - partial_));
    partial_ += static_cast<std::size_t>(std::max<std::streamsize>(got, 0));
    if (partial_ == 0) return Read::timed_out;
    if (starts && reply_[0] != Protocol::Code::end_effector_state) {
        partial_ = 0;
        return Read::broken;
    }
    if (partial_ < reply_length) return Read::timed_out;
    partial_ = 0;
    return Read::whole;
}

// Drops input until the line has been quiet for a millisecond (never past twice the time to
// `bound`), and forgets every reply owed: after bytes that fit no reply, the count starts
// afresh.
void ArmLink::resynchronise(Clock::time_point bound) noexcept {
    const Clock::time_point start = Clock::now();
    const Clock::time_point limit = bound + (bound > start ? bound - start : Clock::duration{});
    stream_->set_deadline(limit);
    while (stream_->is_open() && Clock::now() < limit && stream_->wait_for_input(1)) {
        (void)stream_->discard_input();
    }
    count_ = 0;
    partial_ = 0;
    Counters::add(counters_->stale);
}

void ArmLink::settle() noexcept {
    while (count_ > 0 && stream_->is_open()) {
        // Each is given until a reply time-out after it was due, at least a millisecond more.
        const Clock::time_point due = owed_at(0).written + 2 * settings_.reply_timeout;
        const Read r = read_reply(std::max(due, Clock::now() + std::chrono::milliseconds(1)));
        if (r == Read::whole) {
            pop();
        } else {
            if (r == Read::broken) resynchronise(due);
            break;  // a device that does not answer now owes what it owes
        }
    }
    if (count_ == 0 && partial_ == 0) (void)detail::drop_waiting_input(*stream_);
}

bool ArmLink::deactivate() noexcept {
    if (!stream_->is_open()) {
        stream_->set_wait_hook(hook_before_);
        return false;
    }
    // The last exchanges are not cut short by the stop request.
    stream_->set_wait_hook({});
    settle();
    send({});
    const Clock::time_point deadline =
        owed_at(count_ - 1).written +
        std::max<Clock::duration>(settings_.reply_timeout, std::chrono::milliseconds(50));
    bool limp = false;
    while (!limp && stream_->is_open()) {
        const Read r = read_reply(deadline);
        if (r != Read::whole) break;
        limp = count_ == 1;  // the zero force's own reply; older ones are dropped
        pop();
    }
    stream_->set_wait_hook(hook_before_);
    return limp;
}

void ArmLink::send(const Request& request) noexcept {
    if (count_ == 0 && partial_ == 0 && detail::drop_waiting_input(*stream_)) {
        Counters::add(counters_->stale);
    }
    std::uint8_t message[Protocol::vector_request_length];
    Protocol::encode_vector_request(message, Protocol::Code::end_effector_force, request.force);
    const Clock::time_point written = Clock::now();
    stream_->set_deadline(written + settings_.reply_timeout);
    (void)stream_->write_bytes(reinterpret_cast<const char*>(message), sizeof message);
    push({request, written});
}

ArmLink::Received ArmLink::receive(bool stop_requested) noexcept {
    exchange_ns_ = 0;
    if (count_ == 0) return {Outcome::none, {}, Clock::now()};
    // Strict (and until the first state): the request just sent; with one in flight, the one
    // before it. A pipelined link whose last exchange failed makes one strict exchange before
    // it keeps a request in flight again: a reply that never came would otherwise leave every
    // later reply read for the request before its own.
    if (!settings_.pipeline || !have_state_ || resynchronising_) {
        const Received r = await(count_ - 1, stop_requested);
        resynchronising_ = settings_.pipeline && r.outcome != Outcome::fresh;
        return r;
    }
    if (count_ < 2) return {Outcome::none, {}, Clock::now()};
    const Received r = await(count_ - 2, stop_requested);
    resynchronising_ = r.outcome != Outcome::fresh;
    return r;
}

// Reads until the reply of the owed request `index` (from the oldest) comes; the replies of
// older ones that come first are dropped, however late. Until the first reply of a run, a
// device that is still waking up has first_reply_timeout to answer.
ArmLink::Received ArmLink::await(std::size_t index, bool stop_requested) noexcept {
    const Owed awaited = owed_at(index);
    const bool first = !have_state_;
    const Clock::time_point deadline =
        awaited.written + (first ? settings_.first_reply_timeout : settings_.reply_timeout);
    bool dropped_older = false;
    Clock::duration too_soon{};
    for (;;) {
        const Read r = read_reply(deadline);
        const Clock::time_point at = Clock::now();
        if (r == Read::broken) {
            resynchronise(deadline);
            return fail(awaited, at, false, stop_requested);
        }
        if (r == Read::timed_out) {
            // A reply taken as too soon, and nothing after it: the line is quicker than learnt.
            // It was most likely ours, but only the count of the next cycles can tell (a
            // reply the device never sent, below): taken for ours, a stray reply would pair
            // every later one with the wrong request.
            if (too_soon != Clock::duration{} && partial_ == 0) learn(too_soon, true);
            return fail(awaited, at, (dropped_older || too_soon != Clock::duration{}) && index == 0,
                        stop_requested);
        }
        if (index > 0) {  // an older request's reply, come at last
            pop();
            --index;
            dropped_older = true;
            Counters::add(counters_->stale);
            continue;
        }
        if (at - awaited.written < soonest_) {
            // Sooner than any reply comes: an answer to nothing owed (the count was short by
            // one). Ours is still to come.
            Counters::add(counters_->stale);
            too_soon = at - awaited.written;
            continue;
        }
        pop();
        return fresh(awaited, at, first);
    }
}

ArmLink::Received ArmLink::fresh(const Owed& owed, Clock::time_point at, bool first) noexcept {
    exchange_ns_ = ns_between(owed.written, at);
    Vector3 p{}, v{};
    Protocol::decode_state(reply_.data() + 1, p, v);
    for (int k = 0; k < 3; ++k) moved_[k] = have_state_ ? p[k] - position_[k] : 0.0f;
    position_ = p;
    velocity_ = v;
    have_state_ = true;
    failures_ = 0;
    overcounted_ = 0;
    last_reply_ = at;
    if (!settings_.pipeline || first) learn(at - owed.written);
    return {Outcome::fresh, owed.request, at};
}

void ArmLink::learn(Clock::duration exchange, bool proven) noexcept {
    quickest_ = std::min(quickest_, exchange);
    if (learnt_ < exchanges_to_learn) ++learnt_;
    if (learnt_ == exchanges_to_learn || proven) soonest_ = quickest_ / 2;
}

ArmLink::Received ArmLink::fail(const Owed& owed, Clock::time_point at, bool taken_for_older,
                                bool stop_requested) noexcept {
    exchange_ns_ = ns_between(owed.written, at);
    if (stop_requested && stream_->is_open()) return {Outcome::end, owed.request, at};  // cut short
    Counters::add(counters_->failed);
    ++failures_;
    if (!stream_->is_open()) {
        reason_ = StopReason::port_closed;
        return {Outcome::end, owed.request, at};
    }
    // A reply dropped as an older request's, then a quiet line until the time-out, twice in a
    // row: the count is one too many (a reply the device never sent), and each reply dropped
    // was the awaited one's. Once would also be a late reply followed by a slow one, which is
    // why it takes two.
    if (taken_for_older && partial_ == 0 && !settings_.pipeline) {
        if (++overcounted_ >= 2) {
            pop();  // the awaited, now the oldest owed
            overcounted_ = 0;
        }
    }
    if (at - last_reply_ >= settings_.give_up_after ||
        (settings_.max_failures != 0 && failures_ >= settings_.max_failures)) {
        reason_ = StopReason::device_not_answering;
        return {Outcome::end, owed.request, at};
    }
    return {Outcome::failed, owed.request, at};
}

}  // namespace Zelkor::HardwareAPI::Control::servo
