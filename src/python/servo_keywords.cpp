#include "python/servo_keywords.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <type_traits>

#include "python/values.h"

namespace py = pybind11;

namespace Zelkor::HardwareAPI::Python {

using namespace Control;

namespace {

// The keywords the Servo takes that are no setting, and the settings Python gives another way.
bool is_extra(const std::string& name) {
    return name == "record" || name == "record_to" || name == "workspace" || name == "on_stop";
}
bool is_hidden(const char* name) {
    return std::string(name) == "workspace_min" || std::string(name) == "workspace_max";
}

std::string type_name(py::handle value) {
    return Py_TYPE(value.ptr())->tp_name;
}

// A number from Python for `info`, checked against its range; None for its sentinel.
double number_for(const SettingInfo& info, py::handle value, bool integer) {
    const SettingRange& range = info.range;
    if (value.is_none()) {
        if (range.has_sentinel) return range.sentinel;
        throw py::type_error(std::string(info.name) + " takes a number, not None");
    }
    const bool is_int = PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr());
    if (integer ? !is_int
                : !(is_int || PyFloat_Check(value.ptr()) || PyNumber_Check(value.ptr()))) {
        throw py::type_error(std::string(info.name) + " takes " +
                             (integer ? "an int" : "a number") + ", not " + type_name(value));
    }
    const double v = py::cast<double>(value);
    // From Python the sentinel is None: the number it stands for is out of range.
    if (!range.holds(v)) throw py::value_error(out_of_range(info, v, "None"));
    return v;
}

template <class T>
void assign(const SettingInfo& info, T& field, py::handle value) {
    if constexpr (std::is_same_v<T, bool>) {
        // True or False, numpy's booleans, and 1 or 0.
        const int truth = PyObject_IsTrue(value.ptr());
        const bool numeric = PyLong_Check(value.ptr()) && (truth == 0 || value.cast<long>() == 1);
        if (truth < 0 || !(PyBool_Check(value.ptr()) || numeric ||
                           type_name(value).rfind("numpy.bool", 0) == 0)) {
            PyErr_Clear();
            throw py::type_error(std::string(info.name) + " takes True or False, not " +
                                 type_name(value));
        }
        field = truth == 1;
    } else if constexpr (std::is_same_v<T, Vec3>) {
        (void)info, (void)field, (void)value;  // given as workspace
    } else {
        field = static_cast<T>(number_for(info, value, std::is_integral_v<T>));
    }
}

}  // namespace

std::string path_text(py::handle value, const char* keyword) {
    const py::object path = py::module_::import("os").attr("fspath")(value);
    if (!py::isinstance<py::str>(path)) {
        throw py::type_error(std::string(keyword) +
                             " takes a path as str or os.PathLike of str, not " + type_name(value));
    }
    return path.cast<std::string>();
}

namespace {

void set_workspace(ServoSettings& settings, py::handle value) {
    if (value.is_none()) return;
    const auto corners = value.cast<std::pair<Triple, Triple>>();
    settings.workspace_min = three(corners.first, "Servo(): workspace's corner");
    settings.workspace_max = three(corners.second, "Servo(): workspace's corner");
    if (!workspace_used(settings)) {
        throw py::value_error(
            "Servo(): workspace is (lowest corner, highest corner), each value of the first "
            "below the second's");
    }
}

void set_extra(const std::string& name, py::handle value, ServoSettings& settings,
               ServoExtras& extras) {
    if (name == "workspace") {
        set_workspace(settings, value);
    } else if (name == "record") {
        if (!value.is_none()) extras.record = value.cast<double>();
    } else if (name == "record_to") {
        if (!value.is_none()) extras.record_to = path_text(value, "record_to");
    } else {
        extras.on_stop = py::reinterpret_borrow<py::object>(value);
    }
}

// The text of a default in a signature.
template <class T>
std::string default_text(const SettingInfo& info, const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        return value ? "True" : "False";
    } else if constexpr (std::is_same_v<T, Vec3>) {
        return "None";
    } else {
        if (info.range.has_sentinel && static_cast<double>(value) == info.range.sentinel) {
            return "None";
        }
        if constexpr (std::is_integral_v<T>) return std::to_string(value);
        return text(static_cast<double>(value));
    }
}

template <class T>
std::string type_text(const SettingInfo& info) {
    std::string t = std::is_same_v<T, bool> ? "bool" : std::is_integral_v<T> ? "int" : "float";
    return info.range.has_sentinel ? "Optional[" + t + "]" : t;
}

}  // namespace

ServoSettings servo_settings_from(py::handle rate_hz, const py::kwargs& keywords,
                                  ServoExtras& extras) {
    ServoSettings settings;
    assign(setting_info::rate_hz, settings.rate_hz, rate_hz);
    for (const auto& item : keywords) {
        const std::string name = py::cast<std::string>(item.first);
        if (is_extra(name)) {
            set_extra(name, item.second, settings, extras);
            continue;
        }
        bool known = false;
        for_each_setting(settings, [&](const SettingInfo& info, auto& field) {
            if (name != info.name || is_hidden(info.name) || name == "rate_hz") return;
            assign(info, field, item.second);
            known = true;
        });
        if (!known) {
            throw py::type_error("Servo() got an unexpected keyword argument '" + name + "'");
        }
    }
    validate(settings);
    return settings;
}

void export_settings_table(py::module_& m) {
    py::list rows;
    const ServoSettings defaults;
    for_each_setting(defaults, [&](const SettingInfo& info, const auto& value) {
        using T = std::decay_t<decltype(value)>;
        if constexpr (!std::is_same_v<T, Vec3>) {
            const SettingRange& range = info.range;
            const bool sentinel =
                range.has_sentinel && static_cast<double>(value) == range.sentinel;
            py::object initial = py::none();
            const char* kind = std::is_same_v<T, bool> ? "bool"
                               : std::is_integral_v<T> ? "int"
                                                       : "float";
            if (!sentinel) initial = py::cast(value);
            py::object stands_for = py::none();
            if (range.has_sentinel) {
                stands_for = std::is_integral_v<T>
                                 ? py::object(py::int_(static_cast<long long>(range.sentinel)))
                                 : py::object(py::float_(range.sentinel));
            }
            rows.append(py::make_tuple(info.name, kind, initial, info.unit, info.doc, stands_for,
                                       range.sentinel_means));
        }
    });
    m.attr("_servo_settings") = py::tuple(rows);
    m.def(
        "_check_servo_settings",
        [](py::handle rate_hz, const py::kwargs& keywords) {
            ServoExtras extras;
            (void)servo_settings_from(rate_hz, keywords, extras);
        },
        py::arg("rate_hz") = ServoSettings{}.rate_hz,
        "Checks Servo() keywords as the constructor does, without an arm: ValueError or "
        "TypeError as it raises them.");
}

std::string servo_init_doc(const char* preamble) {
    const ServoSettings defaults;
    std::string signature =
        "__init__(self: ZelkorHardwareAPI.Servo, arm: object, rate_hz: Optional[float] = " +
        text(defaults.rate_hz) + ", *";
    std::string keywords;
    for_each_setting(defaults, [&](const SettingInfo& info, const auto& value) {
        using T = std::decay_t<decltype(value)>;
        const std::string name = info.name;
        if (name == "rate_hz" || name == "workspace_max") return;
        if (name == "workspace_min") {
            signature += ", workspace: Optional[tuple[Sequence[float], Sequence[float]]] = None";
            keywords +=
                "workspace: (lowest corner, highest corner) of a box in metres outside "
                "which the servo pushes back (workspace_stiffness, workspace_damping); "
                "None: none. ";
            return;
        }
        signature += ", " + name + ": " + type_text<T>(info) + " = " + default_text(info, value);
        keywords += name + ": " + info.doc + " ";
    });
    signature +=
        ", record: Optional[float] = None, record_to: Optional[str | os.PathLike[str]] = None, "
        "on_stop: object = None) -> None";
    std::string rate = std::string("rate_hz: ") + setting_info::rate_hz.doc + " ";
    return signature + "\n\n" + preamble + rate + keywords +
           "record: seconds of cycles to keep (see record()); None keeps none. record_to: an .npz "
           "file every cycle streams to while the loop runs (see record_to()); None: none. "
           "on_stop: called "
           "with the stop reason (a str such as 'device not answering') when the loop ends by "
           "itself, on a thread of the library's own that holds the interpreter lock; never for "
           "stop(). ValueError for a value out of range; TypeError for an arm that is not an "
           "Arbelon, a value of the wrong type, or an on_stop that is not callable.";
}

}  // namespace Zelkor::HardwareAPI::Python
