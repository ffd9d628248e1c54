// Finding devices: each port a pseudo-terminal whose master side answers the wake-up as a
// device would, or does not.
#include <ZelkorHardwareAPI/devices/find.h>
#include <ZelkorHardwareAPI/io/serial_stream.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pty.h"

namespace {

using namespace zelkor_test;
namespace hw = Zelkor::HardwareAPI;
using hw::Devices::FoundDevice;
using hw::Devices::PortProbe;
using Outcome = PortProbe::Outcome;
using Kind = FoundDevice::Kind;

const Bytes identity = {0x0B, 0x01, 0x0A, 1,   2,   6,   'Z', 'e', 'l', 'k', 'o',
                        'r',  ' ',  's',  'i', 'm', 'u', 'l', 'a', 't', 'o', 'r'};
const Bytes handle_info = {0xD0, 0, 0x01, 0x0D, 2, 1, 3};
// A status whose user data holds both answer codes: skipped whole, they are never read as one.
const Bytes handle_status =
    cat({{0xDA, 0x01, 0x0D, 0, 200}, Bytes(16, 0), {6, 0x0B, 0xD0, 0x0B, 0xD0, 0x0B, 0xD0}});
const Bytes handle_error = {0xDF, 0x01, 0x0D, 3};

// One port and what its device does when woken.
struct Line {
    const char* name;
    Bytes answer;  // sent once the wake-up came
    bool hang_up;  // the line goes away after the answer
    bool held;     // another stream holds the port
    Outcome outcome;
    std::optional<FoundDevice> device;  // port filled in by the test
};

TEST(find_test, probes_in_parallel) {
    const std::vector<Line> lines = {
        {"arbelon", identity, false, false, Outcome::answered,
         FoundDevice{"", Kind::arbelon, 0x0A01, 1, 2, 6}},
        // Awake already: its status messages come before and after the answer.
        {"awake handle", cat({handle_status, handle_error, handle_info, handle_status}), false,
         false, Outcome::answered, FoundDevice{"", Kind::handle, 0x0D01, 2, 1, 3}},
        {"noise first", cat({{0x00, 0xFF, 0x0C}, handle_info}), false, false, Outcome::answered,
         FoundDevice{"", Kind::handle, 0x0D01, 2, 1, 3}},
        {"silent", {}, false, false, Outcome::silent, std::nullopt},
        {"identity cut short", Bytes(identity.begin(), identity.begin() + 10), false, false,
         Outcome::silent, std::nullopt},
        {"hangs up", {}, true, false, Outcome::failed, std::nullopt},
        {"held elsewhere", {}, false, true, Outcome::in_use, std::nullopt},
    };
    std::vector<std::unique_ptr<Pty>> ptys;
    std::vector<std::unique_ptr<hw::IO::SerialStream>> holders;
    std::vector<std::string> ports;
    for (const Line& line : lines) {
        ptys.push_back(std::make_unique<Pty>());
        ports.push_back(ptys.back()->path());
        if (line.held) {
            holders.push_back(std::make_unique<hw::IO::SerialStream>(ports.back().c_str()));
            ASSERT_TRUE(holders.back()->is_open());
        }
    }
    ports.push_back(missing_port);
    ports.push_back("/dev/null");
    ports.push_back(ports.front());  // tried once

    std::vector<Bytes> written(lines.size());
    std::atomic<bool> probed{false};
    std::vector<std::thread> devices;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        devices.emplace_back([&, i] {
            // Until the probe opens the port, the master side reads as hung up.
            wait_until(
                [&] {
                    if (written[i].empty()) written[i] = ptys[i]->receive(1, 20);
                    return !written[i].empty() || probed.load();
                },
                5000);
            if (written[i] != Bytes{0x0A}) return;
            if (!lines[i].answer.empty()) ptys[i]->send(lines[i].answer);
            if (lines[i].hang_up) ptys[i]->close_master();
            written[i] = cat({written[i], ptys[i]->drain(200)});
        });
    }
    const std::vector<PortProbe> probes =
        hw::Devices::probe_ports(ports, std::chrono::milliseconds(3000));
    probed = true;
    for (std::thread& device : devices) device.join();

    ASSERT_EQ(probes.size(), lines.size() + 2);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Line& line = lines[i];
        const PortProbe& probe = probes[i];
        SCOPED_TRACE(line.name);
        EXPECT_EQ(probe.port, ports[i]);
        EXPECT_EQ(probe.outcome, line.outcome) << hw::Devices::to_text(probe.outcome);
        // The wake-up and nothing else; a held port gets nothing at all.
        EXPECT_EQ(written[i], line.held ? Bytes{} : Bytes{0x0A});
        if (line.device) {
            const FoundDevice& d = probe.device;
            EXPECT_EQ(d.port, ports[i]);
            EXPECT_EQ(d.kind, line.device->kind);
            EXPECT_EQ(d.device_id, line.device->device_id);
            EXPECT_EQ(d.model, line.device->model);
            EXPECT_EQ(d.hardware_version, line.device->hardware_version);
            EXPECT_EQ(d.firmware_version, line.device->firmware_version);
        }
    }
    EXPECT_EQ(probes[2].device.kind, Kind::handle);
    EXPECT_EQ(probes[5].error.step, hw::IO::PortError::Step::hang_up);
    EXPECT_EQ(probes[6].error.cause, hw::IO::PortError::Cause::in_use);
    EXPECT_EQ(probes[lines.size()].outcome, Outcome::failed);
    EXPECT_EQ(probes[lines.size()].error.step, hw::IO::PortError::Step::open);
    EXPECT_EQ(probes[lines.size() + 1].error.cause, hw::IO::PortError::Cause::not_a_port);
    // The holder's port is still its own.
    EXPECT_TRUE(holders.front()->is_open());
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
    EXPECT_EQ(probes[0].outcome, Outcome::stopped);
    EXPECT_EQ(asked.load(), 2);
    EXPECT_EQ(quiet.receive(1, 1000), Bytes{0x0A});
}

TEST(find_test, texts) {
    EXPECT_STREQ(hw::Devices::to_text(Kind::arbelon), "Arbelon");
    EXPECT_STREQ(hw::Devices::to_text(Kind::handle), "Handle");
    EXPECT_STREQ(hw::Devices::to_text(Outcome::in_use), "in use");
    EXPECT_TRUE(hw::Devices::probe_ports({}, std::chrono::milliseconds(100)).empty());
}

}  // namespace
