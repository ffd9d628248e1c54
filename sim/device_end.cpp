#include "device_end.h"

#include <cmath>
#include <limits>

#include "log.h"

namespace Zelkor::Sim {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

}  // namespace

void DeviceEnd::OutQueue::send(const std::uint8_t* message, std::size_t length) {
    if (length > buffer_.size() - size_) {
        log("host is not reading: dropped a 0x%02X message", message[0]);
        return;
    }
    if (line_.paced() && !line_.hand(now_, length)) {
        log("the line is backed up: dropped a 0x%02X message", message[0]);
        return;
    }
    for (std::size_t i = 0; i < length; ++i) {
        buffer_[(head_ + size_ + i) % buffer_.size()] = message[i];
    }
    size_ += length;
    if (!line_.paced()) released_ = size_;
    log("sent 0x%02X, %zu bytes", message[0], length);
}

std::size_t DeviceEnd::OutQueue::front(std::size_t n, const std::uint8_t*& data) const {
    data = buffer_.data() + head_;
    return std::min({n, released_, buffer_.size() - head_});
}

void DeviceEnd::OutQueue::consume(std::size_t n) {
    n = std::min(n, released_);
    head_ = (head_ + n) % buffer_.size();
    size_ -= n;
    released_ -= n;
    if (size_ == 0) head_ = 0;
}

DeviceEnd::DeviceEnd(SimDevice& device, const FaultSettings& faults, LineKind line, double now)
    : device_(device),
      line_(line, now),
      out_(line_.to_host),
      faults_(faults, out_),
      late_(faults, faults_),
      framer_(device.message_length()),
      device_next_(now) {}

std::size_t DeviceEnd::room() const {
    if (hung_up_) return 0;
    return line_.paced() ? line_.to_device.room() : std::numeric_limits<std::size_t>::max();
}

bool DeviceEnd::write(const std::uint8_t* bytes, std::size_t n, double now) {
    if (hung_up_) return false;
    if (n == 0) return true;
    // What fell due before these bytes (a hold that ended) goes first.
    if (!advance(now)) return false;
    if (!line_.paced()) return feed(bytes, n, now);
    if (!line_.to_device.hand(now, n)) {
        log("the line to the device is full: dropped %zu byte(s)", n);
        return true;
    }
    for (std::size_t i = 0; i < n; ++i) in_[(in_head_ + in_size_ + i) % in_.size()] = bytes[i];
    in_size_ += n;
    return true;
}

bool DeviceEnd::advance(double now) {
    if (hung_up_) return false;
    // The bytes the line carries to the device and the replies whose hold ends, in the order
    // they fall due, so that each answer starts back at its own moment.
    for (;;) {
        const LineDirection::Step step = line_.to_device.next();
        const double held = late_.next();
        if (std::min(step.at, held) > now) break;
        if (held <= step.at) {
            out_.at(held);
            late_.pop();
            continue;
        }
        line_.to_device.pop();
        for (std::size_t left = step.count; left > 0 && in_size_ > 0;) {
            const std::size_t n = std::min({left, in_size_, in_.size() - in_head_});
            const bool alive = feed(in_.data() + in_head_, n, step.at);
            in_head_ = (in_head_ + n) % in_.size();
            in_size_ -= n;
            left -= n;
            if (!alive) return false;
        }
    }
    expire(now);
    sending_at(now);
    device_next_ = faults_.silent() ? infinity : device_.tick(now, late_);
    for (;;) {
        const LineDirection::Step step = line_.to_host.next();
        if (step.at > now) break;
        line_.to_host.pop();
        out_.release(step.count);
    }
    return true;
}

double DeviceEnd::next() const {
    if (hung_up_) return infinity;
    return std::min({device_next_, framer_.deadline(), late_.next(), line_.to_device.next().at,
                     line_.to_host.next().at});
}

void DeviceEnd::connect(double now) {
    line_.reset(now);
}

void DeviceEnd::disconnect(double now) {
    framer_.reset();
    out_.clear();
    late_.clear();
    in_head_ = in_size_ = 0;
    line_.reset(now);
    device_.disconnected();
}

void DeviceEnd::sending_at(double now) {
    late_.at(now);
    out_.at(now);
}

bool DeviceEnd::feed(const std::uint8_t* bytes, std::size_t n, double now) {
    // A message that stopped short before these bytes came is gone by then.
    expire(now);
    sending_at(now);
    std::size_t done = 0;
    while (done < n) {
        done += framer_.push(bytes + done, n - done, now);
        if (!dispatch(now)) return false;
    }
    return true;
}

// Hands every whole message to the device; false after a hang-up.
bool DeviceEnd::dispatch(double now) {
    for (;;) {
        const Framer::Item item = framer_.next();
        switch (item.kind) {
            case Framer::Item::Kind::none:
                return true;
            case Framer::Item::Kind::garbage:
                log("ignored %zu byte(s) that start no message, first 0x%02X", item.length,
                    item.data[0]);
                device_.malformed(now, late_);
                break;
            case Framer::Item::Kind::message:
                switch (faults_.admit()) {
                    case Faults::Verdict::serve:
                        log("received 0x%02X, %zu bytes", item.data[0], item.length);
                        device_.receive(item.data, item.length, now, late_);
                        break;
                    case Faults::Verdict::ignore:
                        log("silent: ignored 0x%02X", item.data[0]);
                        break;
                    case Faults::Verdict::hang_up:
                        log("hanging up at 0x%02X", item.data[0]);
                        hung_up_ = true;
                        return false;
                }
                break;
        }
    }
}

void DeviceEnd::expire(double now) {
    const std::size_t dropped = framer_.expire(now);
    if (dropped == 0) return;
    log("dropped %zu byte(s) of a message that stopped short", dropped);
    sending_at(now);
    device_.malformed(now, late_);
}

}  // namespace Zelkor::Sim
