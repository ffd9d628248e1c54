// Python classes ServoState, ServoStats, Servo and LineMeasurement: the servo loop of the Arbelon
// and what its line allows.
#include <ZelkorHardwareAPI/control/line.h>
#include <ZelkorHardwareAPI/control/servo.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "python/bindings.h"
#include "python/convert.h"
#include "python/effects.h"
#include "python/lifecycle.h"
#include "python/notify.h"
#include "python/port_call.h"
#include "python/reception.h"
#include "python/scene.h"
#include "python/servo_keywords.h"
#include "python/values.h"

namespace py = pybind11;

namespace Zelkor::HardwareAPI::Python {

using namespace Control;

class BoundServo;

namespace {
Registry<BoundServo>& servos() {
    static auto* registry = new Registry<BoundServo>;  // never destroyed: servos may outlive it
    return *registry;
}
// OSError (the subclass its number makes, FileNotFoundError and so on) naming `path`, for a
// file the servo's recording cannot be written to.
[[noreturn]] void raise_os_error(const std::system_error& e, const std::string& path) {
    const bool numbered = e.code().category() == std::generic_category() ||
                          e.code().category() == std::system_category();
    const std::string why = "cannot stream the recording there: " + e.code().message();
    PyErr_SetObject(PyExc_OSError,
                    py::make_tuple(numbered ? e.code().value() : 0, why, path).ptr());
    throw py::error_already_set();
}

}  // namespace

// A Servo made from Python. It takes the stream as a call would (waiting for another thread's
// call to end) and hands that hold over to the loop, which drives the stream until it ends.
// Start and stop let go of the interpreter lock while they wait; so does the destructor.
class BoundServo : public Servo {
  public:
    /// `arms` and the Python objects that hold them, which the servo keeps alive.
    BoundServo(const std::vector<Devices::Arbelon*>& arms, std::vector<py::object> objects,
               const ServoSettings& settings)
        : Servo(arms, settings), objects_(std::move(objects)) {
        for (Devices::Arbelon* arm : arms) {
            streams_.push_back(&stream_of(*arm));
            ports_ += (ports_.empty() ? "" : ", ") + streams_.back()->port_name();
        }
        // On the loop's thread: handed to the thread that logs, without the interpreter lock.
        // On the servo's own thread (never the loop's): handed to the thread that logs.
        set_notify([this](const ServoNotice& n) {
            Notice notice;
            if (n.kind == ServoNotice::Kind::measured) {
                notice.level = LogLevel::info;
                std::snprintf(notice.text, sizeof notice.text,
                              "the servo on %s runs at %.0f Hz, %s: its line holds %.0f Hz strict "
                              "and %.0f Hz with a request in flight (measured for a second)",
                              ports_.c_str(), n.rate_hz, n.pipelined ? "pipelined" : "strict",
                              n.strict_hz, n.pipelined_hz);
            } else if (n.kind == ServoNotice::Kind::stalled) {
                std::snprintf(notice.text, sizeof notice.text,
                              "the servo on %s stalled: a cycle ended %.0f ms after its deadline",
                              ports_.c_str(), n.late * 1e3);
            } else {
                const std::string failure = failure_text();
                std::snprintf(notice.text, sizeof notice.text,
                              "the servo on %s stopped by itself: %s%s%s", ports_.c_str(),
                              to_text(n.reason), failure.empty() ? "" : ": ", failure.c_str());
                std::snprintf(notice.argument, sizeof notice.argument, "%s", to_text(n.reason));
                std::snprintf(notice.detail, sizeof notice.detail, "%s", failure.c_str());
                notice.callback = on_stop_ticket_.exchange(nullptr);
            }
            post_notice(notice);
        });
        servos().add(this);
    }
    ~BoundServo() {
        {
            // Also a loop that ended by itself: its supervisor may be waiting for the lock to
            // say why (failure_text), and stop() waits for the supervisor.
            GilReleased unlocked;
            stop();
        }
        drop_ticket();
        servos().remove(this);
    }

    /// The callable called (on a Python thread) when the loop ends by itself; None: none.
    void set_on_stop(py::object callback) {
        if (!callback.is_none() && !PyCallable_Check(callback.ptr())) {
            throw py::type_error(std::string("on_stop must be callable or None, not ") +
                                 Py_TYPE(callback.ptr())->tp_name);
        }
        on_stop_ = std::move(callback);
    }
    py::object on_stop() const { return on_stop_; }

    void start_bound() {
        if (running()) throw std::runtime_error("this Servo is already running");
        check_scene_before_start(*this);
        start_notices();
        // Every stream held first (a call of another thread halfway through an exchange is
        // waited for), so that what is checked stands until the drive takes the holds over.
        std::vector<std::unique_ptr<StreamHold>> holds;
        for (PyStream* stream : streams_) {
            holds.push_back(std::make_unique<StreamHold>(
                *stream, "another Servo already drives an arm on this stream"));
            if (!stream->is_open()) raise_not_open(*stream);
            if (stream->received()) {
                throw std::runtime_error(
                    "a handle receives on this stream in the background; a Servo needs the "
                    "stream to itself");
            }
        }
        bool refused = false;
        std::exception_ptr failure;
        {
            GilReleased unlocked;
            std::lock_guard<std::mutex> held(servos().mutex);
            if (exiting.load()) {
                refused = true;
            } else {
                try {
                    start();
                } catch (...) {
                    failure = std::current_exception();
                }
            }
        }
        if (refused) throw exiting_error("a Servo");
        if (failure) {
            try {
                std::rethrow_exception(failure);
            } catch (const std::invalid_argument& e) {
                throw py::value_error(e.what());
            } catch (const std::system_error& e) {
                raise_os_error(e, recording_file());
            } catch (const std::logic_error& e) {
                throw std::runtime_error(e.what());
            }
        }
        for (auto& hold : holds) hold->handed_over();
        // A reference for the loop to hand over if it ends by itself; whatever ends it
        // otherwise lets go of it.
        drop_ticket();
        if (!on_stop_.is_none()) on_stop_ticket_.store(on_stop_.inc_ref().ptr());
        if (settings().rate_hz > 0.0) {
            log(LogLevel::info,
                "the servo on " + ports_ + " started at " + text_of(settings().rate_hz) + " Hz");
        } else {
            log(LogLevel::info, "the servo on " + ports_ + " started, at the rate the line holds");
        }
    }

    /// The warning, once, for an effect stiffer than the servo renders stably (on a device of
    /// 1 N s/m), naming the stiffest, unless the passivity controller is on.
    void warn_if_too_stiff(const std::vector<Effect>& effects) {
        if (warned_ || settings().passivity) return;
        const double bound = stable_stiffness(1.0);
        const Stiffest stiff = stiffest(effects);
        if (!(stiff.stiffness > bound)) return;
        warned_ = true;
        const std::string text =
            std::string("a ") + stiff.name + " of " +
            py::repr(py::float_(stiff.stiffness)).cast<std::string>() +
            " N/m is stiffer than the " + std::to_string(static_cast<long>(bound)) +
            " N/m this servo renders stably on a device with 1 N s/m of damping "
            "(Servo.stable_stiffness): it may buzz; lower it, or make the servo with "
            "passivity=True";
        if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) != 0) throw py::error_already_set();
    }

    /// Sets the force law, keeping `object` (what holds its code) alive for as long as the
    /// loop may call it; with the interpreter lock held.
    void set_law(ZelkorForceLaw law, py::object object) {
        std::shared_ptr<const void> keep;
        if (law != nullptr) {
            PyObject* held = object.inc_ref().ptr();
            keep = std::shared_ptr<const void>(held, [](const void* p) {
                const GilHeld gil;
                Py_DECREF(static_cast<PyObject*>(const_cast<void*>(p)));
            });
        }
        set_force_law(law, std::move(keep));
        law_object_ = law != nullptr ? std::move(object) : py::none();
    }
    py::object law_object() const { return law_object_; }

    void set_params_from(const ParamValues& values, double ramp, double ttl = 0.0) {
        if (values.count > ZELKOR_FORCE_LAW_PARAMS) {
            throw py::value_error("Servo.params takes at most " +
                                  std::to_string(ZELKOR_FORCE_LAW_PARAMS) + " values, got " +
                                  std::to_string(values.count));
        }
        for (std::size_t i = 0; i < values.count; ++i) {
            if (!std::isfinite(values.values[i])) {
                throw py::value_error("Servo.params: value " + std::to_string(i) +
                                      " must be a finite number");
            }
        }
        if (!(ramp >= 0.0 && ramp <= 3600.0)) {
            throw py::value_error("set_params(): ramp must be from 0 to 3600 seconds");
        }
        set_params(values.values.data(), values.count, ramp, ttl);
    }

    void record_checked(double seconds) {
        if (!(seconds >= 0.0 && seconds <= 86400.0)) {
            throw py::value_error("record: seconds must be from 0 to 86400");
        }
        if (running()) throw std::runtime_error("record() while the Servo runs: stop it first");
        try {
            record(seconds);
        } catch (const std::invalid_argument& e) {
            throw py::value_error(std::string("record: ") + e.what() +
                                  "; a longer run streams to disk with record_to=path");
        }
        // Imported here, by the thread that asks for a recording, rather than by whichever
        // first reads one: a fork while another thread is in the middle of an import leaves
        // the child waiting for that import's lock for ever.
        if (seconds > 0.0) (void)recording_class();
    }

    void record_to_checked(py::object path) {
        if (running()) throw std::runtime_error("record_to() while the Servo runs: stop it first");
        if (path.is_none()) {
            record_to("");
            return;
        }
        const std::string text = path_text(path, "record_to");
        // A folder, a device or a pipe is refused as Recording.save refuses it.
        py::module_::import("zelkor.recording").attr("_refuse_unwritable")(text);
        try {
            record_to(text);
        } catch (const std::system_error& e) {
            raise_os_error(e, text);
        }
    }

    /// After a run that streamed to a file: a warning when its writing failed or the disk fell
    /// behind.
    void warn_of_the_file() {
        const std::string path = recording_file();
        if (path.empty()) return;
        if (const std::error_code e = recording_file_error()) {
            log(LogLevel::warning, "the recording to " + path + " stopped early: " + e.message() +
                                       " (the rows before it are in the file)");
        }
        if (const std::uint64_t lost = recording_file_lost()) {
            log(LogLevel::warning, "the recording to " + path + " lost " + std::to_string(lost) +
                                       " rows: the disk fell behind the loop");
        }
    }

    /// Every row recorded so far, as a zh.Recording, copied without stopping the loop.
    py::object recording_object() const {
        const std::size_t capacity = recording_capacity();
        if (capacity == 0) {
            throw std::runtime_error(
                "this Servo records nothing: make it with record=seconds (or call "
                "record(seconds) while it is stopped), then read recording()");
        }
        py::array_t<double> rows({capacity, ServoRecord::width});
        std::size_t n = 0;
        std::uint64_t overwritten = 0;
        {
            double* out = rows.mutable_data();
            GilReleased unlocked;
            n = copy_recording(out, overwritten);
        }
        py::object sliced = rows[py::slice(0, static_cast<py::ssize_t>(n), 1)];
        return recording_class().attr("from_servo_rows")(sliced, overwritten, arm_count());
    }

    void stop_bound() {
        const bool was_running = running();
        {
            GilReleased unlocked;
            stop();
        }
        drop_ticket();
        if (was_running) {
            log(LogLevel::info, "the servo on " + ports_ + " stopped after " +
                                    std::to_string(stats().cycles) + " cycles");
            warn_of_the_file();
        }
    }

    /// What failed when the last run ended with a force law that failed or overran: the
    /// loop's words, or, for a law compiled from Python, what the Python function does with the
    /// same input (zelkor.laws.explain: an exception's type and message). Any thread; the
    /// interpreter lock is taken only to run the function, and never while it exits.
    std::string failure_text() {
        const ServoStats s = stats();
        std::string text = s.failure;
        ZelkorServoInput input{};
        std::array<double, ZELKOR_FORCE_LAW_PARAMS> params{};
        if (!failed_law_input(input, params) || exiting.load() || interpreter_finalizing()) {
            return text;
        }
        const GilHeld gil;
        if (explained_cycle_ == input.cycle && !explained_.empty()) return explained_;
        try {
            py::list values;
            for (double v : params) values.append(v);
            const py::object said =
                py::module_::import("zelkor.laws")
                    .attr("explain")(
                        law_object_,
                        py::make_tuple(
                            input.time, input.cycle,
                            tuple_of(Vec3{input.position[0], input.position[1], input.position[2]}),
                            tuple_of(Vec3{input.velocity[0], input.velocity[1], input.velocity[2]}),
                            tuple_of(Vec3{input.previous_force[0], input.previous_force[1],
                                          input.previous_force[2]})),
                        values);
            if (!said.is_none()) text = said.cast<std::string>();
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("ZelkorHardwareAPI: explaining a force law's failure");
        }
        explained_cycle_ = input.cycle;
        explained_ = text;
        return text;
    }

    static void stop_all() noexcept {
        GilReleased unlocked;
        begin_exit();
        std::lock_guard<std::mutex> held(servos().mutex);
        for (BoundServo* servo : servos().items) servo->stop();
    }

  private:
    /// With the interpreter lock.
    void drop_ticket() noexcept { Py_XDECREF(on_stop_ticket_.exchange(nullptr)); }
    static std::string text_of(double v) { return py::repr(py::float_(v)).cast<std::string>(); }

    std::vector<PyStream*> streams_;
    std::string ports_;  // for messages: the arms' ports
    py::object on_stop_ = py::none();
    std::atomic<PyObject*> on_stop_ticket_{nullptr};
    std::vector<py::object> objects_;
    py::object law_object_ = py::none();
    bool warned_ = false;
    double explained_cycle_ = -1.0;  // with the interpreter lock
    std::string explained_;
};

}  // namespace Zelkor::HardwareAPI::Python

namespace pybind11::detail {
template <>
class type_caster<Zelkor::HardwareAPI::Python::BoundServo>
    : public Zelkor::HardwareAPI::Python::InitialisedCaster<
          Zelkor::HardwareAPI::Python::BoundServo> {};
}  // namespace pybind11::detail

namespace Zelkor::HardwareAPI::Python {
namespace {

// The recording's table for zelkor.Recording: a (name, first double, width, kind, flag) per
// column and a (name, bit) per flag, as servo_columns.def and servo_flags.def declare them.
void export_recording_table(py::module_& m) {
    py::list columns;
#define ZELKOR_SERVO_COLUMN(type, name, width, kind, flag, doc) \
    columns.append(py::make_tuple(#name, ServoRecord::name, width, #kind, flag));
#include <ZelkorHardwareAPI/control/servo_columns.def>
#undef ZELKOR_SERVO_COLUMN
    py::list flags;
#define ZELKOR_SERVO_FLAG(name, bit, doc) flags.append(py::make_tuple(#name, bit));
#include <ZelkorHardwareAPI/control/servo_flags.def>
#undef ZELKOR_SERVO_FLAG
    m.attr("_servo_columns") = py::tuple(columns);
    m.attr("_servo_flags") = py::tuple(flags);
}

void register_records(py::module_& m) {
    export_recording_table(m);
    export_settings_table(m);
    py::class_<ServoState>(m, "ServoState",
                           "The servo loop's latest view of the arm.\n\n"
                           "Made by Servo.state(), a copy taken at the call; it has no "
                           "constructor. Before the first reply every field is 0. A failed "
                           "exchange leaves the previous state in place.")
        .def_readonly("time", &ServoState::time,
                      "Seconds since start() when the reply came.\n\nA float.")
        .def_readonly("cycle", &ServoState::cycle,
                      "The cycle it came in (0 before any).\n\nAn int, counted from 1.")
        .def_property_readonly(
            "position", [](const ServoState& s) { return tuple_of(s.position); },
            "End-effector position x, y, z in metres.\n\nA tuple of three floats.")
        .def_property_readonly(
            "velocity", [](const ServoState& s) { return tuple_of(s.velocity); },
            "End-effector velocity in m/s.\n\nA tuple of three floats: x, y, z.")
        .def_property_readonly(
            "force", [](const ServoState& s) { return tuple_of(s.force); },
            "The force sent in that cycle, in newtons.\n\n"
            "A tuple of three floats: x, y, z, after scaling down to max_force.")
        .def_readonly("energy", &ServoState::energy,
                      "J: the energy the virtual environment has taken from the user so far, as "
                      "the passivity observer counts it.\n\n"
                      "A float: 0 without passivity. Below 0: energy given out that the "
                      "controller has still to take back, which it can only while the arm "
                      "moves.")
        .def_readonly("damping_added", &ServoState::damping_added,
                      "N s/m: the damping the passivity controller added in that cycle.\n\n"
                      "A float; 0 when the environment gave out no energy.")
        .def(
            "as_array",
            [](const ServoState& s) {
                py::array_t<double> out({3, 3});
                auto a = out.mutable_unchecked<2>();
                for (py::ssize_t i = 0; i < 3; ++i) {
                    a(0, i) = s.position[static_cast<std::size_t>(i)];
                    a(1, i) = s.velocity[static_cast<std::size_t>(i)];
                    a(2, i) = s.force[static_cast<std::size_t>(i)];
                }
                return out;
            },
            "position, velocity and force as the rows of a new (3, 3) numpy array of float64.")
        .def("__repr__", [](const ServoState& s) {
            return "ServoState(time=" + text(s.time) + ", cycle=" + std::to_string(s.cycle) +
                   ", position=" + py::repr(tuple_of(s.position)).cast<std::string>() +
                   ", velocity=" + py::repr(tuple_of(s.velocity)).cast<std::string>() +
                   ", force=" + py::repr(tuple_of(s.force)).cast<std::string>() + ")";
        });

    py::class_<ServoStats>(m, "ServoStats",
                           "How the servo loop keeps up.\n\n"
                           "Made by Servo.stats(), a copy taken at the call; it has no "
                           "constructor. Times in microseconds; counts since start().")
        .def_readonly("rate_hz", &ServoStats::rate_hz,
                      "Cycles per second achieved since start().\n\nA float; 0 before any.")
        .def_readonly("cycles", &ServoStats::cycles, "Cycles run.\n\nAn int.")
        .def_readonly("late_cycles", &ServoStats::late_cycles,
                      "Cycles that ended after their own deadline (the next then starts at "
                      "once, or at the next slot when whole periods were lost).\n\nAn int.")
        .def_readonly("failed_exchanges", &ServoStats::failed_exchanges,
                      "Exchanges with no whole reply within reply_timeout.\n\n"
                      "An int; give_up_after seconds of them (or max_failures in a row) stop "
                      "the loop.")
        .def_readonly("missed", &ServoStats::missed,
                      "Whole periods skipped because a cycle ran over by more than a period.\n\n"
                      "An int, counted apart from late_cycles: the schedule never catches up in "
                      "a burst.")
        .def_readonly("expired", &ServoStats::expired,
                      "Times what was set with a time to live was not set again in time, so the "
                      "loop faded its forces to zero.\n\nAn int (see set_effects, set_params).")
        .def_readonly("stale_dropped", &ServoStats::stale_dropped,
                      "Times input that answered no request in flight was dropped.\n\n"
                      "An int: a late reply found waiting before a request, or drained after a "
                      "reply that did not come whole in time. Such input is never taken for a "
                      "later request's reply.")
        .def_readonly("p50_us", &ServoStats::p50_us,
                      "Median exchange time, µs (within ~3 %).\n\n"
                      "A float in microseconds, from sending the request to the whole reply; 0 "
                      "before any exchange.")
        .def_readonly("p99_us", &ServoStats::p99_us,
                      "99th percentile exchange time, µs.\n\nA float in microseconds.")
        .def_readonly("p999_us", &ServoStats::p999_us,
                      "99.9th percentile exchange time, µs.\n\nA float in microseconds.")
        .def_readonly("max_us", &ServoStats::max_us,
                      "Longest exchange, µs.\n\nA float in microseconds.")
        .def_property_readonly(
            "stop_reason",
            [](const ServoStats& s) -> py::object {
                const char* reason = to_text(s.stop_reason);
                return reason ? py::object(py::str(reason)) : py::object(py::none());
            },
            "None while running (or never started); else 'stopped', 'device not answering', "
            "'port closed', 'forked', 'force law failed', 'force law overran', 'scene failed' or "
            "'scene too slow'.\n\n"
            "'stopped': stop(), leaving a with block, the Servo's end or the interpreter's "
            "exit; 'device not answering': max_failures exchanges in a row got no whole reply; "
            "'port closed': the port hung up or was closed; 'forked': this process is the "
            "child of a fork made while the loop ran in the parent (the loop runs on there, "
            "not here); 'force law overran': a cycle spent longer than law_timeout in its force "
            "law; 'scene failed': the scene's state went bad (not finite, or reset by the "
            "engine); 'scene too slow': its steps took longer than the period for longer than "
            "the stall time.")
        .def_property_readonly(
            "failure", [](const ServoStats& s) { return std::string(s.failure); },
            "What failed, when stop_reason is 'force law failed' or 'force law overran': the "
            "exception a law compiled from Python raises (its type and message), what "
            "zelkor_force_law_failed was told, what a force function threw, or the force "
            "that was not finite.\n\nA str; '' otherwise.")
        .def_readonly("left_limp", &ServoStats::left_limp,
                      "True once the loop has ended with its last zero-force request answered "
                      "by the device.\n\n"
                      "A bool: False while the loop runs, and when that request could not be "
                      "sent or got no reply (the arm may then still push).")
        .def("__repr__", [](const ServoStats& s) {
            const char* reason = to_text(s.stop_reason);
            return "ServoStats(rate_hz=" + text(s.rate_hz) +
                   ", cycles=" + std::to_string(s.cycles) +
                   ", late_cycles=" + std::to_string(s.late_cycles) +
                   ", failed_exchanges=" + std::to_string(s.failed_exchanges) +
                   ", missed=" + std::to_string(s.missed) +
                   ", stale_dropped=" + std::to_string(s.stale_dropped) +
                   ", expired=" + std::to_string(s.expired) + ", p50_us=" + text(s.p50_us) +
                   ", p99_us=" + text(s.p99_us) + ", p999_us=" + text(s.p999_us) +
                   ", max_us=" + text(s.max_us) +
                   ", stop_reason=" + (reason ? "'" + std::string(reason) + "'" : "None") +
                   ", left_limp=" + (s.left_limp ? "True" : "False") + ")";
        });
}

// The arms `arm` names: one Arbelon, or a sequence of them; `objects` keeps them.
std::vector<Devices::Arbelon*> arms_of(py::handle arm, std::vector<py::object>& objects) {
    std::vector<Devices::Arbelon*> arms;
    if (py::isinstance<Devices::Arbelon>(arm)) {
        arms.push_back(&arm.cast<Devices::Arbelon&>());
        objects.push_back(py::reinterpret_borrow<py::object>(arm));
        return arms;
    }
    if (!py::isinstance<py::sequence>(arm) || py::isinstance<py::str>(arm)) {
        throw py::type_error(
            std::string("Servo(): arm must be an Arbelon or a sequence of Arbelons, not ") +
            Py_TYPE(arm.ptr())->tp_name);
    }
    for (py::handle item : py::reinterpret_borrow<py::sequence>(arm)) {
        if (!py::isinstance<Devices::Arbelon>(item)) {
            throw py::type_error(
                "Servo(): arm must be an Arbelon or a sequence of Arbelons, not a sequence "
                "holding " +
                std::string(Py_TYPE(item.ptr())->tp_name));
        }
        arms.push_back(&item.cast<Devices::Arbelon&>());
        objects.push_back(py::reinterpret_borrow<py::object>(item));
    }
    return arms;
}

void register_servo_class(py::module_& m) {
    py::class_<BoundServo> cls(
        m, "Servo",
        "A fixed-rate force loop for an Arbelon in a thread of the library's own.\n\n"
        "Each cycle sends one end_effector_force request whose force is the sum of the effects "
        "at the previous reply's position and velocity, scaled down to max_force newtons "
        "(zero after a failed exchange), and waits for the reply at most until the cycle's "
        "deadline. The loop never takes the interpreter lock. While it runs, direct calls on "
        "the arm's stream raise RuntimeError. It stops by itself when the port hangs up or "
        "max_failures exchanges in a row fail (stats().stop_reason says which), and its last "
        "act is always one zero-force request, so the arm is left limp.");

    static const std::string init_doc = servo_init_doc(
        "A loop for arm, an Arbelon, or a sequence of up to 4 Arbelons, each on a stream of "
        "its own, driven in one cycle (every request goes out, then every reply is read); "
        "the servo keeps them alive; it does not start yet. ");
    {
        // The signature is the table's, written at the top of the docstring as pybind11
        // writes its own.
        py::options options;
        options.disable_function_signatures();
        cls.def(py::init([](py::object arm, py::object rate_hz, const py::kwargs& keywords) {
                    std::vector<py::object> objects;
                    const std::vector<Devices::Arbelon*> arms = arms_of(arm, objects);
                    ServoExtras extras;
                    const ServoSettings settings = servo_settings_from(rate_hz, keywords, extras);
                    auto servo = std::make_unique<BoundServo>(arms, std::move(objects), settings);
                    if (extras.record) servo->record_checked(*extras.record);
                    if (extras.record_to) servo->record_to_checked(py::str(*extras.record_to));
                    servo->set_on_stop(std::move(extras.on_stop));
                    return servo;
                }),
                py::arg("arm"), py::arg("rate_hz") = ServoSettings{}.rate_hz,
                // The servo drives the arms: it keeps them (and so their streams) alive.
                py::keep_alive<1, 2>(), init_doc.c_str());
    }

    cls.def("start", &BoundServo::start_bound,
            "Start the loop. RuntimeError when it already runs or another Servo drives the "
            "arm (or another arm on its stream).\n\n"
            "Also RuntimeError while a handle receives on the arm's stream in the background, "
            "from a signal handler that broke into a call on the stream, and once the "
            "interpreter exits; OSError (naming the port and the cause) when the stream's port "
            "is not open. A call of another thread halfway through an exchange on the stream "
            "is waited for. A servo that stopped may be started again; its statistics start "
            "afresh.");
    cls.def("stop", &BoundServo::stop_bound,
            "Stop the loop and wait for its thread (at most the exchange under way and the "
            "last zero-force exchange). Does nothing when it does not run.\n\n"
            "The loop's last request is always a zero force, so the arm is left limp. The "
            "interpreter lock is let go meanwhile; several threads may stop one servo at once, "
            "and each returns once the loop has ended.");
    cls.def_property_readonly(
        "running", [](const BoundServo& s) { return s.running(); },
        "True from start() until the loop ended.\n\n"
        "It turns False by itself when the loop gives up: "
        "stats().stop_reason says why.");
    cls.def_property_readonly(
        "realtime", [](const BoundServo& s) { return s.realtime(); },
        "True when the loop runs with the real-time priority it asked for (realtime=True); "
        "False when it was not asked for or the system refused it.\n\n"
        "Meaningful once started: the request is made when the loop's thread starts.");
    cls.def_property_readonly(
        "rate_hz", [](const BoundServo& s) { return s.rate_hz(); },
        "Cycles per second the loop runs at.\n\nA float: as given to the constructor, or, "
        "for rate_hz=None, the rate picked by measuring the line for a second when the loop "
        "started (0.0 until then; pipelined says which way it runs, and the log says why, at "
        "INFO).");
    cls.def_property_readonly(
        "pipelined", [](const BoundServo& s) { return s.pipelined(); },
        "True when the loop keeps one request in flight (see pipeline).\n\nA bool: as given "
        "to the constructor, or, for rate_hz=None, what the measurement of the line chose "
        "(pipelined when it holds more and the servo drives one arm).");
    cls.def_property_readonly(
        "max_force", [](const BoundServo& s) { return s.settings().max_force; },
        "The longest force sent, in newtons.\n\n"
        "A float, as given to the constructor: a larger sum of the effects is scaled down to "
        "it.");
    cls.def_property(
        "effects",
        [](const BoundServo& s) {
            // A tuple: a list would take an append() that the loop never sees.
            const std::vector<Effect> effects = s.effects();
            py::typing::Tuple<EffectUnion, py::ellipsis> out(effects.size());
            for (std::size_t i = 0; i < effects.size(); ++i) out[i] = object_of(effects[i]);
            return out;
        },
        [](BoundServo& s, const py::iterable& items) {
            std::vector<Effect> effects;
            for (py::handle item : items) effects.push_back(effect_of(item));
            s.warn_if_too_stiff(effects);
            s.set_effects(std::move(effects));
        },
        "The effects whose forces the loop sums. Assigning a list replaces them all at once, "
        "from any thread; the loop takes copies, so change an effect and assign again to "
        "apply it.\n\n"
        "Reads as a new tuple of copies of the effects. Takes any iterable of Wall, Spring, "
        "Damper, ConstantForce, Sphere, Box, ViscousRegion, Guide, Vibration, Detents and "
        "Friction objects; TypeError for anything else, leaving the effects as they were. A "
        "Friction's copy starts without a proxy and takes its own at its first contact.");
    cls.def_property(
        "scene", [](const BoundServo& s) { return scene_of(s); },
        [](BoundServo& s, py::handle scene) { set_scene_of(s, scene); },
        "A MujocoScene the loop steps every cycle, each arm holding its tool through the "
        "scene's coupling, whose force adds to the arm's effects' and law's. None: none.\n\n"
        "May be set from any thread, also while the loop runs: the loop steps the new scene from "
        "its next cycle, and setting returns once it has let go of the one before (at most a "
        "cycle), which another servo may then step. TypeError for anything but a MujocoScene "
        "or None; ValueError for a scene whose tools are not one per arm, or a model timestep "
        "that does not divide the period (start() checks it again); RuntimeError for a scene "
        "another servo holds. Warns (RuntimeWarning) "
        "when the coupling is stiffer than stable_stiffness() unless passivity is on. A scene "
        "that goes bad or whose steps overrun the period for longer than the stall time stops "
        "the loop (stop_reason 'scene failed', 'scene too slow').\n\n"
        "With rate_hz=None the rate measured at the start is lowered to the nearest whose period "
        "the model's timestep divides (a timestep of 0.3 ms: 833.3 Hz); a scene set while such "
        "a loop runs takes the whole steps nearest its period.");
    cls.def_property(
        "force_law", [](const BoundServo& s) { return s.law_object(); },
        [](BoundServo& s, py::object law) {
            if (law.is_none()) return s.set_law(nullptr, py::none());
            const py::object address = py::module_::import("zelkor.laws").attr("address_of")(law);
            s.set_law(reinterpret_cast<ZelkorForceLaw>(address.cast<std::uintptr_t>()), law);
        },
        "A force law of the program's own, run in the loop's thread every cycle without the "
        "interpreter: its force adds to the effects', and the sum is scaled down to "
        "max_force. None: none.\n\n"
        "Takes a Numba cfunc (zh.force_law makes one from a Python function), or a cffi or "
        "ctypes function pointer of the signature void(const ZelkorServoInput*, const "
        "double*, double*) (see ZelkorHardwareAPI/force_law.h); TypeError, saying what is "
        "accepted, for anything else. May be set while the loop runs: the new law is called "
        "from the next cycle, and the object is kept alive as long as the loop may call it. A "
        "ctypes function made from a Python function takes the interpreter lock every time it "
        "is called. A law whose force is not finite sends zero that cycle and stops the loop "
        "(stop_reason 'force law failed'). Reads as the object set, or None.");
    cls.def(
        "set_force_law",
        [](BoundServo& s, py::object law, std::optional<std::string> signature) {
            if (!py::isinstance<py::int_>(law) || py::isinstance<py::bool_>(law)) {
                if (signature) {
                    throw py::type_error(
                        "set_force_law(): a signature goes with an integer address only");
                }
                py::setattr(py::cast(&s, py::return_value_policy::reference), "force_law", law);
                return;
            }
            if (signature != std::string(ZELKOR_FORCE_LAW_SIGNATURE)) {
                throw py::type_error(std::string("set_force_law(): an integer address needs "
                                                 "signature='") +
                                     ZELKOR_FORCE_LAW_SIGNATURE +
                                     "', saying the function has the force law's signature");
            }
            const py::int_ highest(std::numeric_limits<std::uintptr_t>::max());
            if (law < py::int_(0) || law > highest) {
                throw py::value_error("set_force_law(): an address is from 1 to " +
                                      std::to_string(std::numeric_limits<std::uintptr_t>::max()) +
                                      "; got " + py::repr(law).cast<std::string>());
            }
            const auto address = law.cast<std::uintptr_t>();
            if (address == 0) throw py::value_error("set_force_law(): the address is 0");
            s.set_law(reinterpret_cast<ZelkorForceLaw>(address), law);
        },
        py::arg("law"), py::kw_only(), py::arg("signature") = py::none(),
        "Set the force law (see force_law), also from a bare integer address together with "
        "signature='zelkor_force_law_v1', which says the function at that address has the "
        "force law's signature: nothing can check it, and whatever holds the code must outlive "
        "the law's use.\n\n"
        "TypeError for an integer without that signature, or a signature with anything but an "
        "integer; ValueError for the address 0 or one out of range.");
    cls.def_property(
        "params",
        [](const BoundServo& s) {
            py::typing::Tuple<float, py::ellipsis> out(s.params().size());
            const std::vector<double> values = s.params();
            for (std::size_t i = 0; i < values.size(); ++i) out[i] = py::float_(values[i]);
            return out;
        },
        [](BoundServo& s, const ParamValues& values) { s.set_params_from(values, 0.0); },
        "The force law's parameters: up to 64 floats, read by the law as params[0] onwards "
        "(those not set are 0). Assigning swaps them whole into the loop at its next cycle, "
        "from any thread, at any rate, without a lock the loop waits for.\n\n"
        "Takes any sequence of numbers, numpy arrays included; ValueError for more than 64 or "
        "a value that is not finite, TypeError for something that is not numbers. Reads as a "
        "tuple of the values last set (a ramp may still be under way: see set_params).");
    cls.def(
        "set_params",
        [](BoundServo& s, const ParamValues& values, double ramp, std::optional<double> ttl) {
            if (ttl && !(*ttl > 0.0 && *ttl <= 3600.0)) {
                throw py::value_error(
                    "set_params(): ttl must be more than 0 and at most 3600 "
                    "seconds, or None");
            }
            s.set_params_from(values, ramp, ttl ? *ttl : 0.0);
        },
        py::arg("values"), py::arg("ramp") = 0.0, py::arg("ttl") = py::none(),
        "Set the force law's parameters (see params), reached linearly over ramp seconds "
        "from the values in force: a target updated at 60 to 500 Hz from Python renders "
        "smoothly at the loop's rate when ramp is about its update period. With ttl, unless "
        "they are set again within ttl seconds the loop fades the force of arm 0 (which the "
        "law drives) to zero within 50 ms (see set_effects).\n\n"
        "ValueError for more than 64 values, a value that is not finite, a ramp outside 0 to "
        "3600 seconds or a ttl outside (0, 3600].");
    cls.def("record", &BoundServo::record_checked, py::arg("seconds"),
            "Keep every cycle of the next runs: the latest `seconds` worth at the rate, in a "
            "ring made now (0 keeps none). Each start() begins the recording afresh; "
            "recording() reads it.\n\n"
            "Writing a row allocates nothing and takes no lock in the loop. RuntimeError while "
            "the loop runs; ValueError for seconds outside 0 to 86400.");
    cls.def("record_to", &BoundServo::record_to_checked, py::arg("path"),
            "Stream every cycle of the next runs to the .npz file at path (str or os.PathLike), "
            "emptied by each start(); None streams nothing. A thread of the servo's own writes "
            "the rows from the recording's ring (which then holds at least 2 s), so the loop "
            "does no more than for a recording in memory; the file is whole once the loop has "
            "ended, and Recording.load reads it. A warning (logging) says when the writing "
            "stopped early or rows were lost.\n\n"
            "RuntimeError while the loop runs; OSError naming the path for a file that cannot "
            "be written (a missing folder, a folder, a device or a pipe, no permission).");
    cls.def("recording", &BoundServo::recording_object,
            "The cycles recorded so far (see record()), as a Recording of numpy arrays: time and "
            "cycle, position, velocity and the force sent, the effects' and the law's parts, "
            "the exchange time and the flags late, failed, missed and stale_dropped.\n\n"
            "Copied out while the loop runs, without stopping or slowing it; "
            "Recording.overwritten says how many rows the ring no longer held; an empty "
            "Recording before the first cycle. RuntimeError for a servo that records nothing "
            "(made without record=seconds).");
    cls.def(
        "set_effects",
        [](BoundServo& s, const py::iterable& items, std::optional<double> ttl, std::size_t arm) {
            std::vector<Effect> effects;
            for (py::handle item : items) effects.push_back(effect_of(item));
            if (ttl && !(*ttl > 0.0 && *ttl <= 3600.0)) {
                throw py::value_error(
                    "set_effects(): ttl must be more than 0 and at most 3600 "
                    "seconds, or None");
            }
            if (arm >= s.arm_count()) {
                throw py::value_error("set_effects(): this Servo drives arms 0 to " +
                                      std::to_string(s.arm_count() - 1));
            }
            s.warn_if_too_stiff(effects);
            s.set_effects(std::move(effects), arm, ttl ? *ttl : 0.0);
        },
        py::arg("effects"), py::arg("ttl") = py::none(), py::arg("arm") = 0,
        "Replace the effects of arm `arm` (0: the first) as a whole, as assigning effects "
        "does, with a time to live: unless that arm's effects are set again within ttl seconds, "
        "the loop fades that arm's force to zero within 50 ms (stats().expired counts it) and "
        "ramps it in again once they are. Each arm's time to live is its own: setting another "
        "arm's effects, the couplings or the law leaves it be. An effect that stays in the same "
        "place of the list keeps its state (a Friction's proxy), so refreshing the same list "
        "never makes a friction slip.\n\n"
        "For a program that refreshes a target from Python: a stall of its thread (a garbage "
        "collection, a held interpreter lock, an exception) then leaves the arm limp instead of "
        "pushing on. ttl None: no limit. ValueError for a ttl or an arm out of range.");
    cls.def_property(
        "couplings",
        [](const BoundServo& s) {
            const std::vector<Coupling> couplings = s.couplings();
            py::typing::Tuple<Coupling, py::ellipsis> out(couplings.size());
            for (std::size_t i = 0; i < couplings.size(); ++i) out[i] = py::cast(couplings[i]);
            return out;
        },
        [](BoundServo& s, const py::iterable& items) {
            std::vector<Coupling> couplings;
            for (py::handle item : items) {
                if (!py::isinstance<Coupling>(item)) {
                    throw py::type_error(std::string("Servo.couplings takes Coupling objects, "
                                                     "not ") +
                                         Py_TYPE(item.ptr())->tp_name);
                }
                couplings.push_back(item.cast<Coupling>());
            }
            s.set_couplings(std::move(couplings));
        },
        "Virtual spring-dampers between the servo's arms (teleoperation): each Coupling pulls "
        "its two arms' end-effectors towards each other. Assigning replaces them all, from "
        "any thread.\n\n"
        "Reads as a tuple of copies. TypeError for anything but Coupling objects, ValueError "
        "for a coupling of an arm the servo does not drive. With passivity=True each arm's "
        "force, couplings included, is kept passive.");
    cls.def(
        "stable_stiffness",
        [](const BoundServo& s, double b) {
            if (!(b > 0.0 && std::isfinite(b))) {
                throw py::value_error("stable_stiffness(): b must be more than 0 N s/m");
            }
            return s.stable_stiffness(b);
        },
        py::arg("b") = 1.0,
        "The stiffest wall, in N/m, this servo renders without a limit cycle on a device of "
        "physical damping b (N s/m): 2 b / (T + 2 t_d), with T the period and t_d the "
        "measured median exchange time (0 before any exchange).\n\n"
        "A wall of stiffness K and damping B sampled with period T is passive only while "
        "b > K T / 2 + abs(B); latency uses damping up too. An effect stiffer than the bound at "
        "b = 1 (a Wall, Spring, Sphere, Box, Guide, Detents or Friction) warns once "
        "(RuntimeWarning) unless passivity is on.");
    cls.def(
        "state", [](const BoundServo& s, std::size_t arm) { return s.state(arm); },
        py::arg("arm") = 0,
        "The loop's latest view of the arm (a ServoState; of arm `arm` of several).\n\n"
        "From any thread, running or not. Before the loop's first reply (and for an arm the "
        "servo does not drive) every field is zero: check state().cycle, which is 0 until a "
        "reply came and counts cycles from 1 after.");
    cls.def(
        "exchange_time_histogram",
        [](const BoundServo& s) {
            py::typing::List<py::typing::Tuple<float, float, int>> out;
            for (const auto& b : s.exchange_time_histogram()) {
                out.append(py::make_tuple(b.from_us, b.to_us, b.count));
            }
            return out;
        },
        "The exchange times since start() as a histogram: a list of (from µs, to µs, "
        "exchanges) for every bucket that holds any, shortest first. Buckets are 1 µs wide "
        "up to 32 µs, and 1/32 of a power of two above.\n\n"
        "Each bucket is a tuple (from_us, to_us, count): two floats in microseconds and an "
        "int. An empty list before any exchange.");
    cls.def(
        "stats",
        [](BoundServo& s) {
            ServoStats stats = s.stats();
            if (stats.failure[0] != '\0') {
                GilReleased unlocked;  // failure_text takes the lock itself when it runs Python
                std::snprintf(stats.failure, sizeof stats.failure, "%s", s.failure_text().c_str());
            }
            return stats;
        },
        "How the loop keeps up so far (a ServoStats).\n\n"
        "From any thread, running or not; after the loop ended, its final figures.");
    cls.def(
        "__enter__",
        [](py::object self) {
            self.cast<BoundServo&>().start_bound();
            return self;
        },
        "Start the loop (see start) and return the servo itself.");
    cls.def(
        "__exit__", [](BoundServo& self, const py::args&) { self.stop_bound(); },
        "Stop the loop (see stop); exceptions of the block go on unchanged.");
    cls.def("__repr__", [](const BoundServo& s) {
        return "<ZelkorHardwareAPI.Servo " + text(s.settings().rate_hz) + " Hz, " +
               (s.running() ? "running>" : "stopped>");
    });
}

void register_line(py::module_& m) {
    py::class_<LineMeasurement>(m, "LineMeasurement", py::is_final(),
                                "What the line to an Arbelon allows, as measure_line found it.\n\n"
                                "Made by measure_line(); it has no constructor. Times in "
                                "microseconds, rates in cycles per second.")
        .def_readonly("exchange_p50_us", &LineMeasurement::exchange_p50_us,
                      "Median time from a request to its whole reply, strict exchanges back "
                      "to back, µs.\n\nA float; 0 when no exchange succeeded.")
        .def_readonly("exchange_p99_us", &LineMeasurement::exchange_p99_us,
                      "99th percentile of the same, µs.\n\nA float.")
        .def_readonly("strict_hz", &LineMeasurement::strict_hz,
                      "The highest rate a strict loop holds: 93 % of one over the mean exchange "
                      "time, the rest left to the host's own jitter.\n\nA float, Hz; 0 when no "
                      "exchange succeeded.")
        .def_readonly("pipelined_p50_us", &LineMeasurement::pipelined_p50_us,
                      "With one request in flight: the median time from one whole reply to "
                      "the next, µs.\n\nA float.")
        .def_readonly("pipelined_p99_us", &LineMeasurement::pipelined_p99_us,
                      "99th percentile of the same, µs.\n\nA float.")
        .def_readonly("pipelined_hz", &LineMeasurement::pipelined_hz,
                      "The highest rate a pipelined loop (Servo(..., pipeline=True)) holds: 93 "
                      "% of one over the mean time from one whole reply to the next (a "
                      "packetised line delivers in bursts: the mean says what it carries)."
                      "\n\nA float, Hz; 0 when no exchange succeeded.")
        .def_readonly("exchanges", &LineMeasurement::exchanges, "Exchanges made.\n\nAn int.")
        .def_readonly("failed", &LineMeasurement::failed,
                      "Exchanges without a whole reply within the time-out.\n\nAn int.")
        .def("__repr__", [](const LineMeasurement& l) {
            return "LineMeasurement(exchange_p50_us=" + text(l.exchange_p50_us) +
                   ", exchange_p99_us=" + text(l.exchange_p99_us) +
                   ", strict_hz=" + text(l.strict_hz) +
                   ", pipelined_p50_us=" + text(l.pipelined_p50_us) +
                   ", pipelined_p99_us=" + text(l.pipelined_p99_us) +
                   ", pipelined_hz=" + text(l.pipelined_hz) +
                   ", exchanges=" + std::to_string(l.exchanges) +
                   ", failed=" + std::to_string(l.failed) + ")";
        });

    m.def(
        "measure_line",
        [](Devices::Arbelon& arm, double seconds, double reply_timeout) {
            if (!(seconds > 0.0 && seconds <= 60.0)) {
                throw py::value_error("measure_line(): seconds must be more than 0 and at most 60");
            }
            if (!(reply_timeout > 0.0 && reply_timeout <= 10.0)) {
                throw py::value_error(
                    "measure_line(): reply_timeout must be more than 0 and at most 10");
            }
            PyStream& stream = stream_of(arm);
            if (!stream.is_open()) raise_not_open(stream);
            const StreamHold hold(stream);
            LineMeasurement measured;
            {
                // It blocks for `seconds`: the interpreter lock is let go whatever the stream.
                GilReleased unlocked;
                measured = measure_line(arm, seconds, reply_timeout);
            }
            if (PyErr_Occurred()) throw py::error_already_set();
            return measured;
        },
        py::arg("arm"), py::arg("seconds") = 1.0, py::arg("reply_timeout") = 0.025,
        "Measure the line to arm, an Arbelon: about `seconds` of zero-force exchanges, half of "
        "them strict (request, reply, request) and half with one request in flight. Returns a "
        "LineMeasurement: the exchange time p50/p99 and the highest rate each way holds.\n\n"
        "Each reply is given reply_timeout seconds. The interpreter lock is let go meanwhile. "
        "OSError when the arm's port is not open; RuntimeError while a Servo drives the arm's "
        "stream; ValueError for seconds outside (0, 60] or reply_timeout outside (0, 10].");
}

}  // namespace

void register_servo(py::module_& m) {
    m.def(
        "_force_law_failed",
        [](const std::string& text) { return zelkor_force_law_failed(text.c_str()) == 1; },
        py::arg("text"),
        "zelkor_force_law_failed(text) from a law that calls Python: True when the calling "
        "thread is in a servo's call of its force law (that call then fails with `text`).");
    register_effects(m);
    register_records(m);
    register_servo_class(m);
    register_line(m);
    m.def(
        "force_law",
        [](py::object function) {
            return py::module_::import("zelkor.laws").attr("force_law")(function);
        },
        py::arg("function"),
        "Compile function(t, position, velocity, previous_force, params, force) with Numba, in "
        "nopython mode, into a force law for Servo.force_law (a decorator).\n\n"
        "t is the servo's time in seconds; position, velocity and previous_force are arrays "
        "of three float64 (m, m/s, N), params the 64 parameters (see Servo.params), and force "
        "an array of three zeros that the function fills in newtons. The law runs in the "
        "servo's thread every cycle without the interpreter: it may compute, not allocate, "
        "print or call Python. ImportError when Numba is missing (pip install "
        "ZelkorHardwareAPI[jit]); Numba's own error when the function does not compile.");
}

void stop_background_threads() noexcept {
    BoundServo::stop_all();
    Reception::stop_all();
    stop_notices();  // after the servos: it delivers what they told before they stopped
}

void after_fork_in_child() noexcept {
    Reception::after_fork_in_child();
}

}  // namespace Zelkor::HardwareAPI::Python
