#include "faults.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "devices/protocol.h"
#include "log.h"

namespace Zelkor::Sim {

namespace Code = HardwareAPI::Protocol::Code;

namespace {

// Garbage never contains a code that either device sends, so a host that reads it byte by
// byte never mistakes it for the start of a message.
bool is_device_code(std::uint8_t byte) {
    switch (byte) {
        case Code::device_info:
        case Code::end_effector_state:
        case Code::joint_state:
        case Code::current:
        case Code::handle_info:
        case Code::handle_status:
        case Code::handle_error:
            return true;
        default:
            return false;
    }
}

}  // namespace

const char* fault_name(Fault fault) {
    switch (fault) {
        case Fault::none:
            return "none";
        case Fault::drop:
            return "drop";
        case Fault::wrong_code:
            return "wrong code";
        case Fault::truncate:
            return "truncate";
        case Fault::garbage:
            return "garbage";
    }
    return "?";
}

Faults::Faults(const FaultSettings& settings, Outbox& out)
    : settings_(settings), out_(out), random_(settings.seed) {}

Faults::Verdict Faults::admit() {
    if (silent_) return Verdict::ignore;
    if (admitted_ >= settings_.hangup_after) return Verdict::hang_up;
    if (admitted_ >= settings_.silent_after) {
        silent_ = true;
        return Verdict::ignore;
    }
    ++admitted_;
    return Verdict::serve;
}

Fault Faults::choose() {
    const bool eligible = sent_ >= settings_.faults_after && spoilt_ < settings_.max_faults;
    const double any =
        settings_.drop + settings_.wrong_code + settings_.truncate + settings_.garbage;
    if (!eligible || any <= 0.0) return Fault::none;
    double u = random_.uniform();
    const std::array<std::pair<double, Fault>, 4> table{{{settings_.drop, Fault::drop},
                                                         {settings_.wrong_code, Fault::wrong_code},
                                                         {settings_.truncate, Fault::truncate},
                                                         {settings_.garbage, Fault::garbage}}};
    for (const auto& [chance, fault] : table) {
        if (u < chance) return fault;
        u -= chance;
    }
    return Fault::none;
}

void Faults::send(const std::uint8_t* message, std::size_t length) {
    if (silent_ || length == 0) return;
    last_ = choose();
    ++sent_;
    if (last_ != Fault::none) {
        ++spoilt_;
        log("spoilt a 0x%02X message: %s", message[0], fault_name(last_));
    }
    switch (last_) {
        case Fault::none:
            out_.send(message, length);
            return;
        case Fault::drop:
            return;
        case Fault::wrong_code: {
            std::array<std::uint8_t, max_message_length> copy;
            if (length > copy.size()) return;
            std::memcpy(copy.data(), message, length);
            copy[0] ^= 0x30;
            out_.send(copy.data(), length);
            return;
        }
        case Fault::truncate:
            // The code and fewer payload bytes than the message has.
            if (length > 1) out_.send(message, 1 + random_.below(length - 1));
            return;
        case Fault::garbage: {
            std::array<std::uint8_t, 8> junk;
            const std::size_t count = 1 + random_.below(junk.size());
            for (std::size_t i = 0; i < count; ++i) {
                do {
                    junk[i] = static_cast<std::uint8_t>(random_.below(256));
                } while (is_device_code(junk[i]));
            }
            out_.send(junk.data(), count);
            out_.send(message, length);
            return;
        }
    }
}

LateReplies::LateReplies(const FaultSettings& settings, Outbox& out)
    : every_(settings.late_every), seconds_(settings.late_seconds), out_(out) {}

void LateReplies::send(const std::uint8_t* message, std::size_t length) {
    if (length == 0) return;
    const bool reply = message[0] == Code::end_effector_state || message[0] == Code::joint_state;
    const bool hold = reply && every_ > 0 && ++replies_ % every_ == 0;
    if (!hold && size_ == 0) {
        out_.send(message, length);
        return;
    }
    // Behind a message held, no sooner than it: the device answers in order.
    double due = hold ? now_ + seconds_ : now_;
    if (size_ > 0) due = std::max(due, entries_[(head_ + size_ - 1) % max_messages].due);
    if (size_ == max_messages || length > max_bytes - byte_size_ || length > max_message_length) {
        log("too many replies held: lost a 0x%02X message", message[0]);
        return;
    }
    if (hold) {
        ++held_;
        log("holding a 0x%02X reply for %g s", message[0], seconds_);
    }
    for (std::size_t i = 0; i < length; ++i) {
        bytes_[(byte_head_ + byte_size_ + i) % max_bytes] = message[i];
    }
    byte_size_ += length;
    entries_[(head_ + size_) % max_messages] = {due, length};
    ++size_;
}

double LateReplies::next() const {
    return size_ == 0 ? std::numeric_limits<double>::infinity() : entries_[head_].due;
}

void LateReplies::pop() {
    if (size_ == 0) return;
    const Entry entry = entries_[head_];
    head_ = (head_ + 1) % max_messages;
    --size_;
    std::array<std::uint8_t, max_message_length> message;
    for (std::size_t i = 0; i < entry.length; ++i) {
        message[i] = bytes_[(byte_head_ + i) % max_bytes];
    }
    byte_head_ = (byte_head_ + entry.length) % max_bytes;
    byte_size_ -= entry.length;
    out_.send(message.data(), entry.length);
}

void LateReplies::clear() {
    head_ = size_ = byte_head_ = byte_size_ = 0;
}

}  // namespace Zelkor::Sim
