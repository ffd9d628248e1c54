// Python: the serial ports of the machine (list_ports, PortInfo) and the devices that answer
// on them (find_devices, FoundDevice).
#include <ZelkorHardwareAPI/devices/find.h>
#include <ZelkorHardwareAPI/io/ports.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "python/bindings.h"
#include "python/gil.h"
#include "python/notify.h"
#include "python/port_name.h"

namespace py = pybind11;

namespace Zelkor::HardwareAPI::Python {
/// The ports find_devices is given: absent (None), or the names of an iterable of port names.
struct PortNames {
    std::optional<std::vector<std::string>> names;
};
}  // namespace Zelkor::HardwareAPI::Python

namespace pybind11::detail {

// Any iterable of port names, or None; not one name by itself (a str is an iterable of
// one-letter names), which is refused with a TypeError that says so.
template <>
struct type_caster<Zelkor::HardwareAPI::Python::PortNames> {
    PYBIND11_TYPE_CASTER(
        Zelkor::HardwareAPI::Python::PortNames,
        const_name("Optional[Iterable[Union[str, bytes, bytearray, os.PathLike[str]]]]"));

    bool load(handle src, bool) {
        if (src.is_none()) return true;
        const bool one_name = isinstance<str>(src) || isinstance<bytes>(src) ||
                              isinstance<bytearray>(src) || hasattr(src, "__fspath__");
        if (one_name || !isinstance<iterable>(src)) {
            throw type_error(
                "find_devices: ports must be a list of port names (for one port, "
                "[name]), not " +
                repr(type::of(src)).cast<std::string>());
        }
        std::vector<std::string>& names = value.names.emplace();
        for (const handle item : src) {
            make_caster<Zelkor::HardwareAPI::Python::PortName> name;
            if (!name.load(item, true)) {
                throw type_error("find_devices: a port name is a str, bytes or path, not " +
                                 repr(type::of(item)).cast<std::string>());
            }
            names.push_back(cast_op<Zelkor::HardwareAPI::Python::PortName&>(name).text);
        }
        return true;
    }
};

}  // namespace pybind11::detail

namespace Zelkor::HardwareAPI::Python {

namespace {

using Devices::FoundDevice;
using IO::PortInfo;

template <class T>
py::object or_none(const std::optional<T>& value) {
    return value ? py::cast(*value) : py::none();
}

std::string quoted(const std::string& text) {
    return py::repr(py::str(text)).cast<std::string>();
}

std::string quoted(const std::optional<std::string>& text) {
    return text ? quoted(*text) : "None";
}

std::string hex4(const std::optional<std::uint16_t>& id) {
    if (!id) return "None";
    char out[8];
    std::snprintf(out, sizeof out, "0x%04x", unsigned{*id});
    return out;
}

// Asked by find_devices every 20 ms while the probes wait: runs Python's signal handlers on
// the main thread (the only one that runs them), so Ctrl-C ends the search at once. A handler
// that raises leaves its exception set, which find_devices raises once the probes are done.
bool signal_raised(void*) {
    if (!GilReleased::main_thread()) return false;
    const GilHeld gil;
    return PyErr_Occurred() != nullptr || PyErr_CheckSignals() != 0;
}

std::chrono::milliseconds timeout_ms(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0 || seconds > 3600) {
        throw py::value_error(
            "find_devices: timeout must be more than 0 and at most 3600 "
            "seconds, not " +
            py::repr(py::float_(seconds)).cast<std::string>());
    }
    return std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
}

void register_port_info(py::module_& m) {
    py::class_<PortInfo>(
        m, "PortInfo", py::is_final(),
        "One serial port of this machine, as list_ports() found it.\n\n"
        "Made by list_ports(); it has no constructor. A field the system does not know is "
        "None; the USB fields are None for a port that is not on USB.")
        .def_readonly("device", &PortInfo::device,
                      "What SerialStream opens: the device path on Linux (/dev/ttyUSB0), the COM "
                      "port name on Windows (COM3).\n\nA str.")
        .def_property_readonly(
            "by_id", [](const PortInfo& p) { return or_none(p.by_id); },
            "The port's path under /dev/serial/by-id, which names the same adapter whatever "
            "order adapters were plugged in.\n\nA str, or None (not Linux, not USB, or udev "
            "made no link).")
        .def_readonly("description", &PortInfo::description,
                      "The USB product string, else the interface's or driver's description, "
                      "else the port's own name.\n\nA str, never empty.")
        .def_property_readonly(
            "manufacturer", [](const PortInfo& p) { return or_none(p.manufacturer); },
            "The USB manufacturer string (on Windows, the driver's manufacturer).\n\n"
            "A str, or None.")
        .def_property_readonly(
            "vid", [](const PortInfo& p) { return or_none(p.vid); },
            "The USB vendor id.\n\nAn int from 0 to 0xFFFF, or None.")
        .def_property_readonly(
            "pid", [](const PortInfo& p) { return or_none(p.pid); },
            "The USB product id.\n\nAn int from 0 to 0xFFFF, or None.")
        .def_property_readonly(
            "serial_number", [](const PortInfo& p) { return or_none(p.serial_number); },
            "The USB device's serial number string.\n\nA str, or None.")
        .def_readonly("driver", &PortInfo::driver,
                      "The kernel driver of the port: ftdi_sio, cdc_acm, pl2303, cp210x, "
                      "serial...; on Windows the driver service (FTSER2K, usbser, Serial).\n\n"
                      "A str; '' when the system names none.")
        .def_property_readonly(
            "latency_timer_ms", [](const PortInfo& p) { return or_none(p.latency_timer_ms); },
            "The adapter's latency timer: how long it holds received bytes before handing them "
            "on, in milliseconds.\n\nAn int, or None where the driver has none. While the "
            "library holds an FTDI port on Linux it reads 1 (see the README on USB "
            "adapters).")
        .def_readonly("console", &PortInfo::console,
                      "True for the port the kernel writes its console to (console=ttyS0 on "
                      "its command line).\n\nA bool. find_devices() leaves such a port out "
                      "unless it is named in its ports.")
        .def("__repr__", [](const PortInfo& p) {
            return "PortInfo(device=" + quoted(p.device) + ", by_id=" + quoted(p.by_id) +
                   ", description=" + quoted(p.description) +
                   ", manufacturer=" + quoted(p.manufacturer) + ", vid=" + hex4(p.vid) +
                   ", pid=" + hex4(p.pid) + ", serial_number=" + quoted(p.serial_number) +
                   ", driver=" + quoted(p.driver) + ", latency_timer_ms=" +
                   (p.latency_timer_ms ? std::to_string(*p.latency_timer_ms) : "None") +
                   ", console=" + (p.console ? "True" : "False") + ")";
        });
}

void register_found_device(py::module_& m) {
    py::class_<FoundDevice>(m, "FoundDevice", py::is_final(),
                            "A device that answered find_devices()' wake-up.\n\n"
                            "Made by find_devices(); it has no constructor.")
        .def_readonly("port", &FoundDevice::port,
                      "The port it answered on, as given (or as list_ports() names it).\n\n"
                      "A str: pass it to SerialStream.")
        .def_property_readonly(
            "kind", [](const FoundDevice& d) { return Devices::to_text(d.kind); },
            "Which device: 'Arbelon' (it answered with its identity) or 'Handle' (with its "
            "information message).\n\nA str.")
        .def_readonly("device_id", &FoundDevice::device_id,
                      "The device id it gave.\n\nAn int from 0 to 0xFFFF.")
        .def_readonly("model", &FoundDevice::model,
                      "The device model number it gave.\n\nAn int from 0 to 255.")
        .def_property_readonly(
            "versions",
            [](const FoundDevice& d) {
                return py::make_tuple(int{d.hardware_version}, int{d.firmware_version});
            },
            "Its hardware and firmware versions.\n\nA tuple of two ints: (hardware, "
            "firmware).")
        .def("__repr__", [](const FoundDevice& d) {
            return "FoundDevice(port=" + quoted(d.port) + ", kind='" + Devices::to_text(d.kind) +
                   "', device_id=" + std::to_string(d.device_id) +
                   ", model=" + std::to_string(d.model) + ", versions=(" +
                   std::to_string(d.hardware_version) + ", " + std::to_string(d.firmware_version) +
                   "))";
        });
}

// Why nothing was found on a port, in a few words a user can act on.
std::string reason_of(const Devices::PortProbe& probe) {
    using Outcome = Devices::PortProbe::Outcome;
    switch (probe.outcome) {
        case Outcome::answered:
            return "answered";
        case Outcome::silent:
            return "no reply";
        case Outcome::in_use:
            return "in use";
        case Outcome::stopped:
            return "stopped";
        case Outcome::failed:
            break;
        default:  // a line that talks, but is no device: why not
            return Devices::to_text(probe.outcome);
    }
    const int error = probe.error.error_number();
    if (error == EACCES || error == EPERM) return "permission denied";
    if (error == ENOENT) return "no such port";
    const std::string text = probe.error.message();
    return text.empty() ? "failed" : text;
}

void register_port_probe(py::module_& m) {
    py::class_<Devices::PortProbe>(m, "PortProbe", py::is_final(),
                                   "How find_devices(explain=True) fared on one port.\n\n"
                                   "Made by find_devices(); it has no constructor.")
        .def_readonly("port", &Devices::PortProbe::port, "The port tried, as given.\n\nA str.")
        .def_property_readonly(
            "device",
            [](const Devices::PortProbe& p) -> std::optional<FoundDevice> {
                if (p.outcome != Devices::PortProbe::Outcome::answered) return std::nullopt;
                return p.device;
            },
            "The device that answered there.\n\nA FoundDevice, or None.")
        .def_property_readonly(
            "reason", [](const Devices::PortProbe& p) { return reason_of(p); },
            "What happened: 'answered'; 'no reply' (it opened, but nothing said who it is in "
            "time); 'in use' (another program holds it: nothing was sent); 'permission denied' "
            "(see `zelkor doctor`); 'no such port'; 'stopped' (Ctrl-C); the system's words for "
            "another failure; or, for a line that talks but is no device, why not: 'the line "
            "was not quiet before the probe' (nothing was sent), 'it echoes what it is sent', "
            "'the reply was not a message a device sends', 'the reply was not the length a "
            "device answers with', 'a second probe gave a different identity'.\n\nA str.")
        .def("__repr__", [](const Devices::PortProbe& p) {
            return "PortProbe(port=" + quoted(p.port) + ", reason=" + quoted(reason_of(p)) + ")";
        });
}

}  // namespace

void register_ports(py::module_& m) {
    register_port_info(m);
    register_found_device(m);
    register_port_probe(m);

    m.def(
        "list_ports",
        [](const std::optional<PortName>& root) {
            GilReleased unlocked;
            return IO::list_ports(root ? root->text : std::string());
        },
        py::kw_only(), py::arg("root") = py::none(),
        "The serial ports of this machine, one PortInfo each, sorted by device name (ttyUSB2 "
        "before ttyUSB10). Opens no port and sends nothing.\n\n"
        "Linux reads sysfs: the ttys with a device behind them (USB adapters, CDC-ACM "
        "devices, UARTs), not the 8250 ports the kernel reserves where no UART is, nor ports "
        "without a /dev node; pseudo-terminals (a simulator's port) are never listed. Windows "
        "reads SetupAPI's ports and the registry's SERIALCOMM map. Elsewhere the list is "
        "empty.\n\n"
        "root is for testing: a folder holding a made-up sys/ and dev/, read instead of /sys "
        "and /dev (ignored on Windows). Returns a list, maybe empty.");

    m.def(
        "find_devices",
        [](const PortNames& ports, double timeout, bool explain) -> py::list {
            const std::chrono::milliseconds ms = timeout_ms(timeout);
            std::vector<Devices::PortProbe> probes;
            {
                GilReleased unlocked;
                const std::vector<std::string> names =
                    ports.names ? *ports.names : Devices::candidate_ports();
                probes = Devices::probe_ports(names, ms, {signal_raised, nullptr});
            }
            if (PyErr_Occurred()) throw py::error_already_set();
            py::list out;
            for (Devices::PortProbe& probe : probes) {
                const bool answered = probe.outcome == Devices::PortProbe::Outcome::answered;
                if (!answered) {
                    log(LogLevel::info,
                        "find_devices: nothing found on " + probe.port + ": " + reason_of(probe));
                }
                if (explain) {
                    out.append(py::cast(std::move(probe)));
                } else if (answered) {
                    out.append(py::cast(std::move(probe.device)));
                }
            }
            return out;
        },
        py::arg("ports") = py::none(), py::arg("timeout") = 0.5, py::kw_only(),
        py::arg("explain") = false,
        "The Arbelons and Handles that answer on the given ports, one FoundDevice each, in "
        "the order of ports.\n\n"
        "ports: a list of port names (str, bytes or paths) such as a simulator's port; by "
        "default every port of list_ports() but the kernel's console. Each port is tried on a "
        "thread of its own, all at once, with the interpreter lock let go: it is opened for "
        "exclusive use (a port another program holds is skipped, never forced, and nothing is "
        "sent to it), given 3 ms for its line to fall quiet (a line that does not within "
        "0.1 s gets nothing), woken with the one-byte wake-up both devices know, and read "
        "until the device says who it is or timeout seconds have passed. It counts as a "
        "device only when that reply is a device's identity, whole and alone, and a second "
        "wake-up gives the same one; then it is closed. Nothing else is sent: never a force. "
        "A woken Handle goes on sending its status messages.\n\n"
        "Returns after about timeout seconds at most (default 0.5), a list, maybe empty. "
        "Ports that do not exist, do not open or stay silent are left out. TypeError when "
        "ports is one name rather than a list of them, or holds something else; ValueError "
        "for a timeout that is not more than 0 and at most 3600. Ctrl-C ends the search at "
        "once.\n\n"
        "explain=True returns one PortProbe per port tried instead, the silent ones too, with "
        "the reason nothing was found there ('no reply', 'in use', 'permission denied', ...). "
        "Either way each port where nothing was found is logged at INFO under the logger "
        "'ZelkorHardwareAPI' with its reason; `zelkor doctor` checks a port in more depth.");
}

}  // namespace Zelkor::HardwareAPI::Python
