// The Linux port listing against a made-up sysfs and /dev in a temporary folder, laid out as
// the kernel lays them out.
#include <ZelkorHardwareAPI/io/ports.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "io/ports.h"

namespace {

namespace fs = std::filesystem;
using Zelkor::HardwareAPI::IO::list_ports;
using Zelkor::HardwareAPI::IO::PortInfo;
using Zelkor::HardwareAPI::IO::ports::natural_less;

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

    /// Writes `text` (and a newline, as sysfs does) to root/`path`.
    void file(const std::string& path, const std::string& text = "") const {
        fs::create_directories((root_ / path).parent_path());
        std::ofstream(root_ / path) << text << (text.empty() ? "" : "\n");
    }
    /// Attributes of a folder, name to value.
    void files(const std::string& folder, const std::map<std::string, std::string>& values) const {
        for (const auto& [name, value] : values) file(folder + "/" + name, value);
    }
    /// A symbolic link at root/`path` to `target`, relative as sysfs writes them.
    void link(const std::string& path, const std::string& target) const {
        fs::create_directories((root_ / path).parent_path());
        fs::create_symlink(target, root_ / path);
    }
    void folder(const std::string& path) const { fs::create_directories(root_ / path); }

    /// A tty under `device` (a folder under sys/devices), with its class entry.
    void tty(const std::string& name, const std::string& device) const {
        const std::string dir = "sys/devices/" + device + "/tty/" + name;
        folder(dir);
        link(dir + "/device", "../..");
        link("sys/class/tty/" + name, "../../devices/" + device + "/tty/" + name);
    }
    /// A device folder's bus and driver links.
    void bound(const std::string& device, const std::string& bus, const std::string& driver) const {
        const std::string dir = "sys/devices/" + device;
        const int depth = static_cast<int>(std::count(dir.begin(), dir.end(), '/')) + 1;
        std::string up;
        for (int i = 0; i < depth; ++i) up += "../";
        link(dir + "/subsystem", up + "sys/bus/" + bus);
        if (!driver.empty()) link(dir + "/driver", up + "sys/bus/" + bus + "/drivers/" + driver);
    }

  private:
    fs::path root_;
};

// The machine: an FTDI adapter (latency timer, by-id link), a CDC-ACM device without product
// or serial strings, a UART that is the console behind serial-base (kernel 6.5 on), an 8250
// placeholder, a USB adapter whose /dev node is missing, and the ttys with no device.
void build(const Tree& t) {
    const std::string usb = "pci0000:00/0000:00:14.0/usb1/";
    t.files("sys/devices/" + usb + "1-2", {{"idVendor", "0403"},
                                           {"idProduct", "6001"},
                                           {"serial", "A10K3XYZ"},
                                           {"manufacturer", "FTDI"},
                                           {"product", "FT232R USB UART"}});
    t.files("sys/devices/" + usb + "1-2/1-2:1.0", {{"bInterfaceNumber", "00"}});
    t.bound(usb + "1-2/1-2:1.0", "usb", "ftdi_sio");
    t.bound(usb + "1-2/1-2:1.0/ttyUSB0", "usb-serial", "ftdi_sio");
    t.tty("ttyUSB0", usb + "1-2/1-2:1.0/ttyUSB0");
    t.file("sys/bus/usb-serial/devices/ttyUSB0/latency_timer", "16");
    t.file("dev/ttyUSB0");
    t.link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0", "../../ttyUSB0");

    t.files("sys/devices/" + usb + "1-3", {{"idVendor", "1209"}, {"idProduct", "000a"}});
    t.files("sys/devices/" + usb + "1-3/1-3:1.0",
            {{"bInterfaceNumber", "00"}, {"interface", "CDC Abstract Control Model"}});
    t.bound(usb + "1-3/1-3:1.0", "usb", "cdc_acm");
    t.tty("ttyACM0", usb + "1-3/1-3:1.0");
    t.file("dev/ttyACM0");

    const std::string uart = "pnp0/00:05/00:05:0/00:05:0.0";
    t.bound("pnp0/00:05", "pnp", "serial");
    t.bound("pnp0/00:05/00:05:0", "serial-base", "ctrl");
    t.bound(uart, "serial-base", "port");
    t.tty("ttyS0", uart);
    t.files(
        "sys/devices/" + uart + "/tty/ttyS0",
        {{"type", "4"}, {"irq", "4"}, {"port", "0x3F8"}, {"iomem_base", "0x0"}, {"console", "Y"}});
    t.file("dev/ttyS0");

    const std::string spare = "platform/serial8250/serial8250:0/serial8250:0.1";
    t.bound("platform/serial8250", "platform", "serial8250");
    t.bound("platform/serial8250/serial8250:0", "serial-base", "ctrl");
    t.bound(spare, "serial-base", "port");
    t.tty("ttyS1", spare);
    t.files(
        "sys/devices/" + spare + "/tty/ttyS1",
        {{"type", "0"}, {"irq", "0"}, {"port", "0x0"}, {"iomem_base", "0x0"}, {"console", "N"}});
    t.file("dev/ttyS1");

    t.files("sys/devices/" + usb + "1-4", {{"idVendor", "067b"}, {"idProduct", "2303"}});
    t.files("sys/devices/" + usb + "1-4/1-4:1.0", {{"bInterfaceNumber", "00"}});
    t.bound(usb + "1-4/1-4:1.0/ttyUSB1", "usb-serial", "pl2303");
    t.tty("ttyUSB1", usb + "1-4/1-4:1.0/ttyUSB1");

    // No device behind them: the pseudo-terminal master, virtual consoles, a legacy ttyS.
    for (const char* name : {"ptmx", "tty", "tty0", "console", "ttyp0", "ttyS2"}) {
        t.folder(std::string("sys/devices/virtual/tty/") + name);
        t.link(std::string("sys/class/tty/") + name,
               std::string("../../devices/virtual/tty/") + name);
        t.file(std::string("dev/") + name);
    }
}

TEST(ports_linux_test, fake_sysfs_tree) {
    const Tree t;
    build(t);
    const std::string dev = (t.root() / "dev").string();

    struct Expected {
        std::string device;
        std::optional<std::string> by_id;
        std::string description;
        std::optional<std::string> manufacturer;
        std::optional<std::uint16_t> vid, pid;
        std::optional<std::string> serial_number;
        std::string driver;
        std::optional<int> latency_timer_ms;
        bool console;
    };
    const std::vector<Expected> expected = {
        {dev + "/ttyACM0", std::nullopt, "CDC Abstract Control Model", std::nullopt, 0x1209, 0x000a,
         std::nullopt, "cdc_acm", std::nullopt, false},
        {dev + "/ttyS0", std::nullopt, "ttyS0", std::nullopt, std::nullopt, std::nullopt,
         std::nullopt, "serial", std::nullopt, true},
        {dev + "/ttyUSB0", dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0",
         "FT232R USB UART", "FTDI", 0x0403, 0x6001, "A10K3XYZ", "ftdi_sio", 16, false},
    };
    const std::vector<PortInfo> ports = list_ports(t.root().string());
    ASSERT_EQ(ports.size(), expected.size());
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const PortInfo& p = ports[i];
        const Expected& e = expected[i];
        SCOPED_TRACE(e.device);
        EXPECT_EQ(p.device, e.device);
        EXPECT_EQ(p.by_id, e.by_id);
        EXPECT_EQ(p.description, e.description);
        EXPECT_EQ(p.manufacturer, e.manufacturer);
        EXPECT_EQ(p.vid, e.vid);
        EXPECT_EQ(p.pid, e.pid);
        EXPECT_EQ(p.serial_number, e.serial_number);
        EXPECT_EQ(p.driver, e.driver);
        EXPECT_EQ(p.latency_timer_ms, e.latency_timer_ms);
        EXPECT_EQ(p.console, e.console);
    }
}

TEST(ports_linux_test, missing_or_unreadable_tree_lists_nothing) {
    const Tree t;
    EXPECT_TRUE(list_ports((t.root() / "nowhere").string()).empty());
    // A class entry whose device link dangles, and a tty folder that is a plain file.
    t.link("sys/class/tty/ttyUSB9/device", "../../devices/gone");
    t.file("dev/ttyUSB9");
    t.file("sys/class/tty/ttyX");
    t.file("dev/ttyX");
    EXPECT_TRUE(list_ports(t.root().string()).empty());
}

TEST(ports_test, natural_order) {
    // Each name comes before the next.
    const std::vector<std::string> ordered = {"",
                                              "COM2",
                                              "COM9",
                                              "COM10",
                                              "COM100",
                                              "ttyACM0",
                                              "ttyS0",
                                              "ttyS1",
                                              "ttyS01",
                                              "ttyS2",
                                              "ttyUSB2",
                                              "ttyUSB10",
                                              "ttyUSB10a",
                                              "ttyUSB10b",
                                              "ttyUSB11",
                                              "x9",
                                              "x18446744073709551616",
                                              "x18446744073709551617"};
    for (std::size_t i = 0; i + 1 < ordered.size(); ++i) {
        EXPECT_TRUE(natural_less(ordered[i], ordered[i + 1]))
            << ordered[i] << " < " << ordered[i + 1];
        EXPECT_FALSE(natural_less(ordered[i + 1], ordered[i]))
            << ordered[i + 1] << " !< " << ordered[i];
        EXPECT_FALSE(natural_less(ordered[i], ordered[i])) << ordered[i];
    }
}

}  // namespace
