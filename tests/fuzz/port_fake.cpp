// The fuzz input's port: implements io/port.h for the fuzz-only build of the library.
#include "port_fake.h"

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>

#include "arbelon_sim.h"
#include "device_end.h"

namespace zelkor_fuzz {

namespace {

FakePort* installed = nullptr;

// The whole of [p, p + n) is memory the caller may use.
void check_region(const void* p, std::size_t n) {
    if (n == 0) return;
    FUZZ_CHECK(p != nullptr);
    FUZZ_CHECK(__asan_region_is_poisoned(const_cast<void*>(p), n) == nullptr);
}

}  // namespace

// ---- The device model --------------------------------------------------------------------

class DeviceModel {
  public:
    explicit DeviceModel(const DeviceModelSettings& settings)
        : arm_({}, 0.001), end_(arm_, faults(settings), line(settings), 0.0) {
        arm_.echo_forces();
    }

    /// The host wrote `bytes`.
    void write(const Bytes& bytes) { end_.write(bytes.data(), bytes.size(), now_); }

    /// Up to `count` bytes, waiting up to `budget` seconds for all of them; fewer when the
    /// wait runs out first.
    Bytes read(std::size_t count, double budget) {
        wait_for(count, budget);
        return take(count);
    }

    /// Whether bytes are there, after waiting up to `budget` seconds for one.
    bool wait_readable(double budget) {
        wait_for(1, budget);
        return end_.readable() > 0;
    }

    std::size_t waiting() {
        run_until(now_);
        return end_.readable();
    }

    /// The bytes there now, at most `count`, taken.
    Bytes take(std::size_t count) {
        run_until(now_);
        Bytes out;
        while (out.size() < count && end_.readable() > 0) {
            const std::uint8_t* data = nullptr;
            const std::size_t n = end_.front(count - out.size(), data);
            out.insert(out.end(), data, data + n);
            end_.consume(n);
        }
        return out;
    }

    void open() { end_.connect(now_); }
    void close() { end_.disconnect(now_); }

  private:
    static Zelkor::Sim::FaultSettings faults(const DeviceModelSettings& settings) {
        Zelkor::Sim::FaultSettings f;
        f.late_every = settings.late_every;
        f.late_seconds = settings.late_seconds;
        return f;
    }

    static Zelkor::Sim::LineKind line(const DeviceModelSettings& settings) {
        return static_cast<Zelkor::Sim::LineKind>(settings.line %
                                                  Zelkor::Sim::line_models().size());
    }

    void run_until(double t) {
        now_ = std::max(now_, t);
        FUZZ_CHECK(end_.advance(now_));
        // Else the simulator's loop would wake at once, for ever.
        FUZZ_CHECK(end_.next() > now_);
    }

    void wait_for(std::size_t count, double budget) {
        const double until = now_ + std::max(budget, 0.0);
        run_until(now_);
        while (end_.readable() < count && end_.next() <= until) run_until(end_.next());
        if (end_.readable() < count) run_until(until);
    }

    Zelkor::Sim::ArbelonSim arm_;
    Zelkor::Sim::DeviceEnd end_;
    double now_ = 0.0;
};

// Every input's model is made in the same place: a fresh allocation would cost each input
// the model's pages anew (some 230 KiB, mostly the simulator's buffers).
void FakePort::play(const DeviceModelSettings& settings) {
    alignas(DeviceModel) static unsigned char storage[sizeof(DeviceModel)];
    device_.reset();
    device_.reset(new (storage) DeviceModel(settings));
}

void EndDeviceModel::operator()(DeviceModel* model) const {
    model->~DeviceModel();
}

FakePort::FakePort(FuzzedDataProvider& script) : script_(script) {
    FUZZ_CHECK(installed == nullptr);
    installed = this;
}

// ZELKOR_FUZZ_TRACE=1 lists the port calls of each input on standard error, to see what a
// seed or a finding does.
void trace(const std::vector<PortEvent>& events) {
    static const bool on = std::getenv("ZELKOR_FUZZ_TRACE") != nullptr;
    if (!on) return;
    static const char* const kinds[] = {"open", "timeouts", "read", "write", "discard", "close"};
    static const char* const endings[] = {"complete", "timed out", "interrupted", "hung up",
                                          "failed"};
    for (const PortEvent& e : events) {
        std::fprintf(stderr, "port: %-8s", kinds[static_cast<int>(e.kind)]);
        switch (e.kind) {
            case PortEvent::Kind::open:
                std::fprintf(stderr, " \"%s\" code %d%s", e.name.c_str(),
                             static_cast<int>(e.open_code), e.open_threw ? " (threw)" : "");
                break;
            case PortEvent::Kind::read:
            case PortEvent::Kind::write:
                std::fprintf(stderr, " %zu of %zu, %s:", e.count, e.requested,
                             endings[static_cast<int>(e.ending)]);
                for (std::uint8_t b : e.bytes) std::fprintf(stderr, " %02x", b);
                break;
            default:
                std::fprintf(stderr, " %s", e.ok ? "ok" : "refused");
                break;
        }
        std::fprintf(stderr, "\n");
    }
}

FakePort::~FakePort() {
    trace(events_);
    installed = nullptr;
    // Every port the library opened must have been given back.
    FUZZ_CHECK(open_.empty());
}

FakePort& FakePort::current() {
    FUZZ_CHECK(installed != nullptr);
    return *installed;
}

PortEvent& FakePort::log(PortEvent::Kind kind, io::PortHandle handle) {
    events_.emplace_back();
    events_.back().kind = kind;
    events_.back().handle = handle;
    return events_.back();
}

io::PortHandle FakePort::new_handle() {
    open_.push_back(next_handle_);
    return next_handle_++;
}

void FakePort::check_usable(io::PortHandle handle) const {
    FUZZ_CHECK(std::find(open_.begin(), open_.end(), handle) != open_.end());
    // After a hang-up the library must close the port before anything else.
    FUZZ_CHECK(std::find(hung_up_.begin(), hung_up_.end(), handle) == hung_up_.end());
}

void FakePort::release(io::PortHandle handle) {
    const auto it = std::find(open_.begin(), open_.end(), handle);
    FUZZ_CHECK(it != open_.end());
    open_.erase(it);
    hung_up_.erase(std::remove(hung_up_.begin(), hung_up_.end(), handle), hung_up_.end());
}

// ---- Expect ------------------------------------------------------------------------------

const PortEvent& Expect::next(PortEvent::Kind kind) {
    // The calls so far, before the check that fails on them.
    if (at_ >= events_.size() || events_[at_].kind != kind) trace(events_);
    FUZZ_CHECK(at_ < events_.size());
    const PortEvent& event = events_[at_++];
    FUZZ_CHECK(event.kind == kind);
    if (kind != PortEvent::Kind::open) FUZZ_CHECK(event.handle == model_.handle);
    return event;
}

void Expect::after_transfer(const PortEvent& event, io::PortError::Step step) {
    using Step = io::PortError::Step;
    switch (event.ending) {
        case io::port::Ending::complete: {
            // A success clears every failure but the other direction's.
            const Step other = step == Step::read ? Step::write : Step::read;
            if (model_.failed != other) {
                model_.failed = Step::none;
                model_.interrupted = false;
            }
            return;
        }
        case io::port::Ending::hung_up:
            // A line that hangs up closes the port at once.
            model_.failed = Step::hang_up;
            model_.interrupted = false;
            next(PortEvent::Kind::close);
            model_.open = false;
            return;
        default:
            model_.failed = step;
            model_.interrupted = event.ending == io::port::Ending::interrupted;
            return;
    }
}

bool Expect::apply_timeouts() {
    const PortEvent& timeouts = next(PortEvent::Kind::apply_timeouts);
    if (!timeouts.ok) {
        model_.failed = io::PortError::Step::configure;
        model_.interrupted = false;
        model_.timeouts = PortModel::Timeouts::unknown;
        return false;
    }
    model_.timeouts =
        model_.reads_set ? PortModel::Timeouts::for_reads : PortModel::Timeouts::from_open;
    return true;
}

io::OpenCode Expect::open() {
    close();
    const PortEvent& event = next(PortEvent::Kind::open);
    model_.interrupted = false;
    model_.failed = io::PortError::Step::none;
    model_.timeouts = PortModel::Timeouts::unknown;
    model_.reads_set = false;
    if (event.open_threw) return io::OpenCode::exception;
    if (event.open_code == io::OpenCode::ok)
        model_.timeouts = PortModel::Timeouts::from_open;
    else
        model_.failed = event.open_error.step;
    switch (event.open_code) {
        case io::OpenCode::ok:
        case io::OpenCode::get_state_failed:
        case io::OpenCode::set_state_failed:
        case io::OpenCode::set_timeouts_failed:
            model_.open = true;
            model_.handle = event.handle;
            break;
        default:
            break;
    }
    return event.open_code;
}

Bytes Expect::read(std::size_t n, bool bounded) {
    if (n == 0 || !model_.open) return {};
    model_.reads_set = true;
    if (!bounded && model_.timeouts != PortModel::Timeouts::for_reads && !apply_timeouts())
        return {};
    const PortEvent& event = next(PortEvent::Kind::read);
    FUZZ_CHECK(event.requested == n);
    // A bounded transfer leaves the driver with time-outs of the platform's making.
    if (bounded) model_.timeouts = PortModel::Timeouts::unknown;
    after_transfer(event, io::PortError::Step::read);
    return event.bytes;
}

std::size_t Expect::write(const Bytes& bytes) {
    if (bytes.empty() || !model_.open) return 0;
    if (model_.timeouts == PortModel::Timeouts::unknown && !apply_timeouts()) return 0;
    const PortEvent& event = next(PortEvent::Kind::write);
    FUZZ_CHECK(event.requested == bytes.size());
    FUZZ_CHECK(event.bytes == bytes);
    after_transfer(event, io::PortError::Step::write);
    return event.count;
}

void Expect::discard() {
    if (!model_.open) return;
    // Dropping what an interrupted read left behind ends the interruption: the next request
    // does not drop input again.
    if (next(PortEvent::Kind::discard).ok && model_.interrupted) {
        model_.interrupted = false;
        model_.failed = io::PortError::Step::none;
    }
}

void Expect::close() {
    if (!model_.open) return;
    next(PortEvent::Kind::close);
    model_.open = false;
}

}  // namespace zelkor_fuzz

// ---- The port functions ------------------------------------------------------------------

namespace Zelkor::HardwareAPI::IO::port {

using Zelkor::Sim::DeviceEnd;
using zelkor_fuzz::DeviceModel;
using zelkor_fuzz::FakePort;
using zelkor_fuzz::PortEvent;
using Step = PortError::Step;
using Cause = PortError::Cause;

namespace {

// How many of `count` bytes a transfer that does not complete moves: mostly none.
std::size_t partial(FakePort& port, std::size_t count) {
    if (count <= 1) return 0;
    return port.script().ConsumeIntegralInRange<std::size_t>(0, count - 1);
}

// How long a read of `count` bytes may wait, s: its total time-out, or less until the hook's
// deadline (whole milliseconds of it, so that a replay waits as the run did).
double read_budget(const PortTimeouts& t, std::size_t count, const WaitHook& hook) {
    double budget =
        (t.read_total_multiplier * static_cast<double>(count) + t.read_total_constant) * 1e-3;
    if (hook.deadline != WaitHook::Clock::time_point::max()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            hook.deadline - WaitHook::Clock::now());
        budget = std::min(budget, std::max(0.0, static_cast<double>(left.count()) * 1e-3));
    }
    return budget;
}

}  // namespace

OpenCode open(const char* name, PortHandle& handle, const PortTimeouts& t, PortError& error) {
    FakePort& port = FakePort::current();
    FUZZ_CHECK(name != nullptr);
    // Every open starts from the port's standard time-outs.
    FUZZ_CHECK(t.read_interval == 1000 && t.read_total_multiplier == 8 &&
               t.read_total_constant == 8 && t.write_total_multiplier == 8 &&
               t.write_total_constant == 8);
    const std::uint8_t d = port.decide();
    PortEvent& event = port.log(PortEvent::Kind::open, invalid_port_handle);
    event.name = name;
    OpenCode code = OpenCode::ok;
    if (d >= 192) {
        switch ((d - 192) % 8) {
            case 0:
                code = OpenCode::not_found;
                break;
            case 1:
                code = OpenCode::open_failed;
                break;
            case 2:
                code = OpenCode::get_state_failed;
                break;
            case 3:
                code = OpenCode::set_state_failed;
                break;
            case 4:
                code = OpenCode::set_timeouts_failed;
                break;
            case 5:
                event.open_threw = true;
                throw std::bad_alloc();
            default:
                break;
        }
    }
    event.open_code = code;
    if (port.device() && code != OpenCode::not_found && code != OpenCode::open_failed) {
        port.device()->open();
    }
    switch (code) {
        case OpenCode::ok:
            event.handle = handle = port.new_handle();
            break;
        case OpenCode::not_found:
            error = {Step::open, Cause::system, ENOENT};
            break;
        case OpenCode::open_failed:
            error = {Step::open, Cause::in_use, EBUSY};
            break;
        default:  // the port stays open, half configured
            event.handle = handle = port.new_handle();
            error = {Step::configure, Cause::system, EINVAL};
            break;
    }
    if (code != OpenCode::ok) event.open_error = error;
    return code;
}

bool apply_timeouts(PortHandle handle, const PortTimeouts&, int& system_error) {
    FakePort& port = FakePort::current();
    port.check_usable(handle);
    // Refused now and then, as a platform may.
    const bool ok = (port.decide() & 0x3F) != 0x3F;
    PortEvent& event = port.log(PortEvent::Kind::apply_timeouts, handle);
    event.ok = ok;
    if (!ok) system_error = event.system_error = EINVAL;
    return ok;
}

Outcome read(PortHandle handle, void* destination, std::uint32_t count, const PortTimeouts& t, bool,
             const WaitHook& hook) {
    FakePort& port = FakePort::current();
    port.check_usable(handle);
    zelkor_fuzz::check_region(destination, count);
    // A read of n bytes may take 8 * n + 1000 ms, and 1000 ms between bytes.
    FUZZ_CHECK(t.read_interval == 1000 && t.read_total_multiplier == 8 &&
               t.read_total_constant == 1000);

    const std::uint8_t d = port.decide();
    Outcome outcome;
    std::size_t want = count;
    if (d < 128 || d >= 240) {
        outcome.ending = Ending::complete;
    } else if (d < 160) {
        outcome.ending = Ending::timed_out;
        want = partial(port, count);
    } else if (d < 192) {
        outcome.ending = Ending::timed_out;
        want = 0;
    } else if (d < 208) {
        outcome.ending = Ending::failed;
        outcome.system_error = EPROTO;
        want = partial(port, count);
    } else if (d < 224) {
        outcome.ending = Ending::hung_up;
        outcome.system_error = EIO;
        want = partial(port, count);
    } else {
        outcome.ending = Ending::interrupted;
        want = partial(port, count);
    }
    zelkor_fuzz::Bytes bytes;
    if (DeviceModel* device = port.device()) {
        // The model's bytes: all it has sent within the read's time-out, or on an ending the
        // input chose, the part of them that had come.
        if (outcome.ending == Ending::complete) {
            bytes = device->read(count, read_budget(t, count, hook));
            if (bytes.size() < count) outcome.ending = Ending::timed_out;
        } else {
            bytes = device->take(want);
        }
    } else {
        bytes = port.script().ConsumeBytes<std::uint8_t>(want);
    }
    // The input ran dry: the line goes quiet.
    if (bytes.size() < want && outcome.ending == Ending::complete) {
        outcome.ending = Ending::timed_out;
    }
    if (bytes.size() == count) {
        outcome.ending = Ending::complete;
        outcome.system_error = 0;
    }
    if (!bytes.empty()) std::memcpy(destination, bytes.data(), bytes.size());
    outcome.count = bytes.size();
    if (outcome.ending == Ending::hung_up) port.hang_up(handle);

    PortEvent& event = port.log(PortEvent::Kind::read, handle);
    event.requested = count;
    event.bytes = std::move(bytes);
    event.count = outcome.count;
    event.ending = outcome.ending;
    event.system_error = outcome.system_error;
    return outcome;
}

Outcome write(PortHandle handle, const void* source, std::size_t count, const PortTimeouts& t,
              const WaitHook&) {
    FakePort& port = FakePort::current();
    port.check_usable(handle);
    // A write of n bytes may take 8 * n + 8 ms.
    FUZZ_CHECK(t.write_total_multiplier == 8 && t.write_total_constant == 8);
    FUZZ_CHECK(count > 0);
    const auto* in = static_cast<const std::uint8_t*>(source);
    zelkor_fuzz::Bytes bytes(in, in + count);  // reads every byte handed over

    const std::uint8_t d = port.decide();
    Outcome outcome;
    outcome.count = count;
    if (d < 192) {
        outcome.ending = Ending::complete;
    } else if (d < 216) {
        outcome.ending = Ending::timed_out;
        outcome.count = partial(port, count);
    } else if (d < 232) {
        outcome.ending = Ending::failed;
        outcome.system_error = EPROTO;
        outcome.count = partial(port, count);
    } else if (d < 244) {
        outcome.ending = Ending::hung_up;
        outcome.system_error = EIO;
        outcome.count = partial(port, count);
        port.hang_up(handle);
    } else {
        outcome.ending = Ending::interrupted;
        outcome.count = partial(port, count);
    }

    if (DeviceModel* device = port.device()) {
        device->write(zelkor_fuzz::Bytes(
            bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(outcome.count)));
    }

    PortEvent& event = port.log(PortEvent::Kind::write, handle);
    event.requested = count;
    event.bytes = std::move(bytes);
    event.count = outcome.count;
    event.ending = outcome.ending;
    event.system_error = outcome.system_error;
    return outcome;
}

// Whether input is waiting is the input's to decide; nothing is read.
bool wait_readable(PortHandle handle, std::uint32_t timeout_ms, const WaitHook&) {
    FakePort& port = FakePort::current();
    port.check_usable(handle);
    if (DeviceModel* device = port.device()) return device->wait_readable(timeout_ms * 1e-3);
    return (port.decide() & 1) != 0;
}

bool discard_input(PortHandle handle) {
    FakePort& port = FakePort::current();
    port.check_usable(handle);
    const bool ok = (port.decide() & 0x0F) != 0x0F;
    if (ok && port.device()) port.device()->take(DeviceEnd::max_unread);
    port.log(PortEvent::Kind::discard, handle).ok = ok;
    return ok;
}

// How much input waits is the input's to decide.
long bytes_waiting(PortHandle handle) {
    FakePort& port = FakePort::current();
    port.check_usable(handle);
    if (DeviceModel* device = port.device()) return static_cast<long>(device->waiting());
    return static_cast<long>(port.decide() % 64) - 1;
}

void close(PortHandle handle) noexcept {
    FakePort& port = FakePort::current();
    port.release(handle);
    if (port.device()) port.device()->close();
    port.log(PortEvent::Kind::close, handle);
}

void abandon(PortHandle handle) noexcept {
    close(handle);
}

std::string error_text(int system_error) {
    return "fake port error " + std::to_string(system_error);
}

int errno_of(int system_error) {
    return system_error;
}

}  // namespace Zelkor::HardwareAPI::IO::port
