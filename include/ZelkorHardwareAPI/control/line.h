// What the line to an Arbelon allows: the exchange time and the rates a loop can hold on it.
#pragma once

#include <ZelkorHardwareAPI/devices/arbelon.h>
#include <ZelkorHardwareAPI/export.h>

#include <cstdint>

namespace Zelkor::HardwareAPI::Control {

/// A measurement of the line to one arm (see measure_line).
struct LineMeasurement {
    /// Strict request/reply exchanges, back to back: the time from a request to its whole
    /// reply, µs (percentiles within ~3 %).
    double exchange_p50_us = 0.0;
    double exchange_p99_us = 0.0;
    /// The highest rate a strict loop holds, Hz: 93 % of one over the mean exchange time (the
    /// rest is the host's own jitter).
    double strict_hz = 0.0;
    /// With one request in flight: the time from one whole reply to the next, µs.
    double pipelined_p50_us = 0.0;
    double pipelined_p99_us = 0.0;
    /// The highest rate a pipelined loop holds, Hz: 93 % of one over the mean time from one
    /// whole reply to the next (packetised lines deliver in bursts: the mean, not a cycle's
    /// own time, says what the line carries).
    double pipelined_hz = 0.0;
    /// Exchanges made, and those without a whole reply within the time-out.
    std::uint64_t exchanges = 0;
    std::uint64_t failed = 0;
};

/// Measures the line to `arm` for about `seconds` (half strict, half pipelined) with zero-force
/// requests, each reply given at most `reply_timeout` seconds. The arm's stream must be free
/// for it (no servo). A line on which no exchange succeeds gives rates of 0. Blocks for about
/// `seconds`; never throws for the line's sake (std::invalid_argument for seconds outside
/// (0, 60] or a reply_timeout outside (0, 10]).
ZELKOR_API LineMeasurement measure_line(Devices::Arbelon& arm, double seconds = 1.0,
                                        double reply_timeout = 0.025);

}  // namespace Zelkor::HardwareAPI::Control
