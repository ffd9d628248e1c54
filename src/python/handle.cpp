// Python classes Device, HandleErrorResponse, HandleInfoResponse, HandleStatusResponse, Handle.
#include "devices/handle.h"

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <iterator>
#include <memory>
#include <string>

#include "python/bindings.h"
#include "python/convert.h"
#include "python/port_call.h"
#include "python/reception.h"

namespace py = pybind11;

namespace Zelkor::HardwareAPI::Python {

namespace {

using Devices::Handle;
using InfoResponse = Handle::HandleInfoResponse;
using StatusResponse = Handle::HandleStatusResponse;
using ErrorResponse = Handle::HandleErrorResponse;

#define ZELKOR_PURE_VIRTUAL(name) \
    "Tried to call pure virtual function \"Zelkor::HardwareAPI::Devices::Handle::" name "\""

// The three parameter-list callbacks, each with its message for a subclass that lacks it.
enum class Callback : std::size_t { info, status, error };
struct CallbackName {
    const char* name;
    const char* missing;
};
constexpr CallbackName callback_names[] = {
    {"OnReceiveHandleInfo", ZELKOR_PURE_VIRTUAL("OnReceiveHandleInfo")},
    {"OnReceiveHandleStatusMessage", ZELKOR_PURE_VIRTUAL("OnReceiveHandleStatusMessage")},
    {"OnReceiveHandleErrorResponse", ZELKOR_PURE_VIRTUAL("OnReceiveHandleErrorResponse")},
};

#undef ZELKOR_PURE_VIRTUAL

// The function object class Handle binds for each callback, set at registration and held for
// the life of the process: an attribute that resolves to it is no override.
PyObject* bound_callback[3] = {};

// Calls `override` with positional arguments and drops its result. An exception it raises
// leaves as error_already_set and reaches the caller of Receive unchanged.
template <class... Args>
void call(const py::function& override, const Args&... args) {
    PyObject* result = PyObject_CallFunctionObjArgs(override.ptr(), args.ptr()..., nullptr);
    if (result == nullptr) throw py::error_already_set();
    Py_DECREF(result);
}

// Sets a flag for the life of the scope, then puts back the value it had.
class FlagScope {
public:
    FlagScope(bool& flag, bool value) : flag(flag), saved(flag) { flag = value; }
    ~FlagScope() { flag = saved; }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

private:
    bool& flag;
    const bool saved;
};

// Forwards the parameter-list callbacks to the methods of the same name on a Python subclass.
// The record callbacks keep the empty bodies of Handle: they never reach Python.
class Trampoline_Handle : public Handle, public Reception {
public:
    using Handle::Handle;
    using Handle::OnReceiveHandleErrorResponse;
    using Handle::OnReceiveHandleInfo;
    using Handle::OnReceiveHandleStatusMessage;

    // True while a callback runs because Python called the binding's method for it
    // (`Handle.OnReceiveHandleInfo(self, ...)`); false while Receive runs, however the two nest.
    bool direct_call = false;

    void OnReceiveHandleInfo(std::uint8_t tool_data_remaining, std::uint16_t device_id,
                             std::uint8_t device_model_number, std::uint8_t hardware_version,
                             std::uint8_t firmware_version) override {
        // Receive may be called by library code on a thread that does not hold the lock.
        py::gil_scoped_acquire gil;
        const py::function override = override_of(Callback::info);
        call(override, py::int_(tool_data_remaining), py::int_(device_id),
             py::int_(device_model_number), py::int_(hardware_version),
             py::int_(firmware_version));
    }

    void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                      std::uint8_t error_flag,
                                      std::uint8_t hall_effect_sensor_level,
                                      std::uint8_t user_data_length,
                                      const std::uint8_t* user_data) override {
        py::gil_scoped_acquire gil;
        const py::function override = override_of(Callback::status);
        // The lists are built straight from the caller's storage, which outlives the call.
        call(override, py::int_(device_id), float_list(quaternion, 4), py::int_(error_flag),
             py::int_(hall_effect_sensor_level), py::int_(user_data_length),
             byte_list(user_data, user_data_length));
    }

    void OnReceiveHandleErrorResponse(std::uint16_t device_id,
                                      std::uint8_t error_code) override {
        py::gil_scoped_acquire gil;
        const py::function override = override_of(Callback::error);
        call(override, py::int_(device_id), py::int_(error_code));
    }

private:
    // The Python override of `which` on the object behind this trampoline; RuntimeError (the
    // callback's `missing` text) when the subclass has none.
    py::function override_of(Callback which) const {
        const auto index = static_cast<std::size_t>(which);
        const CallbackName& callback = callback_names[index];
        // No Python code starts over an exception already raised: that one goes on instead.
        if (PyErr_Occurred()) throw py::error_already_set();
        const Handle* base = this;
        if (direct_call) {
            // pybind11's lookup, which finds no override when asked from inside that override
            // on the same object: the base method called from its override raises rather than
            // calling the override again.
            py::function override = py::get_override(base, callback.name);
            if (!override) py::pybind11_fail(callback.missing);
            return override;
        }
        // From Receive the method the object has is always the one to call, even when Receive
        // runs inside a callback of the same name, where pybind11's lookup would find none.
        const py::handle self =
            py::detail::get_object_handle(base, py::detail::get_type_info(typeid(Handle)));
        if (!self) py::pybind11_fail(callback.missing);
        PyObject* attribute = PyObject_GetAttrString(self.ptr(), callback.name);
        if (attribute == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
            PyErr_Clear();
            py::pybind11_fail(callback.missing);
        }
        // TypeError "Object of type '...' is not an instance of 'function'" when not callable.
        py::function override = py::reinterpret_steal<py::object>(attribute);
        if (py::detail::get_function(override).ptr() == bound_callback[index]) {
            py::pybind11_fail(callback.missing);
        }
        return override;
    }
};

// Runs `callback`, a callback's C++ call made because Python called the binding's method on
// `self`; a Python subclass's trampoline then takes the override as pybind11 finds it.
template <class F>
void as_direct_call(Handle& self, F&& callback) {
    auto* trampoline = dynamic_cast<Trampoline_Handle*>(&self);
    if (trampoline == nullptr) return callback();
    const FlagScope scope(trampoline->direct_call, true);
    callback();
}

// A pointer parameter given one value from Python: that value first, zeros after it. The
// receiver reads four floats, or up to 255 bytes as its length says. `method` names the call
// in the ValueError for a quaternion value f32 cannot hold.
std::array<float, 4> one_float(double value, const char* method) {
    return {single_precision(value, method, "quaternion"), 0.0f, 0.0f, 0.0f};
}

std::array<std::uint8_t, 256> one_byte(std::uint8_t value) {
    std::array<std::uint8_t, 256> bytes{};
    bytes[0] = value;
    return bytes;
}

void register_records(py::module_& m) {
    py::class_<ErrorResponse>(m, "HandleErrorResponse")
        .def(py::init<std::uint16_t, std::uint8_t>())
        .def_readwrite("device_id", &ErrorResponse::device_id)
        .def_readwrite("error_code", &ErrorResponse::error_code);

    py::class_<InfoResponse>(m, "HandleInfoResponse")
        .def(py::init<std::uint8_t, std::uint16_t, std::uint8_t, std::uint8_t, std::uint8_t>())
        .def_readwrite("device_id", &InfoResponse::device_id)
        .def_readwrite("device_model_number", &InfoResponse::device_model_number)
        .def_readwrite("hardware_version", &InfoResponse::hardware_version)
        .def_readwrite("firmware_version", &InfoResponse::firmware_version);

    py::class_<StatusResponse>(m, "HandleStatusResponse")
        .def(py::init([](std::uint16_t device_id, double quaternion, std::uint8_t error_flag,
                         std::uint8_t handle_connection_sensor, std::uint8_t user_data_length,
                         std::uint8_t user_data) {
            return StatusResponse(device_id,
                                  one_float(quaternion, "HandleStatusResponse").data(), error_flag,
                                  handle_connection_sensor, user_data_length,
                                  one_byte(user_data).data());
        }))
        .def_readwrite("device_id", &StatusResponse::device_id)
        .def_readwrite("error_flag", &StatusResponse::error_flag)
        .def_readwrite("handle_connection_sensor", &StatusResponse::handle_connection_sensor)
        .def_readwrite("user_data_length", &StatusResponse::user_data_length)
        .def("quaternion",
             [](const StatusResponse& r) {
                 return float_list(r.quaternion.data(), r.quaternion.size());
             })
        // The bytes past user_data_length are zero, so a length raised afterwards shows zeros.
        .def("user_data", [](const StatusResponse& r) {
            return byte_list(r.user_data.data(), r.user_data_length);
        });
}

void register_handle_class(py::module_& m) {
    py::class_<Handle, Trampoline_Handle> cls(m, "Handle");

    // Exactly Handle gets a plain Handle; a Python subclass gets the trampoline, which hands
    // the callbacks to its methods. The handle borrows the stream, so the Python stream is
    // kept alive with it.
    cls.def(py::init(
                [](IO::SerialStream* stream) -> std::unique_ptr<Handle> {
                    return std::make_unique<PlainHandle>(required_stream(stream, "Handle"));
                },
                [](IO::SerialStream* stream) {
                    return std::make_unique<Trampoline_Handle>(required_stream(stream, "Handle"));
                }),
            py::keep_alive<1, 2>());

    // A lambda taking a reference, not the member function: pybind11 passes None for the
    // object of an argument-less member function, which would call it on a null object.
    cls.def("SendDeviceWakeup",
            [](Handle& self) { port_call(self, [&] { self.SendDeviceWakeup(); }); });

    cls.def(
        "SendHandleState",
        [](Handle& self, std::uint16_t device_id, std::uint8_t data_length,
           std::uint8_t user_data) {
            const auto data = one_byte(user_data);
            port_call(self, [&] { self.SendHandleState(device_id, data_length, data.data()); });
        },
        py::arg("device_id") = 0, py::arg("data_length") = 0, py::arg("user_data") = py::none(),
        "send handle state");
    cls.def(
        "SendHandleState",
        [](Handle& self, std::uint16_t device_id, std::uint8_t data_length,
           const UserData& user_data) {
            if (data_length > user_data.length) {
                throw py::value_error("SendHandleState(): data_length is " +
                                      std::to_string(data_length) + " but user_data holds " +
                                      std::to_string(user_data.length) + " bytes");
            }
            port_call(self, [&] {
                self.SendHandleState(device_id, data_length, user_data.bytes.data());
            });
        },
        py::arg("device_id"), py::arg("data_length"), py::arg("user_data"),
        "send handle state with the first data_length bytes of user_data");

    // The parameter-list callbacks, called from Python, run as direct calls (see
    // Trampoline_Handle::direct_call).
    cls.def(
        "OnReceiveHandleInfo",
        [](Handle& self, std::uint8_t tool_data_remaining, std::uint16_t device_id,
           std::uint8_t device_model_number, std::uint8_t hardware_version,
           std::uint8_t firmware_version) {
            as_direct_call(self, [&] {
                self.OnReceiveHandleInfo(tool_data_remaining, device_id, device_model_number,
                                         hardware_version, firmware_version);
            });
        },
        py::arg("tool_data_remaining") = 0, py::arg("device_id") = 0,
        py::arg("device_model_number") = 0, py::arg("hardware_version") = 0,
        py::arg("firmware_version") = 0);
    cls.def("OnReceiveHandleInfo",
            static_cast<void (Handle::*)(InfoResponse&)>(&Handle::OnReceiveHandleInfo),
            py::arg("response"));

    cls.def(
        "OnReceiveHandleStatusMessage",
        [](Handle& self, std::uint16_t device_id, double quaternion, std::uint8_t error_flag,
           std::uint8_t hall_effect_sensor_level, std::uint8_t user_data_length,
           std::uint8_t user_data) {
            const auto values = one_float(quaternion, "OnReceiveHandleStatusMessage");
            as_direct_call(self, [&] {
                self.OnReceiveHandleStatusMessage(device_id, values.data(), error_flag,
                                                  hall_effect_sensor_level, user_data_length,
                                                  one_byte(user_data).data());
            });
        },
        py::arg("device_id") = 0, py::arg("quaternion") = py::none(), py::arg("error_flag") = 0,
        py::arg("hall_effect_sensor_level") = 0, py::arg("user_data_length") = 0,
        py::arg("user_data") = py::none());

    cls.def(
        "OnReceiveHandleErrorResponse",
        [](Handle& self, std::uint16_t device_id, std::uint8_t error_code) {
            as_direct_call(self, [&] { self.OnReceiveHandleErrorResponse(device_id, error_code); });
        },
        py::arg("device_id") = 0, py::arg("error_code") = 0);

    for (std::size_t i = 0; i < std::size(callback_names); ++i) {
        const py::object method = cls.attr(callback_names[i].name);
        bound_callback[i] = py::detail::get_function(method).inc_ref().ptr();
    }

    // The lock stays held while Receive blocks on the port. Its callbacks are never direct
    // calls, even when Receive is called from one.
    cls.def(
        "Receive",
        [](Handle& self, std::uint8_t data_received) {
            if (reception_of(self).receiving()) {
                throw std::runtime_error(
                    "Receive(): the handle receives in the background; call stop_receiving() "
                    "first");
            }
            auto* trampoline = dynamic_cast<Trampoline_Handle*>(&self);
            if (trampoline == nullptr) {
                return port_call(self, [&] { return self.Receive(&data_received); });
            }
            const FlagScope scope(trampoline->direct_call, false);
            return port_call(self, [&] { return self.Receive(&data_received); });
        },
        py::arg("data_received") = 0, "Receive data from the handle");

    cls.def_property_readonly(
        "last_result", [](const Handle& self) { return self.last_result(); }, last_result_doc);

    cls.def(
        "start_receiving", [](Handle& self) { reception_of(self).start(self); },
        "Start taking the handle's messages in a thread of the library's own: each message "
        "calls its callbacks on that thread, which holds the interpreter lock only for the "
        "call. Meanwhile other threads may still call SendHandleState and SendDeviceWakeup "
        "(their writes and the reader's take turns); Receive() raises RuntimeError. Reception "
        "ends with stop_receiving(), when a callback raises, or when the port closes or hangs "
        "up. RuntimeError when already receiving.");
    cls.def(
        "stop_receiving", [](Handle& self) { reception_of(self).stop(); },
        "Stop background reception and wait for its thread (within about 10 ms on a quiet "
        "line), then raise the exception a callback raised, if one did: that exception "
        "also ended reception. Does nothing when the handle is not receiving. Called from a "
        "callback, it ends reception after that callback returns.");
    cls.def_property_readonly(
        "receiving", [](Handle& self) { return reception_of(self).receiving(); },
        "True while background reception runs (see start_receiving).");
}

}  // namespace

void register_handle(py::module_& m) {
    // Registered for its name only: no constructor, and no Python class derives from it.
    py::class_<Devices::Device>(m, "Device");
    register_records(m);
    register_handle_class(m);
}

}  // namespace Zelkor::HardwareAPI::Python
