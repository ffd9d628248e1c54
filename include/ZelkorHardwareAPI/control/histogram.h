// A fixed-size histogram of durations, filled by one thread and read by any: no allocation,
// no lock.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_ARM64))
#include <intrin.h>
#endif

namespace Zelkor::HardwareAPI::Control {

/// Counts durations from 1 µs to hours in buckets 1/32 of a power of two wide, so
/// a percentile read from it is within about 3 % of the true one. One writer; readers on
/// other threads see counts that may lag the writer by a sample or two.
class DurationHistogram {
  public:
    /// Records one duration, in nanoseconds.
    void add(std::uint64_t ns) noexcept {
        buckets_[bucket_of(ns)].fetch_add(1, std::memory_order_relaxed);
        if (ns > max_.load(std::memory_order_relaxed)) max_.store(ns, std::memory_order_relaxed);
    }

    /// The duration below which `fraction` (0..1) of the samples lie, in nanoseconds (the
    /// upper edge of its bucket, never above the largest sample); 0 with no samples. A
    /// fraction below 0 (or NaN) counts as 0, one above 1 as 1.
    std::uint64_t percentile(double fraction) const noexcept {
        std::uint64_t out = 0;
        percentiles(&fraction, &out, 1);
        return out;
    }

    /// percentile() of each of the `n` `fractions` into `out[0..n-1]`, all read from one
    /// snapshot of the counts: while the writer goes on adding, a larger fraction still never
    /// gets a shorter duration. Reads every bucket once; allocates nothing.
    void percentiles(const double* fractions, std::uint64_t* out, std::size_t n) const noexcept {
        std::array<std::uint64_t, count> snapshot;
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < count; ++i) {
            snapshot[i] = buckets_[i].load(std::memory_order_relaxed);
            total += snapshot[i];
        }
        const std::uint64_t max = max_ns();
        for (std::size_t k = 0; k < n; ++k)
            out[k] = total == 0 ? 0 : at_rank(snapshot, total, fractions[k], max);
    }

    /// Calls `visit(lower_edge_ns, upper_edge_ns, count)` for every bucket that holds
    /// samples, shortest first.
    template <class Visit>
    void for_each_bucket(Visit&& visit) const {
        for (std::size_t i = 0; i < buckets_.size(); ++i) {
            const std::uint64_t n = buckets_[i].load(std::memory_order_relaxed);
            if (n != 0) visit(i == 0 ? 0 : upper_edge(i - 1), upper_edge(i), n);
        }
    }

    /// The largest duration recorded, in nanoseconds.
    std::uint64_t max_ns() const noexcept { return max_.load(std::memory_order_relaxed); }

    /// Forgets every sample. Only while no writer runs.
    void clear() noexcept {
        for (auto& b : buckets_) b.store(0, std::memory_order_relaxed);
        max_.store(0, std::memory_order_relaxed);
    }

    /// The index of the highest set bit of `v` (0 for 1, 63 for 2^63); `v` must not be 0.
    /// The loop is the path for compilers without a bit-scan intrinsic.
    static constexpr int top_bit_portable(std::uint64_t v) noexcept {
        int top = 0;
        for (int step = 32; step > 0; step /= 2) {
            if (v >> step) {
                v >>= step;
                top += step;
            }
        }
        return top;
    }

    /// top_bit_portable(), through the compiler's bit scan where there is one.
    static int top_bit(std::uint64_t v) noexcept {
#if defined(__GNUC__) || defined(__clang__)
        return 63 - __builtin_clzll(v);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_ARM64))
        unsigned long index = 0;
        _BitScanReverse64(&index, v);
        return static_cast<int>(index);
#else
        return top_bit_portable(v);
#endif
    }

  private:
    static constexpr int sub_bits = 5;  // 32 buckets per power of two
    static constexpr int powers = 30;
    static constexpr std::size_t count = std::size_t{powers} << sub_bits;

    // Microseconds below 32 get a bucket each; above, the leading five bits after the top
    // one choose the bucket within the power of two.
    static std::size_t bucket_of(std::uint64_t ns) noexcept {
        const std::uint64_t us = ns / 1000;
        if (us < (1u << sub_bits)) return static_cast<std::size_t>(us);
        const int top = top_bit(us);
        const std::size_t power = static_cast<std::size_t>(top - sub_bits + 1);
        const std::size_t sub =
            static_cast<std::size_t>((us >> (top - sub_bits)) & ((1u << sub_bits) - 1));
        const std::size_t i = (power << sub_bits) + sub;
        return i < count ? i : count - 1;
    }

    // The duration of the sample at `fraction` of the way through `total` samples.
    static std::uint64_t at_rank(const std::array<std::uint64_t, count>& snapshot,
                                 std::uint64_t total, double fraction, std::uint64_t max) noexcept {
        // Clamped first: converting a negative or NaN double to an integer is undefined.
        if (!(fraction > 0.0)) fraction = 0.0;
        if (fraction > 1.0) fraction = 1.0;
        const auto rank = static_cast<std::uint64_t>(fraction * static_cast<double>(total - 1));
        std::uint64_t seen = 0;
        for (std::size_t i = 0; i < count; ++i) {
            seen += snapshot[i];
            if (seen > rank) {
                const std::uint64_t edge = upper_edge(i);
                return edge < max ? edge : max;
            }
        }
        return max;
    }

    static std::uint64_t upper_edge(std::size_t i) noexcept {
        const std::size_t power = i >> sub_bits;
        const std::uint64_t sub = i & ((1u << sub_bits) - 1);
        if (power == 0) return (sub + 1) * 1000;
        const int top = static_cast<int>(power) + sub_bits - 1;
        const std::uint64_t lower = (std::uint64_t{1} << top) + (sub << (top - sub_bits));
        return (lower + (std::uint64_t{1} << (top - sub_bits))) * 1000;
    }

    std::array<std::atomic<std::uint64_t>, count> buckets_{};
    std::atomic<std::uint64_t> max_{0};
};

}  // namespace Zelkor::HardwareAPI::Control
