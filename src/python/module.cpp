// Entry of the Python module ZelkorHardwareAPI. The order of the registrations below is part
// of the module's interface: classes registered first give their Python names to the
// signatures generated for the ones after them.
#include <pybind11/pybind11.h>

#include <iostream>
#include <memory>

#include "devices/uuid.h"
#include "io/serial_stream.h"
#include "python/bindings.h"
#include "version.h"

namespace py = pybind11;
namespace hw = Zelkor::HardwareAPI;

PYBIND11_MODULE(ZelkorHardwareAPI, m) {
    m.doc() = "Python Implementation of the Zelkor Hardware API";

    py::class_<hw::IO::SerialStream>(m, "SerialStream")
        .def(py::init([](const char* port) {
            // The string conversion turns None into a null name, which names no port.
            if (port == nullptr) {
                throw py::type_error("SerialStream(): the port name must be str, bytes or "
                                     "bytearray, not None");
            }
            return std::make_unique<hw::IO::SerialStream>(port);
        }));

    py::class_<hw::UUID>(m, "UUID").def(py::init<>());

    m.def("get_cpp_version", []() { return hw::library_version; },
          "Get the version of the CPP library");
    m.def("print_cpp_version",
          []() { std::cout << "Library version: " << hw::library_version << std::endl; },
          "Print the version of the CPP library");

    hw::Python::register_arbelon(m);
    hw::Python::register_handle(m);

    m.attr("__version__") = "dev";
}
