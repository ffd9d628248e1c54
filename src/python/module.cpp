// Entry of the Python module ZelkorHardwareAPI. The order of the registrations below is part
// of the module's interface: classes registered first give their Python names to the
// signatures generated for the ones after them.
#include <pybind11/pybind11.h>

#include <iostream>
#include <memory>
#include <string>

#include "devices/uuid.h"
#include "io/serial_stream.h"
#include "python/bindings.h"
#include "version.h"

namespace py = pybind11;
namespace hw = Zelkor::HardwareAPI;

PYBIND11_MODULE(ZelkorHardwareAPI, m) {
    m.doc() = "Python Implementation of the Zelkor Hardware API";

    py::class_<hw::IO::SerialStream>(m, "SerialStream")
        .def(py::init([](const std::string& port) {
            // The port is opened by a NUL-terminated name: one with a NUL inside would open
            // the port named by its start.
            if (port.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
            return std::make_unique<hw::IO::SerialStream>(port.c_str());
        }));

    py::class_<hw::UUID>(m, "UUID").def(py::init<>());

    m.def("get_cpp_version", []() { return hw::library_version; },
          "Get the version of the CPP library");
    m.def("print_cpp_version",
          []() { std::cout << "Library version: " << hw::library_version << std::endl; },
          "Print the version of the CPP library");

    hw::Python::register_arbelon(m);
    hw::Python::register_handle(m);
    hw::Python::check_conduits(m);

    m.attr("__version__") = "dev";
}
