// Helpers the device-side test classes of every platform share.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace zelkor_test {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

inline double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
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
