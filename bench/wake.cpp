// How late the servo's thread wakes after a deadline: sleeping to the deadline (a ppoll with a
// nanosecond time-out and 1 ns of timer slack, as the loop sleeps) against sleeping to a little
// before it and spinning the rest, with the CPU each costs. Prints one JSON line per way.
//
//   zelkor-bench-wake CYCLES [SPIN_US...]    a 1 kHz schedule of CYCLES deadlines per way
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/threads.h"

namespace platform = Zelkor::HardwareAPI::platform;
using Clock = platform::Clock;

namespace {

double thread_cpu_s() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void run(long cycles, long spin_us) {
    platform::Waker waker;
    platform::tighten_timers();
    const auto period = std::chrono::milliseconds(1);
    const auto spin = std::chrono::microseconds(spin_us);
    std::vector<double> late_us;
    late_us.reserve(static_cast<std::size_t>(cycles));
    const double cpu_before = thread_cpu_s();
    Clock::time_point due = Clock::now() + period;
    for (long i = 0; i < cycles; ++i, due += period) {
        if (spin_us > 0) {
            (void)waker.sleep_until(due - spin);
            while (Clock::now() < due) {
            }
        } else {
            (void)waker.sleep_until(due);
        }
        late_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - due).count());
    }
    const double cpu = thread_cpu_s() - cpu_before;
    std::sort(late_us.begin(), late_us.end());
    auto at = [&](double q) {
        return late_us[std::min(late_us.size() - 1, static_cast<std::size_t>(q * late_us.size()))];
    };
    std::printf(
        "{\"spin_us\": %ld, \"cycles\": %ld, \"late_p50_us\": %.2f, \"late_p99_us\": %.2f, "
        "\"late_max_us\": %.2f, \"cpu_per_cycle_us\": %.2f}\n",
        spin_us, cycles, at(0.5), at(0.99), late_us.back(),
        cpu * 1e6 / static_cast<double>(cycles));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: zelkor-bench-wake CYCLES [SPIN_US...]\n");
        return 2;
    }
    const long cycles = std::atol(argv[1]);
    run(cycles, 0);
    for (int i = 2; i < argc; ++i) run(cycles, std::atol(argv[i]));
    return 0;
}
