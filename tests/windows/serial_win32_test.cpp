// The Win32 serial port where it differs from other platforms: COM port names, the device
// namespace and the line settings the port ends up with.
#include <ZelkorHardwareAPI/io/serial_stream.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "probe.h"
#include "pty.h"

using Zelkor::HardwareAPI::IO::OpenCode;
using zelkor_test::code;
using zelkor_test::Pty;

TEST(serialib_win32_test, open_codes) {
    Pty pty;
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    const std::string dir = std::string(temp) + "zelkor-test";
    CreateDirectoryA(dir.c_str(), nullptr);
    const std::string file = dir + "\\data.bin";
    std::ofstream(file) << "precious";

    zelkor_test::expect_open_codes({
        {"COM port", pty.path(), OpenCode::ok, true},
        {"COM port that is not there", "COM251", OpenCode::not_found, false},
        {"no such device", "ZELKOR_NO_SUCH_PORT", OpenCode::not_found, false},
        {"a file reached through the device namespace", file, OpenCode::open_failed, false},
        {"a directory", dir, OpenCode::open_failed, false},
        {"character device that is no port", "NUL", OpenCode::get_state_failed, true},
    });
    // The bare device namespace, and a name longer than any fixed buffer: refused either way.
    for (const std::string& name : {std::string(), std::string(4000, 'X')}) {
        serialib buffer;
        const auto r = buffer.open(name.c_str());
        EXPECT_TRUE(r == code(OpenCode::not_found) || r == code(OpenCode::open_failed))
            << name.size() << " characters: " << int(r);
        EXPECT_FALSE(buffer.is_open());
    }

    EXPECT_EQ(zelkor_test::file_content(file), "precious")
        << "a file must never be written as a port";
    DeleteFileA(file.c_str());
    RemoveDirectoryA(dir.c_str());
}

TEST(serialib_win32_test, open_sets_the_line_to_115200_8n1) {
    Pty pty;
    ASSERT_EQ(pty.line_settings(), "9600 8N2");
    serialib buffer;
    ASSERT_EQ(buffer.open(pty.path().c_str()), 1);
    EXPECT_EQ(pty.line_settings(), "115200 8N1");
}

TEST(serialib_win32_test, a_silent_line_times_out_rather_than_failing) {
    // Wine ends a read its time-outs cut short with ERROR_TIMEOUT, Windows with fewer bytes:
    // both are a time-out, with what came, and the port stays good.
    Pty pty;
    serialib buffer;
    ASSERT_EQ(buffer.open(pty.path().c_str()), 1);
    pty.send({0x2B, 0x01});
    char got[4] = {};
    EXPECT_EQ(buffer.read_port(got, 4), 2);
    EXPECT_EQ(buffer.last_error().cause, Zelkor::HardwareAPI::IO::PortError::Cause::timed_out)
        << buffer.last_error().message();
    EXPECT_EQ(buffer.read_port(got, 1), 0);
    EXPECT_EQ(buffer.last_error().message(), "read timed out");
    EXPECT_TRUE(buffer.is_open());
}
