// The steps of a paired exchange on a line that carries no request ids: what the servo loop and
// the line measurement share. A reply is read, or timed out and drained, before the next
// request; input that answers nothing in flight is dropped.
#pragma once

#include <ZelkorHardwareAPI/io/serial_stream.h>

#include "platform/threads.h"

namespace Zelkor::HardwareAPI::Control::detail {

using Clock = platform::Clock;

/// Drops input that is already waiting (one poll that does not wait, and a flush when it found
/// some). True when there was any. Both steps set the stream's deadline (WaitHook) as they
/// need it; the caller sets it again for its next transfer.
bool drop_waiting_input(IO::SerialStream& stream) noexcept;

/// After a reply that did not come whole in time: waits until `bound` for the rest of it (the
/// late reply), dropping what comes, until the line has been quiet for a millisecond; never
/// past `bound` plus the time it took. True when anything was dropped.
bool drain_late_reply(IO::SerialStream& stream, Clock::time_point bound) noexcept;

}  // namespace Zelkor::HardwareAPI::Control::detail
