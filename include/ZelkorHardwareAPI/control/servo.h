// Servo: a fixed-rate force loop for the Arbelon in a thread of its own.
#pragma once

#include <ZelkorHardwareAPI/control/effects.h>
#include <ZelkorHardwareAPI/control/histogram.h>
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
#include <vector>

namespace Zelkor::HardwareAPI::Control {

class BackgroundThread;
class RowRing;

/// Why a servo's loop ended.
enum class StopReason : std::uint8_t {
    none,                  ///< it has not ended: running, or never started
    stopped,               ///< stop() (or the destructor) ended it
    device_not_answering,  ///< no whole reply for give_up_after seconds (or max_failures in a row)
    port_closed,           ///< the port hung up or was closed
    force_law_failed,      ///< the force function threw, or the force law gave a force that
                           ///< is not finite
    forked,                ///< the process forked while it ran: this is the child's copy
};

/// The text of a reason: "stopped", "device not answering", "port closed", "force law
/// failed", "forked"; null for none.
ZELKOR_API const char* to_text(StopReason reason) noexcept;

/// What a servo's loop tells of itself as it happens (see Servo::set_notify).
struct ServoNotice {
    enum class Kind : std::uint8_t {
        stalled,  ///< a cycle ended more than 50 ms, and more than ten periods, after its
                  ///< deadline (at most one notice a second)
        ended,    ///< the loop ended by itself: `reason` says why
    };
    Kind kind = Kind::stalled;
    StopReason reason = StopReason::none;  ///< ended: why
    double late = 0.0;                     ///< stalled: seconds after the deadline
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
};

/// The columns of a servo recording's rows (see Servo::record): doubles, SI units.
struct ServoRecord {
    static constexpr std::size_t time = 0;  ///< s since start() at the cycle's end
    static constexpr std::size_t cycle = 1;
    static constexpr std::size_t position = 2;        ///< x, y, z: the latest state, m
    static constexpr std::size_t velocity = 5;        ///< m/s
    static constexpr std::size_t force = 8;           ///< the force sent, N
    static constexpr std::size_t effects_force = 11;  ///< the effects' part of it, N (unclamped)
    static constexpr std::size_t law_force = 14;      ///< the force law's part, N (unclamped)
    static constexpr std::size_t exchange_us = 17;    ///< the cycle's exchange, µs (0: none)
    static constexpr std::size_t flags = 18;          ///< a sum of Flag values
    static constexpr std::size_t energy = 19;         ///< J: the passivity observer's energy
    static constexpr std::size_t damping_added = 20;  ///< N s/m: the passivity controller's
    static constexpr std::size_t width = 21;
    /// What happened in the cycle.
    enum Flag : unsigned {
        late = 1,           ///< it ended after its deadline
        failed = 2,         ///< its exchange got no whole reply in time
        missed = 4,         ///< whole periods were skipped after it
        stale_dropped = 8,  ///< input that answered nothing was dropped in it
        effects = 16,       ///< effects made part of its force
        law = 32,           ///< a force law made part of its force
    };
};

/// The loop's settings.
struct ServoSettings {
    /// Cycles per second, 1 to 20,000; 0 measures the line when the loop starts (see
    /// measure_line) and picks the highest rate it sustains, at most 1,000.
    double rate_hz = 1000.0;
    /// The longest force sent, in newtons (the summed force is scaled down to it), more than 0
    /// and at most 20: a desk-top arm's motors hold a few newtons for long and about 20 for a
    /// moment. The default suits an end-effector a user may let go of.
    double max_force = 5.0;
    /// Ask for real-time scheduling (never fails because of it; see Servo::realtime()).
    bool realtime = false;
    /// Consecutive failed exchanges after which the loop gives up; 0 leaves it to
    /// give_up_after alone.
    std::uint32_t max_failures = 0;
    /// The CPU the loop's thread is bound to (counted from 0); -1 leaves it to the system.
    /// Binding never fails the loop: a system that refuses leaves the thread unbound.
    int cpu = -1;
    /// Seconds a reply may take from its request, apart from the period: a late reply ends its
    /// cycle when it comes. The default covers a USB adapter left at its 16 ms latency timer.
    double reply_timeout = 0.025;
    /// Cycles after a failed exchange that resend the last force before zero is sent.
    std::uint32_t hold_cycles = 3;
    /// Seconds without a whole reply after which the loop stops: "device not answering".
    double give_up_after = 0.5;
    /// One request in flight: request k+1 is written before reply k is read, so the wire
    /// carries both at once. For lines whose wire time dominates; the force then answers a
    /// state one cycle older.
    bool pipeline = false;
    /// Microseconds before each deadline that the loop spins instead of sleeping; 0 sleeps to
    /// the deadline (the timers are precise to the microsecond already).
    double spin_us = 0.0;
    /// Seconds over which forces ramp in at the start, after the loop recovers from failed
    /// exchanges, and after a time to live is refreshed; 0 sends them at once.
    double soft_start = 0.2;
    /// A box the end-effector is kept in: outside it the servo pushes back towards it
    /// (workspace_stiffness N/m, workspace_damping N s/m). Unused unless min is below max on
    /// every axis.
    Vec3 workspace_min{0.0, 0.0, 0.0};
    Vec3 workspace_max{0.0, 0.0, 0.0};
    double workspace_stiffness = 500.0;
    double workspace_damping = 5.0;
    /// m/s: above this speed only damping (velocity_damping N s/m) is sent; 0: no limit.
    double max_velocity = 0.0;
    double velocity_damping = 10.0;
    /// The time-domain passivity controller: each cycle it observes the energy flowing between
    /// the arm and the virtual environment, and when the environment has given out energy it
    /// adds just enough damping to take it back, up to passivity_max_damping.
    bool passivity = false;
    /// N s/m: damping acts a cycle late, and more than this would itself give energy out; what
    /// it cannot take back in one cycle waits for the next.
    double passivity_max_damping = 20.0;
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
/// Each cycle sends one end_effector_force request whose force is computed from the latest
/// reply (the sum of the effects, clamped to max_force), and reads that request's reply before
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
    static constexpr std::size_t max_arms = 4;

    /// Binds the servo to `arm`, which must outlive it. Throws std::invalid_argument on
    /// settings out of range.
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
    /// drives the arm's stream (or another thread holds it; see IO::StreamUse).
    void start();
    /// Ends the loop and waits for its thread: at most the exchange under way (never more
    /// than a few milliseconds of a silent line) plus the last zero-force exchange. Does
    /// nothing when it does not run; from a force function it only asks the loop to end.
    void stop() noexcept;
    /// True from start() until the loop ended (stop(), or by itself).
    bool running() const noexcept;
    /// True when the running loop got the real-time priority it asked for.
    bool realtime() const noexcept { return realtime_.load(std::memory_order_acquire); }

    /// Replaces the effects (of arm 0) as a whole; the loop takes the new list at its next
    /// cycle. Any thread. Clears a force function, also while the loop runs.
    void set_effects(std::vector<Effect> effects);
    /// The same for arm `arm`, with a time to live: unless the effects, the couplings or the
    /// force law are set again within `ttl` seconds (0: no limit), the loop fades its forces to
    /// zero within 50 ms (ServoStats::expired counts it), and ramps them in again
    /// (soft_start) once they are. std::invalid_argument for an arm the servo does not drive
    /// or a ttl outside 0 to 3600 s.
    void set_effects(std::vector<Effect> effects, std::size_t arm, double ttl = 0.0);
    /// A copy of the effects in force (of arm `arm`).
    std::vector<Effect> effects(std::size_t arm = 0) const;
    /// Replaces the couplings between the servo's arms (std::invalid_argument for a coupling
    /// of an arm it does not drive). Any thread.
    void set_couplings(std::vector<Coupling> couplings);
    std::vector<Coupling> couplings() const;
    /// Makes `function` compute the force instead of the effects. Only while not running
    /// (std::logic_error otherwise).
    void set_force_function(ForceFunction function);
    /// Makes the loop call `notify` on its own thread when it stalls and when it ends by itself
    /// (after its last zero-force request; never for stop()). The call holds up the loop: it
    /// should hand the notice on without blocking or allocating. Only while not running
    /// (std::logic_error otherwise).
    void set_notify(std::function<void(const ServoNotice&)> notify);

    /// Makes `law` (a C function, see force_law.h) add its force to the effects' every cycle;
    /// nullptr removes it. Any thread, also while the loop runs: the loop calls the new law
    /// from its next cycle, and `keep_alive` (whatever keeps the law's code alive) is held
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
    /// The same with a time to live for the parameters, as for set_effects().
    void set_params(const double* values, std::size_t count, double ramp, double ttl);
    /// The values last given to set_params.
    std::vector<double> params() const;

    /// Keeps every cycle of the next runs in a ring made now: the latest `seconds` worth at the
    /// rate (ServoRecord has the columns); 0 records nothing. Only while not running
    /// (std::logic_error otherwise); std::invalid_argument for seconds outside 0 to 86,400.
    /// Each start() begins the recording afresh. Writing a row allocates nothing and takes no
    /// lock.
    void record(double seconds);
    /// The rows a recording holds at most (0: not recording).
    std::size_t recording_capacity() const noexcept;
    /// Copies the rows recorded, oldest first, into `out` (room for recording_capacity() rows
    /// of ServoRecord::width doubles), from any thread while the loop runs. Returns the rows
    /// copied; `overwritten` is set to how many rows before them the ring no longer holds.
    std::size_t copy_recording(double* out, std::uint64_t& overwritten) const noexcept;

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

    const ServoSettings& settings() const noexcept { return settings_; }
    /// The rate the loop runs at: settings().rate_hz, or the one it picked by measuring the
    /// line (0 until it has).
    double rate_hz() const noexcept { return rate_hz_.load(std::memory_order_acquire); }
    /// The arms driven, in order.
    std::size_t arm_count() const noexcept { return arm_count_; }
    Devices::Arbelon& arm(std::size_t i = 0) const noexcept {
        return *arms_[i < arm_count_ ? i : 0];
    }
    /// stable_stiffness() at this servo's rate, with its measured median exchange time as the
    /// latency (0 before any exchange).
    double stable_stiffness(double b) const noexcept;

  private:
    struct Inputs;
    struct Published;

    void run() noexcept;
    void publish(std::size_t arm, double time, std::uint64_t cycle, const Vector3& position,
                 const Vector3& velocity, const Vector3& force, double energy,
                 double damping_added) noexcept;

    std::array<Devices::Arbelon*, max_arms> arms_{};
    std::size_t arm_count_ = 0;
    const ServoSettings settings_;

    std::unique_ptr<BackgroundThread> thread_;
    std::atomic<double> rate_hz_{0.0};
    std::atomic<bool> realtime_{false};
    std::atomic<StopReason> stop_reason_{StopReason::none};
    std::atomic<bool> left_limp_{false};
    std::function<void(const ServoNotice&)> notify_;  // set only while stopped

    // What the loop computes its force with, handed over through triple buffers (the loop
    // never frees); setters take setter_mutex_, which the loop never takes.
    std::unique_ptr<Inputs> inputs_;
    // Replaced only while stopped; read through std::atomic_load by copy_recording(), which
    // may run on any thread meanwhile.
    std::shared_ptr<RowRing> recording_;
    mutable std::mutex setter_mutex_;

    std::unique_ptr<Published[]> published_;                        // one per arm
    std::chrono::steady_clock::time_point started_{};               // start() and the loop only
    std::atomic<std::chrono::steady_clock::rep> started_ticks_{0};  // the same, for stats()
    std::atomic<std::int64_t> ended_ns_{0};  // loop end, ns after the start; 0 while running
    std::atomic<std::uint64_t> cycles_{0}, late_{0}, failed_{0}, missed_{0}, stale_{0}, expired_{0};
    DurationHistogram exchange_times_;
};

}  // namespace Zelkor::HardwareAPI::Control
