// Finding devices: each port a pseudo-terminal whose master side answers the wake-up as a
// device would, or does not.
#include <ZelkorHardwareAPI/devices/find.h>
#include <ZelkorHardwareAPI/io/serial_stream.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pty.h"

namespace {

using namespace zelkor_test;
namespace hw = Zelkor::HardwareAPI;
using hw::Devices::PortProbe;

const Bytes identity = {0x0B, 0x01, 0x0A, 1,   2,   6,   'Z', 'e', 'l', 'k', 'o',
                        'r',  ' ',  's',  'i', 'm', 'u', 'l', 'a', 't', 'o', 'r'};
const Bytes handle_info = {0xD0, 0, 0x01, 0x0D, 2, 1, 3};
// A status whose user data holds both answer codes: skipped whole, they are never read as one.
const Bytes handle_status =
    cat({{0xDA, 0x01, 0x0D, 0, 200}, Bytes(16, 0), {6, 0x0B, 0xD0, 0x0B, 0xD0, 0x0B, 0xD0}});
const Bytes handle_error = {0xDF, 0x01, 0x0D, 3};

// How a probe ended, as one line: the outcome, then the device or the failure.
std::string summary(const PortProbe& probe) {
    std::string out = hw::Devices::to_text(probe.outcome);
    const hw::Devices::FoundDevice& d = probe.device;
    if (probe.outcome == PortProbe::Outcome::answered) {
        out += std::string(" ") + hw::Devices::to_text(d.kind) + " " + std::to_string(d.device_id) +
               " " + std::to_string(d.model) + " " + std::to_string(d.hardware_version) + " " +
               std::to_string(d.firmware_version);
    } else if (probe.error) {
        out += ": " + probe.error.message();
    }
    return out;
}

TEST(find_test, probes_in_parallel) {
    struct Line {
        const char* name;
        Bytes answer;  // sent for each wake-up
        enum { stays, hangs_up, held } line;
        const char* expected;
        int wakeups;  // a device's identity is asked for twice
    };
    const std::vector<Line> lines = {
        {"arbelon", identity, Line::stays, "answered Arbelon 2561 1 2 6", 2},
        // Awake already: its status messages come before and after the answer.
        {"awake handle", cat({handle_status, handle_error, handle_info, handle_status}),
         Line::stays, "answered Handle 3329 2 1 3", 2},
        // What answers the wake-up must be the identity and nothing before it.
        {"noise first", cat({{0x00, 0xFF, 0x0C}, handle_info}), Line::stays,
         "the reply was not a message a device sends", 1},
        {"silent", {}, Line::stays, "silent", 1},
        {"identity cut short", Bytes(identity.begin(), identity.begin() + 10), Line::stays,
         "the reply was not the length a device answers with", 1},
        {"hangs up",
         {},
         Line::hangs_up,
         "failed: the line hung up (device unplugged or closed)",
         1},
        {"held elsewhere",
         {},
         Line::held,
         "in use: open failed: the port is in use by another program",
         0},
    };
    std::vector<std::unique_ptr<Pty>> ptys;
    std::vector<std::string> ports;
    std::unique_ptr<hw::IO::SerialStream> holder;
    for (const Line& line : lines) {
        ptys.push_back(std::make_unique<Pty>());
        ports.push_back(ptys.back()->path());
        if (line.line == Line::held)
            holder = std::make_unique<hw::IO::SerialStream>(ports.back().c_str());
    }
    ports.insert(ports.end(), {missing_port, "/dev/null", ports.front()});  // the last tried once

    std::vector<Bytes> written(lines.size());
    std::atomic<bool> probed{false};
    std::vector<std::thread> devices;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        devices.emplace_back([&, i] {
            while (!probed.load()) {
                const Bytes got = ptys[i]->receive(1, 20);
                if (got.empty()) {
                    // Until the probe opens the port, the master side reads as hung up.
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
                written[i] = cat({written[i], got});
                if (got != Bytes{0x0A}) continue;
                ptys[i]->send(lines[i].answer);
                if (lines[i].line == Line::hangs_up) {
                    ptys[i]->close_master();
                    return;
                }
            }
        });
    }
    const std::vector<PortProbe> probes =
        hw::Devices::probe_ports(ports, std::chrono::milliseconds(3000));
    probed = true;
    for (std::thread& device : devices) device.join();

    ASSERT_EQ(probes.size(), lines.size() + 2);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i].name);
        EXPECT_EQ(probes[i].port, ports[i]);
        EXPECT_EQ(probes[i].device.port, ports[i]);
        EXPECT_EQ(summary(probes[i]), lines[i].expected);
        // The wake-up and nothing else; a held port gets nothing at all.
        EXPECT_EQ(written[i], Bytes(static_cast<std::size_t>(lines[i].wakeups), 0x0A));
    }
    EXPECT_EQ(summary(probes[lines.size()]),
              "failed: open failed: No such file or directory (errno 2)");
    EXPECT_EQ(summary(probes[lines.size() + 1]), "failed: open failed: not a serial port");
    EXPECT_TRUE(holder->is_open());
}

TEST(find_test, stop_check_ends_the_waits) {
    Pty quiet;
    std::atomic<int> asked{0};
    auto stop = [](void* count) { return ++*static_cast<std::atomic<int>*>(count) >= 2; };
    const auto start = Clock::now();
    const std::vector<PortProbe> probes =
        hw::Devices::probe_ports({quiet.path()}, std::chrono::seconds(60), {stop, &asked});
    // Generous: the point is that the 60 s time-out did not run out.
    EXPECT_LT(ms_since(start), 30000);
    ASSERT_EQ(probes.size(), 1u);
    EXPECT_EQ(summary(probes[0]), "stopped");
    EXPECT_EQ(asked.load(), 2);
    EXPECT_EQ(quiet.receive(1, 1000), Bytes{0x0A});
}

}  // namespace
