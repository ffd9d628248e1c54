// The timing of the line between the host and the simulated device: a serial wire, a USB
// adapter in front of it, or a native USB device. Plain arithmetic on times handed in, so it
// is tested without a port; the I/O loop asks it when each byte may cross.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace Zelkor::Sim {

/// 115200 baud, 10 bits a byte (start, 8 data, stop): seconds per byte on the wire.
inline constexpr double uart_byte_time = 10.0 / 115200.0;
/// Full-speed USB frame and high-speed microframe, seconds.
inline constexpr double usb_frame = 1e-3;
inline constexpr double usb_microframe = 125e-6;
/// A full-speed adapter sends at most 64 bytes a packet, 2 of them its status bytes.
inline constexpr std::size_t adapter_packet_data = 62;

/// What the bytes of one direction go through, in this order. All zero: nothing (pty).
struct LinePath {
    double frame_before = 0.0;  ///< wait for the next bus frame boundary (s); 0: no bus first
    double byte_time = 0.0;     ///< then cross a serial wire, seconds per byte; 0: no wire
    double latency = 0.0;       ///< then wait in an adapter: full packet or latency timer (s)
    double frame_after = 0.0;   ///< then the adapter's packets wait for the next frame (s)
};

/// One line model, as `--line` names it. Every model is a row of one table in line.cpp, from
/// which the command line's names, the help text and `--lines` follow.
struct LineModel {
    const char* name;         ///< the command-line name, e.g. "ftdi-16ms"
    const char* description;  ///< what it models, one line of text (the help wraps it)
    LinePath to_device;       ///< host to device
    LinePath to_host;         ///< device to host
};

/// A line model by its place in the table. `pty` (no timing, the default) is the first row;
/// the others are found by name (line_kind) or by walking line_models().
enum class LineKind : std::uint8_t {
    pty = 0,  ///< no timing: bytes cross as soon as they are written
};

/// The table of line models, in the order --help and --lines list them.
struct LineModels {
    const LineModel* first;
    std::size_t count;

    const LineModel* begin() const { return first; }
    const LineModel* end() const { return first + count; }
    std::size_t size() const { return count; }
    /// The kind of the row `model` (a row of this table).
    LineKind kind_of(const LineModel& model) const { return static_cast<LineKind>(&model - first); }
};
LineModels line_models();

/// The model of `kind`; a kind outside the table gives pty's.
const LineModel& line_model(LineKind kind);
/// The kind named `name` as on the command line; nothing for any other text.
std::optional<LineKind> line_kind(const char* name);
/// The command-line name of `kind`.
inline const char* line_name(LineKind kind) {
    return line_model(kind).name;
}
/// The names of every model, comma-separated with a last "or": "pty, uart, ... or usb-hs".
std::string line_names();

/// The host-to-device and device-to-host paths of a line.
inline LinePath to_device_path(LineKind kind) {
    return line_model(kind).to_device;
}
inline LinePath to_host_path(LineKind kind) {
    return line_model(kind).to_host;
}

/// The Arbelon's exchange on a line: a request of 13 bytes, a reply of 25.
inline constexpr std::size_t exchange_request_length = 13;
inline constexpr std::size_t exchange_reply_length = 25;
/// A host writes its next request this long after a reply is in (s).
inline constexpr double exchange_host_turnaround = 10e-6;

/// How a host's loop of exchanges fares on a line, from the model alone. Times in seconds:
/// `request` and `reply` from the first write until the first request's last byte is at the
/// device and until the first reply's last byte is at the host; `period` between replies once
/// the loop has settled (over its second half). `replies`: how many came, in the phase that
/// got fewest.
struct ExchangeTiming {
    double request = 0.0;
    double reply = 0.0;
    double period = 0.0;
    std::size_t replies = 0;
};

/// A host that keeps `in_flight` requests outstanding, writing the next one as a reply is in,
/// for `replies` replies, against a device that answers each request the moment its last byte
/// arrives. Averaged over where the host's first write falls within the bus frames and where
/// the adapter's timer stands (400 phases from a two-dimensional low-discrepancy sequence):
/// both are unrelated to the host in a real system, and the averages come out smooth and the
/// same on every run.
ExchangeTiming line_exchange(LineKind kind, std::size_t in_flight, std::size_t replies);

/// The rates a loop of exchanges can hold on a line (Hz): strict, each request written as the
/// previous reply is in; pipelined, with one more request in flight. Infinity for a line that
/// takes no time of its own (pty): there the host's own time is the limit.
struct LineCeilings {
    double strict_hz;
    double pipelined_hz;
};
LineCeilings line_ceilings(LineKind kind);

/// One direction of a line. Bytes are handed to it in order, with the time they were handed
/// over; it says when they become visible on the far side, oldest first. Times are seconds
/// on one monotonic clock; bus frames fall on its multiples of the frame period. Allocates
/// nothing.
class LineDirection {
  public:
    /// Separate hand-overs it holds at most.
    static constexpr std::size_t max_runs = 1024;
    /// Bytes it holds at most: 0.36 s of a 115200-baud wire. More would only make every
    /// later byte later still; a device that sends faster than its line carries loses
    /// messages instead.
    static constexpr std::size_t max_bytes = 4096;

    /// `adapter_start`: when the adapter's latency timer last started (its phase).
    explicit LineDirection(const LinePath& path = {}, double adapter_start = 0.0);

    /// False for a path with no timing at all: bytes are visible when handed over.
    bool paced() const;

    /// Hands `n` bytes to the line at `at` (s). A time before an earlier hand-over counts as
    /// that earlier time. False, and nothing taken, when max_runs hand-overs are in flight or
    /// the bytes would be more than max_bytes.
    bool hand(double at, std::size_t n);

    /// The next moment some held bytes become visible, and how many; {infinity, 0} when it
    /// holds none. Valid as long as nothing more is handed over before that moment.
    struct Step {
        double at;
        std::size_t count;
    };
    Step next() const;

    /// Lets the bytes of next() through: they are no longer held.
    void pop();

    /// How many more bytes it takes now (0 also when no more hand-overs fit).
    std::size_t room() const { return size_ == max_runs ? 0 : max_bytes - held_; }
    /// True when it holds no bytes.
    bool empty() const { return size_ == 0; }

    /// Drops every byte held; the adapter's timer starts again at `adapter_start`.
    void reset(double adapter_start);

  private:
    // Bytes handed over together: byte k reaches the end of the wire (or, with no wire, the
    // adapter or the far side) at first + k * byte_time.
    struct Run {
        double first;
        std::size_t count;
    };
    struct Packet {
        double departs;  // leaves the adapter
        double visible;  // on the far side
        std::size_t count;
    };

    const Run& run(std::size_t i) const { return runs_[(head_ + i) % max_runs]; }
    double arrival(std::size_t k) const;
    std::size_t arrived_by(double t, std::size_t most) const;
    Packet packet() const;

    LinePath path_;
    std::array<Run, max_runs> runs_{};
    std::size_t head_ = 0;
    std::size_t size_ = 0;
    std::size_t taken_ = 0;  // bytes of the oldest run already visible
    std::size_t held_ = 0;
    double wire_free_;  // when the wire has sent every byte handed to it
    double last_hand_;
    double timer_start_;  // the adapter's latest packet: its timer runs from here
};

/// Both directions of a line.
struct Line {
    explicit Line(LineKind kind = LineKind::pty, double adapter_start = 0.0)
        : to_device(to_device_path(kind), adapter_start),
          to_host(to_host_path(kind), adapter_start) {}

    bool paced() const { return to_device.paced() || to_host.paced(); }
    void reset(double adapter_start) {
        to_device.reset(adapter_start);
        to_host.reset(adapter_start);
    }

    LineDirection to_device;
    LineDirection to_host;
};

}  // namespace Zelkor::Sim
