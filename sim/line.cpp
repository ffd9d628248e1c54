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

// Every line model. A new one is a row here (and its tests and docs): the command line's
// names, the help text, --lines and the benchmarks' ceilings all follow from this table.
constexpr LineModel models[] = {
    {"pty", "none: bytes cross as soon as they are written", {}, {}},
    {"uart",
     "115200 baud 8N1, 86.8 us a byte each way",
     {0.0, uart_byte_time, 0.0, 0.0},
     {0.0, uart_byte_time, 0.0, 0.0}},
    // The host's write goes out in the next frame; the adapter then clocks it onto the wire
    // as it comes. Back, the adapter sends a packet when 62 bytes fill it or its latency timer
    // expires, and the packet crosses in the next frame.
    {"ftdi",
     "uart behind a full-speed USB-serial adapter whose latency timer is set to 1 ms",
     {usb_frame, uart_byte_time, 0.0, 0.0},
     {0.0, uart_byte_time, 1e-3, usb_frame}},
    {"ftdi-16ms",
     "the same with the adapter's default 16 ms timer",
     {usb_frame, uart_byte_time, 0.0, 0.0},
     {0.0, uart_byte_time, 16e-3, usb_frame}},
    {"usb-fs",
     "a native full-speed USB device: 1 ms frames",
     {usb_frame, 0.0, 0.0, 0.0},
     {usb_frame, 0.0, 0.0, 0.0}},
    {"usb-hs",
     "a native high-speed USB device: 125 us microframes",
     {usb_microframe, 0.0, 0.0, 0.0},
     {usb_microframe, 0.0, 0.0, 0.0}},
};
constexpr std::size_t model_count = sizeof models / sizeof models[0];

// The first multiple of `period` at or after t.
double boundary(double t, double period) {
    return std::ceil((t - tolerance) / period) * period;
}

// One run of line_exchange's loop, with the host's first write at `write` and the adapter's
// timer started at `adapter_start`.
ExchangeTiming exchange(LineKind kind, double write, double adapter_start, std::size_t in_flight,
                        std::size_t replies) {
    Line line(kind, adapter_start);
    for (std::size_t i = 0; i < in_flight; ++i) line.to_device.hand(write, exchange_request_length);
    ExchangeTiming run;
    run.request = -1.0;
    std::size_t at_device = 0, at_host = 0;
    double settled = 0.0;
    while (run.replies < replies && !(line.to_device.empty() && line.to_host.empty())) {
        const LineDirection::Step out = line.to_device.next(), back = line.to_host.next();
        if (out.at <= back.at) {
            line.to_device.pop();
            for (at_device += out.count; at_device >= exchange_request_length;
                 at_device -= exchange_request_length) {
                if (run.request < 0.0) run.request = out.at - write;
                line.to_host.hand(out.at, exchange_reply_length);
            }
            continue;
        }
        line.to_host.pop();
        for (at_host += back.count; at_host >= exchange_reply_length && run.replies < replies;
             at_host -= exchange_reply_length) {
            const std::size_t done = ++run.replies;
            if (done == 1) run.reply = back.at - write;
            if (done == replies / 2) settled = back.at;
            if (done > replies / 2) run.period = (back.at - settled) / double(done - replies / 2);
            line.to_device.hand(back.at + exchange_host_turnaround, exchange_request_length);
        }
    }
    return run;
}

}  // namespace

LineModels line_models() {
    return {models, model_count};
}

const LineModel& line_model(LineKind kind) {
    const auto i = static_cast<std::size_t>(kind);
    return i < model_count ? models[i] : models[0];
}

std::optional<LineKind> line_kind(const char* name) {
    for (const LineModel& m : models) {
        if (std::strcmp(name, m.name) == 0) return line_models().kind_of(m);
    }
    return std::nullopt;
}

std::string line_names() {
    std::string names;
    for (std::size_t i = 0; i < model_count; ++i) {
        if (i > 0) names += i + 1 == model_count ? " or " : ", ";
        names += models[i].name;
    }
    return names;
}

ExchangeTiming line_exchange(LineKind kind, std::size_t in_flight, std::size_t replies) {
    // An uptime of 11 days: a real loop hands the line times since boot, where a double
    // resolves a few nanoseconds.
    constexpr double base = 1e6;
    constexpr int samples = 400;
    ExchangeTiming sum;
    sum.replies = replies;
    for (int k = 1; k <= samples; ++k) {
        const ExchangeTiming r =
            exchange(kind, base + std::fmod(k * 0.7548776662466927, 1.0) * 16e-3,
                     base - std::fmod(k * 0.5698402909980532, 1.0) * 16e-3, in_flight, replies);
        sum.request += r.request / samples;
        sum.reply += r.reply / samples;
        sum.period += r.period / samples;
        sum.replies = std::min(sum.replies, r.replies);
    }
    return sum;
}

LineCeilings line_ceilings(LineKind kind) {
    // 40 replies: the second half, over which the period is taken, is past any start-up.
    constexpr std::size_t replies = 40;
    // Without timing of its own the line's "rate" would be only the model's host's.
    if (!Line(kind).paced()) return {infinity, infinity};
    const auto rate = [](double period) { return period > 0.0 ? 1.0 / period : infinity; };
    return {rate(line_exchange(kind, 1, replies).period),
            rate(line_exchange(kind, 2, replies).period)};
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
