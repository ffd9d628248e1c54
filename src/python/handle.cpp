// Python classes Device, HandleErrorResponse, HandleInfoResponse, HandleStatusResponse, Handle.
#include <ZelkorHardwareAPI/devices/handle.h>
#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

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
    PyObject* const stack[] = {args.ptr()...};
    PyObject* result = PyObject_Vectorcall(override.ptr(), stack, sizeof...(args), nullptr);
    if (result == nullptr) throw py::error_already_set();
    Py_DECREF(result);
}

// A Python int, new (or shared for small values).
py::object integer(long value) {
    return py::reinterpret_steal<py::object>(PyLong_FromLong(value));
}

// The callbacks' names as interned Python strings, made once.
PyObject* callback_key[3] = {};

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
    explicit Trampoline_Handle(IO::SerialStream* stream) : Handle(stream) {
        // The record callbacks never reach Python: they stay Handle's empty ones.
        records_wanted = false;
    }
    using Handle::OnReceiveHandleErrorResponse;
    using Handle::OnReceiveHandleInfo;
    using Handle::OnReceiveHandleStatusMessage;

    // The Python object of this handle, found at the first callback.
    mutable PyObject* self_ = nullptr;

    // True while a callback runs because Python called the binding's method for it
    // (`Handle.OnReceiveHandleInfo(self, ...)`); false while Receive runs, however the two nest.
    bool direct_call = false;

    void OnReceiveHandleInfo(std::uint8_t tool_data_remaining, std::uint16_t device_id,
                             std::uint8_t device_model_number, std::uint8_t hardware_version,
                             std::uint8_t firmware_version) override {
        // Receive may be called by library code on a thread that does not hold the lock.
        const GilHeld gil;
        const py::function override = override_of(Callback::info);
        call(override, integer(tool_data_remaining), integer(device_id),
             integer(device_model_number), integer(hardware_version), integer(firmware_version));
    }

    void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                      std::uint8_t error_flag,
                                      std::uint8_t hall_effect_sensor_level,
                                      std::uint8_t user_data_length,
                                      const std::uint8_t* user_data) override {
        record_status(device_id, quaternion, error_flag, hall_effect_sensor_level,
                      user_data_length);
        const GilHeld gil;
        const py::function override = override_of(Callback::status);
        // The lists are built straight from the caller's storage, which outlives the call.
        call(override, integer(device_id), float_list(quaternion, 4), integer(error_flag),
             integer(hall_effect_sensor_level), integer(user_data_length),
             byte_list(user_data, user_data_length));
    }

    void OnReceiveHandleErrorResponse(std::uint16_t device_id, std::uint8_t error_code) override {
        const GilHeld gil;
        const py::function override = override_of(Callback::error);
        call(override, integer(device_id), integer(error_code));
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
        if (self_ == nullptr) {
            // The Python object owns this one, so it lives as long as this does.
            self_ = py::detail::get_object_handle(base, py::detail::get_type_info(typeid(Handle)))
                        .ptr();
            if (self_ == nullptr) py::pybind11_fail(callback.missing);
        }
        PyObject* attribute = PyObject_GetAttr(self_, callback_key[index]);
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
    // Setting an attribute to a value out of its range raises TypeError, as pybind11 does for
    // any unsigned field.
    py::class_<ErrorResponse>(m, "HandleErrorResponse",
                              "An error message of the handle as a record. Receive never "
                              "makes one for Python: the callbacks get separate values.")
        .def(py::init<std::uint16_t, std::uint8_t>(), py::arg("device_id"), py::arg("error_code"),
             "A record of the given values: device_id 0 to 65535, error_code 0 to 255 "
             "(TypeError otherwise).")
        .def_readwrite("device_id", &ErrorResponse::device_id,
                       "The id of the handle that sent the message, an int from 0 to 65535.")
        .def_readwrite("error_code", &ErrorResponse::error_code,
                       "What went wrong, an int from 0 to 255, as the handle reports it.");

    py::class_<InfoResponse>(m, "HandleInfoResponse",
                             "An information message of the handle as a record: who it is. "
                             "Receive never makes one for Python: the callbacks get separate "
                             "values.")
        .def(py::init<std::uint8_t, std::uint16_t, std::uint8_t, std::uint8_t, std::uint8_t>(),
             py::arg("tool_data_remaining"), py::arg("device_id"), py::arg("device_model_number"),
             py::arg("hardware_version"), py::arg("firmware_version"),
             "A record of the given values: device_id 0 to 65535, the others 0 to 255 "
             "(TypeError otherwise). tool_data_remaining is kept but not shown as an "
             "attribute.")
        .def_readwrite("device_id", &InfoResponse::device_id,
                       "The id of the handle, an int from 0 to 65535.")
        .def_readwrite("device_model_number", &InfoResponse::device_model_number,
                       "The handle's model number, an int from 0 to 255.")
        .def_readwrite("hardware_version", &InfoResponse::hardware_version,
                       "The handle's hardware version, an int from 0 to 255.")
        .def_readwrite("firmware_version", &InfoResponse::firmware_version,
                       "The handle's firmware version, an int from 0 to 255.");

    py::class_<StatusResponse>(m, "HandleStatusResponse",
                               "A status message of the handle as a record: its orientation "
                               "and state, and the user data it carries. Receive never makes "
                               "one for Python: the callbacks get separate values.")
        .def(py::init([](std::uint16_t device_id, double quaternion, std::uint8_t error_flag,
                         std::uint8_t handle_connection_sensor, std::uint8_t user_data_length,
                         std::uint8_t user_data) {
                 return StatusResponse(
                     device_id, one_float(quaternion, "HandleStatusResponse").data(), error_flag,
                     handle_connection_sensor, user_data_length, one_byte(user_data).data());
             }),
             py::arg("device_id"), py::arg("quaternion"), py::arg("error_flag"),
             py::arg("handle_connection_sensor"), py::arg("user_data_length"), py::arg("user_data"),
             "A record of the given values. quaternion: one number, the first component "
             "(the other three are 0); user_data: one byte, the first of the user data "
             "(the others are 0). device_id 0 to 65535, the other ints 0 to 255 (TypeError "
             "otherwise); ValueError for a finite quaternion value beyond single "
             "precision.")
        .def_readwrite("device_id", &StatusResponse::device_id,
                       "The id of the handle that sent the message, an int from 0 to 65535.")
        .def_readwrite("error_flag", &StatusResponse::error_flag,
                       "The handle's error flag, an int from 0 to 255 (0: no error).")
        .def_readwrite("handle_connection_sensor", &StatusResponse::handle_connection_sensor,
                       "The hall-effect sensor level, an int from 0 to 255.")
        .def_readwrite("user_data_length", &StatusResponse::user_data_length,
                       "How many bytes of user data the message carries, an int from 0 to "
                       "255.")
        .def(
            "quaternion",
            [](const StatusResponse& r) {
                return py::typing::List<float>(
                    float_list(r.quaternion.data(), r.quaternion.size()));
            },
            "The handle's orientation as a unit quaternion: a new list of four floats, "
            "in the order they arrived.")
        // The bytes past user_data_length are zero, so a length raised afterwards shows zeros.
        .def(
            "user_data",
            [](const StatusResponse& r) {
                return py::typing::List<int>(byte_list(r.user_data.data(), r.user_data_length));
            },
            "The user data: a new list of user_data_length ints from 0 to 255 (zeros past "
            "the bytes the record was made with).");
}

// ---- The fast entry of Receive ----
//
// A receiving loop calls Receive for every message. Called with no argument or one small int,
// on a stream that neither releases the interpreter lock nor has a servo or background
// reception, it runs as a C function of the interpreter's fast calling convention; every other
// call goes to the pybind11 function unchanged.

PyMethodDef receive_def{};
PyObject* receive_fallback = nullptr;
std::string receive_doc;
PyTypeObject* handle_type = nullptr;

PyObject* receive_slowly(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    std::vector<PyObject*> stack(static_cast<std::size_t>(total) + 1);
    stack[0] = self;
    std::copy(args, args + total, stack.begin() + 1);
    return PyObject_Vectorcall(receive_fallback, stack.data(), static_cast<std::size_t>(nargs) + 1,
                               kwnames);
}

PyObject* fast_receive(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    long data_received = 0;
    if (kwnames != nullptr || nargs > 1 || !PyObject_TypeCheck(self, handle_type)) {
        return receive_slowly(self, args, nargs, kwnames);
    }
    if (nargs == 1) {
        if (!PyLong_CheckExact(args[0])) return receive_slowly(self, args, nargs, kwnames);
        data_received = PyLong_AsLong(args[0]);
        if (data_received < 0 || data_received > 255) {
            PyErr_Clear();
            return receive_slowly(self, args, nargs, kwnames);
        }
    }
    auto* inst = reinterpret_cast<py::detail::instance*>(self);
    if (!inst->simple_layout || !inst->simple_holder_constructed) {
        return receive_slowly(self, args, nargs, kwnames);
    }
    auto* handle = static_cast<Handle*>(inst->simple_value_holder[0]);
    const PyStream& stream = stream_of(*handle);
    // The stream free, or held by this thread already (a callback of its own Receive): anything
    // else is the slow path's to wait for or refuse.
    IO::StreamUse& use = stream.use();
    const IO::StreamUse::Entry entry = use.try_enter();
    if (entry != IO::StreamUse::Entry::taken && entry != IO::StreamUse::Entry::nested) {
        return receive_slowly(self, args, nargs, kwnames);
    }
    // Read under the hold: a stream that releases the interpreter lock, or that a reception
    // reads (which refuses this call), is the slow path's too.
    if (stream.release_gil || stream.received()) {
        use.leave();
        return receive_slowly(self, args, nargs, kwnames);
    }
    struct Leave {
        IO::StreamUse& use;
        ~Leave() { use.leave(); }
    } leave{use};
    auto code = static_cast<std::uint8_t>(data_received);
    int n;
    try {
        if (Py_TYPE(self) == handle_type) {
            n = handle->Receive(&code);
        } else {
            // A subclass: the object is a trampoline, whose callbacks from Receive are never
            // direct calls.
            auto* trampoline = static_cast<Trampoline_Handle*>(handle);
            const FlagScope scope(trampoline->direct_call, false);
            n = handle->Receive(&code);
        }
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    } catch (py::builtin_exception& e) {
        e.set_error();
        return nullptr;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
    // A signal handler that raised while Receive waited.
    if (PyErr_Occurred()) return nullptr;
    return PyLong_FromLong(n);
}

void install_fast_receive(py::class_<Handle, Trampoline_Handle>& cls) {
    handle_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    receive_fallback = py::object(cls.attr("Receive")).release().ptr();  // held for good
    receive_doc = py::str(py::handle(receive_fallback).attr("__doc__")).cast<std::string>();
    receive_def.ml_name = "Receive";
    receive_def.ml_meth =
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_receive));
    receive_def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    receive_def.ml_doc = receive_doc.c_str();
    py::object descriptor =
        py::reinterpret_steal<py::object>(PyDescr_NewMethod(handle_type, &receive_def));
    if (!descriptor) throw py::error_already_set();
    py::setattr(cls, "Receive", descriptor);
}

void register_handle_class(py::module_& m) {
    py::class_<Handle, Trampoline_Handle> cls(
        m, "Handle",
        "The Handle: a hand-held device that sends its information, status (orientation) and "
        "error messages on its own once woken.\n\n"
        "Subclass it and define OnReceiveHandleInfo, OnReceiveHandleStatusMessage and "
        "OnReceiveHandleErrorResponse; each Receive() takes one message from the port and "
        "calls the matching method before it returns, or start_receiving() takes them on a "
        "thread of the library's own. A plain Handle consumes messages without effect. "
        "Failures of the port raise nothing: Receive returns -1, and the stream's is_open and "
        "last_error tell whether the line went away. While a Servo drives an arm on the same "
        "stream every method that uses the port raises RuntimeError.");

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
            py::arg("stream"), py::keep_alive<1, 2>(),
            "A handle on stream, a SerialStream, which the handle keeps alive. Sends nothing. "
            "TypeError when stream is None or not a SerialStream.");

    // A lambda taking a reference, not the member function: pybind11 passes None for the
    // object of an argument-less member function, which would call it on a null object.
    cls.def(
        "SendDeviceWakeup", [](Handle& self) { port_call(self, [&] { self.SendDeviceWakeup(); }); },
        "Send the wake-up request. The handle answers with its information message and "
        "then sends status messages on its own; take them with Receive or "
        "start_receiving. The write's outcome is not checked (a closed port sends "
        "nothing). RuntimeError while a Servo drives an arm on the stream.");

    cls.def(
        "SendHandleState",
        [](Handle& self, std::uint16_t device_id, std::uint8_t data_length,
           std::uint8_t user_data) {
            const auto data = one_byte(user_data);
            port_call(self, [&] { self.SendHandleState(device_id, data_length, data.data()); });
        },
        py::arg("device_id") = 0, py::arg("data_length") = 0, py::arg("user_data") = py::none(),
        "send handle state\n\n"
        "user_data: one byte, an int from 0 to 255, sent first and followed by zeros up to "
        "data_length bytes. It must be given: the None it defaults to is refused "
        "(TypeError), as are device_id outside 0 to 65535 and data_length outside 0 to 255. "
        "The write's outcome is not checked. RuntimeError while a Servo drives an arm on the "
        "stream.");
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
        "send handle state with the first data_length bytes of user_data\n\n"
        "user_data: bytes, a bytearray, or any other sequence (not str) of ints from 0 to "
        "255, holding at least data_length items; ValueError when it holds fewer, TypeError "
        "for an item out of range or of another type, both before anything is sent. The "
        "write's outcome is not checked. RuntimeError while a Servo drives an arm on the "
        "stream.");

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
        py::arg("firmware_version") = 0,
        "Called by Receive for an information message, with the handle's tool data "
        "remaining, its id (0 to 65535), model number, hardware version and firmware version, "
        "all ints. Define it in a subclass; an exception it raises comes out of Receive (or "
        "stop_receiving) unchanged. A subclass without it makes Receive raise RuntimeError for "
        "such a message. Called on a plain Handle it does nothing; called on a subclass it "
        "calls the subclass's method, and from that method it raises RuntimeError.");
    cls.def("OnReceiveHandleInfo",
            static_cast<void (Handle::*)(InfoResponse&)>(&Handle::OnReceiveHandleInfo),
            py::arg("response"),
            "The record form: runs the library's empty callback and does nothing. Receive "
            "never calls it for a Python object.");

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
        py::arg("user_data") = py::none(),
        "Called by Receive for a status message, with the handle's id (an int from 0 to "
        "65535), its orientation as a unit quaternion (a list of four floats, in the order "
        "they arrived), its error flag (0: no error), its hall-effect sensor level, the user "
        "data length (ints from 0 to 255) and the user data (a list of that many ints from 0 "
        "to 255). Define it in a subclass; an exception it raises comes out of Receive (or "
        "stop_receiving) unchanged. A subclass without it makes Receive raise RuntimeError for "
        "such a message.\n\n"
        "Called from Python it takes one number for quaternion and one byte for user_data "
        "(each the first of its buffer, zeros after it; both must be given, the None they "
        "default to is refused with TypeError): on a plain Handle it does nothing, on a "
        "subclass it calls the subclass's method with lists, and from that method it raises "
        "RuntimeError.");

    cls.def(
        "OnReceiveHandleErrorResponse",
        [](Handle& self, std::uint16_t device_id, std::uint8_t error_code) {
            as_direct_call(self, [&] { self.OnReceiveHandleErrorResponse(device_id, error_code); });
        },
        py::arg("device_id") = 0, py::arg("error_code") = 0,
        "Called by Receive for an error message, with the handle's id (an int from 0 to "
        "65535) and the error code (0 to 255). Define it in a subclass; an exception it "
        "raises comes out of Receive (or stop_receiving) unchanged. A subclass without it "
        "makes Receive raise RuntimeError for such a message. Called on a plain Handle it "
        "does nothing; called on a subclass it calls the subclass's method, and from that "
        "method it raises RuntimeError.");

    for (std::size_t i = 0; i < std::size(callback_names); ++i) {
        const py::object method = cls.attr(callback_names[i].name);
        bound_callback[i] = py::detail::get_function(method).inc_ref().ptr();
        callback_key[i] = PyUnicode_InternFromString(callback_names[i].name);
    }

    // The lock stays held while Receive blocks on the port. Its callbacks are never direct
    // calls, even when Receive is called from one.
    cls.def(
        "Receive",
        [](Handle& self, std::uint8_t data_received) {
            // Under the hold no reception starts: one that reads the stream already would
            // lose to this call whatever message it takes.
            PyStream& stream = stream_of(self);
            const StreamHold hold(stream);
            if (reception_of(self).reads(stream.use())) {
                throw std::runtime_error(
                    "Receive(): the handle receives in the background; call stop_receiving() "
                    "first");
            }
            if (stream.received()) {
                throw std::runtime_error(
                    "Receive(): another handle receives on this stream in the background; call "
                    "its stop_receiving() first");
            }
            auto* trampoline = dynamic_cast<Trampoline_Handle*>(&self);
            if (trampoline == nullptr) {
                return port_call(self, [&] { return self.Receive(&data_received); });
            }
            const FlagScope scope(trampoline->direct_call, false);
            return port_call(self, [&] { return self.Receive(&data_received); });
        },
        py::arg("data_received") = 0,
        "Receive data from the handle\n\n"
        "Reads one message and calls its callback before returning. Returns the payload "
        "bytes read: 6 for an information message, 21 plus the user data length for a status "
        "message, 3 for an error message; fewer when the message came short (its callback "
        "still runs, with zeros for what did not arrive); -1, calling nothing, when no "
        "message came (about 1 s on a quiet line, at once on a closed port) or its code is "
        "unknown. The interpreter lock stays held while it waits. data_received, an int from "
        "0 to 255, is kept for older scripts and has no effect.\n\n"
        "An exception a callback raises comes out unchanged, with the message consumed; "
        "RuntimeError when the callback the message needs is missing, while background "
        "reception runs on the stream (see start_receiving; this handle's or another's) and "
        "while a Servo drives an arm on the stream.");
    install_fast_receive(cls);

    cls.def_property_readonly(
        "last_result", [](const Handle& self) { return self.last_result(); }, last_result_doc);

    cls.def(
        "start_receiving",
        [](py::handle self) {
            Handle& handle = self.cast<Handle&>();
            reception_of(handle).start(handle, self);
        },
        "Start taking the handle's messages in a thread of the library's own: each message "
        "calls its callbacks on that thread, which holds the interpreter lock only for the "
        "call. Meanwhile other threads may still call SendHandleState and SendDeviceWakeup "
        "(their writes and the reader's take turns); Receive() raises RuntimeError. Reception "
        "ends with stop_receiving(), when a callback raises, or when the port closes or hangs "
        "up. The stream has one reader: RuntimeError when already receiving, when another "
        "handle receives on the stream, and while a Servo drives an arm on it. A call of "
        "another thread on the stream is waited for.");
    cls.def(
        "stop_receiving", [](Handle& self) { reception_of(self).stop(); },
        "Stop background reception and wait for its thread (within about 10 ms on a quiet "
        "line), then raise the exception a callback raised, if one did: that exception "
        "also ended reception. Does nothing when the handle is not receiving. Called from a "
        "callback, it ends reception after that callback returns.");
    cls.def(
        "record",
        [](Handle& self, std::size_t messages) {
            reception_of(self).record(messages);
            if (messages > 0) (void)recording_class();  // see Servo.record
        },
        py::arg("messages"),
        "Keep the latest `messages` status messages from now on (0: none), in a ring made now: "
        "each one's time (s since this call), device id, quaternion, error flag, connection "
        "sensor level and user data length, written as the message is taken (on the "
        "reception's thread, with no lock). recording() reads them.\n\n"
        "RuntimeError while the handle receives in the background. Messages taken by Receive() "
        "are recorded too.");
    cls.def(
        "recording", [](Handle& self) { return reception_of(self).recording(); },
        "The status messages recorded (see record()), as a Recording of numpy arrays: time, "
        "device_id, quaternion (N, 4), error_flag, connection_sensor and user_data_length.\n\n"
        "Copied out while reception goes on; Recording.overwritten says how many messages the "
        "ring no longer held.");
    cls.def_property_readonly(
        "receiving", [](Handle& self) { return reception_of(self).receiving(); },
        "True while background reception runs (see start_receiving).\n\n"
        "It turns False by itself when a callback raised or the port closed or hung up; "
        "stop_receiving() then raises what the callback raised.");
}

}  // namespace

void register_handle(py::module_& m) {
    // Registered for its name only: no constructor, and no Python class derives from it.
    py::class_<Devices::Device>(m, "Device",
                                "The device base class of the C++ library, registered for its "
                                "name only: it has no constructor (TypeError) and neither "
                                "Arbelon nor Handle derives from it in Python.");
    register_records(m);
    register_handle_class(m);
}

}  // namespace Zelkor::HardwareAPI::Python
