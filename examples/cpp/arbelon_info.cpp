// Wakes an Arbelon, prints its identity, and sends it one zero force.
//   arbelon_info /dev/ttyUSB0
#include <ZelkorHardwareAPI.h>

#include <cstdio>

namespace hw = Zelkor::HardwareAPI;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: arbelon_info PORT\n");
        return 2;
    }
    std::printf("library %s\n", hw::library_version);
    hw::IO::SerialStream stream(argv[1]);
    hw::Devices::Arbelon arm(&stream);

    std::uint16_t id = 0;
    std::uint8_t model = 0, hardware = 0, firmware = 0;
    hw::UUID uuid;
    if (arm.device_wakeup(id, model, hardware, firmware, uuid) != 21) {
        std::fprintf(stderr, "%s: no identity reply\n", argv[1]);
        return 1;
    }
    std::printf("device %u, model %u, hardware %u, firmware %u\n", id, model, hardware, firmware);

    hw::Vector3 position{}, velocity{};
    if (arm.end_effector_force({0.0f, 0.0f, 0.0f}, position, velocity) != 24) {
        std::fprintf(stderr, "%s: no state reply\n", argv[1]);
        return 1;
    }
    std::printf("end effector at (%g, %g, %g)\n", position[0], position[1], position[2]);
    return 0;
}
