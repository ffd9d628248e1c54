// Python classes MujocoScene and SceneState: a MuJoCo scene the servo steps in its own thread,
// bound to the engine the `mujoco` package loaded (zelkor/scene.py finds its functions and the
// scene's arrays), and what a servo does with one.
#include "python/scene.h"

#include <ZelkorHardwareAPI/control/scene.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "python/gil.h"
#include "python/instances.h"
#include "python/values.h"

namespace py = pybind11;

namespace Zelkor::HardwareAPI::Python {

using namespace Control;

namespace {

/// A scene made from Python: the C++ scene, and what Python shows of it. The model, the data
/// and the engine's library are kept alive by the scene's keep_alive, released with the
/// interpreter lock by whichever thread lets go of the scene last.
class PyMujocoScene : public MujocoScene {
  public:
    PyMujocoScene(const MujocoBinding& binding, std::vector<MujocoTool> tools,
                  const VirtualCoupling& coupling, std::shared_ptr<const void> keep_alive,
                  PyObject* model, PyObject* data, std::vector<std::string> names,
                  std::size_t qpos_start, std::size_t nq, bool origin_per_tool)
        : MujocoScene(binding, tools, coupling, std::move(keep_alive)),
          model_(model),
          data_(data),
          names_(std::move(names)),
          origins_(origins_of(tools)),
          origin_per_tool_(origin_per_tool),
          signature_(binding.state_signature),
          qpos_start_(qpos_start),
          nq_(nq) {}

    py::object model() const { return py::reinterpret_borrow<py::object>(model_); }
    py::object data() const { return py::reinterpret_borrow<py::object>(data_); }
    const std::vector<std::string>& names() const { return names_; }
    int signature() const { return signature_; }
    std::size_t qpos_start() const { return qpos_start_; }
    std::size_t nq() const { return nq_; }
    /// The origin as it was given: one point, or one per tool.
    py::object origin() const {
        if (!origin_per_tool_) return tuple_of(origins_.at(0));
        py::tuple out(origins_.size());
        for (std::size_t i = 0; i < origins_.size(); ++i) out[i] = tuple_of(origins_[i]);
        return std::move(out);
    }

  private:
    static std::vector<Vec3> origins_of(const std::vector<MujocoTool>& tools) {
        std::vector<Vec3> out;
        for (const MujocoTool& t : tools) out.push_back(t.origin);
        return out;
    }

    PyObject* model_;  // borrowed: keep_alive holds them
    PyObject* data_;
    std::vector<std::string> names_;
    std::vector<Vec3> origins_;
    bool origin_per_tool_;
    int signature_;
    std::size_t qpos_start_, nq_;
};

/// What SceneState shows.
struct SceneStateView {
    double time = 0.0;
    std::uint64_t steps = 0;
    py::array_t<double> qpos;
    std::vector<Vec3> tool_positions, coupling_forces;
};

}  // namespace
}  // namespace Zelkor::HardwareAPI::Python

namespace pybind11::detail {
template <>
class type_caster<Zelkor::HardwareAPI::Python::PyMujocoScene>
    : public Zelkor::HardwareAPI::Python::InitialisedCaster<
          Zelkor::HardwareAPI::Python::PyMujocoScene> {};
template <>
class type_caster<Zelkor::HardwareAPI::Python::SceneStateView>
    : public Zelkor::HardwareAPI::Python::InitialisedCaster<
          Zelkor::HardwareAPI::Python::SceneStateView> {};
}  // namespace pybind11::detail

namespace Zelkor::HardwareAPI::Python {
namespace {

template <class F>
F function_at(const py::handle& address) {
    return reinterpret_cast<F>(address.cast<std::uintptr_t>());
}

MujocoBinding binding_of(const py::dict& b) {
    MujocoBinding binding;
    binding.step = function_at<decltype(binding.step)>(b["step"]);
    binding.get_state = function_at<decltype(binding.get_state)>(b["get_state"]);
    binding.model = reinterpret_cast<const void*>(b["model_address"].cast<std::uintptr_t>());
    binding.data = reinterpret_cast<void*>(b["data_address"].cast<std::uintptr_t>());
    binding.state_signature = b["signature"].cast<int>();
    binding.state_size = b["state_size"].cast<std::size_t>();
    binding.timestep = b["timestep"].cast<double>();
    binding.xfrc_applied = reinterpret_cast<double*>(b["xfrc_applied"].cast<std::uintptr_t>());
    binding.qpos = reinterpret_cast<const double*>(b["qpos"].cast<std::uintptr_t>());
    binding.qvel = reinterpret_cast<const double*>(b["qvel"].cast<std::uintptr_t>());
    const auto counters = b["bad_state_counters"].cast<std::vector<std::uintptr_t>>();
    for (std::size_t i = 0; i < counters.size() && i < binding.bad_state_counters.size(); ++i) {
        binding.bad_state_counters[i] = reinterpret_cast<const int*>(counters[i]);
    }
    return binding;
}

// The origin given: one point for every tool, or a sequence of one point per tool.
std::vector<Vec3> origins_from(const py::handle& origin, std::size_t tools, bool& per_tool) {
    py::detail::make_caster<Triple> single;
    per_tool = !single.load(origin, false);
    if (!per_tool) {
        return std::vector<Vec3>(tools, finite_three(static_cast<Triple&>(single), "origin"));
    }
    py::detail::make_caster<std::vector<Triple>> several;
    if (py::isinstance<py::str>(origin) || !several.load(origin, false)) {
        throw py::type_error(std::string("MujocoScene(): origin must be a point (x, y, z) or one "
                                         "point per tool, not ") +
                             Py_TYPE(origin.ptr())->tp_name);
    }
    const auto& points = static_cast<std::vector<Triple>&>(several);
    if (points.size() != tools) {
        throw py::value_error("MujocoScene(): origin has " + std::to_string(points.size()) +
                              " points for " + std::to_string(tools) + " tools");
    }
    std::vector<Vec3> out;
    for (const Triple& p : points) out.push_back(finite_three(p, "origin"));
    return out;
}

std::shared_ptr<PyMujocoScene> make_scene(const py::object& model, const py::object& tools,
                                          double stiffness, double damping,
                                          const py::object& origin, double scale) {
    const py::dict b = py::module_::import("zelkor.scene").attr("bind")(model, tools);
    const py::list found = b["tools"];
    bool per_tool = false;
    const std::vector<Vec3> origins = origins_from(origin, found.size(), per_tool);
    std::vector<MujocoTool> rows;
    for (std::size_t i = 0; i < found.size(); ++i) {
        const auto t = found[i].cast<py::tuple>();
        rows.push_back({t[0].cast<std::size_t>(), t[1].cast<std::size_t>(),
                        t[2].cast<std::size_t>(), origins[i]});
    }
    const VirtualCoupling coupling{stiffness, damping, scale};
    const py::object data = b["data"];
    PyObject* held = py::make_tuple(model, data, b["library"]).release().ptr();
    std::shared_ptr<const void> keep(held, [](const void* p) {
        const GilHeld gil;
        Py_DECREF(static_cast<PyObject*>(const_cast<void*>(p)));
    });
    return std::make_shared<PyMujocoScene>(
        binding_of(b), std::move(rows), coupling, std::move(keep), model.ptr(), data.ptr(),
        b["names"].cast<std::vector<std::string>>(), b["qpos_start"].cast<std::size_t>(),
        b["nq"].cast<std::size_t>(), per_tool);
}

py::typing::Tuple<FloatTriple, py::ellipsis> triples(const std::vector<Vec3>& values) {
    py::typing::Tuple<FloatTriple, py::ellipsis> out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = tuple_of(values[i]);
    return out;
}

SceneStateView view_of(const PyMujocoScene& scene) {
    SceneState state;
    {
        GilReleased unlocked;  // a reader waits only for another reader
        scene.state(state);
    }
    SceneStateView view;
    view.time = state.time;
    view.steps = state.steps;
    view.qpos = py::array_t<double>(static_cast<py::ssize_t>(scene.nq()),
                                    state.state.data() + scene.qpos_start());
    view.tool_positions = std::move(state.tool_positions);
    view.coupling_forces = std::move(state.coupling_forces);
    return view;
}

py::object copy_data(const PyMujocoScene& scene) {
    SceneState state;
    {
        GilReleased unlocked;
        scene.state(state);
    }
    py::array_t<double> values(static_cast<py::ssize_t>(state.state.size()), state.state.data());
    return py::module_::import("zelkor.scene")
        .attr("copy_data")(scene.model(), values, scene.signature());
}

std::string repr(const PyMujocoScene& s) {
    std::string tools;
    for (const std::string& name : s.names()) {
        tools += (tools.empty() ? "" : ", ") + py::repr(py::str(name)).cast<std::string>();
    }
    const VirtualCoupling& c = s.coupling();
    return "<ZelkorHardwareAPI.MujocoScene tools=[" + tools + "], stiffness=" + text(c.stiffness) +
           ", damping=" + text(c.damping) + ", origin=" + py::repr(s.origin()).cast<std::string>() +
           ", scale=" + text(c.scale) + ">";
}

void register_state(py::module_& m) {
    py::class_<SceneStateView>(m, "SceneState", py::is_final(),
                               "A MujocoScene as the servo's loop left it after a cycle: a copy "
                               "taken at MujocoScene.state(), without stopping the loop.\n\n"
                               "It has no constructor. Before any servo stepped the scene it "
                               "shows the scene as made.")
        .def_readonly("time", &SceneStateView::time, "The scene's time, s.\n\nA float.")
        .def_readonly("steps", &SceneStateView::steps,
                      "Engine steps servos have taken of the scene since it was made.\n\n"
                      "An int: a servo takes its period over the model's timestep of them every "
                      "cycle.")
        .def_readonly("qpos", &SceneStateView::qpos,
                      "The scene's joint positions (MjData.qpos).\n\nA numpy array of its own.")
        .def_property_readonly(
            "tool_positions", [](const SceneStateView& s) { return triples(s.tool_positions); },
            "Where each tool is, in the scene's metres, in the order of the tools.\n\n"
            "A tuple of (x, y, z) tuples.")
        .def_property_readonly(
            "coupling_forces", [](const SceneStateView& s) { return triples(s.coupling_forces); },
            "The coupling's force on each tool in its latest step, N, in the scene.\n\n"
            "A tuple of (x, y, z) tuples; the arm received the opposite divided by the scale. "
            "Zero for a tool whose arm had no state, and once no servo steps the scene.")
        .def("__repr__", [](const SceneStateView& s) {
            return "SceneState(time=" + text(s.time) + ", steps=" + std::to_string(s.steps) +
                   ", tools=" + std::to_string(s.tool_positions.size()) + ")";
        });
}

}  // namespace

void register_scene(py::module_& m) {
    register_state(m);
    py::class_<PyMujocoScene, std::shared_ptr<PyMujocoScene>> cls(
        m, "MujocoScene", py::is_final(),
        "A MuJoCo scene for a Servo to step in its own thread (Servo.scene), each of its tools "
        "tied to an arm's end-effector by a virtual coupling: a spring and a damper between the "
        "tool and the end-effector mapped into the scene as scale * (position - origin).\n\n"
        "Every cycle the servo advances the scene by its period (period / timestep steps of "
        "the engine the mujoco package loaded, without the interpreter); the coupling's force "
        "acts on each tool (as xfrc_applied, at its centre of mass, recomputed every step), and "
        "its opposite divided by scale adds to the arm's force, which goes through the servo's "
        "guards and passivity like any other. The scene owns its MjData. pip install "
        "'ZelkorHardwareAPI[mujoco]'.");
    cls.def(py::init(&make_scene), py::arg("model"), py::arg("tools"), py::arg("stiffness"),
            py::arg("damping") = 0.0, py::arg("origin") = py::make_tuple(0.0, 0.0, 0.0),
            py::arg("scale") = 1.0,
            "A scene of model, a mujoco.MjModel, whose bodies named in tools (one per arm of the "
            "servo, in order) are held by the arms through a coupling of stiffness N/m and "
            "damping N s/m, as felt at the arm; origin (m) is the arm's position that maps to the "
            "scene's origin (one point, or one per tool), and scale the scene's metres per metre "
            "of the arm.\n\n"
            "Each tool must be a body with a free joint (a child of the world body); its frame's "
            "origin is where the coupling holds it. TypeError for a model that is not an MjModel "
            "(a path or an XML string included: load it with mujoco.MjModel.from_xml_path) or "
            "tools that are not a list of names; ValueError naming a body the model lacks or one "
            "without a free joint, for no tools or more than 4, an origin that is not finite or "
            "not one per tool, a negative stiffness or damping, or a scale that is not more than "
            "0.");
    cls.def_property_readonly(
        "model", [](const PyMujocoScene& s) { return s.model(); },
        "The mujoco.MjModel the scene was made of.\n\n"
        "Read it freely; change nothing in it while a servo steps the scene (its timestep is "
        "read again at the servo's start()).");
    cls.def_property_readonly(
        "data", [](const PyMujocoScene& s) { return s.data(); },
        "The scene's own mujoco.MjData, which the servo steps.\n\n"
        "Set the scene up in it (positions, velocities, a keyframe) while no running servo "
        "steps it; while one does, the loop writes it every cycle: read state() or copy_data() "
        "instead.");
    cls.def_property_readonly(
        "tools", [](const PyMujocoScene& s) { return py::tuple(py::cast(s.names())); },
        "The tools' body names, one per arm, in order.\n\nA tuple of str.");
    cls.def_property_readonly(
        "stiffness", [](const PyMujocoScene& s) { return s.coupling().stiffness; },
        "The coupling's stiffness, N/m, as the arm feels it.\n\nA float.");
    cls.def_property_readonly(
        "damping", [](const PyMujocoScene& s) { return s.coupling().damping; },
        "The coupling's damping, N s/m, as the arm feels it.\n\nA float.");
    cls.def_property_readonly(
        "origin", [](const PyMujocoScene& s) { return s.origin(); },
        "The arm's position, m, that maps to the scene's origin, as given: a tuple of three "
        "floats, or a tuple of one such per tool.\n\n"
        "Arms side by side each have their own, so that their tools need not start in one "
        "place.");
    cls.def_property_readonly(
        "scale", [](const PyMujocoScene& s) { return s.coupling().scale; },
        "The scene's metres per metre of the arm.\n\nA float.");
    cls.def("state", &view_of,
            "The scene as the servo's loop left it after its latest cycle (a SceneState): its "
            "time, qpos, where the tools are and the coupling's forces on them.\n\n"
            "A consistent copy, taken from any thread without stopping or slowing the loop.");
    cls.def("copy_data", &copy_data,
            "A new mujoco.MjData in the scene's latest state (as state() takes it), with "
            "mj_forward run on it: render it (mujoco.Renderer, a viewer) at display rate while "
            "the servo steps the scene.\n\n"
            "It holds the time, positions, velocities, activations and mocap bodies of the "
            "state; the live MjData is never read while a servo writes it.");
    cls.def("__repr__", &repr);
}

py::object scene_of(const Servo& servo) {
    const std::shared_ptr<MujocoScene> scene = servo.scene();
    if (!scene) return py::none();
    // Every scene a servo made from Python holds was made here.
    return py::cast(std::static_pointer_cast<PyMujocoScene>(scene));
}

void set_scene_of(Servo& servo, py::handle value) {
    std::shared_ptr<PyMujocoScene> scene;
    if (!value.is_none()) {
        if (!py::isinstance<PyMujocoScene>(value)) {
            throw py::type_error(std::string("Servo.scene takes a MujocoScene or None, not ") +
                                 Py_TYPE(value.ptr())->tp_name);
        }
        require_initialised(value, py::detail::get_type_info(typeid(PyMujocoScene)));
        scene = value.cast<std::shared_ptr<PyMujocoScene>>();
        const double timestep =
            py::module_::import("zelkor.scene").attr("timestep")(scene->model()).cast<double>();
        if (timestep != scene->timestep() && servo.scene() != scene) scene->set_timestep(timestep);
    }
    {
        GilReleased unlocked;  // the loop may take up to a cycle to let go of the scene before
        servo.set_scene(scene);
    }
    if (!scene || servo.settings().passivity) return;
    const double bound = servo.stable_stiffness(1.0);
    // 0: a measured rate not measured yet, which tells nothing.
    if (!(bound > 0.0 && scene->coupling().stiffness > bound)) return;
    const std::string text =
        "the scene's coupling of " +
        py::repr(py::float_(scene->coupling().stiffness)).cast<std::string>() +
        " N/m is stiffer than the " + std::to_string(static_cast<long>(bound)) +
        " N/m this servo renders stably on a device with 1 N s/m of damping "
        "(Servo.stable_stiffness): it may buzz; lower it, or make the servo with passivity=True";
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) != 0) throw py::error_already_set();
}

void check_scene_before_start(Servo& servo) {
    const std::shared_ptr<MujocoScene> scene = servo.scene();
    if (!scene) return;
    const auto& own = static_cast<const PyMujocoScene&>(*scene);
    const double timestep =
        py::module_::import("zelkor.scene").attr("timestep")(own.model()).cast<double>();
    if (timestep != scene->timestep()) scene->set_timestep(timestep);
    // A measured rate is fitted to the scene instead.
    if (servo.settings().rate_hz > 0.0) (void)scene->steps_per(1.0 / servo.settings().rate_hz);
}

}  // namespace Zelkor::HardwareAPI::Python
