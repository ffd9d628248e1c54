// One value handed from setters to the servo's loop without a lock the loop takes, an
// allocation or a free in the loop.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace Zelkor::HardwareAPI::Control::servo {

/// Four slots: the writers' back slot, the middle one they hand over through, and the loop's
/// current and previous ones. Writers (one at a time, under a lock of theirs) fill the back
/// slot and swap it with the middle one, marking it fresh; the loop swaps a fresh middle slot
/// in as its current one and keeps the one before as previous until its next take, so it can
/// carry what it keeps of one value over to the next. The four are always distinct: a slot the
/// loop reads is never written, and whatever a slot held is released by the writer that
/// overwrites it, never by the loop.
template <class T>
class Mailslot {
  public:
    /// The slot to fill (writers only, one at a time); it holds an older value.
    T& to_fill() noexcept { return slots_[back_]; }
    /// Hands the filled slot over.
    void publish() noexcept {
        back_ = static_cast<std::uint8_t>(
            middle_.exchange(static_cast<std::uint8_t>(back_ | fresh), std::memory_order_acq_rel) &
            3);
    }

    /// The loop: takes the latest value handed over, if there is a new one. True when it took
    /// one: current() is it, previous() the one it replaced.
    bool take() noexcept {
        if ((middle_.load(std::memory_order_acquire) & fresh) == 0) return false;
        const std::uint8_t released = previous_;
        previous_ = front_;
        front_ =
            static_cast<std::uint8_t>(middle_.exchange(released, std::memory_order_acq_rel) & 3);
        return true;
    }
    T& current() noexcept { return slots_[front_]; }
    const T& previous() const noexcept { return slots_[previous_]; }

  private:
    static constexpr std::uint8_t fresh = 4;
    std::array<T, 4> slots_{};
    std::atomic<std::uint8_t> middle_{1};
    std::uint8_t back_ = 2;      // the writers'
    std::uint8_t front_ = 0;     // the loop's current
    std::uint8_t previous_ = 3;  // the loop's previous
};

}  // namespace Zelkor::HardwareAPI::Control::servo
