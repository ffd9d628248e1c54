#include "line.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace Zelkor::Sim {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// Times are seconds since boot, where a double resolves a few nanoseconds: events this close
// count as simultaneous, so a byte due exactly on a frame boundary makes that frame.
constexpr double tolerance = 1e-7;

constexpr struct {
    LineKind kind;
    const char* name;
} names[] = {
    {LineKind::pty, "pty"},       {LineKind::uart, "uart"},
    {LineKind::ftdi, "ftdi"},     {LineKind::ftdi_16ms, "ftdi-16ms"},
    {LineKind::usb_fs, "usb-fs"}, {LineKind::usb_hs, "usb-hs"},
};

// The first multiple of `period` at or after t.
double boundary(double t, double period) {
    return std::ceil((t - tolerance) / period) * period;
}

}  // namespace

std::optional<LineKind> line_kind(const char* name) {
    for (const auto& n : names) {
        if (std::strcmp(name, n.name) == 0) return n.kind;
    }
    return std::nullopt;
}

const char* line_name(LineKind kind) {
    for (const auto& n : names) {
        if (n.kind == kind) return n.name;
    }
    return "?";
}

LinePath to_device_path(LineKind kind) {
    switch (kind) {
        case LineKind::pty:
            return {};
        case LineKind::uart:
            return {0.0, uart_byte_time, 0.0, 0.0};
        case LineKind::ftdi:
        case LineKind::ftdi_16ms:
            // The host's write goes out in the next frame; the adapter then clocks it onto
            // the wire as it comes.
            return {usb_frame, uart_byte_time, 0.0, 0.0};
        case LineKind::usb_fs:
            return {usb_frame, 0.0, 0.0, 0.0};
        case LineKind::usb_hs:
            return {usb_microframe, 0.0, 0.0, 0.0};
    }
    return {};
}

LinePath to_host_path(LineKind kind) {
    switch (kind) {
        case LineKind::ftdi:
            return {0.0, uart_byte_time, 1e-3, usb_frame};
        case LineKind::ftdi_16ms:
            return {0.0, uart_byte_time, 16e-3, usb_frame};
        default:
            // The other lines are the same both ways.
            return to_device_path(kind);
    }
}

LineDirection::LineDirection(const LinePath& path, double adapter_start)
    : path_(path), wire_free_(-infinity), last_hand_(-infinity), timer_start_(adapter_start) {}

bool LineDirection::paced() const {
    return path_.frame_before > 0.0 || path_.byte_time > 0.0 || path_.latency > 0.0 ||
           path_.frame_after > 0.0;
}

bool LineDirection::hand(double at, std::size_t n) {
    if (n == 0) return true;
    if (n > room()) return false;
    at = std::max(at, last_hand_);
    last_hand_ = at;
    double first = path_.frame_before > 0.0 ? boundary(at, path_.frame_before) : at;
    if (path_.byte_time > 0.0) {
        // The wire sends one byte after another: a hand-over waits for the bytes before it.
        const double start = std::max(first, wire_free_);
        first = start + path_.byte_time;
        wire_free_ = start + static_cast<double>(n) * path_.byte_time;
    }
    runs_[(head_ + size_) % max_runs] = {first, n};
    ++size_;
    held_ += n;
    return true;
}

// When the k-th byte still held (0: the oldest) reaches the end of the wire; infinity when
// fewer are held.
double LineDirection::arrival(std::size_t k) const {
    std::size_t skip = taken_ + k;
    for (std::size_t i = 0; i < size_; ++i) {
        const Run& r = run(i);
        if (skip < r.count) return r.first + static_cast<double>(skip) * path_.byte_time;
        skip -= r.count;
    }
    return infinity;
}

// How many of the bytes held have reached the end of the wire by t, at most `most`.
std::size_t LineDirection::arrived_by(double t, std::size_t most) const {
    std::size_t n = 0;
    std::size_t offset = taken_;
    for (std::size_t i = 0; i < size_ && n < most; ++i, offset = 0) {
        const Run& r = run(i);
        if (r.first > t + tolerance) break;
        std::size_t in = r.count;
        if (path_.byte_time > 0.0) {
            const double k = std::floor((t + tolerance - r.first) / path_.byte_time) + 1.0;
            in = std::min(in, static_cast<std::size_t>(k));
        }
        if (in <= offset) break;
        n += std::min(in - offset, most - n);
        if (in < r.count) break;  // the rest of this run, and every later one, comes later
    }
    return n;
}

// The adapter's next packet. Its latency timer runs from its latest packet; when it expires
// with nothing buffered the adapter sends its status bytes alone and the timer starts again,
// so the expiries fall on a fixed grid until a full packet moves it.
LineDirection::Packet LineDirection::packet() const {
    const double first = arrival(0);
    const double periods =
        std::max(1.0, std::ceil((first - timer_start_ - tolerance) / path_.latency));
    const double expiry = timer_start_ + periods * path_.latency;
    const double departs = std::min(expiry, arrival(adapter_packet_data - 1));
    const double visible = path_.frame_after > 0.0 ? boundary(departs, path_.frame_after) : departs;
    return {departs, visible, arrived_by(departs, adapter_packet_data)};
}

LineDirection::Step LineDirection::next() const {
    if (size_ == 0) return {infinity, 0};
    if (path_.latency > 0.0) {
        const Packet p = packet();
        return {p.visible, p.count};
    }
    const Run& r = run(0);
    if (path_.byte_time > 0.0) return {r.first + static_cast<double>(taken_) * path_.byte_time, 1};
    return {r.first, r.count - taken_};
}

void LineDirection::pop() {
    if (size_ == 0) return;
    std::size_t count = 0;
    if (path_.latency > 0.0) {
        const Packet p = packet();
        timer_start_ = p.departs;
        count = p.count;
    } else {
        count = path_.byte_time > 0.0 ? 1 : run(0).count - taken_;
    }
    while (count > 0 && size_ > 0) {
        const std::size_t take = std::min(count, run(0).count - taken_);
        taken_ += take;
        held_ -= take;
        count -= take;
        if (taken_ == run(0).count) {
            head_ = (head_ + 1) % max_runs;
            --size_;
            taken_ = 0;
        }
    }
}

void LineDirection::reset(double adapter_start) {
    head_ = size_ = taken_ = held_ = 0;
    wire_free_ = last_hand_ = -infinity;
    timer_start_ = adapter_start;
}

}  // namespace Zelkor::Sim
