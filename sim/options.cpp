#include "options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace Zelkor::Sim {

namespace {

// Defaults of the identities; the UUID's 16 bytes spell "Zelkor simulator".
constexpr std::uint8_t default_uuid[16] = {'Z', 'e', 'l', 'k', 'o', 'r', ' ', 's',
                                           'i', 'm', 'u', 'l', 'a', 't', 'o', 'r'};

void set_defaults(Options& o) {
    if (o.device == Options::Device::arbelon) {
        o.identity.device_id = 0x0A01;
        o.identity.device_model_number = 1;
        o.identity.hardware_version = 2;
        o.identity.firmware_version = 6;
    } else {
        o.identity.device_id = 0x0D01;
        o.identity.device_model_number = 2;
        o.identity.hardware_version = 1;
        o.identity.firmware_version = 3;
    }
    for (std::size_t i = 0; i < 16; ++i) o.identity.uuid.bytes[i] = default_uuid[i];
}

// Decimal, or hexadecimal after 0x; the whole text, at most `max`.
bool parse_unsigned(const char* text, std::uint64_t max, std::uint64_t& out) {
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = hex ? text + 2 : text;
    if (*digits == '\0' || *digits == '-' || *digits == '+' || std::isspace(*digits)) return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(digits, &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || v > max) return false;
    out = v;
    return true;
}

bool parse_double(const char* text, double low, double high, double& out) {
    if (*text == '\0' || std::isspace(*text)) return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < low || v > high) return false;
    out = v;
    return true;
}

// Exactly `count` comma-separated numbers, each finite.
bool parse_numbers(const char* text, double* out, int count) {
    std::string rest = text;
    for (int i = 0; i < count; ++i) {
        const std::size_t comma = rest.find(',');
        if ((comma == std::string::npos) != (i == count - 1)) return false;
        const std::string field = rest.substr(0, comma);
        const double low = -std::numeric_limits<double>::max();
        if (!parse_double(field.c_str(), low, -low, out[i])) return false;
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    }
    return true;
}

// How long --late-reply holds a reply, s: beyond 10 s a host has long given up on it.
constexpr double min_late_seconds = 1e-6;
constexpr double max_late_seconds = 10.0;

// The grip's ranges: beyond them a hand is no hand.
constexpr double max_grip_stiffness = 1e5;  // N/m
constexpr double max_grip_damping = 1e3;    // N s/m

// Empty when K and B are in range, else which is not.
std::string check_grip(double k, double b) {
    if (k < 0.0 || k > max_grip_stiffness) return "stiffness must be from 0 to 100000 N/m";
    if (b < 0.0 || b > max_grip_damping) return "damping must be from 0 to 1000 N s/m";
    return {};
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// 32 hex digits; dashes anywhere are skipped, so the usual 8-4-4-4-12 form works too.
bool parse_uuid(const char* text, HardwareAPI::UUID& out) {
    HardwareAPI::UUID uuid;
    std::size_t nibbles = 0;
    for (; *text; ++text) {
        if (*text == '-') continue;
        const int d = hex_digit(*text);
        if (d < 0 || nibbles == 32) return false;
        auto& byte = uuid.bytes[nibbles / 2];
        byte = static_cast<std::uint8_t>(nibbles % 2 == 0 ? d << 4 : byte | d);
        ++nibbles;
    }
    if (nibbles != 32) return false;
    out = uuid;
    return true;
}

constexpr const char* value_options[] = {
    "--link",
    "--line",
    "--device-id",
    "--model",
    "--hardware-version",
    "--firmware-version",
    "--uuid",
    "--fixed-dt",
    "--status-rate",
    "--tool-data-remaining",
    "--error-every",
    "--error-code",
    "--seed",
    "--drop",
    "--wrong-code",
    "--truncate",
    "--garbage",
    "--faults-after",
    "--max-faults",
    "--silent-after",
    "--hangup-after",
    "--late-reply",
    "--arm-mass",
    "--arm-damping",
    "--hand",
    "--hand-mass",
    "--trace",
    "--hand-grip",
};

bool takes_value(const std::string& name) {
    for (const char* option : value_options) {
        if (name == option) return true;
    }
    return false;
}

// The help text is this wide at most; the line models' descriptions are wrapped to it.
constexpr std::size_t help_width = 92;
// Where the line models' names start under --line.
constexpr std::size_t line_list_indent = 28;

constexpr const char* help_head = R"(usage: zelkor-sim arbelon|handle [options]
       zelkor-sim --version
       zelkor-sim --lines

Simulates an Arbelon arm or a Handle on a pseudo-terminal. Prints the port's path as the
first line of standard output, then serves until SIGINT or SIGTERM. A host may close and
reopen the port any number of times.

  --link PATH             also make PATH a symbolic link to the port (removed at exit)
  --exit-on-stdin-eof     exit when standard input closes
  --verbose               log traffic and events to standard error
  --line NAME             the timing of the line between host and device (default pty):
)";

constexpr const char* help_tail =
    R"(  --lines                 list the line models, one a line, and exit: the name, the rates
                          a loop of Arbelon exchanges holds on it in Hz (strict, then with
                          one more request in flight; - where the line sets no limit) and
                          what it models
  --realtime              ask for real-time scheduling (SCHED_FIFO); serves without it
                          where it is refused (--verbose says so)
  --device-id N           identity (N: decimal or 0x hex)
  --model N
  --hardware-version N
  --firmware-version N
  --uuid HEX              arbelon: 32 hex digits (dashes allowed)

arbelon:
  --fixed-dt SECONDS      each state request advances the arm by exactly this much
                          (default: the real time since the previous request, at most 50 ms)
  --echo                  report the force of each end-effector force request as the
                          position, so a host can check every state answers its own request
  --arm-mass KG           the arm's moving mass as a point mass at the end-effector, the
                          same along every axis (default: the joints' rotors, 0.04 to 0.1 kg
                          at the end-effector by axis in the home pose); 0.01 to 10
  --arm-damping B         the arm's viscous damping at the end-effector in N s/m, the same
                          along every axis, in place of the joints' own; 0 to 100
  --hand spring:K,B,X,Y,Z a hand holds the end-effector with a spring of K N/m and a damper
                          of B N s/m and is pulled by the same to the point X,Y,Z (m)
  --hand FILE             a hand pulled along the trajectory in FILE: CSV with columns
                          time,x,y,z (or time,position_x,position_y,position_z, others
                          ignored), or .npz from numpy.savez with arrays time (N,) and
                          position (N, 3); times in seconds, positions in metres
  --hand-grip K,B         a recorded hand's spring and damper (default 500,10)
  --hand-mass KG          the hand's mass (default 0.3); 0.01 to 10
  --trace FILE            write a CSV row to FILE per state request, as it comes: the arm's
                          simulated time, the request and its three values, and the
                          end-effector's position and velocity after it
handle:
  --status-rate HZ        status messages per second once woken (default 100; 0: none)
  --tool-data-remaining N first byte of the information message (default 0)
  --error-every N         send an error message after every N status messages
  --error-code N          its error code (default 3)

fault injection (seeded, reproducible):
  --seed N                (default 1)
  --drop P                chance that a message is not sent
  --wrong-code P          chance that its code byte is XORed with 0x30
  --truncate P            chance that it stops after the code and part of its payload
  --garbage P             chance that 1 to 8 bytes that are no message code go before it
  --faults-after N        never spoil the first N messages sent
  --max-faults N          spoil at most N messages
  --silent-after N        serve N host messages, then answer and send nothing more
  --hangup-after N        serve N host messages, then hang up (and exit) at the next one
  --late-reply N:S        arbelon: hold the Nth state reply, the 2Nth and so on (counted
                          from the first, over the whole run) S seconds before it goes onto
                          the line; the arm reads on, and the replies it makes meanwhile
                          follow the held one in order; the faults above then act on each
)";

// `text` from column `column` on, broken at spaces to fit help_width; continuation lines
// start at `column` too.
std::string wrapped(const std::string& text, std::size_t column) {
    std::string out;
    std::size_t width = column;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t to = text.find(' ', from);
        if (to == std::string::npos) to = text.size();
        const std::string word = text.substr(from, to - from);
        if (width > column && width + 1 + word.size() > help_width) {
            out += "\n" + std::string(column, ' ');
            width = column;
        }
        if (width > column) {
            out += ' ';
            ++width;
        }
        out += word;
        width += word.size();
        from = to + 1;
    }
    return out + "\n";
}

std::size_t longest_line_name() {
    std::size_t longest = 0;
    for (const LineModel& m : line_models()) longest = std::max(longest, std::strlen(m.name));
    return longest;
}

std::string build_usage() {
    std::string text = help_head;
    const std::size_t name_width = longest_line_name() + 2;
    for (const LineModel& m : line_models()) {
        std::string row = std::string(line_list_indent, ' ') + m.name;
        row.resize(line_list_indent + name_width, ' ');
        text += row + wrapped(m.description, line_list_indent + name_width);
    }
    return text + help_tail;
}

}  // namespace

const std::string& usage() {
    static const std::string text = build_usage();
    return text;
}

std::string line_list() {
    const std::size_t name_width = longest_line_name() + 2;
    std::string out;
    char rate[32];
    const auto hz = [&](double value) {
        if (std::isinf(value)) return std::string("-");
        std::snprintf(rate, sizeof rate, "%.1f", value);
        return std::string(rate);
    };
    for (const LineModel& m : line_models()) {
        const LineCeilings c = line_ceilings(line_models().kind_of(m));
        std::string row = m.name;
        row.resize(name_width, ' ');
        for (const std::string& field : {hz(c.strict_hz), hz(c.pipelined_hz)}) {
            row += std::string(field.size() < 10 ? 10 - field.size() : 1, ' ') + field;
        }
        out += row + "  " + m.description + "\n";
    }
    return out;
}

std::optional<Options> parse_options(int argc, const char* const* args, std::string& error) {
    Options o;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(args[i], "--help") == 0 || std::strcmp(args[i], "-h") == 0) {
            o.help = true;
            return o;
        }
        if (std::strcmp(args[i], "--version") == 0) {
            o.version = true;
            return o;
        }
        if (std::strcmp(args[i], "--lines") == 0) {
            o.lines = true;
            return o;
        }
    }
    if (argc < 1) {
        error = "which device? give arbelon or handle";
        return std::nullopt;
    }
    if (std::strcmp(args[0], "arbelon") == 0) {
        o.device = Options::Device::arbelon;
    } else if (std::strcmp(args[0], "handle") == 0) {
        o.device = Options::Device::handle;
    } else {
        error = std::string("unknown device '") + args[0] + "': give arbelon or handle";
        return std::nullopt;
    }
    set_defaults(o);
    const bool arbelon = o.device == Options::Device::arbelon;
    bool hand_mass = false;
    std::optional<std::pair<double, double>> grip;

    for (int i = 1; i < argc; ++i) {
        const std::string name = args[i];
        const auto flag = [&](const char* n, bool& target) {
            if (name != n) return false;
            target = true;
            return true;
        };
        if (flag("--exit-on-stdin-eof", o.exit_on_stdin_eof) || flag("--verbose", o.verbose) ||
            flag("--realtime", o.realtime)) {
            continue;
        }
        if (name == "--echo") {
            if (!arbelon) {
                error = "--echo applies to the arbelon only";
                return std::nullopt;
            }
            o.echo = true;
            continue;
        }
        if (!takes_value(name)) {
            error = name.rfind("--", 0) == 0 ? "unknown option '" + name + "'"
                                             : "unexpected argument '" + name + "'";
            return std::nullopt;
        }
        if (i + 1 >= argc) {
            error = name + " needs a value";
            return std::nullopt;
        }
        const char* value = args[++i];
        const auto bad = [&](const char* what) {
            error = name + ": '" + value + "' is not " + what;
            return std::nullopt;
        };
        const auto only = [&](bool applies, const char* device) {
            if (!applies) error = name + " applies to the " + device + " only";
            return applies;
        };
        std::uint64_t n = 0;
        const auto u8 = [&](std::uint8_t& target) {
            if (!parse_unsigned(value, 0xFF, n)) return false;
            target = static_cast<std::uint8_t>(n);
            return true;
        };
        const auto count = [&](std::uint64_t& target) {
            if (!parse_unsigned(value, std::numeric_limits<std::uint64_t>::max() - 1, n))
                return false;
            target = n;
            return true;
        };
        const auto chance = [&](double& target) { return parse_double(value, 0.0, 1.0, target); };

        if (name == "--link") {
            if (*value == '\0') return bad("a path");
            o.link = value;
        } else if (name == "--line") {
            const auto line = line_kind(value);
            if (!line) return bad(("a line: give " + line_names()).c_str());
            o.line = *line;
        } else if (name == "--device-id") {
            if (!parse_unsigned(value, 0xFFFF, n)) return bad("an integer from 0 to 65535");
            o.identity.device_id = static_cast<std::uint16_t>(n);
        } else if (name == "--model") {
            if (!u8(o.identity.device_model_number)) return bad("an integer from 0 to 255");
        } else if (name == "--hardware-version") {
            if (!u8(o.identity.hardware_version)) return bad("an integer from 0 to 255");
        } else if (name == "--firmware-version") {
            if (!u8(o.identity.firmware_version)) return bad("an integer from 0 to 255");
        } else if (name == "--uuid") {
            if (!only(arbelon, "arbelon")) return std::nullopt;
            if (!parse_uuid(value, o.identity.uuid)) return bad("32 hexadecimal digits");
        } else if (name == "--fixed-dt") {
            if (!only(arbelon, "arbelon")) return std::nullopt;
            if (!parse_double(value, 1e-6, 1.0, o.fixed_dt) || o.fixed_dt <= 0.0) {
                return bad("a number of seconds from 0.000001 to 1");
            }
        } else if (name == "--status-rate") {
            if (!only(!arbelon, "handle")) return std::nullopt;
            if (!parse_double(value, 0.0, 10000.0, o.status_rate))
                return bad("a rate from 0 to 10000");
        } else if (name == "--tool-data-remaining") {
            if (!only(!arbelon, "handle")) return std::nullopt;
            if (!u8(o.tool_data_remaining)) return bad("an integer from 0 to 255");
        } else if (name == "--error-every") {
            if (!only(!arbelon, "handle")) return std::nullopt;
            if (!count(o.error_every)) return bad("a count");
        } else if (name == "--error-code") {
            if (!only(!arbelon, "handle")) return std::nullopt;
            if (!u8(o.error_code)) return bad("an integer from 0 to 255");
        } else if (name == "--seed") {
            if (!parse_unsigned(value, std::numeric_limits<std::uint64_t>::max(), o.faults.seed)) {
                return bad("an integer");
            }
        } else if (name == "--drop") {
            if (!chance(o.faults.drop)) return bad("a chance from 0 to 1");
        } else if (name == "--wrong-code") {
            if (!chance(o.faults.wrong_code)) return bad("a chance from 0 to 1");
        } else if (name == "--truncate") {
            if (!chance(o.faults.truncate)) return bad("a chance from 0 to 1");
        } else if (name == "--garbage") {
            if (!chance(o.faults.garbage)) return bad("a chance from 0 to 1");
        } else if (name == "--faults-after") {
            if (!count(o.faults.faults_after)) return bad("a count");
        } else if (name == "--max-faults") {
            if (!count(o.faults.max_faults)) return bad("a count");
        } else if (name == "--silent-after") {
            if (!count(o.faults.silent_after)) return bad("a count");
        } else if (name == "--hangup-after") {
            if (!count(o.faults.hangup_after)) return bad("a count");
        } else if (name == "--late-reply") {
            if (!only(arbelon, "arbelon")) return std::nullopt;
            const char* colon = std::strchr(value, ':');
            const std::string every(value, colon ? static_cast<std::size_t>(colon - value) : 0);
            if (!colon || !parse_unsigned(every.c_str(), never - 1, o.faults.late_every) ||
                o.faults.late_every == 0 ||
                !parse_double(colon + 1, min_late_seconds, max_late_seconds,
                              o.faults.late_seconds)) {
                return bad(
                    "EVERY:SECONDS (a count from 1, then a time from 0.000001 to 10 s, such as "
                    "60:0.06)");
            }
        } else if (name == "--arm-mass") {
            if (!only(arbelon, "arbelon")) return std::nullopt;
            double kg = 0.0;
            if (!parse_double(value, 0.01, 10.0, kg)) return bad("a mass from 0.01 to 10 kg");
            o.arm_mass = kg;
        } else if (name == "--arm-damping") {
            if (!only(arbelon, "arbelon")) return std::nullopt;
            double b = 0.0;
            if (!parse_double(value, 0.0, 100.0, b)) return bad("a damping from 0 to 100 N s/m");
            o.arm_damping = b;
        } else if (name == "--hand") {
            if (!only(arbelon, "arbelon")) return std::nullopt;
            if (std::strncmp(value, "spring:", 7) == 0) {
                double v[5];
                if (!parse_numbers(value + 7, v, 5)) {
                    return bad(
                        "spring:K,B,X,Y,Z (five numbers: N/m, N s/m, and where the hand "
                        "is pulled to in metres)");
                }
                const std::string fault = check_grip(v[0], v[1]);
                if (!fault.empty()) {
                    error = "--hand: the spring's " + fault;
                    return std::nullopt;
                }
                if (std::sqrt(v[2] * v[2] + v[3] * v[3] + v[4] * v[4]) > Trajectory::max_reach) {
                    error =
                        "--hand: the point is more than 1 m from the origin (metres are "
                        "needed; the arm reaches 0.4 m)";
                    return std::nullopt;
                }
                o.hand = Options::Hand::spring;
                o.hand_parameters.stiffness = v[0];
                o.hand_parameters.damping = v[1];
                o.hand_target = {v[2], v[3], v[4]};
            } else {
                if (*value == '\0') return bad("spring:K,B,X,Y,Z or a file");
                o.hand = Options::Hand::recorded;
                o.hand_file = value;
            }
        } else if (name == "--hand-mass") {
            if (!only(arbelon, "arbelon")) return std::nullopt;
            if (!parse_double(value, 0.01, 10.0, o.hand_parameters.mass)) {
                return bad("a mass from 0.01 to 10 kg");
            }
            hand_mass = true;
        } else if (name == "--trace") {
            if (!only(arbelon, "arbelon")) return std::nullopt;
            if (*value == '\0') return bad("a path");
            o.trace = value;
        } else {  // --hand-grip, the last of value_options
            if (!only(arbelon, "arbelon")) return std::nullopt;
            double v[2];
            if (!parse_numbers(value, v, 2)) return bad("K,B (N/m, N s/m)");
            const std::string fault = check_grip(v[0], v[1]);
            if (!fault.empty()) {
                error = "--hand-grip: the " + fault;
                return std::nullopt;
            }
            grip = {v[0], v[1]};
        }
    }
    if ((hand_mass || grip) && o.hand == Options::Hand::none) {
        error = std::string(grip ? "--hand-grip" : "--hand-mass") + " needs --hand";
        return std::nullopt;
    }
    if (grip && o.hand == Options::Hand::spring) {
        error = "--hand-grip is for a recorded hand: spring:K,B,X,Y,Z gives its own";
        return std::nullopt;
    }
    if (o.hand == Options::Hand::recorded) {
        o.hand_parameters.stiffness = grip ? grip->first : recorded_grip_stiffness;
        o.hand_parameters.damping = grip ? grip->second : recorded_grip_damping;
    }
    const double chances =
        o.faults.drop + o.faults.wrong_code + o.faults.truncate + o.faults.garbage;
    if (chances > 1.0 + 1e-9) {
        error =
            "the chances of --drop, --wrong-code, --truncate and --garbage add up to more than 1";
        return std::nullopt;
    }
    return o;
}

ArmParameters arm_parameters(const Options& o) {
    ArmParameters arm;
    if (o.arm_mass) arm = with_end_effector_mass(arm, *o.arm_mass);
    if (o.arm_damping) arm = with_end_effector_damping(arm, *o.arm_damping);
    return arm;
}

}  // namespace Zelkor::Sim
