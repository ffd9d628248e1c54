// Registration steps of the Python module, run by the module entry in a fixed order.
#pragma once

#include <ZelkorHardwareAPI/devices/arbelon.h>
#include <pybind11/pybind11.h>

#include <vector>

#include "python/instances.h"

namespace Zelkor::HardwareAPI::Python {

/// Docstring of the devices' last_result property.
inline constexpr const char* last_result_doc =
    "What the latest exchange or Receive returned: the payload length when a whole reply or "
    "message arrived (24 for a state reply), the number of payload bytes when it came short, "
    "-1 when nothing or an unexpected code came. 0 before the first.";

/// Registers class SerialStream.
void register_serial_stream(pybind11::module_& m);

/// Registers class Arbelon with its current and legacy methods.
void register_arbelon(pybind11::module_& m);

/// Adds the older split send/receive methods to class Arbelon, after its current ones.
void define_arbelon_legacy(pybind11::class_<Devices::Arbelon>& cls);

/// Registers Device, the three handle record classes and Handle, in that order.
void register_handle(pybind11::module_& m);

/// Registers the effects, ServoState, ServoStats and Servo.
void register_servo(pybind11::module_& m);

/// Registers PortInfo, FoundDevice, list_ports and find_devices.
void register_ports(pybind11::module_& m);

/// Makes the constructors of the module's classes `classes` refuse a keyword they do not take
/// with a short TypeError that names it and, where one is close, the keyword meant.
void guard_keywords(pybind11::module_& m, const std::vector<const char*>& classes);

/// zelkor.recording.Recording, imported once per process: a recording read while another
/// thread forks never waits in the child for an import lock the parent's threads held.
pybind11::object recording_class();

/// Stops every servo loop and background reception the module started, and refuses new ones:
/// run at interpreter exit, while reception threads can still take the interpreter lock for
/// their callbacks.
void stop_background_threads() noexcept;

/// Run in a forked child, with the interpreter lock: forgets what the parent's threads held.
void after_fork_in_child() noexcept;

}  // namespace Zelkor::HardwareAPI::Python
