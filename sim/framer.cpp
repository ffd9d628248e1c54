#include "framer.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace Zelkor::Sim {

std::size_t Framer::push(const std::uint8_t* data, std::size_t n, double now) {
    // Items handed out before this call may point into the buffer; they are now stale.
    if (start_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    const std::size_t taken = std::min(n, capacity - end_);
    std::memcpy(buffer_.data() + end_, data, taken);
    end_ += taken;
    if (taken > 0) last_byte_ = now;
    return taken;
}

Framer::Item Framer::next() {
    if (start_ == end_) return {};
    const auto known = [this](std::size_t at) {
        const long length = length_of_(buffer_.data() + at, end_ - at);
        // A length the buffer cannot hold cannot be a message.
        return length <= static_cast<long>(capacity) ? length : -1;
    };
    const long length = known(start_);
    if (length < 0) {
        std::size_t stop = start_ + 1;
        while (stop < end_ && known(stop) < 0) ++stop;
        const Item item{Item::Kind::garbage, buffer_.data() + start_, stop - start_};
        start_ = stop;
        return item;
    }
    if (length == 0 || start_ + static_cast<std::size_t>(length) > end_) return {};
    const Item item{Item::Kind::message, buffer_.data() + start_, static_cast<std::size_t>(length)};
    start_ += static_cast<std::size_t>(length);
    return item;
}

std::size_t Framer::expire(double now) {
    if (start_ == end_ || now < deadline()) return 0;
    const std::size_t dropped = end_ - start_;
    reset();
    return dropped;
}

double Framer::deadline() const {
    return start_ == end_ ? std::numeric_limits<double>::infinity() : last_byte_ + stale_after;
}

}  // namespace Zelkor::Sim
