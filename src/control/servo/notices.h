// What the servo's loop tells of itself, handed to a thread of the servo's own: a ring with
// one writer (the loop) and one reader (the notifier), without a lock or an allocation.
#pragma once

#include <ZelkorHardwareAPI/control/servo.h>

#include <array>
#include <atomic>
#include <cstdint>

namespace Zelkor::HardwareAPI::Control::servo {

class NoticeRing {
  public:
    static constexpr std::uint32_t capacity = 16;

    /// The loop: queues `notice`; false (and counted as dropped) when the ring is full.
    bool push(const ServoNotice& notice) noexcept {
        const std::uint32_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == capacity) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        slots_[tail % capacity] = notice;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }
    /// The reader: the oldest notice, if any.
    bool pop(ServoNotice& out) noexcept {
        const std::uint32_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return false;
        out = slots_[head % capacity];
        head_.store(head + 1, std::memory_order_release);
        return true;
    }
    std::uint64_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }
    /// Only while neither side runs.
    void clear() noexcept { head_.store(tail_.load()); }

  private:
    std::array<ServoNotice, capacity> slots_{};
    std::atomic<std::uint32_t> head_{0}, tail_{0};
    std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace Zelkor::HardwareAPI::Control::servo
