// A triple buffer: one reader (a real-time loop) takes the latest value that writers (one at a
// time, under a lock of theirs) put in, without a lock, an allocation or a free of its own.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace Zelkor::HardwareAPI::Control {

/// Writers fill the back slot and swap it with the middle one, marking it fresh; the reader
/// swaps a fresh middle slot with its front one. The three are always distinct, so a slot is
/// never written while the reader uses it, and whatever a slot held before is released by the
/// writer that overwrites it, never by the reader.
template <class T>
class TripleBuffer {
  public:
    /// The slot to fill (writers only, one at a time); it holds an older value.
    T& to_fill() noexcept { return slots_[back_]; }
    /// Hands the filled slot over.
    void publish() noexcept {
        back_ = static_cast<std::uint8_t>(
            middle_.exchange(static_cast<std::uint8_t>(back_ | fresh), std::memory_order_acq_rel) &
            3);
    }
    /// The latest value published (the reader only); valid until its next take().
    T& take() noexcept {
        if (middle_.load(std::memory_order_acquire) & fresh) {
            front_ =
                static_cast<std::uint8_t>(middle_.exchange(front_, std::memory_order_acq_rel) & 3);
        }
        return slots_[front_];
    }
    /// True when a value was published that the reader has not taken yet.
    bool pending() const noexcept { return (middle_.load(std::memory_order_acquire) & fresh) != 0; }
    /// Calls `f` on each slot, to make them ready (room reserved, say): only before either side
    /// uses the buffer.
    template <class F>
    void each(F&& f) {
        for (T& slot : slots_) f(slot);
    }

  private:
    static constexpr std::uint8_t fresh = 4;
    std::array<T, 3> slots_{};
    std::atomic<std::uint8_t> middle_{1};
    std::uint8_t back_ = 2;   // the writers'
    std::uint8_t front_ = 0;  // the reader's
};

}  // namespace Zelkor::HardwareAPI::Control
