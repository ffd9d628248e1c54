#include <ZelkorHardwareAPI/control/histogram.h>
#include <ZelkorHardwareAPI/control/line.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "control/exchange.h"

namespace Zelkor::HardwareAPI::Control {

namespace {

using detail::Clock;

std::uint64_t ns_between(Clock::time_point from, Clock::time_point to) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count());
}

// The rate at which 99 % of the intervals fit in the period.
double held_rate(std::uint64_t p99_ns) {
    return p99_ns > 0 ? 1e9 / static_cast<double>(p99_ns) : 0.0;
}

}  // namespace

LineMeasurement measure_line(Devices::Arbelon& arm, double seconds, double reply_timeout) {
    if (!(seconds > 0.0 && seconds <= 60.0)) {
        throw std::invalid_argument("measure_line: seconds must be more than 0 and at most 60");
    }
    if (!(reply_timeout > 0.0 && reply_timeout <= 10.0)) {
        throw std::invalid_argument(
            "measure_line: reply_timeout must be more than 0 and at most 10 s");
    }
    IO::SerialStream& stream = arm.get_stream();
    const IO::WaitHook::Clock::time_point deadline_before = stream.wait_hook().deadline;
    const auto timeout =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(reply_timeout));
    const auto half =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds / 2));
    const Vector3 zero{0.0f, 0.0f, 0.0f};
    LineMeasurement m;
    DurationHistogram strict, pipelined;

    // Whether the reply to the request written at `written` came whole; drains a late one
    // (and any request written after it) until `drain_bound`.
    auto reply = [&](Clock::time_point written, Clock::time_point drain_bound) {
        stream.set_deadline(written + timeout);
        Vector3 p{}, v{};
        ++m.exchanges;
        if (arm.ReceiveState(p, v) == Devices::Arbelon::state_reply_length) return true;
        ++m.failed;
        (void)detail::drain_late_reply(stream, drain_bound);
        return false;
    };
    // Writes a zero-force request; with nothing in flight, input waiting first is dropped.
    auto write = [&](bool in_flight) {
        if (!in_flight) (void)detail::drop_waiting_input(stream);
        const Clock::time_point written = Clock::now();
        stream.set_deadline(written + timeout);
        arm.SendForce(zero);
        return written;
    };

    // Strict: one request, its reply, the next.
    Clock::time_point end = Clock::now() + half;
    while (Clock::now() < end && stream.is_open()) {
        const Clock::time_point written = write(false);
        if (reply(written, written + 2 * timeout)) strict.add(ns_between(written, Clock::now()));
    }
    // Pipelined: each request goes out before the reply to the one in flight is read, as the
    // servo's pipelined loop does; the time from one whole reply to the next is what a cycle
    // takes at most.
    end = Clock::now() + half;
    bool in_flight = false;
    Clock::time_point in_flight_at{}, last_reply{};
    while (Clock::now() < end && stream.is_open()) {
        const Clock::time_point written = write(in_flight);
        if (in_flight) {
            const bool ok =
                reply(in_flight_at, std::max(in_flight_at + 2 * timeout, written + timeout));
            const Clock::time_point now = Clock::now();
            if (ok && last_reply != Clock::time_point{}) pipelined.add(ns_between(last_reply, now));
            last_reply = ok ? now : Clock::time_point{};
            in_flight = ok;
            if (!ok) continue;
        }
        in_flight = true;
        in_flight_at = written;
    }
    if (in_flight && stream.is_open()) (void)reply(in_flight_at, in_flight_at + 2 * timeout);
    stream.set_deadline(deadline_before);

    const double fractions[2] = {0.50, 0.99};
    std::uint64_t out[2] = {};
    strict.percentiles(fractions, out, 2);
    m.exchange_p50_us = static_cast<double>(out[0]) / 1e3;
    m.exchange_p99_us = static_cast<double>(out[1]) / 1e3;
    m.strict_hz = held_rate(out[1]);
    pipelined.percentiles(fractions, out, 2);
    m.pipelined_p50_us = static_cast<double>(out[0]) / 1e3;
    m.pipelined_p99_us = static_cast<double>(out[1]) / 1e3;
    m.pipelined_hz = held_rate(out[1]);
    return m;
}

}  // namespace Zelkor::HardwareAPI::Control
