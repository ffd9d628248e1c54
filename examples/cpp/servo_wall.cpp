// Renders a wall at 1 kHz with the library's Servo for a few seconds, then prints how the loop
// kept up and the deepest the end-effector went into the wall, from the servo's recording.
//   servo_wall PORT [SECONDS]        (PORT: a device, or a simulator's: zelkor-sim arbelon)
#include <ZelkorHardwareAPI.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace hw = Zelkor::HardwareAPI;
namespace control = hw::Control;

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: servo_wall PORT [SECONDS]\n");
        return 2;
    }
    const double seconds = argc == 3 ? std::atof(argv[2]) : 3.0;
    hw::IO::SerialStream stream(argv[1]);
    hw::Devices::Arbelon arm(&stream);
    std::uint16_t id = 0;
    std::uint8_t model = 0, hardware = 0, firmware = 0;
    hw::UUID uuid;
    if (arm.device_wakeup(id, model, hardware, firmware, uuid) != 21) {
        std::fprintf(stderr, "%s: no identity reply\n", argv[1]);
        return 1;
    }
    hw::Vector3 rest{}, velocity{};
    arm.end_effector_force({0.0f, 0.0f, 0.0f}, rest, velocity);

    control::ServoSettings settings;  // 1 kHz, 5 N at most, a 0.2 s soft start
    control::Servo servo(arm, settings);
    // A wall 1 cm below where the arm rests, its surface facing up, so the arm starts outside
    // it, and a push of 1.5 N down onto it (a hand pressing): it settles 1.5 mm deep.
    const double floor = rest[2] - 0.01;
    servo.set_effects({control::Wall({0.0, 0.0, 1.0}, floor, 1000.0, 2.0),
                       control::ConstantForce({0.0, 0.0, -1.5})});
    servo.record(seconds + 1.0);
    // Told on a thread of the servo's own, never the loop's.
    servo.set_notify([](const control::ServoNotice& notice) {
        if (notice.kind == control::ServoNotice::Kind::ended) {
            std::printf("the loop ended by itself: %s\n", control::to_text(notice.reason));
        }
    });
    servo.start();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    servo.stop();

    const control::ServoStats stats = servo.stats();
    std::printf("%.1f Hz, %llu cycles, %llu late, exchange p50 %.0f us p99 %.0f us, %s\n",
                stats.rate_hz, static_cast<unsigned long long>(stats.cycles),
                static_cast<unsigned long long>(stats.late_cycles), stats.p50_us, stats.p99_us,
                control::to_text(stats.stop_reason));
    double deepest = 0.0;
    for (const control::ServoRow& row : servo.recording()) {
        deepest = std::max(deepest, floor - row.position[2]);
    }
    std::printf("deepest into the wall: %.2f mm\n", deepest * 1e3);
    return stats.left_limp ? 0 : 1;
}
