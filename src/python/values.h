// Python values the servo and its effects take and give: three numbers, a force law's
// parameters, and their texts in a repr.
#pragma once

#include <ZelkorHardwareAPI/control/effects.h>
#include <ZelkorHardwareAPI/force_law.h>
#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <array>
#include <string>

#include "python/convert.h"

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

namespace py = pybind11;

inline const Control::Vec3& three(const Triple& triple, const char* what) {
    if (triple.length != 3) {
        throw py::value_error(std::string(what) + " needs three values, got " +
                              std::to_string(triple.length));
    }
    return triple.values;
}

using FloatTriple = py::typing::Tuple<float, float, float>;
inline FloatTriple tuple_of(const Control::Vec3& v) {
    return py::make_tuple(v[0], v[1], v[2]);
}
inline FloatTriple tuple_of(const Vector3& v) {
    return py::make_tuple(v[0], v[1], v[2]);
}

inline std::string text(const Control::Vec3& v) {
    return "(" + py::repr(py::float_(v[0])).cast<std::string>() + ", " +
           py::repr(py::float_(v[1])).cast<std::string>() + ", " +
           py::repr(py::float_(v[2])).cast<std::string>() + ")";
}
inline std::string text(double v) {
    return py::repr(py::float_(v)).cast<std::string>();
}
inline std::string text(bool v) {
    return v ? "True" : "False";
}

/// The three values of `triple`, checked to be three finite numbers (ValueError naming `what`).
inline const Control::Vec3& finite_three(const Triple& triple, const char* what) {
    const Control::Vec3& values = three(triple, what);
    Control::require_finite(values, what);
    return values;
}

}  // namespace Zelkor::HardwareAPI::Python
