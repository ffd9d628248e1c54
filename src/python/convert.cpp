#include "python/convert.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace py = pybind11;

namespace Zelkor::HardwareAPI::Python {

const Vector3& three_values(const RequestVector& request, const char* method) {
    if (request.length < 3) {
        throw py::value_error(std::string(method) + "() needs three values in its request, got " +
                              std::to_string(request.length));
    }
    check_values(request.bad, method, "request");
    return request.values;
}

namespace {
// A value as Python shows it: "inf", "nan", "1e+300".
std::string python_text(double value) {
    return py::repr(py::float_(value));
}
}  // namespace

void check_values(const BadValue& bad, const char* method, const char* what) {
    if (!bad.found()) return;
    throw py::value_error(std::string(method) + "(): " + what + " value " +
                          std::to_string(bad.index) + " is " + python_text(bad.value) +
                          "; values must be finite and within single precision");
}

float single_precision(double value, const char* method, const char* what) {
    if (std::isfinite(value) && std::fabs(value) > std::numeric_limits<float>::max()) {
        throw py::value_error(std::string(method) + "(): " + what + " " + python_text(value) +
                              " is outside single precision");
    }
    return static_cast<float>(value);
}

IO::SerialStream* required_stream(IO::SerialStream* stream, const char* cls) {
    if (stream == nullptr) {
        throw py::type_error(std::string(cls) + "(): a SerialStream is required, not None");
    }
    return stream;
}

namespace {
// A new list of `n` items, item i being `make(i)`, a new reference. The lists of the handle's
// callbacks are built this way for every status message: through the C API, without a
// pybind11 cast per item.
template <class Make>
py::list new_list(std::size_t n, Make make) {
    py::list out(n);
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = make(i);
        if (item == nullptr) throw py::error_already_set();
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), item);
    }
    return out;
}
}  // namespace

py::list float_list(const float* values, std::size_t n) {
    return new_list(n, [values](std::size_t i) { return PyFloat_FromDouble(values[i]); });
}

// Ints below 257 are shared by the interpreter: no allocation per item.
py::list byte_list(const std::uint8_t* bytes, std::size_t n) {
    return new_list(n, [bytes](std::size_t i) { return PyLong_FromLong(bytes[i]); });
}

py::list zero_list() {
    return to_list(Vector3{0.0f, 0.0f, 0.0f});
}

namespace detail {

bool load_user_data(py::handle src, UserData& out) {
    out.length = 0;
    PyObject* o = src.ptr();
    const char* raw = nullptr;
    if (PyBytes_Check(o)) {
        raw = PyBytes_AS_STRING(o);
        out.length = static_cast<std::size_t>(PyBytes_GET_SIZE(o));
    } else if (PyByteArray_Check(o)) {
        raw = PyByteArray_AS_STRING(o);
        out.length = static_cast<std::size_t>(PyByteArray_GET_SIZE(o));
    }
    if (raw != nullptr) {
        std::memcpy(out.bytes.data(), raw, std::min(out.length, out.bytes.size()));
        return true;
    }
    return for_each_item(src, [&out](PyObject* item, std::size_t i) {
        // Integers only (anything with __index__): a float that happens to convert is a
        // mistake. A huge value clips, and so stays out of range.
        if (!PyIndex_Check(item)) return false;
        const Py_ssize_t v = PyNumber_AsSsize_t(item, nullptr);
        if (v == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        if (v < 0 || v > 255) return false;
        if (i < out.bytes.size()) out.bytes[i] = static_cast<std::uint8_t>(v);
        out.length = i + 1;
        return true;
    });
}

}  // namespace detail

}  // namespace Zelkor::HardwareAPI::Python
