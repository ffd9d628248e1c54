// The port listing and the device search on Windows: SetupAPI and the registry as Wine (or
// Windows) fills them, and probes of COM ports whose other side the device peer plays.
#include <ZelkorHardwareAPI/devices/find.h>
#include <ZelkorHardwareAPI/io/ports.h>
#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pty.h"

namespace {

namespace hw = Zelkor::HardwareAPI;
using zelkor_test::Bytes;
using zelkor_test::Pty;
using Outcome = hw::Devices::PortProbe::Outcome;

bool com_name(const std::string& name) {
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0) return false;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
    }
    return true;
}

TEST(ports_win32_test, lists_com_ports) {
    const std::vector<hw::IO::PortInfo> ports = hw::IO::list_ports();
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const hw::IO::PortInfo& p = ports[i];
        SCOPED_TRACE(p.device);
        EXPECT_TRUE(com_name(p.device));
        EXPECT_FALSE(p.description.empty());
        EXPECT_FALSE(p.by_id);
        EXPECT_FALSE(p.console);
        // Sorted by number, each once.
        if (i > 0)
            EXPECT_LT(std::stoi(ports[i - 1].device.substr(3)), std::stoi(p.device.substr(3)));
    }
}

TEST(ports_win32_test, probes_answer_silence_and_a_missing_port) {
    Pty arm, quiet;
    const Bytes identity = {0x0B, 0x01, 0x0A, 1, 2, 6, 0, 0, 0, 0, 0,
                            0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<Bytes> written(2);
    std::vector<std::thread> devices;
    Pty* lines[] = {&arm, &quiet};
    for (std::size_t i = 0; i < 2; ++i) {
        devices.emplace_back([&, i] {
            // Until the probe opens the port, its other side reads nothing at once.
            zelkor_test::wait_until(
                [&] {
                    if (written[i].empty()) written[i] = lines[i]->receive(1, 50);
                    return !written[i].empty();
                },
                5000);
            if (i == 0 && written[i] == Bytes{0x0A}) arm.send(identity);
        });
    }
    const std::vector<hw::Devices::PortProbe> probes = hw::Devices::probe_ports(
        {arm.path(), quiet.path(), "COM251"}, std::chrono::milliseconds(3000));
    for (std::thread& device : devices) device.join();

    ASSERT_EQ(probes.size(), 3u);
    EXPECT_EQ(probes[0].outcome, Outcome::answered);
    EXPECT_EQ(probes[0].device.kind, hw::Devices::FoundDevice::Kind::arbelon);
    EXPECT_EQ(probes[0].device.device_id, 0x0A01);
    EXPECT_EQ(probes[0].device.firmware_version, 6);
    EXPECT_EQ(probes[1].outcome, Outcome::silent) << probes[1].error.message();
    EXPECT_EQ(probes[2].outcome, Outcome::failed);
    EXPECT_EQ(written[0], Bytes{0x0A});
    EXPECT_EQ(written[1], Bytes{0x0A});
}

}  // namespace
