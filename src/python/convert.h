// Conversions between Python values and the library's fixed-size vectors, shared by the
// device classes of the module.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "devices/wire.h"

namespace Zelkor::HardwareAPI::Python {

/// A request vector as given from Python: any sequence except str and bytes whose items
/// convert to float. Keeps the first three values (as f32) and the sequence's length, so
/// the whole sequence is checked but nothing is stored for the items after the third.
struct RequestVector {
    Vector3 values{};
    std::size_t length = 0;
};

/// Every value of a Python float sequence, as f32, for calls whose results are as long as
/// their argument.
struct FloatList {
    std::vector<float> values;
};

/// The first three values of `request`; ValueError naming `method` when there are fewer.
const Vector3& three_values(const RequestVector& request, const char* method);

/// A new Python list of the three values, widened exactly to Python floats.
pybind11::list to_list(const Vector3& values);

/// The default of every request argument: the list [0.0, 0.0, 0.0].
pybind11::list zero_list();

namespace detail {
/// Converts each item of `src` with `sink(index, value)`; false when `src` is not a sequence
/// of numbers (the caller's overload then does not match).
template <class Sink>
bool load_floats(pybind11::handle src, Sink&& sink) {
    PyObject* o = src.ptr();
    if (!PySequence_Check(o) || PyUnicode_Check(o) || PyBytes_Check(o)) return false;
    auto take = [&](PyObject* item, Py_ssize_t i) {
        const double d = PyFloat_AsDouble(item);
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        sink(static_cast<std::size_t>(i), d);
        return true;
    };
    if (PyList_Check(o) || PyTuple_Check(o)) {
        // Indexing a list or tuple directly is the common case and costs no new references.
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        PyObject** items = PySequence_Fast_ITEMS(o);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!take(items[i], i)) return false;
        }
        return true;
    }
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) {
        PyErr_Clear();
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto item = pybind11::reinterpret_steal<pybind11::object>(PySequence_GetItem(o, i));
        if (!item) {
            PyErr_Clear();
            return false;
        }
        if (!take(item.ptr(), i)) return false;
    }
    return true;
}
}  // namespace detail

}  // namespace Zelkor::HardwareAPI::Python

namespace pybind11::detail {

template <>
struct type_caster<Zelkor::HardwareAPI::Python::RequestVector> {
    PYBIND11_TYPE_CASTER(Zelkor::HardwareAPI::Python::RequestVector, const_name("List[float]"));

    bool load(handle src, bool) {
        value = {};
        return Zelkor::HardwareAPI::Python::detail::load_floats(src, [this](std::size_t i, double d) {
            if (i < 3) value.values[i] = static_cast<float>(d);
            value.length = i + 1;
        });
    }
};

template <>
struct type_caster<Zelkor::HardwareAPI::Python::FloatList> {
    PYBIND11_TYPE_CASTER(Zelkor::HardwareAPI::Python::FloatList, const_name("List[float]"));

    bool load(handle src, bool) {
        value.values.clear();
        return Zelkor::HardwareAPI::Python::detail::load_floats(
            src, [this](std::size_t, double d) { value.values.push_back(static_cast<float>(d)); });
    }

    static handle cast(const Zelkor::HardwareAPI::Python::FloatList& src, return_value_policy,
                       handle) {
        list out(src.values.size());
        for (std::size_t i = 0; i < src.values.size(); ++i) {
            PyObject* item = PyFloat_FromDouble(src.values[i]);
            if (item == nullptr) throw error_already_set();
            PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), item);
        }
        return out.release();
    }
};

}  // namespace pybind11::detail
