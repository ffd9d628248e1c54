// Diagnostics of the simulator: to standard error, and only when asked for with --verbose.
#pragma once

namespace Zelkor::Sim {

/// Turns logging on or off for the whole process (off at start).
void set_verbose(bool on);
/// Whether log() prints.
bool verbose();
/// One line to standard error, prefixed "zelkor-sim: ", when verbose; printf-style.
void log(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace Zelkor::Sim
