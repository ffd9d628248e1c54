// A small seeded generator whose sequence is the same on every platform and standard
// library (the standard distributions are not), so a seed reproduces a run anywhere.
#pragma once

#include <cstdint>

namespace Zelkor::Sim {

/// SplitMix64.
class Random {
  public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    /// Uniform in [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

    /// Uniform in [0, n); n > 0. The modulo bias is far below anything a test could see.
    std::uint64_t below(std::uint64_t n) { return next() % n; }

  private:
    std::uint64_t state_;
};

}  // namespace Zelkor::Sim
