// The Linux port listing against a made-up sysfs and /dev in a temporary folder, laid out as
// the kernel lays them out.
#include <ZelkorHardwareAPI/io/ports.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "io/ports.h"

namespace {

namespace fs = std::filesystem;
using Zelkor::HardwareAPI::IO::list_ports;
using Zelkor::HardwareAPI::IO::PortInfo;

class Tree {
  public:
    Tree() {
        char name[] = "/tmp/zelkor-ports-XXXXXX";
        if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
        root_ = name;
    }
    ~Tree() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    const fs::path& root() const { return root_; }

    /// Files of one folder, each "name=value" (a value ends in a newline, as in sysfs), or
    /// "name->target" for a symbolic link.
    void at(const std::string& folder, std::initializer_list<std::string> entries) const {
        fs::create_directories(root_ / folder);
        for (const std::string& entry : entries) {
            const std::size_t link = entry.find("->"), value = entry.find('=');
            if (link != std::string::npos) {
                fs::create_symlink(entry.substr(link + 2), root_ / folder / entry.substr(0, link));
            } else {
                std::ofstream(root_ / folder / entry.substr(0, value))
                    << (value == std::string::npos ? "" : entry.substr(value + 1) + "\n");
            }
        }
    }
    /// A tty of `device` (a folder under sys/devices), with its class entry.
    void tty(const std::string& name, const std::string& device,
             std::initializer_list<std::string> entries = {}) const {
        const std::string dir = "sys/devices/" + device + "/tty/" + name;
        at(dir, entries);
        at(dir, {"device->../.."});
        at("sys/class/tty", {name + "->" + (root_ / dir).string()});
    }
    /// A device folder's bus and driver links.
    void bound(const std::string& device, const std::string& bus, const std::string& driver) {
        const std::string bus_dir = (root_ / "sys/bus" / bus).string();
        at("sys/devices/" + device,
           {"subsystem->" + bus_dir, "driver->" + bus_dir + "/drivers/" + driver});
    }

  private:
    fs::path root_;
};

// One port as a line: device, by-id, description, manufacturer, vid:pid, serial, driver,
// latency timer, console; "-" for what is missing.
std::string line(const PortInfo& p, const std::string& dev) {
    auto text = [](const std::optional<std::string>& s) { return s.value_or("-"); };
    char ids[16] = "-";
    if (p.vid && p.pid)
        std::snprintf(ids, sizeof ids, "%04x:%04x", unsigned{*p.vid}, unsigned{*p.pid});
    std::string device = p.device, by_id = text(p.by_id);
    for (std::string* path : {&device, &by_id}) {
        if (path->compare(0, dev.size(), dev) == 0) *path = "DEV" + path->substr(dev.size());
    }
    return device + " | " + by_id + " | " + p.description + " | " + text(p.manufacturer) + " | " +
           ids + " | " + text(p.serial_number) + " | " + p.driver + " | " +
           (p.latency_timer_ms ? std::to_string(*p.latency_timer_ms) : "-") + " | " +
           (p.console ? "console" : "-");
}

TEST(ports_linux_test, fake_sysfs_tree) {
    Tree t;
    EXPECT_TRUE(list_ports((t.root() / "nothing").string()).empty());

    // An FTDI adapter: usb-serial port below its interface, latency timer, by-id link.
    const std::string usb = "pci0000:00/0000:00:14.0/usb1/";
    t.at("sys/devices/" + usb + "1-2", {"idVendor=0403", "idProduct=6001", "serial=A10K3XYZ",
                                        "manufacturer=FTDI", "product=FT232R USB UART"});
    t.at("sys/devices/" + usb + "1-2/1-2:1.0", {"bInterfaceNumber=00"});
    t.bound(usb + "1-2/1-2:1.0/ttyUSB0", "usb-serial", "ftdi_sio");
    t.tty("ttyUSB0", usb + "1-2/1-2:1.0/ttyUSB0");
    t.at("sys/bus/usb-serial/devices/ttyUSB0", {"latency_timer=16"});
    t.at("dev", {"ttyUSB0"});
    t.at("dev/serial/by-id", {"usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0->../../ttyUSB0"});
    // CDC-ACM: the interface is the tty's device; no product or serial string.
    t.at("sys/devices/" + usb + "1-3", {"idVendor=1209", "idProduct=000a"});
    t.at("sys/devices/" + usb + "1-3/1-3:1.0",
         {"bInterfaceNumber=00", "interface=CDC Abstract Control Model"});
    t.bound(usb + "1-3/1-3:1.0", "usb", "cdc_acm");
    t.tty("ttyACM0", usb + "1-3/1-3:1.0");
    t.at("dev", {"ttyACM0"});
    // A UART, the console, behind a serial-base port and controller (kernel 6.5 on).
    t.bound("pnp0/00:05", "pnp", "serial");
    t.bound("pnp0/00:05/00:05:0", "serial-base", "ctrl");
    t.bound("pnp0/00:05/00:05:0/00:05:0.0", "serial-base", "port");
    t.tty("ttyS0", "pnp0/00:05/00:05:0/00:05:0.0",
          {"type=4", "irq=4", "port=0x3F8", "iomem_base=0x0", "console=Y"});
    // An 8250 placeholder with no UART behind it, one with neither IRQ nor address, a USB
    // adapter without a /dev node, a legacy ttyS and pseudo-terminals without a device.
    t.bound("platform/serial8250", "platform", "serial8250");
    t.tty("ttyS1", "platform/serial8250", {"type=0", "irq=4", "port=0x2F8"});
    t.tty("ttyS3", "platform/serial8250", {"type=4", "irq=0", "port=0x0", "iomem_base=0x0"});
    t.bound(usb + "1-4/1-4:1.0/ttyUSB1", "usb-serial", "pl2303");
    t.tty("ttyUSB1", usb + "1-4/1-4:1.0/ttyUSB1");
    for (const std::string name : {"ptmx", "tty0", "ttyp0", "ttyS2"}) {
        t.at("sys/class/tty/" + name, {"dev=5:2"});
    }
    t.at("sys/class/tty/ttyX", {"device->../../devices/gone"});  // a dangling link
    t.at("dev", {"ttyS0", "ttyS1", "ttyS2", "ttyS3", "ptmx", "tty0", "ttyp0", "ttyX"});

    const std::string dev = (t.root() / "dev").string();
    std::vector<std::string> lines;
    for (const PortInfo& port : list_ports(t.root().string())) lines.push_back(line(port, dev));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "DEV/ttyACM0 | - | CDC Abstract Control Model | - | 1209:000a | - | "
                         "cdc_acm | - | -",
                         "DEV/ttyS0 | - | ttyS0 | - | - | - | serial | - | console",
                         "DEV/ttyUSB0 | DEV/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-"
                         "if00-port0 | FT232R USB UART | FTDI | 0403:6001 | A10K3XYZ | "
                         "ftdi_sio | 16 | -",
                     }));
}

TEST(ports_test, natural_order) {
    const std::vector<std::string> ordered = {
        "",        "COM2",     "COM10",     "ttyS1", "ttyS01",
        "ttyUSB2", "ttyUSB10", "ttyUSB10a", "x9",    "x18446744073709551616"};
    for (std::size_t i = 0; i + 1 < ordered.size(); ++i) {
        using Zelkor::HardwareAPI::IO::ports::natural_less;
        EXPECT_TRUE(natural_less(ordered[i], ordered[i + 1])) << ordered[i];
        EXPECT_FALSE(natural_less(ordered[i + 1], ordered[i])) << ordered[i];
        EXPECT_FALSE(natural_less(ordered[i], ordered[i])) << ordered[i];
    }
}

}  // namespace
