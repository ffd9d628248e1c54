// A linear ramp in time, the one shape every fade and ramp of the servo takes: the soft start,
// the fade of an expired time to live, the ramp in after failed exchanges and the ramp of a
// force law's parameters.
#pragma once

#include <chrono>

#include "platform/threads.h"

namespace Zelkor::HardwareAPI::Control::servo {

using Clock = platform::Clock;

/// 0 until `from`, rising linearly to 1 at `from + length`, 1 after; a step at `from` when
/// `length` is zero.
struct Ramp {
    Clock::time_point from{};
    Clock::duration length{};

    double at(Clock::time_point t) const noexcept {
        if (t < from) return 0.0;
        if (length <= Clock::duration::zero() || t >= from + length) return 1.0;
        return std::chrono::duration<double>(t - from).count() /
               std::chrono::duration<double>(length).count();
    }
};

/// `seconds` as the clock's duration.
inline Clock::duration seconds(double s) noexcept {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

/// Seconds from `from` to `to`.
inline double seconds_between(Clock::time_point from, Clock::time_point to) noexcept {
    return std::chrono::duration<double>(to - from).count();
}

}  // namespace Zelkor::HardwareAPI::Control::servo
