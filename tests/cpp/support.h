// Helpers the device-side test classes of every platform share.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <thread>
#include <vector>

namespace zelkor_test {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

inline double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

/// Waits up to `ms` for `condition`, looking every 5 ms; the bound is generous, for a loaded
/// machine. Returns the condition.
template <class Condition>
bool wait_until(Condition condition, double ms = 10000) {
    const auto start = Clock::now();
    while (!condition() && ms_since(start) < ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

/// The parts, one after the other.
inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes bytes_of(const char* text) {
    Bytes out;
    for (; *text; ++text) out.push_back(static_cast<std::uint8_t>(*text));
    return out;
}

}  // namespace zelkor_test
