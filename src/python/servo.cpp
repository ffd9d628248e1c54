// Python classes Wall, Spring, Damper, ConstantForce, ServoState, ServoStats and Servo: the
// servo loop of the Arbelon and the effects that make its force.
#include <ZelkorHardwareAPI/control/line.h>
#include <ZelkorHardwareAPI/control/servo.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "python/bindings.h"
#include "python/convert.h"
#include "python/lifecycle.h"
#include "python/port_call.h"
#include "python/reception.h"

namespace py = pybind11;

namespace Zelkor::HardwareAPI::Python {
/// Three numbers given from Python (any sequence of numbers but str and bytes-like), as
/// doubles; `length` counts them all, so a wrong length can be reported.
struct Triple {
    Control::Vec3 values{};
    std::size_t length = 0;
};
}  // namespace Zelkor::HardwareAPI::Python

namespace pybind11::detail {
template <>
struct type_caster<Zelkor::HardwareAPI::Python::Triple> {
    PYBIND11_TYPE_CASTER(Zelkor::HardwareAPI::Python::Triple, const_name("Sequence[float]"));

    bool load(handle src, bool) {
        value = {};
        return Zelkor::HardwareAPI::Python::detail::load_floats(src,
                                                                [this](std::size_t i, double d) {
                                                                    if (i < 3) value.values[i] = d;
                                                                    value.length = i + 1;
                                                                });
    }
};
}  // namespace pybind11::detail

namespace Zelkor::HardwareAPI::Python {

using namespace Control;

namespace {

const Vec3& three(const Triple& triple, const char* what) {
    if (triple.length != 3) {
        throw py::value_error(std::string(what) + " needs three values, got " +
                              std::to_string(triple.length));
    }
    return triple.values;
}

using FloatTriple = py::typing::Tuple<float, float, float>;
FloatTriple tuple_of(const Vec3& v) {
    return py::make_tuple(v[0], v[1], v[2]);
}
FloatTriple tuple_of(const Vector3& v) {
    return py::make_tuple(v[0], v[1], v[2]);
}

std::string text(const Vec3& v) {
    return "(" + py::repr(py::float_(v[0])).cast<std::string>() + ", " +
           py::repr(py::float_(v[1])).cast<std::string>() + ", " +
           py::repr(py::float_(v[2])).cast<std::string>() + ")";
}
std::string text(double v) {
    return py::repr(py::float_(v)).cast<std::string>();
}

}  // namespace

class BoundServo;

namespace {
Registry<BoundServo>& servos() {
    static auto* registry = new Registry<BoundServo>;  // never destroyed: servos may outlive it
    return *registry;
}
}  // namespace

// A Servo made from Python. It takes the stream as a call would (waiting for another thread's
// call to end) and hands that hold over to the loop, which drives the stream until it ends.
// Start and stop let go of the interpreter lock while they wait; so does the destructor.
class BoundServo : public Servo {
  public:
    BoundServo(Devices::Arbelon& arm, const ServoSettings& settings)
        : Servo(arm, settings), stream_(stream_of(arm)) {
        servos().add(this);
    }
    ~BoundServo() {
        if (running()) {
            GilReleased unlocked;
            stop();
        }
        servos().remove(this);
    }

    void start_bound() {
        if (running()) throw std::runtime_error("this Servo is already running");
        if (!stream_.is_open()) raise_not_open(stream_);
        if (stream_.receptions.load() > 0) {
            throw std::runtime_error(
                "a handle receives on this stream in the background; a Servo needs the "
                "stream to itself");
        }
        if (stream_.use().driven()) {
            throw std::runtime_error("another Servo already drives an arm on this stream");
        }
        // Waits for a call of another thread that is halfway through an exchange.
        StreamHold hold(stream_);
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
            } catch (const std::logic_error& e) {
                throw std::runtime_error(e.what());
            }
        }
        hold.handed_over();
    }

    void stop_bound() {
        GilReleased unlocked;
        stop();
    }

    static void stop_all() noexcept {
        GilReleased unlocked;
        begin_exit();
        std::lock_guard<std::mutex> held(servos().mutex);
        for (BoundServo* servo : servos().items) servo->stop();
    }

  private:
    PyStream& stream_;
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

Effect effect_of(py::handle item) {
    if (py::isinstance<Wall>(item)) return item.cast<Wall>();
    if (py::isinstance<Spring>(item)) return item.cast<Spring>();
    if (py::isinstance<Damper>(item)) return item.cast<Damper>();
    if (py::isinstance<ConstantForce>(item)) return item.cast<ConstantForce>();
    throw py::type_error(std::string("Servo.effects takes Wall, Spring, Damper and "
                                     "ConstantForce objects, not ") +
                         Py_TYPE(item.ptr())->tp_name);
}

py::object object_of(const Effect& effect) {
    return std::visit([](const auto& e) { return py::cast(e); }, effect);
}

void register_effects(py::module_& m) {
    // The effects are final: the loop copies an effect's parameters into C++, so a subclass's
    // methods would never run; refusing the subclass says so at once.
    py::class_<Wall>(m, "Wall", py::is_final(),
                     "A half-space the end-effector cannot easily enter: while it is inside "
                     "(dot(normal, position) < offset) the wall pushes it out along normal "
                     "with stiffness * depth - damping * (normal . velocity) newtons, never "
                     "pulling. Positions in metres.")
        .def(py::init([](const Triple& normal, double offset, double stiffness, double damping) {
                 return Wall(three(normal, "Wall(): normal"), offset, stiffness, damping);
             }),
             py::arg("normal"), py::arg("offset"), py::arg("stiffness"), py::arg("damping") = 0.0,
             "normal: three numbers, not all zero, pointing out of the wall (normalised); "
             "offset: where the surface is, dot(normal, position) == offset, in metres; "
             "stiffness in N/m and damping in N s/m, neither negative. ValueError for a normal "
             "that is not three numbers or is zero, a value that is not finite, or a negative "
             "gain; TypeError for something that is not a number or a sequence of numbers.")
        .def_property(
            "normal", [](const Wall& w) { return tuple_of(w.normal); },
            [](Wall& w, const Triple& n) {
                w = Wall(three(n, "Wall.normal"), w.offset, w.stiffness, w.damping);
            },
            "Unit vector pointing out of the wall (set any non-zero vector: it is normalised).\n\n"
            "A tuple of three floats; set it with any sequence of three numbers. ValueError for "
            "a zero or non-finite vector or the wrong length, leaving the wall as it was.")
        .def_property(
            "offset", [](const Wall& w) { return w.offset; },
            [](Wall& w, double v) { w = Wall(w.normal, v, w.stiffness, w.damping); },
            "Where the surface is: dot(normal, position) == offset, in metres.\n\n"
            "A float; ValueError when set to a value that is not finite.")
        .def_property(
            "stiffness", [](const Wall& w) { return w.stiffness; },
            [](Wall& w, double v) { w = Wall(w.normal, w.offset, v, w.damping); },
            "N/m, not negative.\n\n"
            "The wall's stiffness, a float: newtons per metre of depth. ValueError when set "
            "negative or not finite.")
        .def_property(
            "damping", [](const Wall& w) { return w.damping; },
            [](Wall& w, double v) { w = Wall(w.normal, w.offset, w.stiffness, v); },
            "N s/m, not negative; acts only inside the wall.\n\n"
            "The wall's damping, a float: newtons per metre per second along the normal. "
            "ValueError when set negative or not finite.")
        .def("__repr__", [](const Wall& w) {
            return "Wall(normal=" + text(w.normal) + ", offset=" + text(w.offset) +
                   ", stiffness=" + text(w.stiffness) + ", damping=" + text(w.damping) + ")";
        });

    py::class_<Spring>(m, "Spring", py::is_final(),
                       "A spring to anchor: -stiffness * (position - anchor) - damping * "
                       "velocity newtons.")
        .def(py::init([](const Triple& anchor, double stiffness, double damping) {
                 return Spring(three(anchor, "Spring(): anchor"), stiffness, damping);
             }),
             py::arg("anchor"), py::arg("stiffness"), py::arg("damping") = 0.0,
             "anchor: three numbers, in metres; stiffness in N/m and damping in N s/m, neither "
             "negative. ValueError for an anchor that is not three numbers, a value that is not "
             "finite, or a negative gain; TypeError for something that is not a number or a "
             "sequence of numbers.")
        .def_property(
            "anchor", [](const Spring& s) { return tuple_of(s.anchor); },
            [](Spring& s, const Triple& a) {
                s = Spring(three(a, "Spring.anchor"), s.stiffness, s.damping);
            },
            "Where the spring pulls to, in metres.\n\n"
            "A tuple of three floats; set it with any sequence of three finite numbers "
            "(ValueError otherwise, leaving the spring as it was).")
        .def_property(
            "stiffness", [](const Spring& s) { return s.stiffness; },
            [](Spring& s, double v) { s = Spring(s.anchor, v, s.damping); },
            "N/m, not negative.\n\n"
            "The spring's stiffness, a float: newtons per metre from the anchor. ValueError "
            "when set negative or not finite.")
        .def_property(
            "damping", [](const Spring& s) { return s.damping; },
            [](Spring& s, double v) { s = Spring(s.anchor, s.stiffness, v); },
            "N s/m, not negative.\n\n"
            "The spring's damping, a float: newtons per metre per second. ValueError when set "
            "negative or not finite.")
        .def("__repr__", [](const Spring& s) {
            return "Spring(anchor=" + text(s.anchor) + ", stiffness=" + text(s.stiffness) +
                   ", damping=" + text(s.damping) + ")";
        });

    py::class_<Damper>(m, "Damper", py::is_final(), "Viscous damping: -damping * velocity newtons.")
        .def(py::init<double>(), py::arg("damping"),
             "damping in N s/m; ValueError when it is negative or not finite.")
        .def_property(
            "damping", [](const Damper& d) { return d.damping; },
            [](Damper& d, double v) { d = Damper(v); },
            "N s/m, not negative.\n\n"
            "A float: newtons per metre per second against the velocity. ValueError when set "
            "negative or not finite.")
        .def("__repr__", [](const Damper& d) { return "Damper(damping=" + text(d.damping) + ")"; });

    py::class_<ConstantForce>(m, "ConstantForce", py::is_final(),
                              "The same force every cycle, in newtons.")
        .def(py::init([](const Triple& force) {
                 return ConstantForce(three(force, "ConstantForce(): force"));
             }),
             py::arg("force"),
             "force: three numbers, x, y, z in newtons. ValueError when it is not three numbers "
             "or a value is not finite; TypeError for something that is not a sequence of "
             "numbers.")
        .def_property(
            "force", [](const ConstantForce& c) { return tuple_of(c.force); },
            [](ConstantForce& c, const Triple& f) {
                c = ConstantForce(three(f, "ConstantForce.force"));
            },
            "x, y, z in newtons.\n\n"
            "A tuple of three floats; set it with any sequence of three finite numbers "
            "(ValueError otherwise, leaving the force as it was).")
        .def("__repr__",
             [](const ConstantForce& c) { return "ConstantForce(force=" + text(c.force) + ")"; });
}

void register_records(py::module_& m) {
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
            "'port closed' or 'forked'.\n\n"
            "'stopped': stop(), leaving a with block, the Servo's end or the interpreter's "
            "exit; 'device not answering': max_failures exchanges in a row got no whole reply; "
            "'port closed': the port hung up or was closed; 'forked': this process is the "
            "child of a fork made while the loop ran in the parent (the loop runs on there, "
            "not here).")
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
                   ", p50_us=" + text(s.p50_us) + ", p99_us=" + text(s.p99_us) +
                   ", p999_us=" + text(s.p999_us) + ", max_us=" + text(s.max_us) +
                   ", stop_reason=" + (reason ? "'" + std::string(reason) + "'" : "None") +
                   ", left_limp=" + (s.left_limp ? "True" : "False") + ")";
        });
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

    cls.def(py::init([](Devices::Arbelon& arm, std::optional<double> rate_hz, double max_force,
                        bool realtime, std::optional<std::uint32_t> max_failures,
                        std::optional<int> cpu, double reply_timeout, std::uint32_t hold_cycles,
                        double give_up_after, bool pipeline) {
                ServoSettings settings;
                if (rate_hz && *rate_hz == 0.0) {
                    throw py::value_error("rate_hz must be from 1 to 20000 Hz, or None");
                }
                settings.rate_hz = rate_hz ? *rate_hz : 0.0;
                settings.reply_timeout = reply_timeout;
                settings.hold_cycles = hold_cycles;
                settings.give_up_after = give_up_after;
                settings.pipeline = pipeline;
                settings.max_force = max_force;
                settings.realtime = realtime;
                if (max_failures) {
                    if (*max_failures == 0)
                        throw py::value_error("max_failures must be at least 1");
                    settings.max_failures = *max_failures;
                }
                if (cpu) {
                    if (*cpu < 0) throw py::value_error("cpu must not be negative");
                    settings.cpu = *cpu;
                }
                return std::make_unique<BoundServo>(arm, settings);
            }),
            py::arg("arm"), py::arg("rate_hz") = 1000.0, py::kw_only(),
            py::arg("max_force") = ServoSettings{}.max_force, py::arg("realtime") = false,
            py::arg("max_failures") = py::none(), py::arg("cpu") = py::none(),
            py::arg("reply_timeout") = ServoSettings{}.reply_timeout,
            py::arg("hold_cycles") = ServoSettings{}.hold_cycles,
            py::arg("give_up_after") = ServoSettings{}.give_up_after, py::arg("pipeline") = false,
            // The servo drives the arm: it keeps it (and so its stream) alive.
            py::keep_alive<1, 2>(),
            "A loop for arm, an Arbelon, which the servo keeps alive; it does not start yet. "
            "rate_hz: cycles per second, 1 to 20000; None measures the line when the loop "
            "starts and picks the highest rate it holds, at most 1000 (see measure_line). "
            "max_force: the longest force sent, in newtons, more than 0 and at most 1e6. "
            "realtime: ask for real-time priority (never fails because of it: see the realtime "
            "property). max_failures: failed exchanges in a row after which the loop stops, at "
            "least 1; None leaves it to give_up_after. cpu: the CPU (counted from 0) to bind "
            "the loop's thread to; None leaves it to the system (a system that refuses the "
            "binding leaves the thread unbound). reply_timeout: seconds a reply may take from "
            "its request, apart from the period (the default covers a USB adapter left at its "
            "16 ms latency timer). hold_cycles: cycles after a failed exchange that resend the "
            "last force before zero is sent. give_up_after: seconds without a whole reply "
            "after which the loop stops ('device not answering'). pipeline: keep one request "
            "in flight (written before the previous reply is read), for lines whose wire time "
            "dominates; the force then answers a state one cycle older. ValueError for a value "
            "out of range.");

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
        "for rate_hz=None, the rate picked by measuring the line when the loop started (0.0 "
        "until then).");
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
            py::typing::Tuple<py::typing::Union<Wall, Spring, Damper, ConstantForce>, py::ellipsis>
                out(effects.size());
            for (std::size_t i = 0; i < effects.size(); ++i) out[i] = object_of(effects[i]);
            return out;
        },
        [](BoundServo& s, const py::iterable& items) {
            std::vector<Effect> effects;
            for (py::handle item : items) effects.push_back(effect_of(item));
            s.set_effects(std::move(effects));
        },
        "The effects whose forces the loop sums. Assigning a list replaces them all at once, "
        "from any thread; the loop takes copies, so change an effect and assign again to "
        "apply it.\n\n"
        "Reads as a new tuple of copies of the effects. Takes any iterable of Wall, Spring, "
        "Damper and ConstantForce objects; TypeError for anything else, leaving the effects "
        "as they were.");
    cls.def(
        "state", [](const BoundServo& s) { return s.state(); },
        "The loop's latest view of the arm (a ServoState).\n\n"
        "From any thread, running or not; all zeros before the first reply.");
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
        "stats", [](const BoundServo& s) { return s.stats(); },
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
                      "The highest rate a strict loop holds: 99 % of its exchanges fit in the "
                      "period.\n\nA float, Hz; 0 when no exchange succeeded.")
        .def_readonly("pipelined_p50_us", &LineMeasurement::pipelined_p50_us,
                      "With one request in flight: the median time from one whole reply to "
                      "the next, µs.\n\nA float.")
        .def_readonly("pipelined_p99_us", &LineMeasurement::pipelined_p99_us,
                      "99th percentile of the same, µs.\n\nA float.")
        .def_readonly("pipelined_hz", &LineMeasurement::pipelined_hz,
                      "The highest rate a pipelined loop (Servo(..., pipeline=True)) holds."
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
    register_effects(m);
    register_records(m);
    register_servo_class(m);
    register_line(m);
}

void stop_background_threads() noexcept {
    BoundServo::stop_all();
    Reception::stop_all();
}

void after_fork_in_child() noexcept {
    Reception::after_fork_in_child();
}

}  // namespace Zelkor::HardwareAPI::Python
