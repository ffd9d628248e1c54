// Entry of the Python module ZelkorHardwareAPI. The order of the registrations below is part
// of the module's interface: classes registered first give their Python names to the
// signatures generated for the ones after them.
#include <ZelkorHardwareAPI/control/effects.h>
#include <ZelkorHardwareAPI/devices/uuid.h>
#include <ZelkorHardwareAPI/version.h>
#include <pybind11/pybind11.h>

#include <iostream>
#include <string>
#include <vector>

#include "python/bindings.h"
#include "python/scene.h"

namespace py = pybind11;
namespace hw = Zelkor::HardwareAPI;

PYBIND11_MODULE(ZelkorHardwareAPI, m) {
    m.doc() = "Python Implementation of the Zelkor Hardware API";

    hw::Python::register_serial_stream(m);

    py::class_<hw::UUID>(m, "UUID",
                         "A device identity: 16 bytes, all zero when made. Only the older "
                         "Arbelon.ReceiveDeviceInfo takes one, and fills it with the identity it "
                         "receives; device_wakeup_dict gives the identity as a uuid.UUID.")
        .def(py::init<>(), "An identity of 16 zero bytes. Takes no arguments.");

    m.def(
        "get_cpp_version", []() { return hw::library_version; },
        "Get the version of the CPP library");
    m.def(
        "print_cpp_version",
        []() { std::cout << "Library version: " << hw::library_version << std::endl; },
        "Print the version of the CPP library");

    hw::Python::register_arbelon(m);
    hw::Python::register_handle(m);
    hw::Python::register_scene(m);
    hw::Python::register_servo(m);
    hw::Python::register_ports(m);
    std::vector<const char*> guarded{"Servo", "Coupling", "MujocoScene"};
    const auto& effects = hw::Control::effect_names;
    guarded.insert(guarded.end(), effects.begin(), effects.end());
    hw::Python::guard_keywords(m, guarded);
    py::module_::import("atexit").attr("register")(
        py::cpp_function([] { hw::Python::stop_background_threads(); }));
    // The library's own fork handlers reset its threads and locks in the child; this one lets
    // go of what the parent's reception threads held of Python's.
    if (py::hasattr(py::module_::import("os"), "register_at_fork")) {
        py::module_::import("os").attr("register_at_fork")(
            py::arg("after_in_child") =
                py::cpp_function([] { hw::Python::after_fork_in_child(); }));
    }
    hw::Python::check_conduits(m);

    // Recording is written in Python over numpy (the package zelkor); it is imported when first
    // asked for, so importing the module stays as quick as before. So is remote (zelkor.remote:
    // serving an arm over Zenoh), whose dependencies are an optional extra.
    py::object module = m;
    m.def("__getattr__", [module](const py::str& name) -> py::object {
        if (std::string(name) == "Recording") {
            py::object recording = py::module_::import("zelkor.recording").attr("Recording");
            py::setattr(module, "Recording", recording);
            return recording;
        }
        if (std::string(name) == "remote") {
            py::object remote = py::module_::import("zelkor.remote");
            py::setattr(module, "remote", remote);
            return remote;
        }
        throw py::attribute_error("module 'ZelkorHardwareAPI' has no attribute '" +
                                  std::string(name) + "'");
    });

    m.attr("__version__") = "dev";
}
