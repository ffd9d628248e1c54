// The serial ports of this machine, as the operating system describes them.
#pragma once

#include <ZelkorHardwareAPI/export.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Zelkor::HardwareAPI::IO {

/// One serial port. The strings are UTF-8 as the system gives them; a field the system does
/// not know is empty (std::nullopt) rather than guessed.
struct PortInfo {
    /// What SerialStream opens: a device path on POSIX (/dev/ttyUSB0), a COM port name on
    /// Windows (COM3).
    std::string device;
    /// The port's stable path under /dev/serial/by-id, which keeps naming the same adapter
    /// whatever order adapters were plugged in; Linux, USB ports only.
    std::optional<std::string> by_id;
    /// The product string of a USB device, else the interface's or the driver's description,
    /// else the port's own name. Never empty.
    std::string description;
    /// The manufacturer string of a USB device.
    std::optional<std::string> manufacturer;
    /// USB vendor and product ids.
    std::optional<std::uint16_t> vid;
    std::optional<std::uint16_t> pid;
    /// The USB device's serial number string.
    std::optional<std::string> serial_number;
    /// The kernel driver bound to the port (ftdi_sio, cdc_acm, pl2303, serial; on Windows the
    /// driver service: FTSER2K, usbser, Serial); empty when the system names none.
    std::string driver;
    /// The adapter's latency timer in milliseconds, where its driver has one: how long it holds
    /// received bytes before handing them on (see the README on USB adapters).
    std::optional<int> latency_timer_ms;
    /// True for the port the kernel writes its console to (console=ttyS0): other programs
    /// use it, so find_devices leaves it out unless asked for it by name.
    bool console = false;
};

/// The serial ports present, sorted by device name (numbers in names compare as numbers:
/// ttyUSB2 before ttyUSB10). Blocks only for reading the system's tables; never opens a port.
/// Never throws but std::bad_alloc: an entry that cannot be read is left out.
///
/// Linux reads sysfs: every tty with a device behind it, except unprobed 8250 placeholders
/// (no UART type, or neither IRQ nor I/O address) and ports whose /dev node is missing.
/// Pseudo-terminals and virtual consoles have no device and never show. Windows reads
/// SetupAPI's ports and the registry's SERIALCOMM map. Other systems: an empty list.
///
/// `root`, for tests: read `root`/sys and `root`/dev instead of /sys and /dev (devices and
/// by-id paths then start with `root`/dev). Ignored on Windows.
ZELKOR_API std::vector<PortInfo> list_ports(const std::string& root = "");

}  // namespace Zelkor::HardwareAPI::IO
