// The Python classes of the effects that make a servo's force, one for each row of the table in
// effects.h and in its order, and Coupling.
#include "python/effects.h"

#include <ZelkorHardwareAPI/control/effects.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "python/values.h"

namespace py = pybind11;

namespace Zelkor::HardwareAPI::Python {

using namespace Control;

namespace {

// "Wall, Spring, ... and Friction": the effect classes, as the table lists them.
std::string effect_classes() {
    std::string text;
    for (std::size_t i = 0; i < effect_names.size(); ++i) {
        if (i > 0) text += i + 1 < effect_names.size() ? ", " : " and ";
        text += effect_names[i];
    }
    return text;
}

}  // namespace

Effect effect_of(py::handle item) {
    // A copy: the loop's Friction takes a proxy of its own at its first contact. An instance
    // never constructed is refused by its class's conversion (python/instances.h).
#define ZELKOR_EFFECT_OF(T) \
    if (py::isinstance<T>(item)) return item.cast<T>();
    ZELKOR_EFFECTS(ZELKOR_EFFECT_OF)
#undef ZELKOR_EFFECT_OF
    static const std::string taken = "Servo.effects takes " + effect_classes() + " objects, not ";
    throw py::type_error(taken + Py_TYPE(item.ptr())->tp_name);
}

py::object object_of(const Effect& effect) {
    return std::visit([](const auto& e) { return py::cast(e); }, effect);
}

namespace {

// Picks an effect type's own define() below.
template <typename E>
struct Tag {};

// The constructor `init` with its pybind11 extras (its py::arg keywords and its docstring), and
// __match_args__, the names of those keywords in order: each is an attribute that reads back
// what the constructor takes, so that cls(**{name: getattr(e, name) for name in
// cls.__match_args__}) remakes e.
template <typename E, typename Init, typename... Extra>
void define_init(py::class_<E>& cls, Init&& init, const Extra&... extra) {
    cls.def(std::forward<Init>(init), extra...);
    py::list names;
    auto keyword = [&names](const auto& each) {
        if constexpr (std::is_base_of_v<py::arg, std::decay_t<decltype(each)>>) {
            names.append(each.name);
        }
    };
    (keyword(extra), ...);
    cls.attr("__match_args__") = py::tuple(names);
}

// force_at(), not force(): that is ConstantForce's attribute.
template <typename E>
void define_force(py::class_<E>& cls, const char* more = "") {
    const std::string doc =
        std::string(
            "The force this effect makes at position (m) moving at velocity (m/s) at the "
            "servo's time (s), in newtons, as the servo's loop computes it.\n\n"
            "A tuple of three floats, before any scaling down to a servo's max_force; for "
            "trying an effect's force offline. ValueError for a position or velocity that is not "
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

py::class_<Wall> define(py::module_& m, Tag<Wall>) {
    py::class_<Wall> wall(m, "Wall", py::is_final(),
                          "A half-space the end-effector cannot easily enter: while it is inside "
                          "(dot(normal, position) < offset) the wall pushes it out along normal "
                          "with stiffness * depth - damping * (normal . velocity) newtons, never "
                          "pulling. Positions in metres.");
    define_init(
        wall, py::init([](const Triple& normal, double offset, double stiffness, double damping) {
            return Wall(three(normal, "Wall(): normal"), offset, stiffness, damping);
        }),
        py::arg("normal"), py::arg("offset"), py::arg("stiffness"), py::arg("damping") = 0.0,
        "normal: three numbers, not all zero, pointing out of the wall (normalised); "
        "offset: where the surface is, dot(normal, position) == offset, in metres; "
        "stiffness in N/m and damping in N s/m, neither negative. ValueError for a normal "
        "that is not three numbers or is zero, a value that is not finite, or a negative "
        "gain; TypeError for something that is not a number or a sequence of numbers.");
    wall.def_property(
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
    return wall;
}

py::class_<Spring> define(py::module_& m, Tag<Spring>) {
    py::class_<Spring> spring(m, "Spring", py::is_final(),
                              "A spring to anchor: -stiffness * (position - anchor) - damping * "
                              "velocity newtons.");
    define_init(spring, py::init([](const Triple& anchor, double stiffness, double damping) {
                    return Spring(three(anchor, "Spring(): anchor"), stiffness, damping);
                }),
                py::arg("anchor"), py::arg("stiffness"), py::arg("damping") = 0.0,
                "anchor: three numbers, in metres; stiffness in N/m and damping in N s/m, neither "
                "negative. ValueError for an anchor that is not three numbers, a value that is not "
                "finite, or a negative gain; TypeError for something that is not a number or a "
                "sequence of numbers.");
    spring
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
    return spring;
}

py::class_<Damper> define(py::module_& m, Tag<Damper>) {
    py::class_<Damper> damper(m, "Damper", py::is_final(),
                              "Viscous damping: -damping * velocity newtons.");
    define_init(damper, py::init<double>(), py::arg("damping"),
                "damping in N s/m; ValueError when it is negative or not finite.");
    damper
        .def_property(
            "damping", [](const Damper& d) { return d.damping; },
            [](Damper& d, double v) { d = Damper(v); },
            "N s/m, not negative.\n\n"
            "A float: newtons per metre per second against the velocity. ValueError when set "
            "negative or not finite.")
        .def("__repr__", [](const Damper& d) { return "Damper(damping=" + text(d.damping) + ")"; });
    define_force(damper);
    return damper;
}

py::class_<ConstantForce> define(py::module_& m, Tag<ConstantForce>) {
    py::class_<ConstantForce> constant(m, "ConstantForce", py::is_final(),
                                       "The same force every cycle, in newtons.");
    define_init(constant, py::init([](const Triple& force) {
                    return ConstantForce(three(force, "ConstantForce(): force"));
                }),
                py::arg("force"),
                "force: three numbers, x, y, z in newtons. ValueError when it is not three numbers "
                "or a value is not finite; TypeError for something that is not a sequence of "
                "numbers.");
    constant
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
    return constant;
}

py::class_<Sphere> define(py::module_& m, Tag<Sphere>) {
    py::class_<Sphere> sphere(
        m, "Sphere", py::is_final(),
        "A sphere rendered as a penalty surface: a solid ball (inside=False) that pushes the "
        "end-effector out along the radius while it is inside, or a spherical cavity "
        "(inside=True) that pushes it back along the radius when it leaves.\n\n"
        "With depth how far it is through the surface, in metres, and n the unit push "
        "direction along the radius, the force is n * max(0, stiffness * depth - damping * "
        "(n . velocity)) newtons: it pushes and never pulls, and the damping acts only while "
        "penetrating. At the ball's very centre it pushes along +z.");
    define_init(
        sphere,
        py::init([](const Triple& centre, double radius, double stiffness, double damping,
                    bool inside) {
            return Sphere(three(centre, "Sphere(): centre"), radius, stiffness, damping, inside);
        }),
        py::arg("centre"), py::arg("radius"), py::arg("stiffness"), py::arg("damping") = 0.0,
        py::arg("inside") = false,
        "centre: three numbers, in metres; radius in metres, stiffness in N/m and damping "
        "in N s/m, none negative; inside: True for a cavity that keeps the end-effector "
        "in, False for a solid ball. ValueError for a centre that is not three numbers, a "
        "value that is not finite, or a negative radius or gain; TypeError for something "
        "that is not a number or a sequence of numbers.");
    sphere
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
    return sphere;
}

py::class_<Box> define(py::module_& m, Tag<Box>) {
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
    define_init(box,
                py::init([](const Triple& centre, const Triple& half_extents, double stiffness,
                            double damping, bool inside) {
                    return Box(three(centre, "Box(): centre"),
                               three(half_extents, "Box(): half_extents"), stiffness, damping,
                               inside);
                }),
                py::arg("centre"), py::arg("half_extents"), py::arg("stiffness"),
                py::arg("damping") = 0.0, py::arg("inside") = false,
                "centre: three numbers, in metres; half_extents: three numbers, the distances from "
                "the centre to the faces along x, y and z in metres; stiffness in N/m and damping "
                "in N s/m; inside: True for a cavity, False for a solid box. ValueError for a "
                "vector that is not three numbers, a value that is not finite, or a negative "
                "half-extent or gain; TypeError for something that is not a number or a sequence "
                "of numbers.");
    box.def_property(
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
    return box;
}

py::class_<ViscousRegion> define(py::module_& m, Tag<ViscousRegion>) {
    py::class_<ViscousRegion> region(
        m, "ViscousRegion", py::is_final(),
        "Viscous damping, -damping * velocity newtons, only while the end-effector is inside "
        "(or on the surface of) a sphere of radius metres or an axis-aligned box of "
        "half_extents metres around centre.\n\n"
        "Exactly one of radius and half_extents is set; the other is None.");
    define_init(region,
                py::init([](const Triple& centre, double damping, std::optional<double> radius,
                            const std::optional<Triple>& half_extents) {
                    std::optional<Vec3> extents;
                    if (half_extents)
                        extents = three(*half_extents, "ViscousRegion(): half_extents");
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
                "numbers.");
    region
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
    return region;
}

py::class_<Guide> define(py::module_& m, Tag<Guide>) {
    py::class_<Guide> guide(
        m, "Guide", py::is_final(),
        "A virtual fixture: a spring to the nearest point q of the line segment from start to "
        "end (metres).\n\n"
        "The force is -stiffness * (position - q) - damping * (the velocity across the "
        "segment) newtons: the damping leaves motion along the segment free. When start == "
        "end the segment is a point, and the damping acts on the whole velocity.");
    define_init(
        guide,
        py::init([](const Triple& start, const Triple& end, double stiffness, double damping) {
            return Guide(three(start, "Guide(): start"), three(end, "Guide(): end"), stiffness,
                         damping);
        }),
        py::arg("start"), py::arg("end"), py::arg("stiffness"), py::arg("damping") = 0.0,
        "start, end: three numbers each, the segment's ends in metres; stiffness in N/m "
        "and damping in N s/m, neither negative. ValueError for a point that is not three "
        "numbers, a value that is not finite, a negative gain, or ends too far apart for "
        "their distance to be a finite number; TypeError for something that is not a "
        "number or a sequence of numbers.");
    guide
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
    return guide;
}

py::class_<Vibration> define(py::module_& m, Tag<Vibration>) {
    py::class_<Vibration> vibration(
        m, "Vibration", py::is_final(),
        "A sinusoidal force: amplitude * sin(2 pi frequency t) newtons along the unit "
        "direction, t the servo's time in seconds.\n\n"
        "The servo samples it once a cycle: a frequency above half the servo's rate comes out "
        "as a lower one.");
    define_init(
        vibration, py::init([](const Triple& direction, double amplitude, double frequency) {
            return Vibration(three(direction, "Vibration(): direction"), amplitude, frequency);
        }),
        py::arg("direction"), py::arg("amplitude"), py::arg("frequency"),
        "direction: three numbers, not all zero (normalised); amplitude in newtons and "
        "frequency in Hz, neither negative. ValueError for a direction that is not three "
        "numbers or is zero, a value that is not finite, or a negative amplitude or "
        "frequency; TypeError for something that is not a number or a sequence of "
        "numbers.");
    vibration
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
    return vibration;
}

py::class_<Detents> define(py::module_& m, Tag<Detents>) {
    py::class_<Detents> detents(
        m, "Detents", py::is_final(),
        "Detents along the line through origin in the unit direction axis: the end-effector "
        "snaps to the positions origin + k * spacing * axis, k any whole number.\n\n"
        "With s = axis . (position - origin) metres and k the nearest whole number to "
        "s / spacing (a half rounds up), the force is -stiffness * (s - k * spacing) * axis "
        "newtons: a saw-tooth along the axis only.");
    define_init(
        detents,
        py::init([](const Triple& axis, double spacing, double stiffness, const Triple& origin) {
            return Detents(three(axis, "Detents(): axis"), spacing, stiffness,
                           three(origin, "Detents(): origin"));
        }),
        py::arg("axis"), py::arg("spacing"), py::arg("stiffness"),
        py::arg("origin") = py::make_tuple(0.0, 0.0, 0.0),
        "axis: three numbers, not all zero (normalised); spacing in metres, more than 0; "
        "stiffness in N/m, not negative; origin: three numbers, a detent's position in "
        "metres. ValueError for a vector that is not three numbers, a zero axis, a value "
        "that is not finite, a spacing that is not more than 0, or a negative stiffness; "
        "TypeError for something that is not a number or a sequence of numbers.");
    detents
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
    return detents;
}

py::class_<Friction> define(py::module_& m, Tag<Friction>) {
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
    define_init(friction,
                py::init([](const Triple& normal, double offset, double stiffness, double mu,
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
                "TypeError for something that is not a number or a sequence of numbers.");
    friction
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
    return friction;
}

// Registers each effect class of the table, in its order, and the tuple of them,
// effect_types, with its typing.Union, Effect.
void register_effect_classes(py::module_& m) {
    // The effects are final: the loop copies an effect's parameters into C++, so a subclass's
    // methods would never run; refusing the subclass says so at once.
    py::list types;
#define ZELKOR_DEFINE_EFFECT(T) types.append(define(m, Tag<T>{}));
    ZELKOR_EFFECTS(ZELKOR_DEFINE_EFFECT)
#undef ZELKOR_DEFINE_EFFECT
    const py::tuple effect_types(types);
    m.attr("effect_types") = effect_types;
    m.attr("Effect") = py::module_::import("typing").attr("Union")[effect_types];
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

}  // namespace

void register_effects(py::module_& m) {
    register_effect_classes(m);
    register_coupling(m);
}

}  // namespace Zelkor::HardwareAPI::Python
