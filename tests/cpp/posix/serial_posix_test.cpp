// The serial transport where it meets POSIX: device paths, files that are no ports, and lines
// that hang up. The test holds the pseudo-terminal's master side as the device.
#include <ZelkorHardwareAPI/io/serial_stream.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "probe.h"
#include "pty.h"

using Zelkor::HardwareAPI::IO::OpenCode;
using Zelkor::HardwareAPI::IO::SerialStream;
using zelkor_test::Bytes;
using zelkor_test::bytes_of;
using zelkor_test::Clock;
using zelkor_test::code;
using zelkor_test::ms_since;
using zelkor_test::Probe;
using zelkor_test::Pty;

TEST(serialib_test, open_codes) {
    Pty pty;
    char dir[] = "/tmp/zelkor-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/data.bin";
    std::ofstream(file) << "precious";

    zelkor_test::expect_open_codes({
        {"pty by path", pty.path(), OpenCode::ok, true},
        {"bare name, looked up under /dev (a device that is no terminal)", "null",
         OpenCode::open_failed, false},
        {"missing path", "/dev/zelkor-no-such-port", OpenCode::not_found, false},
        {"missing name", "zelkor-no-such-port", OpenCode::not_found, false},
        {"empty name (the /dev directory)", "", OpenCode::open_failed, false},
        {"regular file", file, OpenCode::open_failed, false},
        {"directory", dir, OpenCode::open_failed, false},
        {"character device that is no terminal", "/dev/urandom", OpenCode::open_failed, false},
    });
    serialib null_name;
    EXPECT_EQ(null_name.open(nullptr), code(OpenCode::not_found));

    EXPECT_EQ(zelkor_test::file_content(file), "precious")
        << "a regular file must never be written";
    std::remove(file.c_str());
    rmdir(dir);
}

TEST(serialib_test, write_cut_short_by_hang_up_reports_what_went_out) {
    Pty pty;
    Probe buffer;
    ASSERT_EQ(buffer.open(pty.path().c_str()), 1);
    Bytes big(256 * 1024, 0x33);
    std::thread unplug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        pty.close_master();
    });
    const auto start = Clock::now();
    const auto written = buffer.xsputn(reinterpret_cast<const char*>(big.data()), big.size());
    unplug.join();
    EXPECT_LT(written, static_cast<std::streamsize>(big.size()));
    EXPECT_LT(ms_since(start), 2000.0);
}

TEST(serial_stream_test, hang_up_mid_read_returns_promptly_with_what_came) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.send(bytes_of("half"));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.close_master();
    });
    char data[24] = {};
    const auto start = Clock::now();
    stream.read(data, 24);
    const double took = ms_since(start);
    device.join();
    EXPECT_EQ(stream.gcount(), 4);
    EXPECT_EQ(std::string(data, 4), "half");
    EXPECT_LT(took, 800.0) << "a dead line must not sit out the interval time-out";

    // Later transfers on the dead line return at once too: no spinning, no waiting.
    const auto again = Clock::now();
    stream.read(data, 24);
    EXPECT_EQ(stream.gcount(), 0);
    stream.write("x", 1);
    EXPECT_TRUE(stream.bad());
    EXPECT_LT(ms_since(again), 500.0);
}
