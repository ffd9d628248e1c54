// The command line of zelkor-sim.
#pragma once

#include <optional>
#include <string>

#include "devices/protocol.h"
#include "faults.h"
#include "line.h"

namespace Zelkor::Sim {

struct Options {
    enum class Device { arbelon, handle };
    Device device = Device::arbelon;
    bool help = false;
    bool version = false;
    std::string link;  ///< symlink to the port, made at start, removed at exit
    bool exit_on_stdin_eof = false;
    bool verbose = false;
    LineKind line = LineKind::pty;               ///< the timing of the line to the host
    bool realtime = false;                       ///< ask for real-time scheduling
    HardwareAPI::Protocol::DeviceInfo identity;  ///< the handle uses all but the UUID
    std::uint8_t tool_data_remaining = 0;        ///< handle
    double fixed_dt = 0.0;                       ///< arbelon; 0: real time
    bool echo = false;              ///< arbelon: the force requested comes back as the position
    double status_rate = 100.0;     ///< handle, messages per second
    std::uint64_t error_every = 0;  ///< handle; 0: never
    std::uint8_t error_code = 3;    ///< handle
    FaultSettings faults;
};

/// The options in `args` (the arguments after the program name). On a mistake returns
/// nothing and puts a one-line explanation in `error`. `--help` anywhere gives help = true,
/// `--version` anywhere version = true.
std::optional<Options> parse_options(int argc, const char* const* args, std::string& error);

/// The help text.
const char* usage();

}  // namespace Zelkor::Sim
