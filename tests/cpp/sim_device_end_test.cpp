// The device's end of the port: an Arbelon that echoes each force, behind a line, with late
// replies and the other faults, driven in its own time the way the port loop drives it.
// Times are those of the line models: 115200 baud is 86.8 us a byte, so a 13-byte request
// takes 1.128 ms and a 25-byte reply 2.170 ms; full-speed USB crosses on 1 ms frames; the
// adapter with the 16 ms timer sends what it holds on the timer's 16 ms grid.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "arbelon_sim.h"
#include "device_end.h"
#include "devices/protocol.h"

namespace {

namespace Protocol = Zelkor::HardwareAPI::Protocol;
namespace Code = Protocol::Code;
using namespace Zelkor::Sim;
using Bytes = std::vector<std::uint8_t>;

constexpr double infinity = std::numeric_limits<double>::infinity();
// An uptime of 11 days, a whole number of frames: the port loop hands the clock since boot.
constexpr double base = 1e6;
// The host closes the port and opens it again (a Write's code).
constexpr std::uint8_t reopen = 0;

struct Write {
    double ms;
    std::uint8_t code = Code::end_effector_force;
};

// A message that reached the host: its code, for a state reply the force it echoes (each
// force request's x is its number, from 1), and when its last byte became readable.
struct Reply {
    std::uint8_t code;
    int tag;
    double ms;
    bool operator==(const Reply& o) const {
        return code == o.code && tag == o.tag && std::fabs(ms - o.ms) < 1e-6;
    }
};

std::ostream& operator<<(std::ostream& out, const Reply& r) {
    return out << "{0x" << std::hex << int(r.code) << std::dec << ", " << r.tag << ", " << r.ms
               << " ms}";
}

LineKind kind(const char* name) {
    const auto found = line_kind(name);
    EXPECT_TRUE(found) << name;
    return found.value_or(LineKind::pty);
}

// Plays the host: writes each request at its time, lets the device's end run every event in
// turn, and reads what it has for the host the moment it is there; or, with `wake_late_ms`,
// that long after each moment, as a loop on a busy machine does.
std::vector<Reply> exchange(const char* line, const FaultSettings& faults,
                            const std::vector<Write>& writes, double wake_late_ms = 0.0) {
    ArbelonSim arm({}, 0.001);
    arm.echo_forces();
    DeviceEnd end(arm, faults, kind(line), base);
    std::vector<Reply> replies;
    Bytes unread;
    int tag = 0;
    std::size_t next_write = 0;
    for (int events = 0; events < 100000; ++events) {
        const double due = end.next();
        const double write =
            next_write < writes.size() ? base + writes[next_write].ms * 1e-3 : infinity;
        if (std::isinf(due) && std::isinf(write)) break;
        const double now = std::min(due + wake_late_ms * 1e-3, write);
        if (write <= due) {
            const std::uint8_t code = writes[next_write++].code;
            if (code == reopen) {
                end.disconnect(now);
                end.connect(now);
                unread.clear();
                continue;
            }
            Bytes request{code};
            if (code != Code::wakeup && code != Code::current) {
                request.resize(Protocol::vector_request_length);
                Protocol::encode_vector_request(request.data(), code,
                                                {static_cast<float>(++tag), 0.0f, 0.0f});
            }
            EXPECT_TRUE(end.write(request.data(), request.size(), now));
        } else {
            EXPECT_TRUE(end.advance(now));
        }
        while (end.readable() > 0) {
            const std::uint8_t* data = nullptr;
            const std::size_t n = end.front(end.readable(), data);
            unread.insert(unread.end(), data, data + n);
            end.consume(n);
        }
        for (;;) {
            if (unread.empty()) break;
            const std::size_t length = unread[0] == Code::device_info ? 22
                                       : unread[0] == Code::current   ? 13
                                                                      : 25;
            if (unread.size() < length) break;
            const int echoed =
                unread[0] == Code::end_effector_state
                    ? static_cast<int>(Protocol::decode_vector_request(unread.data())[0])
                    : 0;
            replies.push_back({unread[0], echoed, (now - base) * 1e3});
            unread.erase(unread.begin(), unread.begin() + static_cast<std::ptrdiff_t>(length));
        }
    }
    EXPECT_TRUE(unread.empty());
    return replies;
}

FaultSettings late(std::uint64_t every, double hold_ms) {
    FaultSettings faults;
    faults.late_every = every;
    faults.late_seconds = hold_ms * 1e-3;
    return faults;
}

Reply state(int tag, double ms) {
    return {Code::end_effector_state, tag, ms};
}

TEST(sim_device_end_test, a_late_reply_is_held_then_crosses_the_line_with_the_replies_behind_it) {
    constexpr double request = 13 * uart_byte_time * 1e3, reply = 25 * uart_byte_time * 1e3;
    FaultSettings silent = late(1, 10.0);
    silent.silent_after = 2;
    const struct {
        const char* what;
        const char* line;
        FaultSettings faults;
        std::vector<Write> writes;
        std::vector<Reply> want;
    } cases[] = {
        {"no hold: each reply at once",
         "pty",
         late(0, 50.0),
         {{0}, {1}, {2}},
         {state(1, 0), state(2, 1), state(3, 2)}},
        {"the 3rd and the 6th held; the two made meanwhile follow the 3rd, in order",
         "pty",
         late(3, 50.0),
         {{0}, {1}, {2}, {3}, {4}, {70}},
         {state(1, 0), state(2, 1), state(3, 52), state(4, 52), state(5, 52), state(6, 120)}},
        {"a hold behind a hold ends at its own time, and no sooner than the one before",
         "pty",
         late(2, 10.0),
         {{0}, {1}, {2}, {3}, {4}, {5}, {6}},
         {state(1, 0), state(2, 11), state(3, 11), state(4, 13), state(5, 13), state(6, 15),
          state(7, 15)}},
        {"the hold starts when the request is in; the reply crosses the wire after it",
         "uart",
         late(1, 20.0),
         {{0}, {30}},
         {state(1, request + 20 + reply), state(2, 30 + request + 20 + reply)}},
        {"replies released together queue on the wire",
         "uart",
         late(2, 10.0),
         {{0}, {0}, {0}},
         {state(1, request + reply), state(2, 2 * request + 10 + reply),
          state(3, 2 * request + 10 + 2 * reply)}},
        {"a hold that ends within a frame waits for the next one",
         "usb-fs",
         late(1, 5.5),
         {{0.3}},
         {state(1, 7.0)}},
        {"after the hold the reply waits for the adapter's next expiry, 32 ms in place of 16",
         "ftdi-16ms",
         late(1, 20.0),
         {{0}},
         {state(1, 32.0)}},
        {"only state replies are counted; the others wait behind a held one all the same",
         "pty",
         late(2, 10.0),
         {{0, Code::wakeup}, {1}, {2, Code::current}, {3}, {4, Code::current}, {5}},
         {{Code::device_info, 0, 0},
          state(1, 1),
          {Code::current, 0, 2},
          state(2, 13),
          {Code::current, 0, 13},
          state(3, 13)}},
        {"a host that closes the port loses what was held for it; the count runs on",
         "pty",
         late(2, 10.0),
         {{0}, {1}, {5, reopen}, {6}, {7}},
         {state(1, 0), state(3, 6), state(4, 17)}},
        {"a device fallen silent sends nothing more, held replies neither",
         "pty",
         silent,
         {{0}, {1}, {2}},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(exchange(c.line, c.faults, c.writes), c.want);
        if (std::string(c.line) == "pty") continue;
        // A loop that wakes late reads each reply at most that much late: each byte still
        // entered the line, and each reply left its hold, at its own time.
        const std::vector<Reply> later = exchange(c.line, c.faults, c.writes, 0.4);
        ASSERT_EQ(later.size(), c.want.size());
        for (std::size_t i = 0; i < later.size(); ++i) {
            EXPECT_EQ(later[i].tag, c.want[i].tag);
            EXPECT_GE(later[i].ms, c.want[i].ms - 1e-6);
            EXPECT_LE(later[i].ms, c.want[i].ms + 0.4 + 1e-6);
        }
    }
}

TEST(sim_device_end_test, the_faults_spoil_the_same_replies_with_or_without_a_hold) {
    // The faults act on each reply as it goes out, after any hold, in the device's order: the
    // same seed drops the same replies either way.
    std::vector<Write> writes;
    for (int i = 0; i < 60; ++i) writes.push_back({double(i)});
    FaultSettings spoilt = late(0, 0.0), both = late(4, 3.0);
    spoilt.seed = both.seed = 7;
    spoilt.drop = both.drop = 0.3;
    const auto tags = [](const std::vector<Reply>& replies) {
        std::vector<int> out;
        for (const Reply& r : replies) out.push_back(r.tag);
        return out;
    };
    const std::vector<Reply> plain = exchange("pty", spoilt, writes),
                             held = exchange("pty", both, writes);
    EXPECT_EQ(tags(plain), tags(held));
    EXPECT_GT(plain.size(), 30u);
    EXPECT_LT(plain.size(), 55u);
    int later = 0;
    for (std::size_t i = 0; i < held.size(); ++i) later += held[i].ms > plain[i].ms;
    EXPECT_GT(later, 10);
}

}  // namespace
