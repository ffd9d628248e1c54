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

// Issues a DeprecationWarning attributed to the caller's line, then runs `io` on the port of
// `self`. When the warning filters turn the warning into an exception, the device I/O still
// runs to the end (nothing half-sent, no reply left half-read) and the exception is raised
// afterwards. A call refused because a servo drives the arm is refused before the warning.
template <class IO>
auto deprecated(const Arbelon& self, const char* text, IO&& io) {
    require_no_servo(stream_of(self));
    std::optional<py::error_already_set> raised;
    if (PyErr_WarnEx(PyExc_DeprecationWarning, text, 1) != 0) raised.emplace();
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
                     const char* warning, const char* doc) {
    cls.def(
        name,
        [name, warning](Arbelon& self, const FloatList& values) {
            require_three(values, name, "request");
            const Vector3 request = first_three(values);
            if (warning == nullptr) return port_call(self, [&] { (self.*send)(request); });
            deprecated(self, warning, [&] { (self.*send)(request); });
        },
        py::arg(argument) = zero_list(), doc);
}

// A receive half filling two state lists; on a failed reply the lists echo the arguments.
template <StateReceive receive>
void def_state_receive(py::class_<Arbelon>& cls, const char* name, const char* first_name,
                       const char* second_name, const char* warning, const char* doc) {
    cls.def(
        name,
        [name, first_name, second_name, warning](Arbelon& self, FloatList first,
                                                 FloatList second) -> py::tuple {
            require_three(first, name, first_name);
            require_three(second, name, second_name);
            Vector3 a = first_three(first), b = first_three(second);
            deprecated(self, warning, [&] { (void)(self.*receive)(a, b); });
            replace_first_three(first, a);
            replace_first_three(second, b);
            return py::make_tuple(first, second);
        },
        py::arg(first_name) = zero_list(), py::arg(second_name) = zero_list(), doc);
}

}  // namespace

void define_arbelon_legacy(py::class_<Arbelon>& cls) {
    cls.def(
        "SendDeviceWakeup",
        [](Arbelon& self) {
            deprecated(self, "SendDeviceWakeup is deprecated, use device_wakeup instead",
                       [&] { self.SendDeviceWakeup(); });
        },
        "[DEPRECATED] Send a device wakeup command");

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
            return py::make_tuple(device_id, device_model_num, hardware_version,
                                  firmware_version, uuid.bytes[0]);
        },
        py::arg("device_id") = 0, py::arg("device_model_num") = 0,
        py::arg("hardware_version") = 0, py::arg("firmware_version") = 0,
        py::arg_v("UUID", default_uuid, "UUID()"), "Receive device info and return a tuple");

    static constexpr char send_force_warning[] =
        "SendForce is deprecated, use end_effector_force instead";
    def_vector_send<&Arbelon::SendForce>(cls, "SendForce", "force", send_force_warning,
                                         "[Deprecated] Send force to the device");
    cls.def(
        "SendForce",
        [](Arbelon& self, double x, double y, double z) {
            // Taken as doubles so that values f32 cannot hold are refused, not narrowed.
            BadValue bad;
            const Vector3 force{bad.narrow(0, x), bad.narrow(1, y), bad.narrow(2, z)};
            check_values(bad, "SendForce", "request");
            deprecated(self, send_force_warning, [&] { self.SendForce(force); });
        },
        py::arg("ForceX") = 0, py::arg("ForceY") = 0, py::arg("ForceZ") = 0,
        "[Deprecated] Send force to the device");

    def_state_receive<&Arbelon::ReceiveState>(
        cls, "ReceiveState", "position", "velocity",
        "ReceiveState is deprecated, use end_effector instead",
        "[Deprecated] receive state and return position and velocity");
    def_state_receive<&Arbelon::ReceiveJointState>(
        cls, "ReceiveJointState", "joint_position", "joint_velocity",
        "ReceiveJointState is deprecated, use joint_torques instead",
        "[Deprecated] receive joint state and return position and velocity in the joint "
        "reference frame");

    def_vector_send<&Arbelon::SendJointTorques>(
        cls, "SendJointTorques", "joint_torque",
        "SendJointTorques is deprecated, use joint_torques instead", "[Deprecated] send joint torque");
    def_vector_send<&Arbelon::SendAngle>(cls, "SendAngle", "angle", nullptr,
                                         "Send angles to the device");

    cls.def(
        "RequestCurrent", [](Arbelon& self) { port_call(self, [&] { self.RequestCurrent(); }); },
        "request current");

    cls.def(
        "ReceiveCurrent",
        [](Arbelon& self, FloatList current) {
            require_three(current, "ReceiveCurrent", "current");
            Vector3 values = first_three(current);
            port_call(self, [&] { (void)self.ReceiveCurrent(values); });
            replace_first_three(current, values);
            return current;
        },
        py::arg("current") = zero_list(), "receive current and return current");

    def_vector_send<&Arbelon::SendPosition>(
        cls, "SendPosition", "position",
        "SendPosition is deprecated, use end_effector_position instead",
        "[Deprecated] Send Position to the device");
}

}  // namespace Zelkor::HardwareAPI::Python
