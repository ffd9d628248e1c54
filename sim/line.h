// The timing of the line between the host and the simulated device: a serial wire, a USB
// adapter in front of it, or a native USB device. Plain arithmetic on times handed in, so it
// is tested without a port; the I/O loop asks it when each byte may cross.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

namespace Zelkor::Sim {

enum class LineKind {
    pty,        ///< no timing: bytes cross as soon as they are written (the default)
    uart,       ///< 115200 baud 8N1 both ways
    ftdi,       ///< uart behind a full-speed USB-serial adapter with a 1 ms latency timer
    ftdi_16ms,  ///< the same with the adapter's default 16 ms latency timer
    usb_fs,     ///< a native full-speed USB device: 1 ms frames both ways
    usb_hs,     ///< a native high-speed USB device: 125 us microframes both ways
};

/// The kind named `name` as on the command line ("pty", "uart", "ftdi", "ftdi-16ms",
/// "usb-fs", "usb-hs"); nothing for any other text.
std::optional<LineKind> line_kind(const char* name);
/// The command-line name of `kind`.
const char* line_name(LineKind kind);

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

/// The host-to-device and device-to-host paths of a line.
LinePath to_device_path(LineKind kind);
LinePath to_host_path(LineKind kind);

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
