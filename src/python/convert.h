// Conversions between Python values and the library's fixed-size vectors, shared by the
// device classes of the module.
#pragma once

#include <ZelkorHardwareAPI/io/serial_stream.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "devices/wire.h"
#include "python/instances.h"

namespace Zelkor::HardwareAPI::Python {

/// Where a sequence first held a value that has no single-precision equivalent to send or
/// store: NaN, an infinity, or a magnitude beyond the largest f32. Such a value is stored as 0,
/// never narrowed, and the method that received it raises ValueError naming it.
struct BadValue {
    static constexpr std::size_t none = static_cast<std::size_t>(-1);
    std::size_t index = none;
    double value = 0.0;

    bool found() const { return index != none; }
    /// The f32 of `d`, or 0 when it does not fit (the first such index is kept).
    float narrow(std::size_t i, double d) {
        if (std::fabs(d) <= static_cast<double>(std::numeric_limits<float>::max())) {
            return static_cast<float>(d);
        }
        if (index == none) {
            index = i;
            value = d;
        }
        return 0.0f;
    }
};

/// A request vector as given from Python: any sequence except str and bytes-like objects whose
/// items convert to float. Keeps the first three values (as f32) and the sequence's length, so
/// the whole sequence is checked but nothing is stored for the items after the third.
struct RequestVector {
    Vector3 values{};
    std::size_t length = 0;
    BadValue bad;  ///< among the first three values, the ones sent
};

/// Every value of a Python float sequence, as f32, for calls whose results are as long as
/// their argument.
struct FloatList {
    std::vector<float> values;
    BadValue bad;  ///< among all the values, which all become f32
};

/// User data as given from Python: bytes, bytearray, or any other sequence (except str) of
/// ints from 0 to 255. Keeps the first 255 bytes, all a message can carry, and the length
/// of the whole sequence, every item of which is checked.
struct UserData {
    std::array<std::uint8_t, 255> bytes{};
    std::size_t length = 0;
};

/// `stream`, or TypeError naming `cls` when it is null (None from Python): a device needs one.
IO::SerialStream* required_stream(IO::SerialStream* stream, const char* cls);

/// The first three values of `request`; ValueError naming `method` when there are fewer, or
/// when one of them has no single-precision value.
const Vector3& three_values(const RequestVector& request, const char* method);

/// ValueError "<method>(): <what> value <index> is <value>; ..." when `bad` found a value.
void check_values(const BadValue& bad, const char* method, const char* what);

/// `value` as f32 where it is kept rather than sent (NaN and the infinities stay as they are);
/// ValueError naming `method` and `what` when it is finite but beyond f32's range.
float single_precision(double value, const char* method, const char* what);

/// A new Python list of the first `n` values, widened exactly to Python floats.
pybind11::list float_list(const float* values, std::size_t n);

/// A new Python list of the three values, widened exactly to Python floats.
inline pybind11::list to_list(const Vector3& values) {
    return float_list(values.data(), values.size());
}

/// A new Python list of the first `n` bytes, as ints.
pybind11::list byte_list(const std::uint8_t* bytes, std::size_t n);

/// The default of every request argument: the list [0.0, 0.0, 0.0].
pybind11::list zero_list();

namespace detail {
/// Calls `take(item, index)` for each item of `src`, a sequence other than str and bytes,
/// until it returns false. False when `src` is no such sequence or an item was refused (the
/// caller's overload then does not match); no Python error is left set.
///
/// `take` may call into Python (an item's __float__ or __index__), which may change or empty
/// the sequence: each item is held while it is taken, and a list's size is read again before
/// every item, so no storage is read after such a call. Items added meanwhile are not taken.
template <class Take>
bool for_each_item(pybind11::handle src, Take&& take) {
    PyObject* o = src.ptr();
    if (!PySequence_Check(o) || PyUnicode_Check(o) || PyBytes_Check(o)) return false;
    if (PyList_Check(o) || PyTuple_Check(o)) {
        // Indexing a list or tuple directly is the common case and allocates nothing.
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        for (Py_ssize_t i = 0; i < n && i < PySequence_Fast_GET_SIZE(o); ++i) {
            const auto item =
                pybind11::reinterpret_borrow<pybind11::object>(PySequence_Fast_GET_ITEM(o, i));
            if (!take(item.ptr(), static_cast<std::size_t>(i))) return false;
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
        if (!take(item.ptr(), static_cast<std::size_t>(i))) return false;
    }
    return true;
}

/// Converts each item of `src` with `sink(index, value)`; false when `src` is not a sequence
/// of numbers. Bytes-like objects are sequences of ints, but never a vector of numbers: a
/// bytearray or memoryview given as a request is a mistake, as bytes are.
template <class Sink>
bool load_floats(pybind11::handle src, Sink&& sink) {
    PyObject* o = src.ptr();
    if (PyBytes_Check(o) || PyByteArray_Check(o) || PyMemoryView_Check(o)) return false;
    return for_each_item(src, [&](PyObject* item, std::size_t i) {
        const double d = PyFloat_AsDouble(item);
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        sink(i, d);
        return true;
    });
}

/// Fills `out` from bytes, a bytearray or a sequence of ints from 0 to 255; false otherwise.
bool load_user_data(pybind11::handle src, UserData& out);
}  // namespace detail

}  // namespace Zelkor::HardwareAPI::Python

namespace pybind11::detail {

template <>
struct type_caster<Zelkor::HardwareAPI::Python::RequestVector> {
    PYBIND11_TYPE_CASTER(Zelkor::HardwareAPI::Python::RequestVector, const_name("List[float]"));

    bool load(handle src, bool) {
        value = {};
        return Zelkor::HardwareAPI::Python::detail::load_floats(
            src, [this](std::size_t i, double d) {
                if (i < 3) value.values[i] = value.bad.narrow(i, d);
                value.length = i + 1;
            });
    }
};

template <>
struct type_caster<Zelkor::HardwareAPI::Python::FloatList> {
    PYBIND11_TYPE_CASTER(Zelkor::HardwareAPI::Python::FloatList, const_name("List[float]"));

    bool load(handle src, bool) {
        value.values.clear();
        value.bad = {};
        // Room for the whole list at once: grown value by value, the storage of three values
        // was allocated three times over.
        if (PyList_Check(src.ptr()) || PyTuple_Check(src.ptr())) {
            value.values.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(src.ptr())));
        }
        return Zelkor::HardwareAPI::Python::detail::load_floats(
            src,
            [this](std::size_t i, double d) { value.values.push_back(value.bad.narrow(i, d)); });
    }

    static handle cast(const Zelkor::HardwareAPI::Python::FloatList& src, return_value_policy,
                       handle) {
        return Zelkor::HardwareAPI::Python::float_list(src.values.data(), src.values.size())
            .release();
    }
};

template <>
struct type_caster<Zelkor::HardwareAPI::Python::UserData> {
    PYBIND11_TYPE_CASTER(Zelkor::HardwareAPI::Python::UserData,
                         const_name("Union[bytes, bytearray, Sequence[int]]"));

    bool load(handle src, bool) {
        return Zelkor::HardwareAPI::Python::detail::load_user_data(src, value);
    }
};

}  // namespace pybind11::detail
