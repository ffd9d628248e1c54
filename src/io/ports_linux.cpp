// Linux: the ports are the ttys in sysfs (/sys/class/tty) that have a device behind them.
//
// What sysfs looks like for the ports this cares about:
//   /sys/class/tty/ttyUSB0/device  -> .../1-2/1-2:1.0/ttyUSB0   a usb-serial port (ftdi_sio,
//                                     pl2303, cp210x...), whose parent is the USB interface
//   /sys/class/tty/ttyACM0/device  -> .../1-3/1-3:1.0           the USB interface itself
//                                     (cdc_acm)
//   /sys/class/tty/ttyS0/device    -> .../pnp0/00:05            a UART; from kernel 6.5 on
//                                     through a serial-base port and controller first
//   the USB device (1-2) above the interface holds idVendor, idProduct, serial, product and
//   manufacturer. Pseudo-terminals, virtual consoles and /dev/tty have no device link.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <system_error>

#include "io/ports.h"

namespace Zelkor::HardwareAPI::IO::ports {

namespace {

namespace fs = std::filesystem;

// The first line of a sysfs attribute, without trailing white space; nothing for a missing
// or unreadable file, or an empty value (a USB device without a product string has none).
std::optional<std::string> attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
        line.pop_back();
    if (line.empty()) return std::nullopt;
    return line;
}

// An attribute as a whole number: decimal, or hexadecimal with 0x ("0x3F8"), or hexadecimal
// without it when `base` is 16 (idVendor reads "0403").
std::optional<unsigned long> number(const fs::path& file, int base = 0) {
    const std::optional<std::string> text = attribute(file);
    if (!text) return std::nullopt;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text->c_str(), &end, base);
    if (end == text->c_str() || *end != '\0' || text->front() == '-') return std::nullopt;
    return value;
}

std::optional<std::uint16_t> usb_id(const fs::path& file) {
    const std::optional<unsigned long> value = number(file, 16);
    if (!value || *value > 0xffff) return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

// The last part of a sysfs link's target: a bus or class name for `subsystem`, a driver's
// name for `driver`. Empty when there is no such link.
std::string link_name(const fs::path& link) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(link, ec);
    return ec ? std::string() : target.filename().string();
}

bool is_folder(const fs::path& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

bool present(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// An 8250 port the kernel reserves whether or not a UART is there (ttyS1 to ttyS31 on most
// PCs): its UART type reads 0 (unknown), or it has neither an interrupt nor an address.
bool unprobed_uart(const fs::path& tty) {
    if (number(tty / "type") == 0ul) return true;
    const std::optional<unsigned long> irq = number(tty / "irq");
    if (!irq) return false;  // no UART attributes: not a serial-core port
    return *irq == 0 && number(tty / "port").value_or(0) == 0 &&
           number(tty / "iomem_base").value_or(0) == 0;
}

// The USB interface a port belongs to: the device itself (cdc_acm) or one of the next few
// directories up (a usb-serial port's parent). Empty for a port that is not on USB.
fs::path usb_interface(const fs::path& device) {
    fs::path at = device;
    for (int up = 0; up < 3 && at.has_relative_path(); ++up, at = at.parent_path()) {
        if (present(at / "bInterfaceNumber")) return at;
    }
    return {};
}

// The /dev/serial/by-id links (made by udev for USB ports), by the name of the tty each one
// points to. A link's target is ../../ttyUSB0; where several name one tty, the first in
// order is kept, so the answer does not depend on the order of the directory.
std::map<std::string, std::string> by_id_links(const fs::path& dev) {
    std::map<std::string, std::string> links;
    std::error_code ec;
    const fs::path folder = dev / "serial" / "by-id";
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code link_ec;
        const fs::path target = fs::read_symlink(it->path(), link_ec);
        if (link_ec) continue;
        const std::string tty = target.filename().string();
        const std::string path = it->path().string();
        auto [at, added] = links.emplace(tty, path);
        if (!added && path < at->second) at->second = path;
    }
    return links;
}

std::optional<PortInfo> describe(const fs::path& tty, const fs::path& sys, const fs::path& dev,
                                 const std::map<std::string, std::string>& by_id) {
    const std::string name = tty.filename().string();
    std::error_code ec;
    // No device behind it: a pseudo-terminal, a virtual console, /dev/tty, /dev/console.
    const fs::path device = fs::canonical(tty / "device", ec);
    if (ec || !is_folder(device)) return std::nullopt;

    // sysfs writes a '/' in a device name as '!' (a tty named "ttyX/0" shows as "ttyX!0").
    std::string node_name = name;
    std::replace(node_name.begin(), node_name.end(), '!', '/');
    const fs::path node = dev / node_name;
    if (!present(node)) return std::nullopt;  // nothing to open (a container's /dev, say)

    // The hardware behind a serial-base port and its controller is further up.
    fs::path hardware = device;
    while (link_name(hardware / "subsystem") == "serial-base" && hardware.has_relative_path()) {
        hardware = hardware.parent_path();
    }
    if (unprobed_uart(tty)) return std::nullopt;

    PortInfo info;
    info.device = node.string();
    info.driver = link_name(hardware / "driver");
    info.console = attribute(tty / "console") == std::string("Y");
    const fs::path interface = usb_interface(device);
    std::optional<std::string> description;
    if (!interface.empty()) {
        const fs::path usb = interface.parent_path();
        info.vid = usb_id(usb / "idVendor");
        info.pid = usb_id(usb / "idProduct");
        info.serial_number = attribute(usb / "serial");
        info.manufacturer = attribute(usb / "manufacturer");
        description = attribute(usb / "product");
        if (!description) description = attribute(interface / "interface");
        const auto link = by_id.find(name);
        if (link != by_id.end()) info.by_id = link->second;
    }
    info.description = description.value_or(name);
    // The usb-serial drivers that have a latency timer (ftdi_sio) show it here, in ms.
    const std::optional<unsigned long> latency =
        number(sys / "bus" / "usb-serial" / "devices" / name / "latency_timer");
    if (latency && *latency <= 1000) info.latency_timer_ms = static_cast<int>(*latency);
    return info;
}

}  // namespace

std::vector<PortInfo> enumerate(const std::string& root) {
    const fs::path sys = fs::path(root.empty() ? "/" : root) / "sys";
    const fs::path dev = fs::path(root.empty() ? "/" : root) / "dev";
    const std::map<std::string, std::string> by_id = by_id_links(dev);
    std::vector<PortInfo> found;
    std::error_code ec;
    for (fs::directory_iterator it(sys / "class" / "tty", ec), end; !ec && it != end;
         it.increment(ec)) {
        std::optional<PortInfo> info = describe(it->path(), sys, dev, by_id);
        if (info) found.push_back(std::move(*info));
    }
    return found;
}

}  // namespace Zelkor::HardwareAPI::IO::ports
