// The simulator's line timing, against the figures of the real lines: 115200 baud 8N1 is
// 86.8 us a byte, so a 13-byte request takes 1.13 ms and a 25-byte reply 2.17 ms; full-speed
// USB moves data in 1 ms frames, high speed in 125 us microframes; a USB-serial adapter holds
// what it receives until 62 bytes fill a packet or its latency timer expires.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <utility>

#include "line.h"

namespace {

using namespace Zelkor::Sim;

constexpr std::size_t request_length = 13;
constexpr std::size_t reply_length = 25;
constexpr double host_turnaround = 10e-6;  // a host writes its next request this much later
// An uptime of 11 days: the loop hands the line times since boot.
constexpr double base = 1e6;

// After the write: the first request's last byte at the device, the first reply's at the
// host; and the time between the replies of the loop's second half.
struct Timing {
    double request = -1.0, reply = 0.0, period = 0.0;
};

// A host that keeps `in_flight` requests outstanding, writing the next one as a reply is in,
// against a device that answers each request the moment its last byte arrives.
Timing exchange(LineKind kind, double write, double adapter_start, std::size_t in_flight,
                std::size_t replies) {
    Line line(kind, adapter_start);
    for (std::size_t i = 0; i < in_flight; ++i) line.to_device.hand(write, request_length);
    Timing run;
    std::size_t at_device = 0, at_host = 0, done = 0;
    double settled = 0.0;
    while (done < replies && !(line.to_device.empty() && line.to_host.empty())) {
        const LineDirection::Step out = line.to_device.next(), back = line.to_host.next();
        if (out.at <= back.at) {
            line.to_device.pop();
            for (at_device += out.count; at_device >= request_length; at_device -= request_length) {
                if (run.request < 0.0) run.request = out.at - write;
                line.to_host.hand(out.at, reply_length);
            }
            continue;
        }
        line.to_host.pop();
        for (at_host += back.count; at_host >= reply_length && done < replies;
             at_host -= reply_length) {
            if (++done == 1) run.reply = back.at - write;
            if (done == replies / 2) settled = back.at;
            if (done > replies / 2) run.period = (back.at - settled) / double(done - replies / 2);
            line.to_device.hand(back.at + host_turnaround, request_length);
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
    Timing sum{0.0, 0.0, 0.0};
    for (int k = 1; k <= samples; ++k) {
        const Timing r =
            exchange(kind, base + std::fmod(k * 0.7548776662466927, 1.0) * 16e-3,
                     base - std::fmod(k * 0.5698402909980532, 1.0) * 16e-3, in_flight, replies);
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
    for (const auto& [at_ms, count] :
         {std::pair<double, std::size_t>{6.0, 62}, {11.0, 62}, {17.0, 62}, {33.0, 14}}) {
        EXPECT_NEAR((line.next().at - base) * 1e3, at_ms, 1e-6);
        EXPECT_EQ(line.next().count, count);
        line.pop();
    }
    EXPECT_TRUE(std::isinf(line.next().at));
}

}  // namespace
