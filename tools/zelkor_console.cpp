// A console tool that drives a device over a named port, one exchange per step, printing one
// line per reply. On Windows the port is a COM port name (COM3, COM12).
//
//   zelkor-console arbelon COM3                      wake the arm, print its identity
//   zelkor-console arbelon COM3 wakeup force 0 0 1.5 angles 0 0.5 -0.5
//
// Exit status: 0 when every step got its whole reply, 1 when one did not (the tool stops
// there), 2 for a usage error.
#include <ZelkorHardwareAPI.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace hw = Zelkor::HardwareAPI;

namespace {

constexpr const char* usage =
    "usage: zelkor-console arbelon PORT [STEP...]\n"
    "  STEP: wakeup | force X Y Z | position X Y Z | torques X Y Z | angles X Y Z\n"
    "  (no step: wakeup)\n";

int usage_error(const char* what, const char* arg) {
    std::fprintf(stderr, "zelkor-console: %s '%s'\n%s", what, arg, usage);
    return 2;
}

// A finite float, the whole argument and nothing else.
bool parse_float(const char* text, float& out) {
    char* end = nullptr;
    errno = 0;
    const float v = std::strtof(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
    out = v;
    return true;
}

void print_vector(const char* name, const hw::Vector3& v) {
    std::printf(" %s %.9g %.9g %.9g", name, v[0], v[1], v[2]);
}

using StateExchange = int (hw::Devices::Arbelon::*)(const hw::Vector3&, hw::Vector3&,
                                                    hw::Vector3&);

struct StateStep {
    const char* name;
    StateExchange exchange;
    const char* first;   // what the reply's first vector is
    const char* second;  // and its second
};

constexpr StateStep state_steps[] = {
    {"force", &hw::Devices::Arbelon::end_effector_force, "position", "velocity"},
    {"position", &hw::Devices::Arbelon::end_effector_position, "position", "velocity"},
    {"torques", &hw::Devices::Arbelon::joint_torques, "joint_position", "joint_velocity"},
    {"angles", &hw::Devices::Arbelon::joint_angles, "joint_position", "joint_velocity"},
};

bool wakeup(hw::Devices::Arbelon& arm) {
    std::uint16_t id = 0;
    std::uint8_t model = 0, hardware = 0, firmware = 0;
    hw::UUID uuid;
    const int r = arm.device_wakeup(id, model, hardware, firmware, uuid);
    if (r != 21) {
        std::printf("wakeup: no identity reply (%d)\n", r);
        return false;
    }
    std::printf("wakeup: device_id %u model %u hardware %u firmware %u uuid ", id, model,
                hardware, firmware);
    for (auto b : uuid.bytes) std::printf("%02x", b);
    std::printf("\n");
    return true;
}

int run_arbelon(const char* port, int argc, char** argv) {
    hw::IO::SerialStream stream(port);
    hw::Devices::Arbelon arm(&stream);
    if (argc == 0) return wakeup(arm) ? 0 : 1;

    for (int i = 0; i < argc;) {
        const char* step = argv[i++];
        if (std::strcmp(step, "wakeup") == 0) {
            if (!wakeup(arm)) return 1;
            continue;
        }
        const StateStep* found = nullptr;
        for (const auto& s : state_steps) {
            if (std::strcmp(step, s.name) == 0) found = &s;
        }
        if (found == nullptr) return usage_error("unknown step", step);
        hw::Vector3 request{};
        for (float& value : request) {
            if (i >= argc) return usage_error("three numbers needed after", step);
            if (!parse_float(argv[i], value)) return usage_error("not a number:", argv[i]);
            ++i;
        }
        hw::Vector3 first{}, second{};
        const int r = (arm.*found->exchange)(request, first, second);
        if (r != 24) {
            std::printf("%s: no state reply (%d)\n", step, r);
            return 1;
        }
        std::printf("%s:", step);
        print_vector(found->first, first);
        print_vector(found->second, second);
        std::printf("\n");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs(usage, stderr);
        return 2;
    }
    // Lines reach a pipe as they happen, so a script can follow the exchanges.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (std::strcmp(argv[1], "arbelon") == 0) return run_arbelon(argv[2], argc - 3, argv + 3);
    return usage_error("unknown device", argv[1]);
}
