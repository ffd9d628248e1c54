// Python class Arbelon: the current request/state exchanges (the legacy methods are in
// arbelon_legacy.cpp).
#include "devices/arbelon.h"
#include "devices/protocol.h"

#include <pybind11/pybind11.h>

#include <cstdio>
#include <memory>

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

// Binds one request/state exchange: converts the request, runs the exchange, returns the two
// state vectors as a tuple of lists.
template <StateExchange exchange>
void def_state_exchange(py::class_<Arbelon>& cls, const char* name, const char* argument,
                        const char* doc) {
    cls.def(
        name,
        [name](Arbelon& self, const RequestVector& request) -> py::tuple {
            const Vector3& values = three_values(request, name);
            Vector3 first{}, second{};
            port_call(self, [&] { (void)(self.*exchange)(values, first, second); });
            return py::make_tuple(to_list(first), to_list(second));
        },
        py::arg(argument) = zero_list(), doc);
}

}  // namespace

void register_arbelon(py::module_& m) {
    py::class_<Arbelon> cls(m, "Arbelon");

    // The device borrows the stream; keeping the Python stream alive with the device means a
    // script that drops its own reference cannot leave the device with a dangling one.
    cls.def(py::init([](IO::SerialStream* stream) {
                return std::make_unique<Arbelon>(required_stream(stream, "Arbelon"));
            }),
            py::keep_alive<1, 2>());

    cls.def(
        "device_wakeup",
        [](Arbelon& self) -> py::tuple {
            const Protocol::DeviceInfo id = wake(self);
            py::list uuid = byte_list(id.uuid.bytes.data(), id.uuid.bytes.size());
            return py::make_tuple(id.device_id, id.device_model_number, id.hardware_version,
                                  id.firmware_version, uuid);
        },
        "Wakeup the device and return the device info as a tuple.");

    cls.def(
        "device_wakeup_dict",
        [](Arbelon& self) {
            const Protocol::DeviceInfo id = wake(self);
            py::object uuid = py::module_::import("uuid").attr("UUID")(uuid_text(id.uuid));
            py::dict info;
            info["device_id"] = id.device_id;
            info["device_model_number"] = id.device_model_number;
            info["hardware_version"] = id.hardware_version;
            info["firmware_version"] = id.firmware_version;
            info["device_id_ext"] = uuid;
            return info;
        },
        "Wakeup the device and return the device info as a dict.");

    def_state_exchange<&Arbelon::end_effector_force>(
        cls, "end_effector_force", "force request vector",
        "Send forces to the device and receive device states");
    def_state_exchange<&Arbelon::joint_torques>(
        cls, "joint_torques", "joint torque request vector",
        "Send joint torques to the device and receive the joint states");
    def_state_exchange<&Arbelon::end_effector_position>(
        cls, "end_effector_position", "position request vector",
        "Send end-effector position and receive device states");
    def_state_exchange<&Arbelon::joint_angles>(
        cls, "joint_angles", "joint angle request vector",
        "Send joint angles to the device and receive the joint states");

    define_arbelon_legacy(cls);

    cls.def_property_readonly(
        "last_result", [](const Arbelon& self) { return self.last_result(); }, last_result_doc);
}

}  // namespace Zelkor::HardwareAPI::Python
