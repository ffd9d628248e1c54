// Python classes ServoState, ServoStats, Servo and LineMeasurement, the servo loop of the Arbelon
// and what its line allows, and the effects that make its force: Wall, Spring, Damper,
// ConstantForce, Sphere, Box, ViscousRegion, Guide, Vibration, Detents and Friction.
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
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "python/bindings.h"
#include "python/convert.h"
#include "python/lifecycle.h"
#include "python/notify.h"
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
/// A force law's parameters given from Python: the first 64 values, and how many there were.
struct ParamValues {
    std::array<double, ZELKOR_FORCE_LAW_PARAMS> values{};
    std::size_t count = 0;
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

namespace pybind11::detail {
template <>
struct type_caster<Zelkor::HardwareAPI::Python::ParamValues> {
    PYBIND11_TYPE_CASTER(Zelkor::HardwareAPI::Python::ParamValues, const_name("Sequence[float]"));

    bool load(handle src, bool) {
        value = {};
        return Zelkor::HardwareAPI::Python::detail::load_floats(src,
                                                                [this](std::size_t i, double d) {
                                                                    if (i < value.values.size())
                                                                        value.values[i] = d;
                                                                    value.count = i + 1;
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
    /// `arms` and the Python objects that hold them, which the servo keeps alive.
    BoundServo(const std::vector<Devices::Arbelon*>& arms, std::vector<py::object> objects,
               const ServoSettings& settings)
        : Servo(arms, settings), objects_(std::move(objects)) {
        for (Devices::Arbelon* arm : arms) {
            streams_.push_back(&stream_of(*arm));
            ports_ += (ports_.empty() ? "" : ", ") + streams_.back()->port_name();
        }
        // On the loop's thread: handed to the thread that logs, without the interpreter lock.
        set_notify([this](const ServoNotice& n) {
            Notice notice;
            if (n.kind == ServoNotice::Kind::stalled) {
                std::snprintf(notice.text, sizeof notice.text,
                              "the servo on %s stalled: a cycle ended %.0f ms after its deadline",
                              ports_.c_str(), n.late * 1e3);
            } else {
                std::snprintf(notice.text, sizeof notice.text,
                              "the servo on %s stopped by itself: %s", ports_.c_str(),
                              to_text(n.reason));
                std::snprintf(notice.argument, sizeof notice.argument, "%s", to_text(n.reason));
                notice.callback = on_stop_ticket_.exchange(nullptr);
            }
            post_notice(notice);
        });
        servos().add(this);
    }
    ~BoundServo() {
        if (running()) {
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
        start_notices();
        for (PyStream* stream : streams_) {
            if (!stream->is_open()) raise_not_open(*stream);
            if (stream->receptions.load() > 0) {
                throw std::runtime_error(
                    "a handle receives on this stream in the background; a Servo needs the "
                    "stream to itself");
            }
            if (stream->use().driven()) {
                throw std::runtime_error("another Servo already drives an arm on this stream");
            }
        }
        // Waits for a call of another thread that is halfway through an exchange.
        std::vector<std::unique_ptr<StreamHold>> holds;
        for (PyStream* stream : streams_) holds.push_back(std::make_unique<StreamHold>(*stream));
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

    /// The warning, once, for a Wall, Sphere or Box stiffer than the servo renders stably (on a
    /// device of 1 N s/m), unless the passivity controller is on.
    void warn_if_too_stiff(const std::vector<Effect>& effects) {
        if (warned_ || settings().passivity) return;
        const double bound = stable_stiffness(1.0);
        for (const Effect& e : effects) {
            double k = 0.0;
            const char* name = nullptr;
            if (const auto* w = std::get_if<Wall>(&e)) k = w->stiffness, name = "Wall";
            if (const auto* s = std::get_if<Sphere>(&e)) k = s->stiffness, name = "Sphere";
            if (const auto* b = std::get_if<Box>(&e)) k = b->stiffness, name = "Box";
            if (name == nullptr || !(k > bound)) continue;
            warned_ = true;
            const std::string text =
                std::string("a ") + name + " of " + py::repr(py::float_(k)).cast<std::string>() +
                " N/m is stiffer than the " + std::to_string(static_cast<long>(bound)) +
                " N/m this servo renders stably on a device with 1 N s/m of damping "
                "(Servo.stable_stiffness): it may buzz; lower it, or make the servo with "
                "passivity=True";
            if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) != 0) {
                throw py::error_already_set();
            }
            return;
        }
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
        record(seconds);
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
        return py::module_::import("zelkor.recording")
            .attr("Recording")
            .attr("from_servo_rows")(sliced, overwritten);
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
        }
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
    if (py::isinstance<Sphere>(item)) return item.cast<Sphere>();
    if (py::isinstance<Box>(item)) return item.cast<Box>();
    if (py::isinstance<ViscousRegion>(item)) return item.cast<ViscousRegion>();
    if (py::isinstance<Guide>(item)) return item.cast<Guide>();
    if (py::isinstance<Vibration>(item)) return item.cast<Vibration>();
    if (py::isinstance<Detents>(item)) return item.cast<Detents>();
    // A copy: the loop's Friction takes a proxy of its own at its first contact.
    if (py::isinstance<Friction>(item)) return item.cast<Friction>();
    throw py::type_error(std::string("Servo.effects takes Wall, Spring, Damper and "
                                     "ConstantForce objects and Sphere, Box, ViscousRegion, "
                                     "Guide, Vibration, Detents and Friction objects, not ") +
                         Py_TYPE(item.ptr())->tp_name);
}

py::object object_of(const Effect& effect) {
    return std::visit([](const auto& e) { return py::cast(e); }, effect);
}

const Vec3& finite_three(const Triple& triple, const char* what) {
    const Vec3& values = three(triple, what);
    require_finite(values, what);
    return values;
}

std::string text(bool v) {
    return v ? "True" : "False";
}

// force_at(position, velocity, time) for an effect class: the force law the loop runs, for
// testing it offline. For a Friction it is the object's own proxy that advances. (Not named
// force: that is ConstantForce's attribute.)
template <typename E>
void define_force(py::class_<E>& cls, const char* more = "") {
    const std::string doc =
        std::string(
            "The force this effect makes at position (m) moving at velocity (m/s) at the "
            "servo's time (s), in newtons, as the servo's loop computes it.\n\n"
            "A tuple of three floats, before any scaling down to a servo's max_force; for "
            "trying a force law offline. ValueError for a position or velocity that is not "
            "three finite numbers, or a time that is not finite.") +
        more;
    cls.def(
        "force_at",
        [](E& effect, const Triple& position, const Triple& velocity, double time) {
            const Vec3& p = finite_three(position, "force_at(): position");
            const Vec3& v = finite_three(velocity, "force_at(): velocity");
            require_finite(time, "force_at(): time");
            return tuple_of(force_of(effect, p, v, time));
        },
        py::arg("position"), py::arg("velocity") = py::make_tuple(0.0, 0.0, 0.0),
        py::arg("time") = 0.0, doc.c_str());
}

void register_shapes(py::module_& m) {
    py::class_<Sphere> sphere(
        m, "Sphere", py::is_final(),
        "A sphere rendered as a penalty surface: a solid ball (inside=False) that pushes the "
        "end-effector out along the radius while it is inside, or a spherical cavity "
        "(inside=True) that pushes it back along the radius when it leaves.\n\n"
        "With depth how far it is through the surface, in metres, and n the unit push "
        "direction along the radius, the force is n * max(0, stiffness * depth - damping * "
        "(n . velocity)) newtons: it pushes and never pulls, and the damping acts only while "
        "penetrating. At the ball's very centre it pushes along +z.");
    sphere
        .def(py::init([](const Triple& centre, double radius, double stiffness, double damping,
                         bool inside) {
                 return Sphere(three(centre, "Sphere(): centre"), radius, stiffness, damping,
                               inside);
             }),
             py::arg("centre"), py::arg("radius"), py::arg("stiffness"), py::arg("damping") = 0.0,
             py::arg("inside") = false,
             "centre: three numbers, in metres; radius in metres, stiffness in N/m and damping "
             "in N s/m, none negative; inside: True for a cavity that keeps the end-effector "
             "in, False for a solid ball. ValueError for a centre that is not three numbers, a "
             "value that is not finite, or a negative radius or gain; TypeError for something "
             "that is not a number or a sequence of numbers.")
        .def_property(
            "centre", [](const Sphere& s) { return tuple_of(s.centre); },
            [](Sphere& s, const Triple& c) {
                s = Sphere(three(c, "Sphere.centre"), s.radius, s.stiffness, s.damping, s.inside);
            },
            "The sphere's centre, in metres.\n\n"
            "A tuple of three floats; set it with any sequence of three finite numbers "
            "(ValueError otherwise, leaving the sphere as it was).")
        .def_property(
            "radius", [](const Sphere& s) { return s.radius; },
            [](Sphere& s, double v) { s = Sphere(s.centre, v, s.stiffness, s.damping, s.inside); },
            "Metres, not negative.\n\nA float; ValueError when set negative or not finite.")
        .def_property(
            "stiffness", [](const Sphere& s) { return s.stiffness; },
            [](Sphere& s, double v) { s = Sphere(s.centre, s.radius, v, s.damping, s.inside); },
            "N/m, not negative.\n\n"
            "Newtons per metre of depth, a float. ValueError when set negative or not finite.")
        .def_property(
            "damping", [](const Sphere& s) { return s.damping; },
            [](Sphere& s, double v) { s = Sphere(s.centre, s.radius, s.stiffness, v, s.inside); },
            "N s/m, not negative; acts along the radius only while penetrating.\n\n"
            "A float; ValueError when set negative or not finite.")
        .def_property(
            "inside", [](const Sphere& s) { return s.inside; },
            [](Sphere& s, bool v) { s.inside = v; },
            "True for a cavity that keeps the end-effector in, False for a solid ball.\n\n"
            "A bool.")
        .def("__repr__", [](const Sphere& s) {
            return "Sphere(centre=" + text(s.centre) + ", radius=" + text(s.radius) +
                   ", stiffness=" + text(s.stiffness) + ", damping=" + text(s.damping) +
                   ", inside=" + text(s.inside) + ")";
        });
    define_force(sphere);

    py::class_<Box> box(
        m, "Box", py::is_final(),
        "An axis-aligned box rendered as a penalty surface: solid (inside=False) or a cavity "
        "(inside=True).\n\n"
        "With d = position - centre: the solid box, while abs(d[i]) < half_extents[i] on every "
        "axis, pushes out through the nearest face (the axis of least depth half_extents[i] - "
        "abs(d[i]) metres; x first on a tie, outwards along + when d[i] is 0) with "
        "max(0, stiffness * depth - damping * (velocity across the face)) newtons. The cavity "
        "pushes back in, in the same way, on each axis where abs(d[i]) > half_extents[i], the "
        "depth being abs(d[i]) - half_extents[i]. It pushes and never pulls; the damping acts "
        "only while penetrating.");
    box.def(py::init([](const Triple& centre, const Triple& half_extents, double stiffness,
                        double damping, bool inside) {
                return Box(three(centre, "Box(): centre"),
                           three(half_extents, "Box(): half_extents"), stiffness, damping, inside);
            }),
            py::arg("centre"), py::arg("half_extents"), py::arg("stiffness"),
            py::arg("damping") = 0.0, py::arg("inside") = false,
            "centre: three numbers, in metres; half_extents: three numbers, the distances from "
            "the centre to the faces along x, y and z in metres; stiffness in N/m and damping "
            "in N s/m; inside: True for a cavity, False for a solid box. ValueError for a "
            "vector that is not three numbers, a value that is not finite, or a negative "
            "half-extent or gain; TypeError for something that is not a number or a sequence "
            "of numbers.")
        .def_property(
            "centre", [](const Box& b) { return tuple_of(b.centre); },
            [](Box& b, const Triple& c) {
                b = Box(three(c, "Box.centre"), b.half_extents, b.stiffness, b.damping, b.inside);
            },
            "The box's centre, in metres.\n\n"
            "A tuple of three floats; set it with any sequence of three finite numbers "
            "(ValueError otherwise, leaving the box as it was).")
        .def_property(
            "half_extents", [](const Box& b) { return tuple_of(b.half_extents); },
            [](Box& b, const Triple& h) {
                b = Box(b.centre, three(h, "Box.half_extents"), b.stiffness, b.damping, b.inside);
            },
            "Distances from the centre to the faces along x, y and z, in metres.\n\n"
            "A tuple of three floats; set it with any sequence of three finite numbers, none "
            "negative (ValueError otherwise, leaving the box as it was).")
        .def_property(
            "stiffness", [](const Box& b) { return b.stiffness; },
            [](Box& b, double v) { b = Box(b.centre, b.half_extents, v, b.damping, b.inside); },
            "N/m, not negative.\n\n"
            "Newtons per metre of depth, a float. ValueError when set negative or not finite.")
        .def_property(
            "damping", [](const Box& b) { return b.damping; },
            [](Box& b, double v) { b = Box(b.centre, b.half_extents, b.stiffness, v, b.inside); },
            "N s/m, not negative; acts across the face only while penetrating.\n\n"
            "A float; ValueError when set negative or not finite.")
        .def_property(
            "inside", [](const Box& b) { return b.inside; }, [](Box& b, bool v) { b.inside = v; },
            "True for a cavity that keeps the end-effector in, False for a solid box.\n\n"
            "A bool.")
        .def("__repr__", [](const Box& b) {
            return "Box(centre=" + text(b.centre) + ", half_extents=" + text(b.half_extents) +
                   ", stiffness=" + text(b.stiffness) + ", damping=" + text(b.damping) +
                   ", inside=" + text(b.inside) + ")";
        });
    define_force(box);

    py::class_<ViscousRegion> region(
        m, "ViscousRegion", py::is_final(),
        "Viscous damping, -damping * velocity newtons, only while the end-effector is inside "
        "(or on the surface of) a sphere of radius metres or an axis-aligned box of "
        "half_extents metres around centre.\n\n"
        "Exactly one of radius and half_extents is set; the other is None.");
    region
        .def(py::init([](const Triple& centre, double damping, std::optional<double> radius,
                         const std::optional<Triple>& half_extents) {
                 std::optional<Vec3> extents;
                 if (half_extents) extents = three(*half_extents, "ViscousRegion(): half_extents");
                 return ViscousRegion(three(centre, "ViscousRegion(): centre"), damping, radius,
                                      extents);
             }),
             py::arg("centre"), py::arg("damping"), py::arg("radius") = py::none(),
             py::arg("half_extents") = py::none(),
             "centre: three numbers, in metres; damping in N s/m; radius in metres for a "
             "spherical region, or half_extents, three numbers in metres (centre to faces along "
             "x, y and z), for a box. ValueError unless exactly one of radius and half_extents "
             "is given, for a value that is not finite, and for a negative damping, radius or "
             "half-extent; TypeError for something that is not a number or a sequence of "
             "numbers.")
        .def_property(
            "centre", [](const ViscousRegion& r) { return tuple_of(r.centre); },
            [](ViscousRegion& r, const Triple& c) {
                r = ViscousRegion(three(c, "ViscousRegion.centre"), r.damping, r.radius,
                                  r.half_extents);
            },
            "The region's centre, in metres.\n\n"
            "A tuple of three floats; set it with any sequence of three finite numbers "
            "(ValueError otherwise, leaving the region as it was).")
        .def_property(
            "damping", [](const ViscousRegion& r) { return r.damping; },
            [](ViscousRegion& r, double v) {
                r = ViscousRegion(r.centre, v, r.radius, r.half_extents);
            },
            "N s/m, not negative.\n\n"
            "Newtons per metre per second against the velocity, a float. ValueError when set "
            "negative or not finite.")
        .def_property(
            "radius", [](const ViscousRegion& r) { return r.radius; },
            [](ViscousRegion& r, std::optional<double> v) {
                if (v) {
                    r = ViscousRegion(r.centre, r.damping, v, std::nullopt);
                } else if (r.radius) {
                    throw py::value_error(
                        "ViscousRegion.radius: set half_extents to make the region a box; a "
                        "region needs exactly one of radius and half_extents");
                }
            },
            "The sphere's radius in metres, or None when the region is a box.\n\n"
            "A float or None. Setting a radius makes the region a sphere (half_extents becomes "
            "None); ValueError when it is negative or not finite, or when set to None while the "
            "region is a sphere.")
        .def_property(
            "half_extents",
            [](const ViscousRegion& r) -> py::typing::Optional<FloatTriple> {
                if (r.half_extents) return tuple_of(*r.half_extents);
                return py::none();
            },
            [](ViscousRegion& r, const std::optional<Triple>& v) {
                if (v) {
                    r = ViscousRegion(r.centre, r.damping, std::nullopt,
                                      three(*v, "ViscousRegion.half_extents"));
                } else if (r.half_extents) {
                    throw py::value_error(
                        "ViscousRegion.half_extents: set radius to make the region a sphere; a "
                        "region needs exactly one of radius and half_extents");
                }
            },
            "The box's distances from the centre to the faces along x, y and z in metres, or "
            "None when the region is a sphere.\n\n"
            "A tuple of three floats or None; set it with any sequence of three numbers, which "
            "makes the region a box (radius becomes None). ValueError for a value that is "
            "negative or not finite, or for None while the region is a box.")
        .def("__repr__", [](const ViscousRegion& r) {
            std::string out =
                "ViscousRegion(centre=" + text(r.centre) + ", damping=" + text(r.damping);
            if (r.radius) out += ", radius=" + text(*r.radius);
            if (r.half_extents) out += ", half_extents=" + text(*r.half_extents);
            return out + ")";
        });
    define_force(region);
}

void register_fixtures(py::module_& m) {
    py::class_<Guide> guide(
        m, "Guide", py::is_final(),
        "A virtual fixture: a spring to the nearest point q of the line segment from start to "
        "end (metres).\n\n"
        "The force is -stiffness * (position - q) - damping * (the velocity across the "
        "segment) newtons: the damping leaves motion along the segment free. When start == "
        "end the segment is a point, and the damping acts on the whole velocity.");
    guide
        .def(py::init([](const Triple& start, const Triple& end, double stiffness, double damping) {
                 return Guide(three(start, "Guide(): start"), three(end, "Guide(): end"), stiffness,
                              damping);
             }),
             py::arg("start"), py::arg("end"), py::arg("stiffness"), py::arg("damping") = 0.0,
             "start, end: three numbers each, the segment's ends in metres; stiffness in N/m "
             "and damping in N s/m, neither negative. ValueError for a point that is not three "
             "numbers, a value that is not finite, a negative gain, or ends too far apart for "
             "their distance to be a finite number; TypeError for something that is not a "
             "number or a sequence of numbers.")
        .def_property(
            "start", [](const Guide& g) { return tuple_of(g.start); },
            [](Guide& g, const Triple& v) {
                g = Guide(three(v, "Guide.start"), g.end, g.stiffness, g.damping);
            },
            "One end of the segment, in metres.\n\n"
            "A tuple of three floats; set it with any sequence of three finite numbers "
            "(ValueError otherwise, leaving the guide as it was).")
        .def_property(
            "end", [](const Guide& g) { return tuple_of(g.end); },
            [](Guide& g, const Triple& v) {
                g = Guide(g.start, three(v, "Guide.end"), g.stiffness, g.damping);
            },
            "The other end of the segment, in metres.\n\n"
            "A tuple of three floats; set it with any sequence of three finite numbers "
            "(ValueError otherwise, leaving the guide as it was).")
        .def_property(
            "stiffness", [](const Guide& g) { return g.stiffness; },
            [](Guide& g, double v) { g = Guide(g.start, g.end, v, g.damping); },
            "N/m, not negative.\n\n"
            "Newtons per metre from the segment, a float. ValueError when set negative or not "
            "finite.")
        .def_property(
            "damping", [](const Guide& g) { return g.damping; },
            [](Guide& g, double v) { g = Guide(g.start, g.end, g.stiffness, v); },
            "N s/m, not negative; acts on the velocity across the segment only.\n\n"
            "A float; ValueError when set negative or not finite.")
        .def("__repr__", [](const Guide& g) {
            return "Guide(start=" + text(g.start) + ", end=" + text(g.end) +
                   ", stiffness=" + text(g.stiffness) + ", damping=" + text(g.damping) + ")";
        });
    define_force(guide);

    py::class_<Vibration> vibration(
        m, "Vibration", py::is_final(),
        "A sinusoidal force: amplitude * sin(2 pi frequency t) newtons along the unit "
        "direction, t the servo's time in seconds.\n\n"
        "The servo samples it once a cycle: a frequency above half the servo's rate comes out "
        "as a lower one.");
    vibration
        .def(py::init([](const Triple& direction, double amplitude, double frequency) {
                 return Vibration(three(direction, "Vibration(): direction"), amplitude, frequency);
             }),
             py::arg("direction"), py::arg("amplitude"), py::arg("frequency"),
             "direction: three numbers, not all zero (normalised); amplitude in newtons and "
             "frequency in Hz, neither negative. ValueError for a direction that is not three "
             "numbers or is zero, a value that is not finite, or a negative amplitude or "
             "frequency; TypeError for something that is not a number or a sequence of "
             "numbers.")
        .def_property(
            "direction", [](const Vibration& s) { return tuple_of(s.direction); },
            [](Vibration& s, const Triple& v) {
                s = Vibration(three(v, "Vibration.direction"), s.amplitude, s.frequency);
            },
            "Unit vector the force acts along (set any non-zero vector: it is normalised).\n\n"
            "A tuple of three floats; set it with any sequence of three numbers. ValueError for "
            "a zero or non-finite vector or the wrong length, leaving the vibration as it was.")
        .def_property(
            "amplitude", [](const Vibration& s) { return s.amplitude; },
            [](Vibration& s, double v) { s = Vibration(s.direction, v, s.frequency); },
            "Newtons, not negative.\n\n"
            "The force's peak, a float. ValueError when set negative or not finite.")
        .def_property(
            "frequency", [](const Vibration& s) { return s.frequency; },
            [](Vibration& s, double v) { s = Vibration(s.direction, s.amplitude, v); },
            "Hz, not negative.\n\n"
            "Cycles of the force per second, a float. ValueError when set negative or not "
            "finite.")
        .def("__repr__", [](const Vibration& s) {
            return "Vibration(direction=" + text(s.direction) + ", amplitude=" + text(s.amplitude) +
                   ", frequency=" + text(s.frequency) + ")";
        });
    define_force(vibration);

    py::class_<Detents> detents(
        m, "Detents", py::is_final(),
        "Detents along the line through origin in the unit direction axis: the end-effector "
        "snaps to the positions origin + k * spacing * axis, k any whole number.\n\n"
        "With s = axis . (position - origin) metres and k the nearest whole number to "
        "s / spacing (a half rounds up), the force is -stiffness * (s - k * spacing) * axis "
        "newtons: a saw-tooth along the axis only.");
    detents
        .def(py::init(
                 [](const Triple& axis, double spacing, double stiffness, const Triple& origin) {
                     return Detents(three(axis, "Detents(): axis"), spacing, stiffness,
                                    three(origin, "Detents(): origin"));
                 }),
             py::arg("axis"), py::arg("spacing"), py::arg("stiffness"),
             py::arg("origin") = py::make_tuple(0.0, 0.0, 0.0),
             "axis: three numbers, not all zero (normalised); spacing in metres, more than 0; "
             "stiffness in N/m, not negative; origin: three numbers, a detent's position in "
             "metres. ValueError for a vector that is not three numbers, a zero axis, a value "
             "that is not finite, a spacing that is not more than 0, or a negative stiffness; "
             "TypeError for something that is not a number or a sequence of numbers.")
        .def_property(
            "axis", [](const Detents& d) { return tuple_of(d.axis); },
            [](Detents& d, const Triple& v) {
                d = Detents(three(v, "Detents.axis"), d.spacing, d.stiffness, d.origin);
            },
            "Unit vector along which the detents lie (set any non-zero vector: it is "
            "normalised).\n\n"
            "A tuple of three floats; set it with any sequence of three numbers. ValueError for "
            "a zero or non-finite vector or the wrong length, leaving the detents as they were.")
        .def_property(
            "spacing", [](const Detents& d) { return d.spacing; },
            [](Detents& d, double v) { d = Detents(d.axis, v, d.stiffness, d.origin); },
            "Metres between detents, more than 0.\n\n"
            "A float; ValueError when set to 0 or less, or to a value that is not finite.")
        .def_property(
            "stiffness", [](const Detents& d) { return d.stiffness; },
            [](Detents& d, double v) { d = Detents(d.axis, d.spacing, v, d.origin); },
            "N/m, not negative.\n\n"
            "Newtons per metre from the nearest detent along the axis, a float. ValueError when "
            "set negative or not finite.")
        .def_property(
            "origin", [](const Detents& d) { return tuple_of(d.origin); },
            [](Detents& d, const Triple& v) {
                d = Detents(d.axis, d.spacing, d.stiffness, three(v, "Detents.origin"));
            },
            "A detent's position, in metres.\n\n"
            "A tuple of three floats; set it with any sequence of three finite numbers "
            "(ValueError otherwise, leaving the detents as they were).")
        .def("__repr__", [](const Detents& d) {
            return "Detents(axis=" + text(d.axis) + ", spacing=" + text(d.spacing) +
                   ", stiffness=" + text(d.stiffness) + ", origin=" + text(d.origin) + ")";
        });
    define_force(detents);

    py::class_<Friction> friction(
        m, "Friction", py::is_final(),
        "A Wall (the same normal, offset, stiffness and damping) with Coulomb friction on its "
        "surface, rendered through a proxy point.\n\n"
        "Out of contact the proxy follows the end-effector. In contact (depth = offset - "
        "normal . position > 0 metres) the proxy stays on the surface; the normal force is "
        "the wall's, Fn = max(0, stiffness * depth - damping * (normal . velocity)) newtons, "
        "and the tangential force is stiffness * (proxy - position) projected on the surface, "
        "at most mu * Fn. Where it would be more, the proxy slides (the end-effector slips) "
        "just far enough for it to be mu * Fn; otherwise the proxy stays (it sticks). The "
        "proxy is state: each servo loop keeps its own copy's, taken at its first contact.");
    friction
        .def(py::init([](const Triple& normal, double offset, double stiffness, double mu,
                         double damping) {
                 return Friction(three(normal, "Friction(): normal"), offset, stiffness, mu,
                                 damping);
             }),
             py::arg("normal"), py::arg("offset"), py::arg("stiffness"), py::arg("mu"),
             py::arg("damping") = 0.0,
             "normal: three numbers, not all zero, pointing out of the wall (normalised); "
             "offset: where the surface is, dot(normal, position) == offset, in metres; "
             "stiffness in N/m; mu, the friction coefficient (tangential over normal force); "
             "damping in N s/m; none negative. ValueError for a normal that is not three "
             "numbers or is zero, a value that is not finite, or a negative gain or mu; "
             "TypeError for something that is not a number or a sequence of numbers.")
        .def_property(
            "normal", [](const Friction& w) { return tuple_of(w.normal); },
            [](Friction& w, const Triple& n) {
                w = Friction(three(n, "Friction.normal"), w.offset, w.stiffness, w.mu, w.damping);
            },
            "Unit vector pointing out of the wall (set any non-zero vector: it is "
            "normalised).\n\n"
            "A tuple of three floats; set it with any sequence of three numbers. ValueError for "
            "a zero or non-finite vector or the wrong length, leaving the wall as it was.")
        .def_property(
            "offset", [](const Friction& w) { return w.offset; },
            [](Friction& w, double v) { w = Friction(w.normal, v, w.stiffness, w.mu, w.damping); },
            "Where the surface is: dot(normal, position) == offset, in metres.\n\n"
            "A float; ValueError when set to a value that is not finite.")
        .def_property(
            "stiffness", [](const Friction& w) { return w.stiffness; },
            [](Friction& w, double v) { w = Friction(w.normal, w.offset, v, w.mu, w.damping); },
            "N/m, not negative: into the wall and along its surface.\n\n"
            "A float; ValueError when set negative or not finite.")
        .def_property(
            "mu", [](const Friction& w) { return w.mu; },
            [](Friction& w, double v) {
                w = Friction(w.normal, w.offset, w.stiffness, v, w.damping);
            },
            "The friction coefficient, not negative: the tangential force is at most mu times "
            "the normal force.\n\n"
            "A float (no unit); 0 makes a frictionless wall. ValueError when set negative or "
            "not finite.")
        .def_property(
            "damping", [](const Friction& w) { return w.damping; },
            [](Friction& w, double v) { w = Friction(w.normal, w.offset, w.stiffness, w.mu, v); },
            "N s/m, not negative; acts along the normal only while in contact.\n\n"
            "A float; ValueError when set negative or not finite.")
        .def_property_readonly(
            "proxy",
            [](const Friction& w) -> py::typing::Optional<FloatTriple> {
                if (w.proxy.held) return tuple_of(w.proxy.point);
                return py::none();
            },
            "Where this object's proxy is, in metres: None until force_at() is first called.\n\n"
            "A tuple of three floats or None. Setting any attribute starts afresh without a "
            "proxy; so does each copy, such as the servo's own.")
        .def("__repr__", [](const Friction& w) {
            return "Friction(normal=" + text(w.normal) + ", offset=" + text(w.offset) +
                   ", stiffness=" + text(w.stiffness) + ", mu=" + text(w.mu) +
                   ", damping=" + text(w.damping) + ")";
        });
    define_force(friction,
                 " It advances this object's own proxy, as the servo's loop advances "
                 "its copy's.");
}

void register_effects(py::module_& m) {
    // The effects are final: the loop copies an effect's parameters into C++, so a subclass's
    // methods would never run; refusing the subclass says so at once.
    py::class_<Wall> wall(m, "Wall", py::is_final(),
                          "A half-space the end-effector cannot easily enter: while it is inside "
                          "(dot(normal, position) < offset) the wall pushes it out along normal "
                          "with stiffness * depth - damping * (normal . velocity) newtons, never "
                          "pulling. Positions in metres.");
    wall.def(py::init([](const Triple& normal, double offset, double stiffness, double damping) {
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
    define_force(wall);

    py::class_<Spring> spring(m, "Spring", py::is_final(),
                              "A spring to anchor: -stiffness * (position - anchor) - damping * "
                              "velocity newtons.");
    spring
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
    define_force(spring);

    py::class_<Damper> damper(m, "Damper", py::is_final(),
                              "Viscous damping: -damping * velocity newtons.");
    damper
        .def(py::init<double>(), py::arg("damping"),
             "damping in N s/m; ValueError when it is negative or not finite.")
        .def_property(
            "damping", [](const Damper& d) { return d.damping; },
            [](Damper& d, double v) { d = Damper(v); },
            "N s/m, not negative.\n\n"
            "A float: newtons per metre per second against the velocity. ValueError when set "
            "negative or not finite.")
        .def("__repr__", [](const Damper& d) { return "Damper(damping=" + text(d.damping) + ")"; });
    define_force(damper);

    py::class_<ConstantForce> constant(m, "ConstantForce", py::is_final(),
                                       "The same force every cycle, in newtons.");
    constant
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
    define_force(constant);

    register_shapes(m);
    register_fixtures(m);
}

void register_coupling(py::module_& m) {
    py::class_<Coupling>(m, "Coupling", py::is_final(),
                         "A virtual spring-damper between the end-effectors of two arms of one "
                         "Servo (teleoperation, position to position, both ways): on arm a, "
                         "-stiffness * (p_a - p_b) - damping * (v_a - v_b) newtons; on arm b the "
                         "opposite.")
        .def(py::init<std::size_t, std::size_t, double, double>(), py::arg("a"), py::arg("b"),
             py::arg("stiffness"), py::arg("damping") = 0.0,
             "a and b: the arms' numbers, in the order the Servo was given them (0 to 3, "
             "different); stiffness in N/m and damping in N s/m, neither negative. ValueError "
             "otherwise.")
        .def_readonly("a", &Coupling::a, "The first arm's number.\n\nAn int.")
        .def_readonly("b", &Coupling::b, "The second arm's number.\n\nAn int.")
        .def_readonly("stiffness", &Coupling::stiffness, "N/m.\n\nA float.")
        .def_readonly("damping", &Coupling::damping, "N s/m.\n\nA float.")
        .def("__repr__", [](const Coupling& c) {
            return "Coupling(a=" + std::to_string(c.a) + ", b=" + std::to_string(c.b) +
                   ", stiffness=" + text(c.stiffness) + ", damping=" + text(c.damping) + ")";
        });
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
                   ", expired=" + std::to_string(s.expired) + ", p50_us=" + text(s.p50_us) +
                   ", p99_us=" + text(s.p99_us) + ", p999_us=" + text(s.p999_us) +
                   ", max_us=" + text(s.max_us) +
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

    cls.def(
        py::init([](py::object arm, std::optional<double> rate_hz, double max_force, bool realtime,
                    std::optional<std::uint32_t> max_failures, std::optional<int> cpu,
                    double reply_timeout, std::uint32_t hold_cycles, double give_up_after,
                    bool pipeline, double spin_us, std::optional<double> record, double soft_start,
                    std::optional<std::pair<Triple, Triple>> workspace,
                    std::optional<double> max_velocity, bool passivity,
                    double passivity_max_damping, py::object on_stop) {
            // One Arbelon, or a sequence of them.
            std::vector<Devices::Arbelon*> arms;
            std::vector<py::object> objects;
            if (py::isinstance<Devices::Arbelon>(arm)) {
                arms.push_back(&arm.cast<Devices::Arbelon&>());
                objects.push_back(arm);
            } else if (py::isinstance<py::sequence>(arm) && !py::isinstance<py::str>(arm)) {
                for (py::handle item : py::reinterpret_borrow<py::sequence>(arm)) {
                    if (!py::isinstance<Devices::Arbelon>(item)) {
                        throw py::type_error(
                            "Servo(): arm must be an Arbelon or a sequence "
                            "of Arbelons, not a sequence holding " +
                            std::string(Py_TYPE(item.ptr())->tp_name));
                    }
                    arms.push_back(&item.cast<Devices::Arbelon&>());
                    objects.push_back(py::reinterpret_borrow<py::object>(item));
                }
            } else {
                throw py::type_error(std::string("Servo(): arm must be an Arbelon or a "
                                                 "sequence of Arbelons, not ") +
                                     Py_TYPE(arm.ptr())->tp_name);
            }
            ServoSettings settings;
            settings.soft_start = soft_start;
            settings.passivity = passivity;
            settings.passivity_max_damping = passivity_max_damping;
            if (max_velocity) {
                if (!(*max_velocity > 0.0)) {
                    throw py::value_error("max_velocity must be more than 0 m/s, or None");
                }
                settings.max_velocity = *max_velocity;
            }
            if (workspace) {
                const Vec3& low = three(workspace->first, "Servo(): workspace's corner");
                const Vec3& high = three(workspace->second, "Servo(): workspace's corner");
                for (int i = 0; i < 3; ++i) {
                    if (!(low[i] < high[i])) {
                        throw py::value_error(
                            "Servo(): workspace is (lowest corner, highest corner), each "
                            "value of the first below the second's");
                    }
                }
                settings.workspace_min = low;
                settings.workspace_max = high;
            }
            if (rate_hz && *rate_hz == 0.0) {
                throw py::value_error("rate_hz must be from 1 to 20000 Hz, or None");
            }
            settings.rate_hz = rate_hz ? *rate_hz : 0.0;
            settings.reply_timeout = reply_timeout;
            settings.hold_cycles = hold_cycles;
            settings.give_up_after = give_up_after;
            settings.pipeline = pipeline;
            settings.spin_us = spin_us;
            settings.max_force = max_force;
            settings.realtime = realtime;
            if (max_failures) {
                if (*max_failures == 0) throw py::value_error("max_failures must be at least 1");
                settings.max_failures = *max_failures;
            }
            if (cpu) {
                if (*cpu < 0) throw py::value_error("cpu must not be negative");
                settings.cpu = *cpu;
            }
            auto servo = std::make_unique<BoundServo>(arms, std::move(objects), settings);
            if (record) servo->record_checked(*record);
            servo->set_on_stop(std::move(on_stop));
            return servo;
        }),
        py::arg("arm"), py::arg("rate_hz") = 1000.0, py::kw_only(),
        py::arg("max_force") = ServoSettings{}.max_force, py::arg("realtime") = false,
        py::arg("max_failures") = py::none(), py::arg("cpu") = py::none(),
        py::arg("reply_timeout") = ServoSettings{}.reply_timeout,
        py::arg("hold_cycles") = ServoSettings{}.hold_cycles,
        py::arg("give_up_after") = ServoSettings{}.give_up_after, py::arg("pipeline") = false,
        py::arg("spin_us") = 0.0, py::arg("record") = py::none(),
        py::arg("soft_start") = ServoSettings{}.soft_start, py::arg("workspace") = py::none(),
        py::arg("max_velocity") = py::none(), py::arg("passivity") = false,
        py::arg("passivity_max_damping") = ServoSettings{}.passivity_max_damping,
        py::arg("on_stop") = py::none(),
        // The servo drives the arms: it keeps them (and so their streams) alive.
        py::keep_alive<1, 2>(),
        "A loop for arm, an Arbelon, or a sequence of up to 4 Arbelons, each on a stream of "
        "its own, driven in one cycle (every request goes out, then every reply is read); "
        "the servo keeps them alive; it does not start yet. "
        "rate_hz: cycles per second, 1 to 20000; None measures the line when the loop "
        "starts and picks the highest rate it holds, at most 1000 (see measure_line). "
        "max_force: the longest force sent, in newtons, more than 0 and at most 20 (a "
        "desk-top arm's motors hold a few newtons for long and about 20 for a moment). "
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
        "dominates; the force then answers a state one cycle older. spin_us: microseconds "
        "before each deadline that the loop spins instead of sleeping, 0 to 10000: it "
        "takes the median wake-up from tens of microseconds to a few, at the cost of that "
        "much CPU a cycle (see bench/wake.cpp). record: seconds of cycles to keep (see "
        "record()); None keeps none. soft_start: seconds over which forces ramp in at the "
        "start, after recovering from failed exchanges and after a time to live is "
        "refreshed; 0 sends them at once. workspace: (lowest corner, highest corner) of a "
        "box in metres outside which the servo pushes back (500 N/m, 5 N s/m); None: none. "
        "max_velocity: m/s above which only damping (10 N s/m) is sent; None: no limit. "
        "passivity: the time-domain passivity controller, which adds just enough damping to "
        "take back energy the virtual environment gave out. passivity_max_damping: the most "
        "damping, in N s/m, that controller adds in a cycle, 0 or more (damping acts a "
        "cycle late: on a light arm too much would itself give energy out). on_stop: called "
        "with the stop reason (a str such as 'device not answering') when the loop ends by "
        "itself, on a thread of the library's own that holds the interpreter lock; never for "
        "stop(). ValueError for a value out of range; TypeError for an arm that is not an "
        "Arbelon or an on_stop that is not callable.");

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
            py::typing::Tuple<py::typing::Union<Wall, Spring, Damper, ConstantForce, Sphere, Box,
                                                ViscousRegion, Guide, Vibration, Detents, Friction>,
                              py::ellipsis>
                out(effects.size());
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
        "integer; ValueError for the address 0.");
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
        "they are set again within ttl seconds the loop fades its forces to zero within 50 ms "
        "(see set_effects).\n\n"
        "ValueError for more than 64 values, a value that is not finite, a ramp outside 0 to "
        "3600 seconds or a ttl outside (0, 3600].");
    cls.def("record", &BoundServo::record_checked, py::arg("seconds"),
            "Keep every cycle of the next runs: the latest `seconds` worth at the rate, in a "
            "ring made now (0 keeps none). Each start() begins the recording afresh; "
            "recording() reads it.\n\n"
            "Writing a row allocates nothing and takes no lock in the loop. RuntimeError while "
            "the loop runs; ValueError for seconds outside 0 to 86400.");
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
        "does, with a time to live: unless the effects, the couplings or the force law are set "
        "again within ttl seconds, the loop fades its forces to zero within 50 ms "
        "(stats().expired counts it) and ramps them in again once they are.\n\n"
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
        "b > K T / 2 + abs(B); latency uses damping up too. A Wall, Sphere or Box stiffer than the "
        "bound at b = 1 warns once (RuntimeWarning) unless passivity is on.");
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
    register_coupling(m);
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
