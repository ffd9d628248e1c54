#include <ZelkorHardwareAPI/control/recorder.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "platform/files.h"

namespace Zelkor::HardwareAPI::Control {

std::uint64_t recording_memory_limit() noexcept {
    return platform::usable_memory() / 4;
}

std::string bytes_text(std::uint64_t bytes) {
    std::string digits = std::to_string(bytes);
    for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
    char scaled[32];
    std::snprintf(scaled, sizeof scaled, "%.2f GB", static_cast<double>(bytes) / 1e9);
    return digits + " bytes (" + scaled + ")";
}

RowRing::RowRing(std::size_t width, std::size_t capacity) : width_(width), capacity_(capacity) {
    if (width == 0 || width > 64) throw std::invalid_argument("a row is 1 to 64 values wide");
    if (capacity == 0) throw std::invalid_argument("a recording holds at least 1 row");
    const std::uint64_t bytes = std::uint64_t{capacity} * width * sizeof(double);
    const std::uint64_t limit = recording_memory_limit();
    const std::string needs =
        "a recording of " + std::to_string(capacity) + " rows would take " + bytes_text(bytes);
    if (capacity > (std::size_t{1} << 32) / width) {
        throw std::invalid_argument(needs + ", more than the 2^32 values a recording holds");
    }
    if (limit > 0 && bytes > limit) {
        throw std::invalid_argument(needs + ", more than the " + bytes_text(limit) +
                                    " a recording may take here (a quarter of the memory)");
    }
    values_ = std::make_unique<std::atomic<double>[]>(width * capacity);
    row_ = values_.get();
    clear();
}

RowRing::~RowRing() = default;

void RowRing::append() noexcept {
    const std::uint64_t n = appended_.load(std::memory_order_relaxed) + 1;
    appended_.store(n, std::memory_order_release);
    row_ = values_.get() + (n % capacity_) * width_;
}

void RowRing::clear() noexcept {
    for (std::size_t i = 0; i < width_ * capacity_; ++i) {
        values_[i].store(0.0, std::memory_order_relaxed);
    }
    appended_.store(0, std::memory_order_release);
    row_ = values_.get();
}

std::size_t RowRing::copy(double* out, std::uint64_t& first) const noexcept {
    const std::uint64_t end = appended_.load(std::memory_order_acquire);
    std::uint64_t begin = end > capacity_ ? end - capacity_ : 0;
    for (std::uint64_t i = begin; i < end; ++i) {
        const std::atomic<double>* row = values_.get() + (i % capacity_) * width_;
        double* to = out + (i - begin) * width_;
        for (std::size_t c = 0; c < width_; ++c) to[c] = row[c].load(std::memory_order_relaxed);
    }
    // Rows the writer reached while they were copied may be torn: they go. The writer may be
    // filling the row after `now` already, which overwrites the row `now - capacity`.
    const std::uint64_t now = appended_.load(std::memory_order_acquire);
    const std::uint64_t safe = now + 1 > capacity_ ? now + 1 - capacity_ : 0;
    std::uint64_t dropped = safe > begin ? std::min(safe - begin, end - begin) : 0;
    if (dropped > 0) {
        std::copy(out + dropped * width_, out + (end - begin) * width_, out);
    }
    first = begin + dropped;
    return static_cast<std::size_t>(end - begin - dropped);
}

std::size_t RowRing::copy_from(std::uint64_t from, double* out, std::size_t most,
                               std::uint64_t& first) const noexcept {
    const std::uint64_t written = appended_.load(std::memory_order_acquire);
    const std::uint64_t begin = std::max(from, written > capacity_ ? written - capacity_ : 0);
    const std::uint64_t end = std::max(begin, std::min<std::uint64_t>(written, begin + most));
    for (std::uint64_t i = begin; i < end; ++i) {
        const std::atomic<double>* row = values_.get() + (i % capacity_) * width_;
        double* to = out + (i - begin) * width_;
        for (std::size_t c = 0; c < width_; ++c) to[c] = row[c].load(std::memory_order_relaxed);
    }
    // As in copy(): rows the writer reached meanwhile may be torn, and go.
    const std::uint64_t now = appended_.load(std::memory_order_acquire);
    const std::uint64_t safe = now + 1 > capacity_ ? now + 1 - capacity_ : 0;
    const std::uint64_t dropped = safe > begin ? std::min(safe - begin, end - begin) : 0;
    if (dropped > 0) {
        std::copy(out + dropped * width_, out + (end - begin) * width_, out);
    }
    first = begin + dropped;
    return static_cast<std::size_t>(end - begin - dropped);
}

}  // namespace Zelkor::HardwareAPI::Control
