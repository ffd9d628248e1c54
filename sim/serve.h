// The simulator's I/O loop: a pseudo-terminal whose other side is the host's serial port.
#pragma once

#include <string>

#include "device.h"
#include "faults.h"
#include "line.h"

namespace Zelkor::Sim {

struct ServeSettings {
    std::string link;                ///< symlink to make to the port; empty: none
    bool exit_on_stdin_eof = false;  ///< stop when standard input reaches its end
    LineKind line = LineKind::pty;   ///< the timing of the bytes both ways
    bool realtime = false;           ///< ask for real-time scheduling (never fails for it)
};

/// Opens a pseudo-terminal in raw mode, prints its port path as the first line of standard
/// output and serves `device` on it through `faults` until SIGINT, SIGTERM or SIGHUP, the
/// end of standard input (when asked), or a hang-up fault. Keeps serving while the host
/// closes and reopens the port. Returns the process exit status: 0 after any of those ends,
/// 1 when the port or the link could not be made (with a message on standard error).
int serve(SimDevice& device, const FaultSettings& faults, const ServeSettings& settings);

}  // namespace Zelkor::Sim
