// A duration as the timespec that ppoll and friends take. POSIX only.
#pragma once

#include <time.h>

#include <chrono>

namespace Zelkor::HardwareAPI::platform {

template <class Rep, class Period>
inline timespec timespec_of(std::chrono::duration<Rep, Period> d) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

}  // namespace Zelkor::HardwareAPI::platform
