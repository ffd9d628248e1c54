#include <ZelkorHardwareAPI/control/histogram.h>
#include <ZelkorHardwareAPI/control/line.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "control/servo/arm_link.h"

namespace Zelkor::HardwareAPI::Control {

namespace {

using servo::Clock;

std::uint64_t ns_between(Clock::time_point from, Clock::time_point to) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count());
}

// What a loop holds on a line whose cycles take `mean_ns` on average: a little less than
// 1 / mean, the margin for the host's own jitter. Packetised lines deliver in bursts (two
// replies in one packet, then none for a while), so a cycle's own time says little; the mean
// over many says what the line carries.
double held_rate(double mean_ns) {
    constexpr double margin = 0.93;
    return mean_ns > 0.0 ? margin * 1e9 / mean_ns : 0.0;
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
    return servo::measure_line(arm, seconds, reply_timeout, {});
}

namespace servo {

// With `stop` set, the measurement ends as soon as it asks (its waits look at it too).
LineMeasurement measure_line(Devices::Arbelon& arm, double seconds, double reply_timeout,
                             const IO::WaitHook& stop) noexcept {
    const auto stopped = [&stop] { return stop && stop.stop(stop.context); };
    IO::SerialStream& stream = arm.get_stream();
    const IO::WaitHook hook_before = stream.wait_hook();
    if (stop) stream.set_wait_hook(stop);
    const auto half =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds / 2));
    LineMeasurement m;
    DurationHistogram strict, pipelined;
    double strict_sum = 0.0, gap_sum = 0.0;  // ns
    std::uint64_t strict_count = 0, gap_count = 0;
    servo::Counters counters;
    servo::LinkSettings settings;
    settings.reply_timeout = servo::seconds(reply_timeout);
    settings.first_reply_timeout = settings.reply_timeout;

    // Strict: one request, its reply, the next.
    servo::ArmLink link(arm, settings, counters);
    Clock::time_point end = Clock::now() + half;
    while (Clock::now() < end && stream.is_open() && !stopped()) {
        link.send({});
        const servo::ArmLink::Received r = link.receive(false);
        ++m.exchanges;
        if (r.outcome == servo::ArmLink::Outcome::fresh) {
            strict.add(static_cast<std::uint64_t>(link.exchange_ns()));
            strict_sum += static_cast<double>(link.exchange_ns());
            ++strict_count;
        } else {
            ++m.failed;
        }
    }
    // Pipelined: each request goes out before the reply to the one in flight is read, as the
    // servo's pipelined loop does; the time from one whole reply to the next is what a cycle
    // takes at most.
    settings.pipeline = true;
    servo::ArmLink piped(arm, settings, counters);
    end = Clock::now() + half;
    Clock::time_point last_reply{};
    while (Clock::now() < end && stream.is_open() && !stopped()) {
        piped.send({});
        const servo::ArmLink::Received r = piped.receive(false);
        if (r.outcome == servo::ArmLink::Outcome::none) continue;
        ++m.exchanges;
        if (r.outcome != servo::ArmLink::Outcome::fresh) {
            ++m.failed;
            last_reply = {};
            continue;
        }
        if (last_reply != Clock::time_point{}) {
            pipelined.add(ns_between(last_reply, r.at));
            gap_sum += static_cast<double>(ns_between(last_reply, r.at));
            ++gap_count;
        }
        last_reply = r.at;
    }
    piped.settle();
    stream.set_wait_hook(hook_before);

    const double fractions[2] = {0.50, 0.99};
    std::uint64_t out[2] = {};
    strict.percentiles(fractions, out, 2);
    m.exchange_p50_us = static_cast<double>(out[0]) / 1e3;
    m.exchange_p99_us = static_cast<double>(out[1]) / 1e3;
    m.strict_hz = strict_count > 0 ? held_rate(strict_sum / double(strict_count)) : 0.0;
    pipelined.percentiles(fractions, out, 2);
    m.pipelined_p50_us = static_cast<double>(out[0]) / 1e3;
    m.pipelined_p99_us = static_cast<double>(out[1]) / 1e3;
    m.pipelined_hz = gap_count > 0 ? held_rate(gap_sum / double(gap_count)) : 0.0;
    return m;
}

}  // namespace servo

}  // namespace Zelkor::HardwareAPI::Control
