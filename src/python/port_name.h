// A port name as Python gives it: str, bytes, bytearray or a path-like object.
#pragma once

#include <pybind11/pybind11.h>

#include <cstring>
#include <string>

namespace Zelkor::HardwareAPI::Python {
/// A port name as given from Python.
struct PortName {
    std::string text;
};
}  // namespace Zelkor::HardwareAPI::Python

namespace pybind11::detail {

// A port name from Python: str, bytes, bytearray or a path-like object. A NUL inside would
// silently cut the name and open another port, so it is refused as Python's own open()
// refuses it; anything else does not match.
template <>
struct type_caster<Zelkor::HardwareAPI::Python::PortName> {
    PYBIND11_TYPE_CASTER(Zelkor::HardwareAPI::Python::PortName,
                         const_name("Union[str, bytes, bytearray, os.PathLike[str]]"));

    bool load(handle src, bool) {
        PyObject* o = src.ptr();
        std::string& text = value.text;
        if (PyByteArray_Check(o)) {
            text.assign(PyByteArray_AS_STRING(o),
                        static_cast<std::size_t>(PyByteArray_GET_SIZE(o)));
        } else if (PyUnicode_Check(o) || PyBytes_Check(o) ||
                   (!PyType_Check(o) && PyObject_HasAttrString(o, "__fspath__"))) {
            auto path = reinterpret_steal<object>(PyOS_FSPath(o));
            if (!path) throw error_already_set();
            if (PyUnicode_Check(path.ptr())) {
                Py_ssize_t n = 0;
                const char* utf8 = PyUnicode_AsUTF8AndSize(path.ptr(), &n);
                if (utf8 == nullptr) throw error_already_set();
                text.assign(utf8, static_cast<std::size_t>(n));
            } else {
                text.assign(PyBytes_AS_STRING(path.ptr()),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(path.ptr())));
            }
        } else {
            return false;
        }
        if (std::memchr(text.data(), '\0', text.size()) != nullptr) {
            throw value_error("embedded null byte");
        }
        return true;
    }
};

}  // namespace pybind11::detail
