// The serial transport on every platform, against a pseudo-terminal whose other side plays
// the device (see pty.h of the platform's suite).
#include <ZelkorHardwareAPI/io/serial_stream.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "probe.h"
#include "pty.h"

using Zelkor::HardwareAPI::IO::OpenCode;
using Zelkor::HardwareAPI::IO::SerialStream;
using zelkor_test::Bytes;
using zelkor_test::bytes_of;
using zelkor_test::Clock;
using zelkor_test::code;
using zelkor_test::end_of_file;
using zelkor_test::ms_since;
using zelkor_test::Probe;
using zelkor_test::Pty;
using zelkor_test::time_out_slack_ms;

namespace {

// A later send from the device side.
std::thread send_after(const Pty& pty, int delay_ms, Bytes bytes) {
    return std::thread([&pty, delay_ms, bytes] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        pty.send(bytes);
    });
}

}  // namespace

TEST(serialib_test, exclusive_open_and_reopen) {
    if (const char* why = zelkor_test::exclusive_open_unenforced()) GTEST_SKIP() << why;
    Pty pty;
    {
        auto first = std::make_unique<serialib>();
        ASSERT_EQ(first->open(pty.path().c_str()), 1);
        serialib second;
        EXPECT_EQ(second.open(pty.path().c_str()), code(OpenCode::open_failed));
        EXPECT_FALSE(second.is_open());
        first.reset();
        serialib third;
        EXPECT_EQ(third.open(pty.path().c_str()), 1) << "destroying the holder frees the port";
    }
    // The same through streams: the second stream is silently unopened.
    auto a = std::make_unique<SerialStream>(pty.path().c_str());
    SerialStream b(pty.path().c_str());
    b.write("x", 1);
    EXPECT_TRUE(b.bad());
    EXPECT_TRUE(pty.drain().empty());
    a.reset();
    SerialStream c(pty.path().c_str());
    c.write("y", 1);
    EXPECT_TRUE(c.good());
    EXPECT_EQ(pty.receive(1), bytes_of("y"));
}

TEST(serialib_test, closed_buffer_returns_at_once) {
    Probe buffer;
    ASSERT_EQ(buffer.open(zelkor_test::missing_port), -1);
    char data[8] = "abcdefg";
    const auto start = Clock::now();
    EXPECT_EQ(buffer.xsgetn(data, 5), 0);
    EXPECT_EQ(buffer.xsputn(data, 5), 0);
    EXPECT_EQ(buffer.overflow('a'), end_of_file);
    EXPECT_EQ(buffer.underflow(), end_of_file);
    EXPECT_EQ(buffer.uflow(), end_of_file);
    EXPECT_EQ(buffer.showmanyc(), 0);
    EXPECT_LT(ms_since(start), 500.0);
    EXPECT_STREQ(data, "abcdefg");
}

TEST(serialib_test, all_byte_values_pass_unaltered_both_ways) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);

    stream.write(reinterpret_cast<const char*>(all.data()), 256);
    ASSERT_TRUE(stream.good());
    EXPECT_EQ(pty.receive(256), all) << "no CR/LF mapping, no output processing";
    EXPECT_TRUE(pty.drain().empty()) << "no echo";

    pty.send(all);
    char in[256] = {};
    stream.read(in, 256);
    ASSERT_EQ(stream.gcount(), 256) << "no canonical mode, no XON/XOFF, no signals";
    EXPECT_EQ(0, std::memcmp(in, all.data(), 256));
    EXPECT_TRUE(pty.drain().empty()) << "no echo of received bytes";
}

TEST(serialib_test, lookahead_operations) {
    Pty pty;
    Probe buffer;
    ASSERT_EQ(buffer.open(pty.path().c_str()), 1);

    // underflow twice reads the port once; uflow hands the byte over and empties the hold.
    pty.send(bytes_of("AB"));
    EXPECT_EQ(buffer.underflow(), 'A');
    EXPECT_EQ(buffer.underflow(), 'A');
    EXPECT_EQ(buffer.uflow(), 'A');
    EXPECT_EQ(buffer.uflow(), 'B');

    // Values above 127 come back as 0..255, never as EOF.
    pty.send({0xFF});
    EXPECT_EQ(buffer.underflow(), 0xFF);
    EXPECT_EQ(buffer.uflow(), 0xFF);

    // showmanyc holds one byte; xsgetn(s, 3) puts it first and reads the rest.
    pty.send(bytes_of("xyz"));
    EXPECT_EQ(buffer.showmanyc(), 1);
    EXPECT_EQ(buffer.showmanyc(), 1);
    char s[4] = {};
    EXPECT_EQ(buffer.xsgetn(s, 3), 3);
    EXPECT_STREQ(s, "xyz");

    // With a byte held, xsgetn(s, 1) does not touch the port (nothing else is coming).
    pty.send(bytes_of("q"));
    EXPECT_EQ(buffer.showmanyc(), 1);
    const auto start = Clock::now();
    char one = 0;
    EXPECT_EQ(buffer.xsgetn(&one, 1), 1);
    EXPECT_EQ(one, 'q');
    EXPECT_LT(ms_since(start), 500.0);

    // pbackfail holds one byte, refuses a second and EOF; nothing goes to the port.
    EXPECT_EQ(buffer.pbackfail('k'), 'k');
    EXPECT_EQ(buffer.pbackfail('l'), end_of_file);
    EXPECT_EQ(buffer.pbackfail(end_of_file), end_of_file);
    EXPECT_EQ(buffer.uflow(), 'k');
    EXPECT_EQ(buffer.overflow(end_of_file), end_of_file);
    EXPECT_EQ(buffer.overflow('w'), 'w');
    EXPECT_EQ(pty.drain(), bytes_of("w"));

    // Zero and negative counts touch nothing.
    EXPECT_EQ(buffer.xsgetn(s, 0), 0);
    EXPECT_EQ(buffer.xsgetn(s, -1), 0);
    EXPECT_EQ(buffer.xsputn(s, 0), 0);
    EXPECT_EQ(buffer.xsputn(s, -3), 0);
    EXPECT_TRUE(pty.drain().empty());
}

TEST(serialib_test, exact_counts_for_large_transfers) {
    Pty pty;
    Probe buffer;
    ASSERT_EQ(buffer.open(pty.path().c_str()), 1);
    Bytes block(1024);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
    std::thread device([&] { pty.send(block); });
    Bytes got(1024);
    EXPECT_EQ(buffer.xsgetn(reinterpret_cast<char*>(got.data()), 1024), 1024);
    device.join();
    EXPECT_EQ(got, block);

    // A write larger than the driver takes at once is completed within the write time-out
    // while the device reads slowly.
    Bytes big(64 * 1024, 0x5A);
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(pty.receive(big.size(), 5000).size(), big.size());
    });
    EXPECT_EQ(buffer.xsputn(reinterpret_cast<const char*>(big.data()), 65536), 65536);
    reader.join();
}

TEST(serial_stream_test, missing_port_transfers_return_at_once) {
    SerialStream stream(zelkor_test::missing_port);
    for (int round = 0; round < 2; ++round) {
        char data[6] = "hello";
        const auto start = Clock::now();
        stream.read(data, 5);
        EXPECT_EQ(stream.gcount(), 0);
        EXPECT_STREQ(data, "hello");
        EXPECT_TRUE(stream.fail());
        stream.write(data, 5);
        EXPECT_TRUE(stream.bad());
        EXPECT_LT(ms_since(start), 500.0);
    }
}

TEST(serial_stream_test, read_with_nothing_arriving_times_out) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    char data = 'u';
    const auto start = Clock::now();
    stream.read(&data, 1);
    const double took = ms_since(start);
    EXPECT_EQ(stream.gcount(), 0);
    EXPECT_EQ(data, 'u');
    EXPECT_TRUE(stream.eof() && stream.fail());
    EXPECT_GE(took, 1008.0 - time_out_slack_ms);  // 8 x 1 + 1000
    EXPECT_LT(took, 2500.0);
}

TEST(serial_stream_test, short_read_returns_an_interval_after_the_last_byte) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    char data[24];
    std::memset(data, '.', sizeof data);
    std::thread device = send_after(pty, 100, Bytes(10, 'r'));
    const auto start = Clock::now();
    stream.read(data, 24);
    const double took = ms_since(start);
    device.join();
    EXPECT_EQ(stream.gcount(), 10);
    EXPECT_TRUE(stream.eof() && stream.fail());
    EXPECT_GE(took, 1100.0 - time_out_slack_ms);  // 100 ms before the bytes + 1000 ms of silence
    EXPECT_LT(took, 2600.0);
    for (int i = 0; i < 24; ++i) EXPECT_EQ(data[i], i < 10 ? 'r' : '.') << i;

    // The short read affects only itself: the next write goes out, the next read waits.
    stream.write("ok", 2);
    EXPECT_TRUE(stream.good());
    EXPECT_EQ(pty.receive(2), bytes_of("ok"));
    device = send_after(pty, 50, bytes_of("abc"));
    stream.read(data, 3);
    device.join();
    EXPECT_EQ(stream.gcount(), 3);
    EXPECT_TRUE(stream.good());
}

TEST(serial_stream_test, trickling_bytes_end_at_the_total_time_out) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    // 10 bytes allow 8 x 10 + 1000 = 1080 ms; a byte every 300 ms never lets the interval
    // time-out fire, so the total one ends the read.
    std::thread device([&] {
        for (int i = 0; i < 6; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            pty.send(bytes_of("t"));
        }
    });
    char data[10];
    const auto start = Clock::now();
    stream.read(data, 10);
    const double took = ms_since(start);
    device.join();
    EXPECT_GE(took, 1080.0 - time_out_slack_ms);
    EXPECT_LT(took, 2000.0);
    EXPECT_GE(stream.gcount(), 1);  // fewer when the device thread is held up
    EXPECT_LE(stream.gcount(), 4);
}

namespace {
bool stop_when_set(void* flag) {
    return static_cast<std::atomic<bool>*>(flag)->load();
}
}  // namespace

TEST(serial_stream_test, waiting_for_input) {
    // How a wait for input ends: a byte arriving (also while a hook is asked), the wait's own
    // time-out, the hook, the hook's deadline. What it waited for stays there to read.
    struct Case {
        const char* what;
        int send_ms, stop_ms, deadline_ms;  // when each happens; -1: never
        std::uint32_t timeout_ms;
        bool ready;
        double at_least_ms;
    } cases[] = {
        {"a byte arrives", 300, -1, -1, 5000, true, 250},
        {"a byte arrives while a hook is asked", 300, 4000, -1, 5000, true, 250},
        {"the time-out", -1, -1, -1, 400, false, 400 - time_out_slack_ms},
        {"the hook", -1, 300, -1, 5000, false, 250},
        {"the deadline", -1, -1, 300, 5000, false, 250},
    };
    for (const auto& c : cases) {
        Pty pty;
        SerialStream stream(pty.path().c_str());
        std::atomic<bool> stop{false};
        if (c.stop_ms >= 0) stream.set_wait_hook({&stop_when_set, &stop, 20});
        const auto start = Clock::now();
        if (c.deadline_ms >= 0)
            stream.set_deadline(start + std::chrono::milliseconds(c.deadline_ms));
        std::thread event([&] {
            const int at = c.send_ms >= 0 ? c.send_ms : c.stop_ms;
            if (at < 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(at));
            if (c.send_ms >= 0) {
                pty.send(bytes_of("in"));
            } else {
                stop = true;
            }
        });
        EXPECT_EQ(stream.wait_for_input(c.timeout_ms), c.ready) << c.what;
        const double took = ms_since(start);
        event.join();
        EXPECT_GE(took, c.at_least_ms) << c.what;
        EXPECT_LT(took, 2500.0) << c.what;
        stream.set_wait_hook({});
        char data[2];
        if (c.ready) EXPECT_EQ(stream.read(data, 2).gcount(), 2) << c.what;
    }
}

TEST(serial_stream_test, long_read_returns_what_arrived) {
    // A 1024-byte read that gets 37 bytes: the path devices use to discard unexpected input.
    Pty pty;
    SerialStream stream(pty.path().c_str());
    pty.send(Bytes(37, 0xEE));
    char data[1024];
    stream.read(data, 1024);
    EXPECT_EQ(stream.gcount(), 37);
}

TEST(serial_stream_test, write_then_read_needs_no_flush) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    std::thread device([&] {
        const Bytes request = pty.receive(3);
        Bytes reply = request;
        for (auto& b : reply) b = static_cast<std::uint8_t>(b + 1);
        pty.send(reply);
    });
    stream.write("abc", 3);
    char reply[3];
    stream.read(reply, 3);
    device.join();
    ASSERT_EQ(stream.gcount(), 3);
    EXPECT_EQ(std::string(reply, 3), "bcd");
    // Zero-length transfers touch nothing and leave gcount at 0.
    char untouched = 'z';
    stream.read(&untouched, 0);
    EXPECT_EQ(stream.gcount(), 0);
    EXPECT_EQ(untouched, 'z');
    stream.write(&untouched, 0);
    EXPECT_TRUE(pty.drain().empty());
}

TEST(serial_stream_test, device_transfers_leave_state_and_gcount_as_read_and_write_do) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    struct Case {
        const char* what;
        Bytes arriving;
        std::streamsize want;
    } cases[] = {
        {"whole", bytes_of("abcd"), 4},
        {"short", bytes_of("ab"), 4},
        {"nothing", {}, 1},
        {"zero bytes", {}, 0},
    };
    for (const auto& c : cases) {
        char data[8] = {};
        pty.send(c.arriving);
        stream.read(data, c.want);
        const auto state = stream.rdstate();
        const auto count = stream.gcount();
        pty.send(c.arriving);
        stream.setstate(std::ios_base::badbit);  // left over from an earlier call: cleared
        EXPECT_EQ(stream.read_bytes(data, c.want), count) << c.what;
        EXPECT_EQ(stream.rdstate(), state) << c.what;
        EXPECT_EQ(stream.gcount(), count) << c.what;
    }
    stream.write("xy", 2);
    EXPECT_EQ(stream.write_bytes("xy", 2), 2);
    EXPECT_TRUE(stream.good());
    EXPECT_EQ(pty.receive(4), bytes_of("xyxy"));
    stream.close();
    EXPECT_EQ(stream.write_bytes("xy", 2), 0);
    EXPECT_TRUE(stream.bad());
}
