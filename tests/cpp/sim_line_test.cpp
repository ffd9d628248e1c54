// The simulator's line timing, against the figures of the real lines: 115200 baud 8N1 is
// 86.8 us a byte, so a 13-byte request takes 1.13 ms and a 25-byte reply 2.17 ms; full-speed
// USB moves data in 1 ms frames, high speed in 125 us microframes; a USB-serial adapter holds
// what it receives until 62 bytes fill a packet or its latency timer expires.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>

#include "line.h"

namespace {

using namespace Zelkor::Sim;

constexpr std::size_t request_length = 13;
constexpr std::size_t reply_length = 25;
constexpr double host_turnaround = 10e-6;  // a host writes its next request this much later
// An uptime of 11 days: the loop hands the line times since boot.
constexpr double base = 1e6;

struct Timing {
    double request = 0.0;  // the first request's last byte reaches the device, after its write
    double reply = 0.0;    // the first reply's last byte reaches the host, after the write
    double period = 0.0;   // between replies once the loop has settled
};

// A host that keeps `in_flight` requests outstanding, writing the next one as a reply is in,
// against a device that answers each request the moment its last byte arrives.
Timing exchange(LineKind kind, double write, double adapter_start, std::size_t in_flight,
                std::size_t replies) {
    Line line(kind, adapter_start);
    for (std::size_t i = 0; i < in_flight; ++i) line.to_device.hand(write, request_length);
    Timing run;
    std::size_t at_device = 0;
    std::size_t at_host = 0;
    std::size_t done = 0;
    double settled = 0.0;
    while (done < replies) {
        const LineDirection::Step out = line.to_device.next();
        const LineDirection::Step back = line.to_host.next();
        if (std::isinf(out.at) && std::isinf(back.at)) break;
        if (out.at <= back.at) {
            line.to_device.pop();
            at_device += out.count;
            for (; at_device >= request_length; at_device -= request_length) {
                if (run.request == 0.0) run.request = out.at - write;
                line.to_host.hand(out.at, reply_length);
            }
        } else {
            line.to_host.pop();
            at_host += back.count;
            for (; at_host >= reply_length && done < replies; at_host -= reply_length) {
                if (++done == 1) run.reply = back.at - write;
                if (done == replies / 2) settled = back.at;
                if (done > replies / 2) {
                    run.period = (back.at - settled) / static_cast<double>(done - replies / 2);
                }
                line.to_device.hand(back.at + host_turnaround, request_length);
            }
        }
    }
    EXPECT_EQ(done, replies) << line_name(kind);
    return run;
}

// Averages over when the host writes within the bus frames and where the adapter's timer
// stands: both are unrelated to the host in a real system. The phases come from a
// two-dimensional low-discrepancy sequence, so the averages are smooth and repeatable.
Timing average(LineKind kind, std::size_t in_flight, std::size_t replies) {
    constexpr int samples = 400;
    Timing sum;
    for (int k = 1; k <= samples; ++k) {
        const double write_phase = std::fmod(k * 0.7548776662466927, 1.0);
        const double timer_phase = std::fmod(k * 0.5698402909980532, 1.0);
        const Timing r = exchange(kind, base + write_phase * 16e-3, base - timer_phase * 16e-3,
                                  in_flight, replies);
        sum.request += r.request / samples;
        sum.reply += r.reply / samples;
        sum.period += r.period / samples;
    }
    return sum;
}

TEST(sim_line_test, exchanges_take_as_long_as_on_the_real_lines) {
    // Milliseconds; 0: not checked. `single`: one exchange on a quiet line; `strict`: each
    // request written as the previous reply is in; `one_ahead`: one more request in flight.
    const struct {
        LineKind line;
        double request, single, strict, one_ahead;
    } cases[] = {
        {LineKind::pty, 0.0, 0.0, 0.0, 0.0},
        // 13 + 25 bytes: 3.30 ms a strict exchange (303 Hz; 3.31 with the host's 10 us); one
        // ahead, the reply direction is never idle: 2.17 ms (461 Hz).
        {LineKind::uart, 1.128, 3.299, 3.309, 2.170},
        // The request waits half a frame for the bus on average; the reply half the timer
        // and half a frame: 4.8 ms (206 Hz). A strict loop settles on 5 or 6 whole frames,
        // by where the timer stands in the frame (5 in 70% of the phases).
        {LineKind::ftdi, 1.628, 4.85, 5.3, 0.0},
        // The same with half of 16 ms: 12.3 ms (81 Hz). In a strict loop the request follows
        // the previous packet, so every reply waits for the next expiry of the timer that
        // packet restarted: 16 ms (62.5 Hz); one ahead, both replies share each packet.
        {LineKind::ftdi_16ms, 1.628, 12.35, 16.0, 8.0},
        // A native device: half a frame on average, then the reply goes back in the same
        // frame; a strict loop gets one exchange a frame (1000 Hz, ~950 with the host's own
        // time), two with one ahead.
        {LineKind::usb_fs, 0.5, 0.5, 1.0, 0.5},
        {LineKind::usb_hs, 0.0625, 0.0625, 0.125, 0.0625},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(line_name(c.line));
        const Timing single = average(c.line, 1, 1);
        const Timing strict = average(c.line, 1, 40);
        const Timing ahead = average(c.line, 2, 40);
        const auto near = [](double got_s, double want_ms) {
            EXPECT_NEAR(got_s * 1e3, want_ms, 0.03 * want_ms + 1e-6);
        };
        near(single.request, c.request);
        near(single.reply, c.single);
        if (c.strict > 0.0) near(strict.period, c.strict);
        if (c.one_ahead > 0.0) near(ahead.period, c.one_ahead);
    }
}

TEST(sim_line_test, the_adapter_sends_full_packets_at_once_and_the_rest_on_its_timer) {
    // 200 bytes at once through the adapter with the 16 ms timer, started with the burst.
    // Each 62 bytes (5.38 ms of wire) leave as a full packet and reach the host at the next
    // frame; the last 14 wait for the timer, restarted by the third packet at 16.15 ms.
    LineDirection line(to_host_path(LineKind::ftdi_16ms), base);
    ASSERT_TRUE(line.hand(base, 200));
    const struct {
        double at_ms;
        std::size_t count;
    } packets[] = {{6.0, 62}, {11.0, 62}, {17.0, 62}, {33.0, 14}};
    for (const auto& p : packets) {
        const LineDirection::Step step = line.next();
        EXPECT_NEAR((step.at - base) * 1e3, p.at_ms, 1e-6);
        EXPECT_EQ(step.count, p.count);
        line.pop();
    }
    EXPECT_TRUE(line.empty());
    EXPECT_TRUE(std::isinf(line.next().at));
}

TEST(sim_line_test, holds_a_bounded_number_of_hand_overs_and_forgets_them_on_reset) {
    LineDirection line(to_device_path(LineKind::uart));
    for (std::size_t i = 0; i < LineDirection::max_runs; ++i) ASSERT_TRUE(line.hand(base, 1));
    EXPECT_EQ(line.room(), 0u);
    EXPECT_FALSE(line.hand(base, 1));
    // A hand-over dated before an earlier one counts from that one: never out of order.
    line.pop();
    ASSERT_TRUE(line.hand(base - 1.0, 1));
    double last = 0.0;
    for (std::size_t i = 0; i < LineDirection::max_runs; ++i) {
        const LineDirection::Step step = line.next();
        EXPECT_GT(step.at, last);
        last = step.at;
        line.pop();
    }
    EXPECT_NEAR(last - base, 1025 * uart_byte_time, 1e-7);
    // So many bytes, and no more, however they come.
    ASSERT_TRUE(line.hand(base, LineDirection::max_bytes - 1));
    EXPECT_FALSE(line.hand(base, 2));
    ASSERT_TRUE(line.hand(base, 1));
    EXPECT_EQ(line.room(), 0u);
    line.pop();
    EXPECT_EQ(line.room(), 1u);
    line.reset(base);
    EXPECT_EQ(line.room(), LineDirection::max_bytes);
    EXPECT_TRUE(line.empty());
    // After a reset the wire is free again at once.
    ASSERT_TRUE(line.hand(base + 1.0, 1));
    EXPECT_NEAR(line.next().at - base - 1.0, uart_byte_time, 1e-9);
    // A pty line holds nothing back.
    LineDirection pty(to_device_path(LineKind::pty));
    EXPECT_FALSE(pty.paced());
    ASSERT_TRUE(pty.hand(base, 7));
    EXPECT_EQ(pty.next().at, base);
    EXPECT_EQ(pty.next().count, 7u);
}

TEST(sim_line_test, names_round_trip) {
    for (LineKind kind : {LineKind::pty, LineKind::uart, LineKind::ftdi, LineKind::ftdi_16ms,
                          LineKind::usb_fs, LineKind::usb_hs}) {
        EXPECT_EQ(line_kind(line_name(kind)), kind);
    }
    EXPECT_FALSE(line_kind("rs232"));
    EXPECT_FALSE(line_kind(""));
}

}  // namespace
