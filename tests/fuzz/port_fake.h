// The port the fuzz targets run behind: every function of io/port.h, with the fuzz input
// deciding how each transfer ends and supplying the bytes a read delivers. Every call is
// logged, so a target can check what the library did with what the port gave it.
//
// The fake also checks the library's side of the seam on every call: transfers only on a
// port that is open (and not hung up), buffers that really hold the bytes asked for, the
// documented time-outs, and a close right after every hang-up.
//
// Or a device model plays the far side (FakePort::play): the simulator's own Arbelon behind
// one of its lines, with its late-reply fault, in the port's own time; the input then still
// decides how each transfer ends, and the model the bytes a read delivers.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "io/port.h"

// Stops the run with a message; libFuzzer reports the input as a crash.
#define FUZZ_CHECK(condition)                                                             \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, \
                         __LINE__);                                                       \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace zelkor_fuzz {

namespace io = Zelkor::HardwareAPI::IO;
using Bytes = std::vector<std::uint8_t>;

/// One call the library made to the port, with what the port answered.
struct PortEvent {
    enum class Kind { open, apply_timeouts, read, write, discard, close };
    Kind kind = Kind::open;
    io::PortHandle handle = io::invalid_port_handle;
    std::size_t requested = 0;  ///< read: bytes asked for; write: bytes handed over
    Bytes bytes;                ///< read: bytes delivered; write: all bytes handed over
    std::size_t count = 0;      ///< bytes moved
    io::port::Ending ending = io::port::Ending::complete;
    int system_error = 0;
    bool ok = true;  ///< apply_timeouts and discard: what the port answered
    io::OpenCode open_code = io::OpenCode::ok;
    io::PortError open_error;  ///< open: what the port reported for a code other than ok
    bool open_threw = false;
    std::string name;  ///< open: the port name
};

/// The device model's settings: what plays the far side of the port.
struct DeviceModelSettings {
    std::size_t line = 0;          ///< the simulator's line model, by its place in the table
    std::uint64_t late_every = 0;  ///< the simulator's --late-reply: every this many state
    double late_seconds = 0.0;     ///< replies one is held this long (s); 0: none
};

class DeviceModel;
/// Ends a device model in the storage it was made in.
struct EndDeviceModel {
    void operator()(DeviceModel* model) const;
};

/// Installs itself as the port that port::open and the rest talk to, taking its decisions
/// from `script`; one at a time. The destructor checks that every port opened was closed.
class FakePort {
  public:
    explicit FakePort(FuzzedDataProvider& script);
    ~FakePort();

    /// From now on a simulated Arbelon that echoes each force as its position answers what
    /// the library writes, and a read delivers what it has sent by then (the input still
    /// decides each transfer's ending). Time is the port's own: it starts at 0 and passes
    /// only while a read or a wait waits, up to its time-out, for the model's bytes.
    void play(const DeviceModelSettings& settings);
    /// The device model, when one plays; else null.
    DeviceModel* device() const { return device_.get(); }
    FakePort(const FakePort&) = delete;
    FakePort& operator=(const FakePort&) = delete;

    /// The port in use; aborts when there is none.
    static FakePort& current();

    const std::vector<PortEvent>& events() const { return events_; }
    /// Index of the next event.
    std::size_t mark() const { return events_.size(); }

    // For the port functions.
    std::uint8_t decide() { return script_.ConsumeIntegral<std::uint8_t>(); }
    FuzzedDataProvider& script() { return script_; }
    PortEvent& log(PortEvent::Kind kind, io::PortHandle handle);
    io::PortHandle new_handle();
    /// Checks that `handle` is open and usable for a transfer.
    void check_usable(io::PortHandle handle) const;
    void hang_up(io::PortHandle handle) { hung_up_.push_back(handle); }
    void release(io::PortHandle handle);

  private:
    FuzzedDataProvider& script_;
    std::vector<PortEvent> events_;
    std::vector<io::PortHandle> open_;
    std::vector<io::PortHandle> hung_up_;
    io::PortHandle next_handle_ = 100;
    std::unique_ptr<DeviceModel, EndDeviceModel> device_;
};

/// What a target knows about the port from the events alone.
struct PortModel {
    bool open = false;
    io::PortHandle handle = io::invalid_port_handle;
    /// The step of the failure the stream holds (Step::none for none): a successful
    /// transfer clears it unless it is the other direction's.
    io::PortError::Step failed = io::PortError::Step::none;
    /// That failure is a transfer cut short by the wait hook: the devices then drop stale
    /// input before their next request.
    bool interrupted = false;
    /// The time-outs the driver holds, as far as the stream knows: none it knows of, the
    /// ones open applied, or the ones of reads (set by the first read after an open).
    enum class Timeouts { unknown, from_open, for_reads } timeouts = Timeouts::unknown;
    /// A read has set the read time-outs since the open.
    bool reads_set = false;
};

/// Walks the events of one library call in order, checking that each is the one the
/// documented behaviour calls for.
class Expect {
  public:
    Expect(const FakePort& port, std::size_t from, PortModel& model)
        : events_(port.events()), at_(from), model_(model) {}

    /// An open of a stream (connect or construction): the old port closed, then one open.
    /// Returns the code the port gave.
    io::OpenCode open();
    /// One stream-level read of `n` bytes: the time-outs applied when the driver may hold
    /// others, then one read. `bounded`: the read has a deadline, so the platform applies
    /// time-outs of its own instead. Returns the bytes delivered; none without a port or when
    /// the time-outs were refused.
    Bytes read(std::size_t n, bool bounded = false);
    /// One stream-level write of `bytes`, after the time-outs when the driver holds unknown
    /// ones. Returns the count the port took; 0 without a port or when the time-outs were
    /// refused.
    std::size_t write(const Bytes& bytes);
    /// A discard of the input (when a port is open).
    void discard();
    /// A close of the port (when one is open).
    void close();
    /// No further events.
    void end() const { FUZZ_CHECK(at_ == events_.size()); }

  private:
    const PortEvent& next(PortEvent::Kind kind);
    void after_transfer(const PortEvent& event, io::PortError::Step step);
    // Takes the apply_timeouts event of a transfer; false when it was refused.
    bool apply_timeouts();

    const std::vector<PortEvent>& events_;
    std::size_t at_;
    PortModel& model_;
};

/// A stream put back on the line (`reconnect`, by connect() to `name`) or taken off it
/// (close()), each checked against the port's events; the model follows.
template <class Stream>
void reconnect_or_close(Stream& stream, FakePort& port, PortModel& model, bool reconnect,
                        const char* name) {
    const std::size_t from = port.mark();
    if (reconnect) {
        const std::int8_t code = stream.connect(name);
        Expect expect(port, from, model);
        FUZZ_CHECK(code == static_cast<std::int8_t>(expect.open()));
        expect.end();
    } else {
        stream.close();
        Expect expect(port, from, model);
        expect.close();
        expect.end();
    }
}

// ---- Independent decoding of little-endian wire values ----

inline std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] + 256 * p[1]);
}

inline std::uint32_t le32(const std::uint8_t* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v * 256 + p[i];
    return v;
}

inline std::uint32_t bits_of(float f) {
    std::uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

inline float float_of(std::uint32_t b) {
    float f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

/// `bytes` padded with zeros (or cut) to `n`.
inline Bytes padded(Bytes bytes, std::size_t n) {
    bytes.resize(n, 0);
    return bytes;
}

}  // namespace zelkor_fuzz
