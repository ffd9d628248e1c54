// The simulator's line timing, against the figures of the real lines: 115200 baud 8N1 is
// 86.8 us a byte, so a 13-byte request takes 1.13 ms and a 25-byte reply 2.17 ms; full-speed
// USB moves data in 1 ms frames, high speed in 125 us microframes; a USB-serial adapter holds
// what it receives until 62 bytes fill a packet or its latency timer expires.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "line.h"

namespace {

using namespace Zelkor::Sim;

// An uptime of 11 days: the loop hands the line times since boot.
constexpr double base = 1e6;

LineKind kind(const char* name) {
    const auto found = line_kind(name);
    EXPECT_TRUE(found) << name;
    return found.value_or(LineKind::pty);
}

TEST(sim_line_test, exchanges_take_as_long_as_on_the_real_lines) {
    // Milliseconds; 0: not checked. `single`: one exchange on a quiet line; `strict`: each
    // request written as the previous reply is in; `one_ahead`: one more request in flight.
    const struct {
        const char* line;
        double request, single, strict, one_ahead;
    } cases[] = {
        {"pty", 0.0, 0.0, 0.0, 0.0},
        // 13 + 25 bytes: 3.30 ms a strict exchange (303 Hz; 3.31 with the host's 10 us); one
        // ahead, the reply direction is never idle: 2.17 ms (461 Hz).
        {"uart", 1.128, 3.299, 3.309, 2.170},
        // The request waits half a frame for the bus on average; the reply half the timer
        // and half a frame: 4.8 ms (206 Hz). A strict loop settles on 5 or 6 whole frames,
        // by where the timer stands in the frame (5 in 70% of the phases).
        {"ftdi", 1.628, 4.85, 5.3, 0.0},
        // The same with half of 16 ms: 12.3 ms (81 Hz). In a strict loop the request follows
        // the previous packet, so every reply waits for the next expiry of the timer that
        // packet restarted: 16 ms (62.5 Hz); one ahead, both replies share each packet.
        {"ftdi-16ms", 1.628, 12.35, 16.0, 8.0},
        // A native device: half a frame on average, then the reply goes back in the same
        // frame; a strict loop gets one exchange a frame (1000 Hz, ~950 with the host's own
        // time), two with one ahead.
        {"usb-fs", 0.5, 0.5, 1.0, 0.5},
        {"usb-hs", 0.0625, 0.0625, 0.125, 0.0625},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const ExchangeTiming single = line_exchange(kind(c.line), 1, 1);
        const ExchangeTiming strict = line_exchange(kind(c.line), 1, 40);
        const ExchangeTiming ahead = line_exchange(kind(c.line), 2, 40);
        EXPECT_EQ(single.replies + strict.replies + ahead.replies, 81u);
        const auto near = [](double got_s, double want_ms) {
            EXPECT_NEAR(got_s * 1e3, want_ms, 0.03 * want_ms + 1e-6);
        };
        near(single.request, c.request);
        near(single.reply, c.single);
        if (c.strict > 0.0) near(strict.period, c.strict);
        if (c.one_ahead > 0.0) near(ahead.period, c.one_ahead);
    }
}

TEST(sim_line_test, every_model_is_found_by_its_name_and_holds_a_rate_of_its_own) {
    std::set<std::string> names;
    for (const LineModel& m : line_models()) {
        SCOPED_TRACE(m.name);
        EXPECT_TRUE(names.insert(m.name).second);
        EXPECT_EQ(line_name(kind(m.name)), std::string(m.name));
        EXPECT_EQ(&line_model(kind(m.name)), &m);
        EXPECT_GT(std::strlen(m.description), 0u);
        // A line that takes time holds a finite rate; one more request in flight can at most
        // double it, since each reply still crosses the line.
        const LineCeilings c = line_ceilings(kind(m.name));
        const bool paced = LineDirection(m.to_device).paced() || LineDirection(m.to_host).paced();
        EXPECT_EQ(std::isfinite(c.strict_hz), paced);
        EXPECT_EQ(std::isfinite(c.pipelined_hz), paced);
        if (paced) {
            EXPECT_GE(c.pipelined_hz, c.strict_hz);
            EXPECT_LE(c.pipelined_hz, 2.0 * c.strict_hz * 1.0001);
        }
    }
    EXPECT_EQ(line_models().begin()->name, std::string("pty"));  // the default comes first
    EXPECT_EQ(line_names(), "pty, uart, ftdi, ftdi-16ms, usb-fs or usb-hs");
    for (const char* wrong : {"", "UART", "usb", "ftdi-16", "pty "}) {
        EXPECT_FALSE(line_kind(wrong)) << '"' << wrong << '"';
    }
    EXPECT_EQ(line_name(static_cast<LineKind>(200)), std::string("pty"));
}

TEST(sim_line_test, the_adapter_sends_full_packets_at_once_and_the_rest_on_its_timer) {
    // 200 bytes at once through the adapter with the 16 ms timer, started with the burst.
    // Each 62 bytes (5.38 ms of wire) leave as a full packet and reach the host at the next
    // frame; the last 14 wait for the timer, restarted by the third packet at 16.15 ms.
    LineDirection line(to_host_path(kind("ftdi-16ms")), base);
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
