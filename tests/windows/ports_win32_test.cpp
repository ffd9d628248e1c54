// The port listing on Windows: SetupAPI and the registry as Wine (or Windows) fills them. (The
// device search runs under Wine in console_test.py.)
#include <ZelkorHardwareAPI/io/ports.h>
#include <gtest/gtest.h>

#include <string>

namespace {

namespace hw = Zelkor::HardwareAPI;

TEST(ports_win32_test, lists_com_ports_in_order) {
    int previous = 0;
    for (const hw::IO::PortInfo& p : hw::IO::list_ports()) {
        SCOPED_TRACE(p.device);
        ASSERT_EQ(p.device.compare(0, 3, "COM"), 0);
        const int number = std::stoi(p.device.substr(3));
        EXPECT_GT(number, previous);
        previous = number;
        EXPECT_FALSE(p.description.empty() || p.by_id || p.console);
    }
}

}  // namespace
