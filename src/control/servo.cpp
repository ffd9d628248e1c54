// The servo's threads and setters; the loop itself is in servo/loop.cpp, stage by stage.
#include <ZelkorHardwareAPI/control/servo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>

#include "control/servo/impl.h"
#include "control/servo/loop.h"
#include "control/servo/rows.h"
#include "control/servo/scene.h"
#include "platform/files.h"
#include "platform/threads.h"

namespace Zelkor::HardwareAPI::Control {

namespace {

using Clock = platform::Clock;

Clock::time_point expiry(double ttl) {
    return ttl > 0.0 ? Clock::now() + servo::seconds(ttl) : Clock::time_point::max();
}

void require_ttl(double ttl) {
    if (!(ttl >= 0.0 && ttl <= 3600.0)) {
        throw std::invalid_argument("a time to live must be from 0 to 3600 seconds");
    }
}

std::vector<Devices::Arbelon*> checked_arms(const std::vector<Devices::Arbelon*>& arms,
                                            const ServoSettings& settings) {
    if (arms.empty() || arms.size() > Servo::max_arms) {
        throw std::invalid_argument("a servo drives 1 to " + std::to_string(Servo::max_arms) +
                                    " arms");
    }
    for (std::size_t i = 0; i < arms.size(); ++i) {
        if (arms[i] == nullptr) throw std::invalid_argument("a servo's arm must not be null");
        for (std::size_t j = 0; j < i; ++j) {
            if (&arms[j]->get_stream() == &arms[i]->get_stream()) {
                throw std::invalid_argument(
                    "a servo's arms must each be on a stream of its own: one line carries one "
                    "exchange at a time");
            }
        }
    }
    if (settings.pipeline && arms.size() > 1)
        throw std::invalid_argument("pipeline drives one arm");
    validate(settings);
    return arms;
}

// One setter of a scene at a time, of any servo: a scene changes hands whole.
std::mutex scene_setters;

// The engine steps a cycle of servo `s` takes of `scene`: 0 for a measured rate, which the loop
// fits to the scene (Loop::choose_rate).
std::uint32_t steps_a_cycle(const MujocoScene& scene, const Servo::Impl& s) {
    return s.settings.rate_hz > 0.0 ? scene.steps_per(1.0 / s.settings.rate_hz) : 0;
}

// A scene for servo `s`: its tools one per arm, its steps a whole number per period (returned),
// and no other servo's. Claims it.
std::uint32_t check_scene(MujocoScene& scene, Servo::Impl& s) {
    if (scene.tool_count() != s.arm_count) {
        throw std::invalid_argument("the scene has " + std::to_string(scene.tool_count()) +
                                    " tools and the servo " + std::to_string(s.arm_count) +
                                    " arms: one tool per arm, in order");
    }
    const std::uint32_t steps = steps_a_cycle(scene, s);
    const void* owner = nullptr;
    if (!scene.impl().owner.compare_exchange_strong(owner, &s) && owner != &s) {
        throw std::logic_error(
            "this scene is another servo's: set that servo's scene to none first");
    }
    return steps;
}

// Before a start: the scene's steps a cycle as its timestep is now.
void renew_scene(Servo::Impl& s) {
    std::lock_guard<std::mutex> hold(scene_setters);
    const std::shared_ptr<MujocoScene> scene = s.mailbox.scene();
    if (!scene) return;
    std::uint64_t serial = 0;
    s.mailbox.set_scene(scene, steps_a_cycle(*scene, s), serial);
}

void release_scene(const std::shared_ptr<MujocoScene>& scene, const Servo::Impl* s) {
    const void* owner = s;
    if (scene) scene->impl().owner.compare_exchange_strong(owner, nullptr);
}

}  // namespace

const char* to_text(StopReason reason) noexcept {
    switch (reason) {
        case StopReason::none:
            return nullptr;
        case StopReason::stopped:
            return "stopped";
        case StopReason::device_not_answering:
            return "device not answering";
        case StopReason::port_closed:
            return "port closed";
        case StopReason::force_law_failed:
            return "force law failed";
        case StopReason::forked:
            return "forked";
        case StopReason::force_law_overran:
            return "force law overran";
        case StopReason::scene_failed:
            return "scene failed";
        case StopReason::scene_too_slow:
            return "scene too slow";
    }
    return nullptr;
}

double stable_stiffness(double b, double rate_hz, double latency) noexcept {
    if (!(rate_hz > 0.0) || !(b >= 0.0) || !(latency >= 0.0)) return 0.0;
    return 2.0 * b / (1.0 / rate_hz + 2.0 * latency);
}

Servo::Impl::Impl(const std::vector<Devices::Arbelon*>& arm_list, const ServoSettings& settings_)
    : arm_count(arm_list.size()),
      settings(settings_),
      mailbox(arm_list.size()),
      telemetry(arm_list.size()) {
    std::copy(arm_list.begin(), arm_list.end(), arms.begin());
    telemetry.rate_hz.store(settings.rate_hz);
    telemetry.pipelined.store(settings.pipeline);
}

void Servo::Impl::supervise() noexcept {
    auto tell = [this](const ServoNotice& notice) {
        if (!notify) return;
        try {
            notify(notice);
        } catch (...) {  // a notice is told, never a reason to stop telling
        }
    };
    // Half the time allowed: a stuck cycle is found within one and a half law_timeouts.
    const Clock::duration check = std::max<Clock::duration>(
        std::chrono::milliseconds(1), servo::seconds(settings.law_timeout / 2));
    ServoNotice notice;
    for (;;) {
        while (notices.pop(notice)) tell(notice);
        if (loop_done.load(std::memory_order_acquire) || take_over_when_stuck()) {
            while (notices.pop(notice)) tell(notice);
            const StopReason reason = ended.exchange(StopReason::none);
            if (reason != StopReason::none) tell({ServoNotice::Kind::ended, reason, 0.0});
            return;
        }
        (void)notifier.sleep_until(Clock::now() + check);
    }
}

bool Servo::Impl::take_over_when_stuck() noexcept {
    Clock::rep since = composing_since.load(std::memory_order_acquire);
    if (since <= 0) return false;
    const Clock::duration stuck = Clock::now().time_since_epoch() - Clock::duration(since);
    if (stuck <= servo::seconds(settings.law_timeout)) return false;
    // From here the stream is the supervisor's, one owner at a time: the loop's thread finds
    // `abandoned` when (if ever) its law returns, and touches nothing more.
    if (!composing_since.compare_exchange_strong(since, abandoned, std::memory_order_acq_rel)) {
        return false;
    }
    char why[sizeof(ServoStats::failure)];
    std::snprintf(why, sizeof why,
                  "a cycle spent more than %g s in its force law (law_timeout): its thread was "
                  "left to itself",
                  settings.law_timeout);
    loop.load(std::memory_order_acquire)->take_over(why);
    thread.abandon();
    loop_done.store(true, std::memory_order_release);
    return true;
}

namespace {

// The recording's ring for a run that streams to a file: one that holds what the file's
// thread takes in a few of its turns (two seconds' worth), or the one record() made when it
// holds more. Made here, before the loop runs.
void ring_for_file(Servo::Impl& s) {
    const double rate = s.settings.rate_hz > 0.0 ? s.settings.rate_hz : 1000.0;
    const auto rows = static_cast<std::size_t>(std::ceil(2.0 * rate)) + 1;
    const std::shared_ptr<RowRing> ring = std::atomic_load(&s.recording);
    if (ring && ring->capacity() >= rows) return;
    std::atomic_store(&s.recording, std::make_shared<RowRing>(ServoRecord::width, rows));
}

}  // namespace

Servo::Servo(Devices::Arbelon& arm, const ServoSettings& settings)
    : Servo(std::vector<Devices::Arbelon*>{&arm}, settings) {}

Servo::Servo(const std::vector<Devices::Arbelon*>& arms, const ServoSettings& settings)
    : impl_(std::make_shared<Impl>(checked_arms(arms, settings), settings)) {}

Servo::~Servo() {
    // A destructor run by the loop's own thread (from a force function) leaves the thread to
    // end by itself, as stop() does there.
    stop();
    if (!impl_->thread.running()) release_scene(impl_->mailbox.scene(), impl_.get());
}

bool Servo::running() const noexcept {
    return impl_->thread.running();
}

bool Servo::realtime() const noexcept {
    return impl_->telemetry.realtime.load(std::memory_order_acquire);
}

void Servo::start() {
    Impl& s = *impl_;
    if (s.thread.on_thread()) throw std::logic_error("a servo cannot be started from its own loop");
    if (s.notifier.on_thread()) {
        throw std::logic_error("a servo cannot be started from its own notify");
    }
    if (running()) throw std::logic_error("this servo is already running");
    if (s.thread.abandoned()) {
        throw std::logic_error(
            "this servo's loop was left in a force law that never returned: make a new Servo");
    }
    renew_scene(s);
    for (std::size_t i = 0; i < s.arm_count; ++i) {
        IO::StreamUse& use = s.arms[i]->get_stream().use();
        s.drives[i] = servo::StreamDrive::take(use);
        if (!s.drives[i]) {
            for (std::size_t j = 0; j < i; ++j) s.drives[j].release();
            throw std::logic_error(use.driven() ? "another servo is already driving this arm"
                                                : "the arm's stream is in use by another thread");
        }
    }
    // From here the streams are this servo's: no other start gets this far, and a loop of this
    // servo that ended by itself has published its last figures before it let them go.
    s.notifier.stop();  // the last run's, once it told its end
    s.ended.store(StopReason::none);
    s.loop_done.store(false);
    s.notices.clear();
    const std::shared_ptr<servo::RecordingFile> file = std::atomic_load(&s.file);
    try {
        if (file) {
            file->end();  // the last run's file, finishing if its loop ended by itself
            ring_for_file(s);
        }
    } catch (...) {
        for (std::size_t i = 0; i < s.arm_count; ++i) s.drives[i].release();
        throw;
    }
    if (const std::shared_ptr<RowRing> ring = std::atomic_load(&s.recording)) ring->clear();
    s.telemetry.begin(Clock::now());
    s.composing_since.store(0);
    try {
        if (file) file->begin(std::atomic_load(&s.recording), [&s] { return s.loop_done.load(); });
        s.notifier.start([&s] { s.supervise(); });
        // The loop's thread keeps the servo's insides alive: abandoned in a force law that
        // never returns, it may outlive the Servo. The end is told once running() is false: a
        // notify that starts the servo again finds it stopped.
        std::shared_ptr<Impl> kept = impl_;
        s.thread.start([kept] { kept->run(); },
                       [kept] {
                           kept->loop_done.store(true, std::memory_order_release);
                           kept->notifier.wake();
                       });
    } catch (...) {
        for (std::size_t i = 0; i < s.arm_count; ++i) s.drives[i].release();
        s.loop_done.store(true);
        s.notifier.stop();
        if (file) file->end();
        throw;
    }
}

void Servo::stop() noexcept {
    Impl& s = *impl_;
    if (s.thread.on_thread()) {
        s.thread.request_stop();
        return;
    }
    s.thread.stop();
    // The loop has ended: the file takes its last rows.
    if (const std::shared_ptr<servo::RecordingFile> file = std::atomic_load(&s.file)) file->end();
    s.notifier.stop();
}

void Servo::set_effects(std::vector<Effect> effects) {
    set_effects(std::move(effects), 0, 0.0);
}

void Servo::set_effects(std::vector<Effect> effects, std::size_t arm, double ttl) {
    if (arm >= impl_->arm_count) {
        throw std::invalid_argument("this servo drives arms 0 to " +
                                    std::to_string(impl_->arm_count - 1));
    }
    require_ttl(ttl);
    impl_->mailbox.set_effects(arm, std::move(effects), expiry(ttl));
}

std::vector<Effect> Servo::effects(std::size_t arm) const {
    return impl_->mailbox.effects(arm);
}

void Servo::set_couplings(std::vector<Coupling> couplings) {
    for (const Coupling& c : couplings) {
        if (c.a >= impl_->arm_count || c.b >= impl_->arm_count) {
            throw std::invalid_argument("a coupling joins arms this servo drives, 0 to " +
                                        std::to_string(impl_->arm_count - 1));
        }
    }
    impl_->mailbox.set_couplings(std::move(couplings));
}

std::vector<Coupling> Servo::couplings() const {
    return impl_->mailbox.couplings();
}

void Servo::set_scene(std::shared_ptr<MujocoScene> scene) {
    Impl& s = *impl_;
    if (s.thread.on_thread()) throw std::logic_error("a servo's scene cannot be set from its loop");
    std::lock_guard<std::mutex> hold(scene_setters);
    if (scene == s.mailbox.scene()) return;
    const std::uint32_t steps = scene ? check_scene(*scene, s) : 1;
    std::uint64_t serial = 0;
    const std::shared_ptr<MujocoScene> before =
        s.mailbox.set_scene(std::move(scene), steps, serial);
    // The scene before may still be stepped in the cycle under way: it changes hands once the
    // loop took the new one, or ended.
    while (!s.loop_done.load(std::memory_order_acquire) && !s.mailbox.scene_taken(serial)) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    release_scene(before, &s);
}

std::shared_ptr<MujocoScene> Servo::scene() const {
    return impl_->mailbox.scene();
}

void Servo::set_notify(std::function<void(const ServoNotice&)> notify) {
    if (running()) throw std::logic_error("set_notify() only while the servo is stopped");
    impl_->notifier.stop();
    impl_->notify = std::move(notify);
}

void Servo::set_force_function(ForceFunction function) {
    if (running()) throw std::logic_error("the force function can only be set while stopped");
    // The loop computes with the function in place of arm 0's effects (which effects() still
    // reports); set_effects() puts them back in force.
    impl_->mailbox.set_function(std::move(function));
}

void Servo::set_force_law(ZelkorForceLaw law, std::shared_ptr<const void> keep_alive) {
    impl_->mailbox.set_law(law, std::move(keep_alive));
}

ZelkorForceLaw Servo::force_law() const {
    return impl_->mailbox.law();
}

void Servo::set_params(const double* values, std::size_t count, double ramp) {
    set_params(values, count, ramp, 0.0);
}

void Servo::set_params(const double* values, std::size_t count, double ramp, double ttl) {
    if (count > ZELKOR_FORCE_LAW_PARAMS) {
        throw std::invalid_argument("a force law takes at most " +
                                    std::to_string(ZELKOR_FORCE_LAW_PARAMS) + " parameters, got " +
                                    std::to_string(count));
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::isfinite(values[i])) {
            throw std::invalid_argument("parameter " + std::to_string(i) +
                                        " must be a finite number");
        }
    }
    if (!(ramp >= 0.0 && ramp <= 3600.0)) {
        throw std::invalid_argument("the ramp must be from 0 to 3600 seconds");
    }
    require_ttl(ttl);
    impl_->mailbox.set_params(values, count, ramp, expiry(ttl));
}

std::vector<double> Servo::params() const {
    return impl_->mailbox.params();
}

void Servo::record(double seconds) {
    if (running()) throw std::logic_error("a recording can only be set up while stopped");
    if (!(seconds >= 0.0 && seconds <= 86400.0)) {
        throw std::invalid_argument("a recording lasts from 0 to 86400 seconds");
    }
    std::shared_ptr<RowRing> ring;
    if (seconds > 0.0) {
        // A measured rate is at most 1 kHz.
        const double rate = impl_->settings.rate_hz > 0.0 ? impl_->settings.rate_hz : 1000.0;
        ring = std::make_shared<RowRing>(ServoRecord::width,
                                         static_cast<std::size_t>(std::ceil(seconds * rate)) + 1);
    }
    std::atomic_store(&impl_->recording, std::move(ring));
}

void Servo::record_to(const std::string& path) {
    if (running()) throw std::logic_error("a recording can only be set up while stopped");
    std::shared_ptr<servo::RecordingFile> file;
    if (!path.empty()) {
        if (const std::error_code e = platform::check_writable(path)) {
            throw std::system_error(e, "cannot stream the recording to '" + path + "'");
        }
        file = std::make_shared<servo::RecordingFile>(path, servo::row_layout());
    }
    if (const std::shared_ptr<servo::RecordingFile> old = std::atomic_load(&impl_->file))
        old->end();
    std::atomic_store(&impl_->file, std::move(file));
}

std::string Servo::recording_file() const {
    const std::shared_ptr<servo::RecordingFile> file = std::atomic_load(&impl_->file);
    return file ? file->path() : std::string();
}

std::error_code Servo::recording_file_error() const noexcept {
    const std::shared_ptr<servo::RecordingFile> file = std::atomic_load(&impl_->file);
    return file && !file->streaming() ? file->error() : std::error_code();
}

std::uint64_t Servo::recording_file_lost() const noexcept {
    const std::shared_ptr<servo::RecordingFile> file = std::atomic_load(&impl_->file);
    return file && !file->streaming() ? file->lost() : 0;
}

std::size_t Servo::recording_capacity() const noexcept {
    const std::shared_ptr<RowRing> ring = std::atomic_load(&impl_->recording);
    return ring ? ring->capacity() : 0;
}

std::size_t Servo::copy_recording(double* out, std::uint64_t& overwritten) const noexcept {
    overwritten = 0;
    const std::shared_ptr<RowRing> ring = std::atomic_load(&impl_->recording);
    if (!ring) return 0;
    return ring->copy(out, overwritten);
}

std::vector<ServoRow> Servo::recording(std::uint64_t* overwritten) const {
    std::vector<double> stored(recording_capacity() * ServoRecord::width);
    std::uint64_t first = 0;
    const std::size_t n = copy_recording(stored.data(), first);
    if (overwritten != nullptr) *overwritten = first;
    std::vector<ServoRow> rows(n);
    for (std::size_t i = 0; i < n; ++i) {
        rows[i] = servo::read_row(stored.data() + i * ServoRecord::width);
    }
    return rows;
}

bool Servo::failed_law_input(ZelkorServoInput& input,
                             std::array<double, ZELKOR_FORCE_LAW_PARAMS>& params) const noexcept {
    if (running() || stats().stop_reason != StopReason::force_law_failed) return false;
    const servo::LawCall& failure = impl_->law_failure;
    if (!failure.law) return false;
    input = failure.input;
    params = failure.params;
    return true;
}

ServoState Servo::state(std::size_t arm) const noexcept {
    return impl_->telemetry.state(arm);
}

ServoStats Servo::stats() const noexcept {
    return impl_->telemetry.stats(impl_->thread.forked());
}

std::vector<Servo::Bucket> Servo::exchange_time_histogram() const {
    std::vector<Bucket> out;
    impl_->telemetry.exchange_times.for_each_bucket(
        [&out](std::uint64_t from, std::uint64_t to, std::uint64_t n) {
            out.push_back({static_cast<double>(from) / 1e3, static_cast<double>(to) / 1e3, n});
        });
    return out;
}

const ServoSettings& Servo::settings() const noexcept {
    return impl_->settings;
}

double Servo::rate_hz() const noexcept {
    return impl_->telemetry.rate_hz.load(std::memory_order_acquire);
}

bool Servo::pipelined() const noexcept {
    return impl_->telemetry.pipelined.load(std::memory_order_acquire);
}

std::size_t Servo::arm_count() const noexcept {
    return impl_->arm_count;
}

Devices::Arbelon& Servo::arm(std::size_t i) const noexcept {
    return *impl_->arms[i < impl_->arm_count ? i : 0];
}

double Servo::stable_stiffness(double b) const noexcept {
    const double latency =
        static_cast<double>(impl_->telemetry.exchange_times.percentile(0.5)) / 1e9;
    return Control::stable_stiffness(b, rate_hz(), latency);
}

}  // namespace Zelkor::HardwareAPI::Control
