#include "control/exchange.h"

#include <algorithm>

namespace Zelkor::HardwareAPI::Control::detail {

bool drop_waiting_input(IO::SerialStream& stream) noexcept {
    if (!stream.is_open()) return false;
    // The stream's deadline (an exchange's, long past) would end the look before it began.
    stream.set_deadline(Clock::time_point::max());
    if (!stream.wait_for_input(0)) return false;
    (void)stream.discard_input();
    return true;
}

bool drain_late_reply(IO::SerialStream& stream, Clock::time_point bound) noexcept {
    using std::chrono::milliseconds;
    // A line that never falls quiet is given at most twice the time to the bound.
    const Clock::time_point start = Clock::now();
    const Clock::time_point limit = bound + (bound > start ? bound - start : Clock::duration{});
    stream.set_deadline(limit);
    bool dropped = false;
    for (;;) {
        if (!stream.is_open()) return dropped;
        const Clock::time_point now = Clock::now();
        if (now >= limit) return dropped;
        // Until the bound, wait for the late reply; once something came, for a quiet line.
        std::uint32_t wait_ms = 1;
        if (!dropped && bound > now) {
            const auto left = std::chrono::ceil<milliseconds>(bound - now).count();
            wait_ms = static_cast<std::uint32_t>(std::max<long long>(1, left));
        }
        if (!stream.wait_for_input(wait_ms)) return dropped;
        (void)stream.discard_input();
        dropped = true;
    }
}

}  // namespace Zelkor::HardwareAPI::Control::detail
