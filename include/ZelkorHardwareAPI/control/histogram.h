// A fixed-size histogram of durations, filled by one thread and read by any: no allocation,
// no lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

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
    /// upper edge of its bucket, never above the largest sample); 0 with no samples.
    std::uint64_t percentile(double fraction) const noexcept {
        std::uint64_t total = 0;
        for (const auto& b : buckets_) total += b.load(std::memory_order_relaxed);
        if (total == 0) return 0;
        const auto rank = static_cast<std::uint64_t>(fraction * static_cast<double>(total - 1));
        std::uint64_t seen = 0;
        for (std::size_t i = 0; i < buckets_.size(); ++i) {
            seen += buckets_[i].load(std::memory_order_relaxed);
            if (seen > rank) {
                const std::uint64_t edge = upper_edge(i);
                const std::uint64_t max = max_ns();
                return edge < max ? edge : max;
            }
        }
        return max_ns();
    }

    /// Calls `visit(lower_edge_ns, upper_edge_ns, count)` for every bucket that holds
    /// samples, shortest first.
    template <class Visit>
    void for_each_bucket(Visit&& visit) const {
        for (std::size_t i = 0; i < buckets_.size(); ++i) {
            const std::uint32_t n = buckets_[i].load(std::memory_order_relaxed);
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

  private:
    static constexpr int sub_bits = 5;  // 32 buckets per power of two
    static constexpr int powers = 30;
    static constexpr std::size_t count = std::size_t{powers} << sub_bits;

    // Microseconds below 32 get a bucket each; above, the leading five bits after the top
    // one choose the bucket within the power of two.
    static std::size_t bucket_of(std::uint64_t ns) noexcept {
        const std::uint64_t us = ns / 1000;
        if (us < (1u << sub_bits)) return static_cast<std::size_t>(us);
        int top = 63 - __builtin_clzll(us);
        const std::size_t power = static_cast<std::size_t>(top - sub_bits + 1);
        const std::size_t sub =
            static_cast<std::size_t>((us >> (top - sub_bits)) & ((1u << sub_bits) - 1));
        const std::size_t i = (power << sub_bits) + sub;
        return i < count ? i : count - 1;
    }

    static std::uint64_t upper_edge(std::size_t i) noexcept {
        const std::size_t power = i >> sub_bits;
        const std::uint64_t sub = i & ((1u << sub_bits) - 1);
        if (power == 0) return (sub + 1) * 1000;
        const int top = static_cast<int>(power) + sub_bits - 1;
        const std::uint64_t lower = (std::uint64_t{1} << top) + (sub << (top - sub_bits));
        return (lower + (std::uint64_t{1} << (top - sub_bits))) * 1000;
    }

    std::array<std::atomic<std::uint32_t>, count> buckets_{};
    std::atomic<std::uint64_t> max_{0};
};

}  // namespace Zelkor::HardwareAPI::Control
