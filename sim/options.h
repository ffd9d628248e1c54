// The command line of zelkor-sim.
#pragma once

#include <optional>
#include <string>

#include "arm_model.h"
#include "devices/protocol.h"
#include "faults.h"
#include "hand.h"
#include "line.h"

namespace Zelkor::Sim {

struct Options {
    enum class Device { arbelon, handle };
    Device device = Device::arbelon;
    bool help = false;
    bool version = false;
    bool lines = false;  ///< list the line models and exit
    std::string link;    ///< symlink to the port, made at start, removed at exit
    bool exit_on_stdin_eof = false;
    bool verbose = false;
    LineKind line = LineKind::pty;               ///< the timing of the line to the host
    bool realtime = false;                       ///< ask for real-time scheduling
    HardwareAPI::Protocol::DeviceInfo identity;  ///< the handle uses all but the UUID
    std::uint8_t tool_data_remaining = 0;        ///< handle
    double fixed_dt = 0.0;                       ///< arbelon; 0: real time
    bool echo = false;                  ///< arbelon: the force requested comes back as the position
    std::optional<double> arm_mass;     ///< arbelon: kg at the end-effector, not the rotors'
    std::optional<double> arm_damping;  ///< arbelon: N s/m there, not the joints'
    /// arbelon: a hand on the end-effector, pulled to a point or along a recorded trajectory.
    enum class Hand { none, spring, recorded };
    Hand hand = Hand::none;
    HandParameters hand_parameters;  ///< mass, and the grip: spring:K,B or --hand-grip
    Vec3 hand_target{};              ///< spring: where the hand is pulled to, m
    std::string hand_file;           ///< recorded: the trajectory's file, read by the caller
    std::string trace;               ///< arbelon: a CSV row per state request goes to this file
    double status_rate = 100.0;      ///< handle, messages per second
    std::uint64_t error_every = 0;   ///< handle; 0: never
    std::uint8_t error_code = 3;     ///< handle
    FaultSettings faults;
};

/// The options in `args` (the arguments after the program name). On a mistake returns
/// nothing and puts a one-line explanation in `error`. `--help` anywhere gives help = true,
/// `--version` anywhere version = true, `--lines` anywhere lines = true.
std::optional<Options> parse_options(int argc, const char* const* args, std::string& error);

/// The help text; its list of line models comes from the table of line.cpp.
const std::string& usage();

/// What `--lines` prints: a line per line model, its name, the strict and the pipelined
/// ceiling in Hz with one decimal ("-" where the line sets none) and its description, the
/// fields separated by spaces.
std::string line_list();

/// The arm `o` asks for: the model's own, with --arm-mass and --arm-damping applied.
ArmParameters arm_parameters(const Options& o);

/// The grip of a recorded hand without --hand-grip: N/m and N s/m.
inline constexpr double recorded_grip_stiffness = 500.0;
inline constexpr double recorded_grip_damping = 10.0;

}  // namespace Zelkor::Sim
