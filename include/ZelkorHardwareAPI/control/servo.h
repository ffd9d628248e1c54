// Servo: a fixed-rate force loop for the Arbelon in a thread of its own.
#pragma once

#include <ZelkorHardwareAPI/control/effects.h>
#include <ZelkorHardwareAPI/control/servo_settings.h>
#include <ZelkorHardwareAPI/devices/arbelon.h>
#include <ZelkorHardwareAPI/export.h>
#include <ZelkorHardwareAPI/force_law.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

namespace Zelkor::HardwareAPI::Control {

class MujocoScene;

/// The most arms one servo drives (Servo::max_arms).
inline constexpr std::size_t servo_max_arms = 4;
/// A force for each arm a servo may drive, N (0 for an arm it does not drive).
using ArmForces = std::array<Vec3, servo_max_arms>;

/// Why a servo's loop ended.
enum class StopReason : std::uint8_t {
    none,                  ///< it has not ended: running, or never started
    stopped,               ///< stop() (or the destructor) ended it
    device_not_answering,  ///< no whole reply for give_up_after seconds (or max_failures in a row)
    port_closed,           ///< the port hung up or was closed
    force_law_failed,      ///< the force function threw, or the force law gave a force that
                           ///< is not finite
    forked,                ///< the process forked while it ran: this is the child's copy
    force_law_overran,     ///< a cycle's force law (or function) ran longer than law_timeout:
                           ///< the servo's supervisor sent zero and let the stream go
    scene_failed,          ///< the scene's state went bad (not finite, or the engine reset it)
    scene_too_slow,        ///< the scene's steps took longer than the period for longer than
                           ///< the loop's stall time
};

/// The text of a reason: "stopped", "device not answering", "port closed", "force law
/// failed", "forked", "force law overran", "scene failed", "scene too slow"; null for none.
ZELKOR_API const char* to_text(StopReason reason) noexcept;

/// What a servo's loop tells of itself as it happens (see Servo::set_notify).
struct ServoNotice {
    enum class Kind : std::uint8_t {
        stalled,   ///< a cycle ended more than 50 ms, and more than ten periods, after its
                   ///< deadline (at most one notice a second)
        ended,     ///< the loop ended by itself: `reason` says why
        measured,  ///< the loop measured its line (rate_hz 0) and chose its rate and mode
    };
    Kind kind = Kind::stalled;
    StopReason reason = StopReason::none;  ///< ended: why
    double late = 0.0;                     ///< stalled: seconds after the deadline
    /// measured: the rates the line holds, strict and with a request in flight (Hz), the
    /// rate chosen and whether it keeps a request in flight.
    double strict_hz = 0.0, pipelined_hz = 0.0, rate_hz = 0.0;
    bool pipelined = false;
};

/// The loop's latest view of the arm.
struct ServoState {
    double time = 0.0;        ///< seconds since start() when the reply came
    std::uint64_t cycle = 0;  ///< the cycle it came in (0 before any)
    Vector3 position{};       ///< m, end-effector
    Vector3 velocity{};       ///< m/s
    Vector3 force{};          ///< N: the force sent in that cycle (to a force function: the
                              ///< force sent in the cycle before the one it computes for)
    /// J: the energy the virtual environment has taken from the user so far, as the passivity
    /// observer counts it (0 without passivity). Below 0: energy given out that the controller
    /// has still to take back, which it can only while the arm moves.
    double energy = 0.0;
    /// N s/m: the damping the passivity controller added in that cycle (0: none needed).
    double damping_added = 0.0;
};

/// How the loop is keeping up.
struct ServoStats {
    double rate_hz = 0.0;                ///< cycles per second achieved since start()
    std::uint64_t cycles = 0;            ///< cycles run
    std::uint64_t late_cycles = 0;       ///< cycles that ended after their own deadline
    std::uint64_t failed_exchanges = 0;  ///< exchanges without a whole reply in time
    /// Whole periods the schedule skipped because a cycle ran over by more than a period;
    /// counted apart from late_cycles (a slot is missed, a cycle is late).
    std::uint64_t missed = 0;
    /// Times input that answered no request in flight was dropped: before a request (a late
    /// reply, noise) or after a reply that did not come whole in time.
    std::uint64_t stale_dropped = 0;
    /// Times what was set with a time to live (set_effects, set_params) was not refreshed in
    /// time, so the loop faded its force to zero.
    std::uint64_t expired = 0;
    double p50_us = 0.0;  ///< exchange time percentiles, µs (within ~3 %)
    double p99_us = 0.0;
    double p999_us = 0.0;
    double max_us = 0.0;  ///< the longest exchange, µs
    StopReason stop_reason = StopReason::none;
    /// True once the loop has ended with its last zero-force request answered by the device;
    /// false while it runs, and when that request could not be sent or got no reply (the arm
    /// may then still push).
    bool left_limp = false;
    /// What failed, when stop_reason is force_law_failed or force_law_overran: what the law
    /// said (zelkor_force_law_failed), what the force function threw, or the force that was
    /// not finite and where; empty otherwise.
    char failure[160] = {};
};

/// One cycle of a servo recording (see Servo::record), as servo_columns.def lists its columns.
struct ServoRow {
#define ZELKOR_SERVO_COLUMN(type, name, width, kind, flag, doc) type name{};
#include <ZelkorHardwareAPI/control/servo_columns.def>
#undef ZELKOR_SERVO_COLUMN
};

namespace detail {
// Each column's first double in a stored row, and the row's width.
enum ServoColumn : std::size_t {
#define ZELKOR_SERVO_COLUMN(type, name, width, kind, flag, doc) \
    column_##name, column_##name##_last = column_##name + (width)-1,
#include <ZelkorHardwareAPI/control/servo_columns.def>
#undef ZELKOR_SERVO_COLUMN
    column_count
};
}  // namespace detail

/// A stored row of a servo recording: doubles, SI units. Each column's first double, the row's
/// width and the flags, as servo_columns.def and servo_flags.def declare them.
struct ServoRecord {
#define ZELKOR_SERVO_COLUMN(type, name, width, kind, flag, doc) \
    static constexpr std::size_t name = detail::column_##name;
#include <ZelkorHardwareAPI/control/servo_columns.def>
#undef ZELKOR_SERVO_COLUMN
    static constexpr std::size_t width = detail::column_count;
    /// What happened in the cycle.
    enum Flag : unsigned {
#define ZELKOR_SERVO_FLAG(name, bit, doc) name = bit,
#include <ZelkorHardwareAPI/control/servo_flags.def>
#undef ZELKOR_SERVO_FLAG
    };
};

/// The stiffest wall that a device of physical damping `b` (N s/m) renders without a limit
/// cycle at `rate_hz`, with `latency` seconds from state to force: 2 b / (T + 2 latency),
/// T = 1 / rate_hz (a wall of stiffness K and damping B is passive while b > K T / 2 + |B|).
ZELKOR_API double stable_stiffness(double b, double rate_hz, double latency) noexcept;

/// Computes the force to send from the latest state (C++ callers' alternative to effects).
/// Runs on the servo thread; should neither block nor allocate.
using ForceFunction = std::function<Vec3(const ServoState&)>;

/// A fixed-rate force loop for one Arbelon, in a thread of its own.
///
/// Each cycle takes what the setters handed over, composes the force from the latest state
/// (the effects, the couplings, a force law or function), guards it (workspace, velocity
/// limit, passivity, max_force, then the fades: soft start, an expired time to live, the ramp
/// after failed exchanges), exchanges it for the next state, publishes that state, records
/// the cycle and sleeps to the next deadline.
///
/// Each cycle sends one end_effector_force request and reads that request's reply before
/// anything else is written: a reply is never taken for a later request's. A reply has
/// reply_timeout seconds; one that does not come whole in time fails its exchange, and the
/// loop then waits (bounded) for the rest of it and drops input until the line has been quiet
/// for a millisecond. Before each request, input already waiting answers nothing in flight
/// and is dropped (stale_dropped). After a failure the last force is resent for hold_cycles
/// cycles, then zero. Cycles start on absolute deadlines: one that ends after its deadline is
/// late, the next starts at once when less than a period was lost, and whole periods lost are
/// counted as missed slots, never caught up in a burst. With pipeline, one request stays in
/// flight (written before the previous reply is read). The loop stops by itself when the port
/// hangs up or no whole reply came for give_up_after seconds (or max_failures in a row); its
/// last act is always one zero-force request (when the port is still open), so the arm is
/// left limp.
///
/// While it runs, the servo drives the arm's stream (see IO::StreamUse): it is the only user of
/// the stream, and a second servo on any arm of that stream refuses to start. Nothing in a
/// cycle allocates, frees or takes a lock; state() and stats() read what the loop publishes
/// without blocking it, from any thread. start(), stop() and the destructor may be called from
/// any thread, several at once; stop() wakes a sleeping loop at once. The loop's thread runs
/// with every signal blocked.
class ZELKOR_API Servo {
  public:
    /// The most arms one servo drives.
    static constexpr std::size_t max_arms = servo_max_arms;

    /// Binds the servo to `arm`, which must outlive it. Throws std::invalid_argument on
    /// settings out of range (see validate()).
    Servo(Devices::Arbelon& arm, const ServoSettings& settings = {});
    /// Binds the servo to several arms (1 to max_arms, none null, each on a stream of its
    /// own), driven in one cycle: every arm's request goes out, then every reply is read, so
    /// the exchanges on the different lines overlap. Throws std::invalid_argument for other
    /// arms, or with pipeline (which drives one arm).
    Servo(const std::vector<Devices::Arbelon*>& arms, const ServoSettings& settings = {});
    /// Stops the loop if it runs.
    ~Servo();

    Servo(const Servo&) = delete;
    Servo& operator=(const Servo&) = delete;

    /// Starts the loop. Throws std::logic_error when this servo already runs or another one
    /// drives the arm's stream (or another thread holds it; see IO::StreamUse);
    /// std::invalid_argument when the scene's timestep no longer divides the period.
    void start();
    /// Ends the loop and waits for its thread: at most the exchange under way (never more
    /// than a few milliseconds of a silent line) plus the last zero-force exchange. Does
    /// nothing when it does not run; from a force function it only asks the loop to end.
    void stop() noexcept;
    /// True from start() until the loop ended (stop(), or by itself).
    bool running() const noexcept;
    /// True when the running loop got the real-time priority it asked for.
    bool realtime() const noexcept;

    /// Replaces the effects (of arm 0) as a whole; the loop takes the new list at its next
    /// cycle. Any thread. Clears a force function, also while the loop runs.
    void set_effects(std::vector<Effect> effects);
    /// The same for arm `arm`, with a time to live: unless that arm's effects are set again
    /// within `ttl` seconds (0: no limit), the loop fades that arm's force to zero within
    /// 50 ms (ServoStats::expired counts it), and ramps it in again (soft_start) once they
    /// are. Setting another arm's effects, the couplings or the law leaves it be. An effect
    /// that stays in the same place of the list keeps its state (a Friction's proxy) whatever
    /// else is set; one that changes starts afresh. std::invalid_argument for an arm the
    /// servo does not drive or a ttl outside 0 to 3600 s.
    void set_effects(std::vector<Effect> effects, std::size_t arm, double ttl = 0.0);
    /// A copy of the effects in force (of arm `arm`).
    std::vector<Effect> effects(std::size_t arm = 0) const;
    /// Replaces the couplings between the servo's arms (std::invalid_argument for a coupling
    /// of an arm it does not drive). Any thread.
    void set_couplings(std::vector<Coupling> couplings);
    std::vector<Coupling> couplings() const;
    /// Makes `function` compute arm 0's force instead of its effects. Only while not running
    /// (std::logic_error otherwise).
    void set_force_function(ForceFunction function);
    /// Makes the servo call `notify` when its loop stalls and when it ends by itself (after its
    /// last zero-force request; never for stop()), on a thread of the servo's own, never the
    /// loop's: the loop hands each notice over without a lock or an allocation, and a slow
    /// `notify` never holds it up. Notices that find the hand-over full (16 pending) are
    /// dropped, but for the end, which is always told. Only while not running
    /// (std::logic_error otherwise).
    void set_notify(std::function<void(const ServoNotice&)> notify);

    /// Makes `law` (a C function, see force_law.h) add its force to arm 0's effects' every
    /// cycle; nullptr removes it. Any thread, also while the loop runs: the loop calls the new
    /// law from its next cycle, and `keep_alive` (whatever keeps the law's code alive) is held
    /// until the loop can no longer call it: it is released by a later setter, or by the
    /// servo's destructor, never by the loop.
    void set_force_law(ZelkorForceLaw law, std::shared_ptr<const void> keep_alive = {});
    /// The law in force (nullptr: none).
    ZelkorForceLaw force_law() const;
    /// Sets the law's parameters to `count` values (at most ZELKOR_FORCE_LAW_PARAMS; the
    /// others are 0), reached linearly over `ramp` seconds from the values in force (0: at
    /// the next cycle). Any thread; nothing in the loop waits for it. Throws
    /// std::invalid_argument for too many values, a value that is not finite, or a ramp
    /// outside 0 to 3600 s.
    void set_params(const double* values, std::size_t count, double ramp = 0.0);
    /// The same with a time to live for the parameters: unless they are set again within
    /// `ttl` seconds, the force of arm 0 (which the law drives) fades as for set_effects().
    void set_params(const double* values, std::size_t count, double ramp, double ttl);
    /// The values last given to set_params.
    std::vector<double> params() const;

    /// Makes the loop step `scene` every cycle and add each arm's coupling force to its force
    /// (see MujocoScene); nullptr detaches it. Any thread but the loop's own, also while the
    /// loop runs: it steps the new scene from its next cycle, and this returns once the loop
    /// has let go of the scene before (at most a cycle), which another servo may then be given.
    /// A servo whose rate is measured (rate_hz 0) lowers the rate it measured to the nearest
    /// whose period the scene's timestep divides; a scene set while such a loop runs takes the
    /// whole steps nearest its period. std::invalid_argument for a scene whose tools are not one
    /// per arm, or a timestep that does not divide the period (start() checks that again);
    /// std::logic_error for a scene another servo holds, or from the loop's thread.
    void set_scene(std::shared_ptr<MujocoScene> scene);
    /// The scene the loop steps (nullptr: none).
    std::shared_ptr<MujocoScene> scene() const;

    /// Keeps every cycle (of arm 0) of the next runs in a ring made now: the latest `seconds`
    /// worth at the rate (ServoRow has the columns); 0 records nothing. Only while not running
    /// (std::logic_error otherwise); std::invalid_argument for seconds outside 0 to 86,400.
    /// Each start() begins the recording afresh. Writing a row allocates nothing and takes no
    /// lock.
    void record(double seconds);
    /// Streams every cycle (of arm 0) of the next runs to the .npz file at `path` (UTF-8),
    /// emptied by each start(), as they are recorded; "" streams nothing. A thread of the
    /// servo's own takes the rows from the recording's ring (made with at least two seconds'
    /// worth, see record()) and writes them, so the loop allocates and writes nothing more
    /// than for a recording in memory. The file is whole once the loop has ended (by itself or
    /// by stop()); it holds the arrays `kind`, `layout` (the stored row's columns, as
    /// "time:1,cycle:1,..."), `rows` (N rows of ServoRecord::width doubles), `overwritten`
    /// (0) and `lost` (rows the ring overwrote before they could be written: a disk that fell
    /// more than the ring behind). Only while not running (std::logic_error otherwise);
    /// std::system_error naming the file when it cannot be written, here and now or at
    /// start().
    void record_to(const std::string& path);
    /// The file record_to() streams to ("" for none).
    std::string recording_file() const;
    /// After a run that streamed to a file: what stopped the writing, if anything (the rows
    /// before it are in the file), and the rows lost.
    std::error_code recording_file_error() const noexcept;
    std::uint64_t recording_file_lost() const noexcept;
    /// The rows a recording holds at most (0: not recording).
    std::size_t recording_capacity() const noexcept;
    /// The rows recorded so far, oldest first, copied from any thread while the loop runs;
    /// `overwritten` (when given) is set to how many rows before them the ring no longer holds.
    std::vector<ServoRow> recording(std::uint64_t* overwritten = nullptr) const;
    /// The same as stored rows: copies them into `out` (room for recording_capacity() rows of
    /// ServoRecord::width doubles). Returns the rows copied.
    std::size_t copy_recording(double* out, std::uint64_t& overwritten) const noexcept;

    /// When the last run ended because a call of the force law failed: true, with the input
    /// and the parameters it was given (to run the law's source again with them and see
    /// why). False otherwise, also while running.
    bool failed_law_input(ZelkorServoInput& input,
                          std::array<double, ZELKOR_FORCE_LAW_PARAMS>& params) const noexcept;

    /// The latest state the loop has seen (of arm `arm`; a default state for an arm it does not
    /// drive). Any thread, never blocks the loop.
    ServoState state(std::size_t arm = 0) const noexcept;
    /// The loop's figures so far. Any thread, never blocks the loop.
    ServoStats stats() const noexcept;
    /// The exchange times since start() as a histogram: one bucket (from µs, to µs, exchanges)
    /// for every bucket that holds any, shortest first. Any thread.
    struct Bucket {
        double from_us;
        double to_us;
        std::uint64_t count;
    };
    std::vector<Bucket> exchange_time_histogram() const;

    const ServoSettings& settings() const noexcept;
    /// The rate the loop runs at: settings().rate_hz, or the one it picked by measuring the
    /// line (0 until it has).
    double rate_hz() const noexcept;
    /// True when the loop keeps a request in flight: settings().pipeline, or, for a measured
    /// rate, when the line holds more that way (a single arm only).
    bool pipelined() const noexcept;
    /// The arms driven, in order.
    std::size_t arm_count() const noexcept;
    Devices::Arbelon& arm(std::size_t i = 0) const noexcept;
    /// stable_stiffness() at this servo's rate, with its measured median exchange time as the
    /// latency (0 before any exchange).
    double stable_stiffness(double b) const noexcept;

    /// What the servo holds and its loop works on; opaque outside the library.
    struct Impl;

  private:
    // Shared with the loop's thread: a thread abandoned in a force law that never returns
    // keeps what it may touch alive (see law_timeout).
    std::shared_ptr<Impl> impl_;
};

}  // namespace Zelkor::HardwareAPI::Control
