// The older split send/receive methods of Python class Arbelon. Each calls one legacy half of
// the device; six of them are deprecated and warn before they touch the device.
#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <type_traits>

#include "python/bindings.h"
#include "python/convert.h"
#include "python/port_call.h"

namespace py = pybind11;

namespace Zelkor::HardwareAPI::Python {

namespace {

using Devices::Arbelon;

// A DeprecationWarning whose text object is made once, when the method is defined.
// PyErr_WarnEx makes the str from its C text on every call, and the warnings registry then
// hashes that new str again; the warnings module's own warn(), given the same text, category
// and stack level, does exactly what PyErr_WarnEx does with them (both run the same code, and
// no Python frame lies between either and the caller's line).
class Deprecation {
  public:
    explicit Deprecation(const char* text) : text_(PyUnicode_InternFromString(text)) {
        if (text_ == nullptr) throw py::error_already_set();
        if (warn_ == nullptr) {
            // Held for the life of the process, as the text is.
            warn_ = py::object(py::module_::import("_warnings").attr("warn")).release().ptr();
            stack_level_ = PyLong_FromLong(1);
            if (stack_level_ == nullptr) throw py::error_already_set();
        }
    }

    /// Warns at the caller's line: 0, or -1 with the exception set when the warning filters
    /// made the warning an error.
    int warn() const {
        PyObject* const args[] = {text_, PyExc_DeprecationWarning, stack_level_};
        PyObject* const done = PyObject_Vectorcall(warn_, args, 3, nullptr);
        if (done == nullptr) return -1;
        Py_DECREF(done);
        return 0;
    }

  private:
    PyObject* text_;  // held for the life of the process
    static inline PyObject* warn_ = nullptr;
    static inline PyObject* stack_level_ = nullptr;
};

/// A Deprecation for `text` that lives as long as the module's methods.
const Deprecation* deprecation(const char* text) {
    return new Deprecation(text);
}

// Issues `warning` at the caller's line, then runs `io` on the port of `self`. When the
// warning filters turn the warning into an exception, the device I/O still runs to the end
// (nothing half-sent, no reply left half-read) and the exception is raised afterwards. The
// stream is held from before the warning, so a call refused because a servo drives the arm
// is refused before the warning, and no servo starts between the two.
template <class IO>
auto deprecated(const Arbelon& self, const Deprecation& warning, IO&& io) {
    const StreamHold hold(stream_of(self));
    std::optional<py::error_already_set> raised;
    if (warning.warn() != 0) raised.emplace();
    if constexpr (std::is_void_v<decltype(io())>) {
        port_call(self, io);
        if (raised) throw *raised;
    } else {
        auto result = port_call(self, io);
        if (raised) throw *raised;
        return result;
    }
}

// Lists must hold the three values the device reads or writes, every one of them a value f32
// can hold; checked before any warning or I/O. `what` names the list in the message.
void require_three(const FloatList& list, const char* method, const char* what) {
    if (list.values.size() < 3) {
        throw py::value_error(std::string(method) + "() needs lists of three values, got " +
                              std::to_string(list.values.size()));
    }
    check_values(list.bad, method, what);
}

Vector3 first_three(const FloatList& list) {
    return {list.values[0], list.values[1], list.values[2]};
}

void replace_first_three(FloatList& list, const Vector3& values) {
    for (std::size_t i = 0; i < values.size(); ++i) list.values[i] = values[i];
}

using VectorSend = void (Arbelon::*)(const Vector3&);
using StateReceive = int (Arbelon::*)(Vector3&, Vector3&);

// A send half taking one request list; `warning` is null for the methods still current.
template <VectorSend send>
void def_vector_send(py::class_<Arbelon>& cls, const char* name, const char* argument,
                     const Deprecation* warning, const char* doc) {
    cls.def(
        name,
        [name, warning](Arbelon& self, const FloatList& values) {
            require_three(values, name, "request");
            const Vector3 request = first_three(values);
            if (warning == nullptr) return port_call(self, [&] { (self.*send)(request); });
            deprecated(self, *warning, [&] { (self.*send)(request); });
        },
        py::arg(argument) = zero_list(), doc);
}

// A receive half filling two state lists; on a failed reply the lists echo the arguments.
template <StateReceive receive>
void def_state_receive(py::class_<Arbelon>& cls, const char* name, const char* first_name,
                       const char* second_name, const Deprecation* warning, const char* doc) {
    cls.def(
        name,
        [name, first_name, second_name, warning](Arbelon& self, FloatList first,
                                                 FloatList second) -> py::tuple {
            require_three(first, name, first_name);
            require_three(second, name, second_name);
            Vector3 a = first_three(first), b = first_three(second);
            deprecated(self, *warning, [&] { (void)(self.*receive)(a, b); });
            replace_first_three(first, a);
            replace_first_three(second, b);
            return py::make_tuple(first, second);
        },
        py::arg(first_name) = zero_list(), py::arg(second_name) = zero_list(), doc);
}

}  // namespace

void define_arbelon_legacy(py::class_<Arbelon>& cls) {
    const Deprecation* const wakeup_warning =
        deprecation("SendDeviceWakeup is deprecated, use device_wakeup instead");
    cls.def(
        "SendDeviceWakeup",
        [wakeup_warning](Arbelon& self) {
            deprecated(self, *wakeup_warning, [&] { self.SendDeviceWakeup(); });
        },
        "[DEPRECATED] Send a device wakeup command\n\n"
        "Writes the wake-up request only; read the identity with ReceiveDeviceInfo. The "
        "write's outcome is not checked (a closed port sends nothing). "
        "Issues a DeprecationWarning (use device_wakeup); a warning the filters turn "
        "into an error is raised only after the call's I/O has completed. "
        "RuntimeError while a Servo drives the arm.");

    // A call that omits the UUID receives into a fresh all-zero one. The default object in the
    // signature is only a marker for that: it is never written to, so one call's bytes never
    // show in another's result.
    py::object default_uuid = py::cast(UUID{});
    const UUID* const omitted = default_uuid.cast<const UUID*>();
    cls.def(
        "ReceiveDeviceInfo",
        [omitted](Arbelon& self, std::uint16_t device_id, std::uint8_t device_model_num,
                  std::uint8_t hardware_version, std::uint8_t firmware_version,
                  UUID& given) -> py::tuple {
            UUID fresh;
            UUID& uuid = &given == omitted ? fresh : given;
            port_call(self, [&] {
                (void)self.ReceiveDeviceInfo(device_id, device_model_num, hardware_version,
                                             firmware_version, uuid);
            });
            return py::make_tuple(device_id, device_model_num, hardware_version, firmware_version,
                                  uuid.bytes[0]);
        },
        py::arg("device_id") = 0, py::arg("device_model_num") = 0, py::arg("hardware_version") = 0,
        py::arg("firmware_version") = 0, py::arg_v("UUID", default_uuid, "UUID()"),
        "Receive device info and return a tuple\n\n"
        "Reads the identity reply to SendDeviceWakeup. Returns (device_id, device_model_num, "
        "hardware_version, firmware_version, the first identity byte), all ints; the UUID "
        "given receives the 16 identity bytes (a fresh one is used when it is omitted). When "
        "no whole reply comes (about 1 s on a silent line) the arguments come back as given "
        "and last_result is not 21; nothing is raised. TypeError for a value out of range "
        "(device_id 0 to 65535, the others 0 to 255). RuntimeError while a Servo drives the "
        "arm.");

    const Deprecation* const send_force_warning =
        deprecation("SendForce is deprecated, use end_effector_force instead");
    def_vector_send<&Arbelon::SendForce>(
        cls, "SendForce", "force", send_force_warning,
        "[Deprecated] Send force to the device\n\n"
        "force: the force on the end-effector, x, y, z in newtons (at least three numbers; "
        "the first three are sent); none when omitted. Writes the request only; read the "
        "state with ReceiveState. The write's outcome is not checked. ValueError for fewer "
        "than three numbers or a value that is not finite or beyond single precision, "
        "TypeError for something that is not a sequence of numbers, both before anything is "
        "sent. "
        "Issues a DeprecationWarning (use end_effector_force); a warning the filters turn "
        "into an error is raised only after the call's I/O has completed. "
        "RuntimeError while a Servo drives the arm.");
    cls.def(
        "SendForce",
        [send_force_warning](Arbelon& self, double x, double y, double z) {
            // Taken as doubles so that values f32 cannot hold are refused, not narrowed.
            BadValue bad;
            const Vector3 force{bad.narrow(0, x), bad.narrow(1, y), bad.narrow(2, z)};
            check_values(bad, "SendForce", "request");
            deprecated(self, *send_force_warning, [&] { self.SendForce(force); });
        },
        py::arg("ForceX") = 0, py::arg("ForceY") = 0, py::arg("ForceZ") = 0,
        "[Deprecated] Send force to the device\n\n"
        "ForceX, ForceY, ForceZ: the force on the end-effector in newtons, 0 when omitted. "
        "As the form above otherwise: ValueError for a value that is not finite or beyond "
        "single precision, before anything is sent.");

    def_state_receive<&Arbelon::ReceiveState>(
        cls, "ReceiveState", "position", "velocity",
        deprecation("ReceiveState is deprecated, use end_effector instead"),
        "[Deprecated] receive state and return position and velocity\n\n"
        "Reads the state reply to SendForce or SendPosition. position and velocity: lists of "
        "at least three numbers (ValueError otherwise); each comes back as a new list of "
        "floats as long as the one given, its first three values replaced by the "
        "end-effector's position in metres and its velocity in metres per second. When no "
        "whole reply comes (about 1 s on a silent line) they come back as given and "
        "last_result is not 24; nothing is raised. "
        "Issues a DeprecationWarning (use end_effector_force); a warning the filters turn "
        "into an error is raised only after the call's I/O has completed. "
        "RuntimeError while a Servo drives the arm.");
    def_state_receive<&Arbelon::ReceiveJointState>(
        cls, "ReceiveJointState", "joint_position", "joint_velocity",
        deprecation("ReceiveJointState is deprecated, use joint_torques instead"),
        "[Deprecated] receive joint state and return position and velocity in the joint "
        "reference frame\n\n"
        "Reads the joint state reply to SendJointTorques or SendAngle. joint_position and "
        "joint_velocity: lists of at least three numbers (ValueError otherwise); each comes "
        "back as a new list of floats as long as the one given, its first three values "
        "replaced by the joint angles in radians and the joint velocities in radians per "
        "second. When no whole reply comes (about 1 s on a silent line) they come back as "
        "given and last_result is not 24; nothing is raised. "
        "Issues a DeprecationWarning (use joint_torques); a warning the filters turn "
        "into an error is raised only after the call's I/O has completed. "
        "RuntimeError while a Servo drives the arm.");

    def_vector_send<&Arbelon::SendJointTorques>(
        cls, "SendJointTorques", "joint_torque",
        deprecation("SendJointTorques is deprecated, use joint_torques instead"),
        "[Deprecated] send joint torque\n\n"
        "joint_torque: the torques of joints 0, 1 and 2 in newton metres (at least three "
        "numbers; the first three are sent); none when omitted. Writes the request only; read "
        "the joint state with ReceiveJointState. The write's outcome is not checked. "
        "ValueError and TypeError as for SendForce, before anything is sent. "
        "Issues a DeprecationWarning (use joint_torques); a warning the filters turn "
        "into an error is raised only after the call's I/O has completed. "
        "RuntimeError while a Servo drives the arm.");
    def_vector_send<&Arbelon::SendAngle>(
        cls, "SendAngle", "angle", nullptr,
        "Send angles to the device\n\n"
        "angle: the angles joints 0, 1 and 2 are to hold, in radians (at least three numbers; "
        "the first three are sent); zeros when omitted. Writes the request only; read the "
        "joint state with ReceiveJointState, or use joint_angles for both. The write's outcome "
        "is not checked. ValueError and TypeError as for SendForce, before anything is sent; "
        "RuntimeError while a Servo drives the arm.");

    cls.def(
        "RequestCurrent", [](Arbelon& self) { port_call(self, [&] { self.RequestCurrent(); }); },
        "request current\n\n"
        "Writes the request for the three motor currents; read them with ReceiveCurrent. The "
        "write's outcome is not checked. RuntimeError while a Servo drives the arm.");

    cls.def(
        "ReceiveCurrent",
        [](Arbelon& self, FloatList current) {
            require_three(current, "ReceiveCurrent", "current");
            Vector3 values = first_three(current);
            port_call(self, [&] { (void)self.ReceiveCurrent(values); });
            replace_first_three(current, values);
            return current;
        },
        py::arg("current") = zero_list(),
        "receive current and return current\n\n"
        "Reads the current reply to RequestCurrent. current: a list of at least three numbers "
        "(ValueError otherwise); it comes back as a new list of floats as long as the one "
        "given, its first three values replaced by the currents of motors 0, 1 and 2 in "
        "amperes. When no whole reply comes (about 1 s on a silent line) it comes back as "
        "given and last_result is not 12; nothing is raised. RuntimeError while a Servo drives "
        "the arm.");

    def_vector_send<&Arbelon::SendPosition>(
        cls, "SendPosition", "position",
        deprecation("SendPosition is deprecated, use end_effector_position instead"),
        "[Deprecated] Send Position to the device\n\n"
        "position: where the device is to hold the end-effector, x, y, z in metres (at least "
        "three numbers; the first three are sent); the origin when omitted. Writes the request "
        "only; read the state with ReceiveState. The write's outcome is not checked. "
        "ValueError and TypeError as for SendForce, before anything is sent. "
        "Issues a DeprecationWarning (use end_effector_position); a warning the filters turn "
        "into an error is raised only after the call's I/O has completed. "
        "RuntimeError while a Servo drives the arm.");
}

}  // namespace Zelkor::HardwareAPI::Python
