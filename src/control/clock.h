// The platform seam of the servo loop: absolute sleeps and thread priority. One source file
// per platform implements it (clock_posix.cpp, clock_win32.cpp); CMake picks the file.
#pragma once

#include <chrono>

namespace Zelkor::HardwareAPI::Control::platform {

using Clock = std::chrono::steady_clock;

/// Sleeps until `deadline` (absolute, on Clock), through signals; returns at once when it has
/// passed.
void sleep_until(Clock::time_point deadline) noexcept;

/// Asks for real-time scheduling of the calling thread (SCHED_FIFO on POSIX, time-critical
/// priority on Windows). True when the system granted it; otherwise nothing changed.
bool make_realtime() noexcept;

}  // namespace Zelkor::HardwareAPI::Control::platform
