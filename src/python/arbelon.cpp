// Python class Arbelon: the current request/state exchanges (the legacy methods are in
// arbelon_legacy.cpp).
#include <ZelkorHardwareAPI/devices/arbelon.h>
#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "devices/protocol.h"
#include "python/bindings.h"
#include "python/convert.h"
#include "python/port_call.h"

namespace py = pybind11;

namespace Zelkor::HardwareAPI::Python {

namespace {

using Devices::Arbelon;

// The result of a failed exchange is built from zeroed storage, never from whatever the
// memory held.
Protocol::DeviceInfo wake(Arbelon& arm) {
    Protocol::DeviceInfo id;
    port_call(arm, [&] {
        (void)arm.device_wakeup(id.device_id, id.device_model_number, id.hardware_version,
                                id.firmware_version, id.uuid);
    });
    return id;
}

// 32 lowercase hex digits, byte 0 first.
std::string uuid_text(const UUID& uuid) {
    static const char digits[] = "0123456789abcdef";
    std::string text(2 * uuid.bytes.size(), '0');
    for (std::size_t i = 0; i < uuid.bytes.size(); ++i) {
        text[2 * i] = digits[uuid.bytes[i] >> 4];
        text[2 * i + 1] = digits[uuid.bytes[i] & 0x0F];
    }
    return text;
}

using StateExchange = int (Arbelon::*)(const Vector3&, Vector3&, Vector3&);

// What every state exchange says of its failures, after its own text.
constexpr const char* exchange_failures =
    "A reply that does not come (about 1 s on a silent line, at once on a closed port), "
    "comes short or carries the wrong code raises nothing: both lists are then zeros "
    "and last_result is not 24. ValueError for a request without three numbers or with "
    "a value that is not finite or beyond single precision, TypeError for one that is "
    "not a sequence of numbers, both before anything is sent; RuntimeError while a "
    "Servo drives the arm.";

// Binds one request/state exchange: converts the request, runs the exchange, returns the two
// state vectors as a tuple of lists.
template <StateExchange exchange>
void def_state_exchange(py::class_<Arbelon>& cls, const char* name, const char* argument,
                        const char* doc) {
    // pybind11 keeps its own copy of the docstring.
    const std::string text = std::string(doc) + "\n\n" + exchange_failures;
    cls.def(
        name,
        [name](Arbelon& self, const RequestVector& request) -> py::tuple {
            const Vector3& values = three_values(request, name);
            Vector3 first{}, second{};
            port_call(self, [&] { (void)(self.*exchange)(values, first, second); });
            return py::make_tuple(to_list(first), to_list(second));
        },
        py::arg(argument) = zero_list(), text.c_str());
}

// ---- The fast entry of the four state exchanges ----
//
// A control loop calls these exchanges thousands of times a second, nearly always with a list
// or tuple of three plain numbers. For that call the method is a C function of the
// interpreter's fast calling convention that converts the numbers, runs the exchange and
// builds the result with no object but the result itself. Every other call (keywords, other
// sequences, numbers of other types, values that must be refused, a stream that releases the
// interpreter lock or has a servo or background reception, a subclass) goes to the pybind11
// function unchanged, so errors, messages, defaults and docstrings are that function's.

struct FastEntry {
    PyMethodDef def{};
    PyObject* fallback = nullptr;  // the pybind11 function, taking self first
    std::string doc;
};

FastEntry fast_entries[4];
PyTypeObject* arbelon_type = nullptr;

// The Arbelon behind `self` when it is exactly an Arbelon whose __init__ ran; null otherwise.
Arbelon* plain_arbelon(PyObject* self) {
    if (Py_TYPE(self) != arbelon_type) return nullptr;
    auto* inst = reinterpret_cast<py::detail::instance*>(self);
    if (!inst->simple_layout || !inst->simple_holder_constructed) return nullptr;
    return static_cast<Arbelon*>(inst->simple_value_holder[0]);
}

// The number f32 holds for `item`, an exact float or int; false for anything else, including
// a value the exchange must refuse (the pybind11 function then says why).
bool plain_value(PyObject* item, float& out) {
    double d;
    if (PyFloat_CheckExact(item)) {
        d = PyFloat_AS_DOUBLE(item);
    } else if (PyLong_CheckExact(item)) {
        d = PyLong_AsDouble(item);
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
    } else {
        return false;
    }
    if (!(std::fabs(d) <= static_cast<double>(std::numeric_limits<float>::max()))) return false;
    out = static_cast<float>(d);
    return true;
}

// The three values of an exact list or tuple of exactly three plain numbers. No Python code
// runs meanwhile, so the list cannot change under the reads.
bool plain_request(PyObject* request, Vector3& out) {
    PyObject* const* items;
    if (PyList_CheckExact(request) && PyList_GET_SIZE(request) == 3) {
        items = reinterpret_cast<PyListObject*>(request)->ob_item;
    } else if (PyTuple_CheckExact(request) && PyTuple_GET_SIZE(request) == 3) {
        items = reinterpret_cast<PyTupleObject*>(request)->ob_item;
    } else {
        return false;
    }
    return plain_value(items[0], out[0]) && plain_value(items[1], out[1]) &&
           plain_value(items[2], out[2]);
}

PyObject* new_float_list(const Vector3& v) {
    PyObject* list = PyList_New(3);
    if (list == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < 3; ++i) {
        PyObject* item = PyFloat_FromDouble(v[static_cast<std::size_t>(i)]);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i, item);
    }
    return list;
}

// Calls the pybind11 function with `self` in front of the arguments.
PyObject* call_fallback(const FastEntry& entry, PyObject* self, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    std::vector<PyObject*> stack(static_cast<std::size_t>(total) + 1);
    stack[0] = self;
    std::copy(args, args + total, stack.begin() + 1);
    return PyObject_Vectorcall(entry.fallback, stack.data(), static_cast<std::size_t>(nargs) + 1,
                               kwnames);
}

template <int index, StateExchange exchange>
PyObject* fast_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const FastEntry& entry = fast_entries[index];
    if (kwnames != nullptr || nargs > 1) return call_fallback(entry, self, args, nargs, kwnames);
    Arbelon* arm = plain_arbelon(self);
    Vector3 request{0.0f, 0.0f, 0.0f};
    if (arm == nullptr || (nargs == 1 && !plain_request(args[0], request))) {
        return call_fallback(entry, self, args, nargs, kwnames);
    }
    const PyStream& stream = stream_of(*arm);
    // Only a free stream (or one this thread holds, from a callback): the fallback waits for
    // another thread's call, or refuses.
    IO::StreamUse& use = stream.use();
    const IO::StreamUse::Entry held = use.try_enter();
    if (held != IO::StreamUse::Entry::taken && held != IO::StreamUse::Entry::nested) {
        return call_fallback(entry, self, args, nargs, kwnames);
    }
    // Read under the hold: a call that must let go of the interpreter lock is the fallback's.
    if (stream.release_gil || stream.received()) {
        use.leave();
        return call_fallback(entry, self, args, nargs, kwnames);
    }
    Vector3 first{}, second{};
    (void)(arm->*exchange)(request, first, second);
    use.leave();
    // A signal handler that raised while the exchange waited.
    if (PyErr_Occurred()) return nullptr;
    PyObject* a = new_float_list(first);
    PyObject* b = a ? new_float_list(second) : nullptr;
    if (b == nullptr) {
        Py_XDECREF(a);
        return nullptr;
    }
    PyObject* result = PyTuple_New(2);
    if (result == nullptr) {
        Py_DECREF(a);
        Py_DECREF(b);
        return nullptr;
    }
    PyTuple_SET_ITEM(result, 0, a);
    PyTuple_SET_ITEM(result, 1, b);
    return result;
}

// Puts the fast entry in place of the method `name` that pybind11 registered, keeping that
// method as the fallback and its docstring.
template <int index, StateExchange exchange>
void install_fast_entry(py::class_<Arbelon>& cls, const char* name) {
    FastEntry& entry = fast_entries[index];
    py::object original = cls.attr(name);
    entry.fallback = original.release().ptr();  // held for the life of the process
    entry.doc = py::str(py::handle(entry.fallback).attr("__doc__")).cast<std::string>();
    entry.def.ml_name = name;
    entry.def.ml_meth = reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(&fast_exchange<index, exchange>));
    entry.def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    entry.def.ml_doc = entry.doc.c_str();
    py::object descriptor = py::reinterpret_steal<py::object>(
        PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &entry.def));
    if (!descriptor) throw py::error_already_set();
    py::setattr(cls, name, descriptor);
}

}  // namespace

void register_arbelon(py::module_& m) {
    py::class_<Arbelon> cls(
        m, "Arbelon",
        "The Arbelon arm: a three-axis end-effector driven by three joints (0: base yaw, 1: "
        "shoulder, 2: elbow).\n\n"
        "Every exchange writes one request and reads the reply before it returns. Units: "
        "metres and metres per second for the end-effector, radians and radians per second for "
        "the joints, newtons for forces, newton metres for torques, amperes for currents. A "
        "reply that does not come (after about a second), comes short or carries the wrong "
        "code raises nothing: the state comes back as zeros, last_result tells what came, and "
        "the next exchange works as usual. A request needs three numbers, each finite and "
        "within single precision (ValueError otherwise, before anything is sent); any sequence "
        "of numbers will do except str, bytes, bytearray and memoryview (TypeError). While a "
        "Servo drives the arm every method that uses the port raises RuntimeError.");

    // The device borrows the stream; keeping the Python stream alive with the device means a
    // script that drops its own reference cannot leave the device with a dangling one.
    cls.def(py::init([](IO::SerialStream* stream) {
                return std::make_unique<Arbelon>(required_stream(stream, "Arbelon"));
            }),
            py::arg("stream"), py::keep_alive<1, 2>(),
            "An arm on stream, a SerialStream, which the arm keeps alive. Sends nothing. "
            "TypeError when stream is None or not a SerialStream.");

    cls.def(
        "device_wakeup",
        [](Arbelon& self) -> py::typing::Tuple<int, int, int, int, py::typing::List<int>> {
            const Protocol::DeviceInfo id = wake(self);
            py::list uuid = byte_list(id.uuid.bytes.data(), id.uuid.bytes.size());
            return py::make_tuple(id.device_id, id.device_model_number, id.hardware_version,
                                  id.firmware_version, uuid);
        },
        "Wakeup the device and return the device info as a tuple.\n\n"
        "Returns (device_id, device_model_number, hardware_version, firmware_version, uuid): "
        "four ints and the device's 16 identity bytes as a list of ints. When no whole "
        "identity reply comes (about 1 s on a silent line, at once on a closed port) every "
        "value is 0 and last_result is not 21; nothing is raised. RuntimeError while a Servo "
        "drives the arm.");

    cls.def(
        "device_wakeup_dict",
        [](Arbelon& self) {
            const Protocol::DeviceInfo id = wake(self);
            py::object uuid = py::module_::import("uuid").attr("UUID")(uuid_text(id.uuid));
            py::typing::Dict<py::str, py::object> info;
            info["device_id"] = id.device_id;
            info["device_model_number"] = id.device_model_number;
            info["hardware_version"] = id.hardware_version;
            info["firmware_version"] = id.firmware_version;
            info["device_id_ext"] = uuid;
            return info;
        },
        "Wakeup the device and return the device info as a dict.\n\n"
        "Keys: device_id, device_model_number, hardware_version, firmware_version (ints) and "
        "device_id_ext (the 16 identity bytes as a uuid.UUID). When no whole identity reply "
        "comes the ints are 0 and device_id_ext is uuid.UUID(int=0); nothing is raised. "
        "RuntimeError while a Servo drives the arm.");

    def_state_exchange<&Arbelon::end_effector_force>(
        cls, "end_effector_force", "force request vector",
        "Send forces to the device and receive device states\n\n"
        "force request vector (positional only): the force on the end-effector, x, y, z in "
        "newtons; no force when omitted. Returns (position, velocity): the end-effector's "
        "position in metres and its velocity in metres per second, each a list of three "
        "floats.");
    def_state_exchange<&Arbelon::joint_torques>(
        cls, "joint_torques", "joint torque request vector",
        "Send joint torques to the device and receive the joint states\n\n"
        "joint torque request vector (positional only): the torques of joints 0, 1 and 2 in "
        "newton metres; none when omitted. Returns (joint_position, joint_velocity): the "
        "joint angles in radians and the joint velocities in radians per second, each a list "
        "of three floats.");
    def_state_exchange<&Arbelon::end_effector_position>(
        cls, "end_effector_position", "position request vector",
        "Send end-effector position and receive device states\n\n"
        "position request vector (positional only): where the device is to hold the "
        "end-effector, x, y, z in metres; the origin when omitted. Returns (position, "
        "velocity): the end-effector's position in metres and its velocity in metres per "
        "second, each a list of three floats.");
    def_state_exchange<&Arbelon::joint_angles>(
        cls, "joint_angles", "joint angle request vector",
        "Send joint angles to the device and receive the joint states\n\n"
        "joint angle request vector (positional only): the angles joints 0, 1 and 2 are to "
        "hold, in radians; zeros when omitted. Returns (joint_position, joint_velocity): the "
        "joint angles in radians and the joint velocities in radians per second, each a list "
        "of three floats.");

    define_arbelon_legacy(cls);

    cls.def_property_readonly(
        "last_result", [](const Arbelon& self) { return self.last_result(); }, last_result_doc);

    arbelon_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    install_fast_entry<0, &Arbelon::end_effector_force>(cls, "end_effector_force");
    install_fast_entry<1, &Arbelon::joint_torques>(cls, "joint_torques");
    install_fast_entry<2, &Arbelon::end_effector_position>(cls, "end_effector_position");
    install_fast_entry<3, &Arbelon::joint_angles>(cls, "joint_angles");
}

}  // namespace Zelkor::HardwareAPI::Python
