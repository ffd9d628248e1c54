// zelkor-bench-host: the C and C++ hosts of the exchange benchmark.
//
//   zelkor-bench-host floor PORT COUNT   plain system calls: one write, then poll + read for
//                                        the code byte and poll + read for the payload
//   zelkor-bench-host cpp PORT COUNT     Arbelon::end_effector_force through SerialStream
//   zelkor-bench-host handle-cpp PORT COUNT
//                                        COUNT status messages through Handle::Receive into
//                                        an overridden callback
//   zelkor-bench-host servo PORT COUNT   a 2 kHz Servo until it has run COUNT cycles; counts
//                                        the heap allocations of the cycles after the first 100
//                                        (--counted: at 20 kHz, for a count of its instructions)
//   zelkor-bench-host cpp-noop PORT COUNT
//   zelkor-bench-host handle-cpp-noop PORT COUNT
//                                        the loops of cpp and handle-cpp with the exchange or
//                                        Receive replaced by a call that only hands back what the
//                                        peer would have sent: the loop's own cost, which the
//                                        instruction counts take out (the port is opened, and
//                                        the Handle woken, as in the real modes)
//
// Runs COUNT force exchanges against zelkor-bench-peer, checks every reply exactly, and prints
// one JSON line: wall and CPU time of the loop, latency percentiles, and the heap allocations
// made inside the loop (counted by the operator new of this program).
//
// A last argument --counted leaves out the latency percentiles: sorting the latencies costs
// more per exchange the longer the run, and how much depends on the times measured, so it would
// not cancel out of the difference of two instruction counts.
#include <ZelkorHardwareAPI/control/recorder.h>
#include <ZelkorHardwareAPI/control/servo.h>
#include <ZelkorHardwareAPI/devices/arbelon.h>
#include <ZelkorHardwareAPI/devices/handle.h>
#include <ZelkorHardwareAPI/force_law.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "devices/protocol.h"

namespace hw = Zelkor::HardwareAPI;
namespace proto = hw::Protocol;

// ---- Allocation counter ----

static std::atomic<long> allocations{0};

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using Clock = std::chrono::steady_clock;

// User + system time of this process as the scheduler accounts it, to the nanosecond (the
// tick-sampled getrusage split is too coarse for a few microseconds per exchange).
double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The force of exchange i: small multiples of 1/2, so every value survives f32 exactly.
hw::Vector3 force_of(long i) {
    const float base = static_cast<float>(i % 1000);
    return {base, base + 0.5f, -base};
}

[[noreturn]] void fail(const char* what, long i) {
    std::fprintf(stderr, "host: %s at exchange %ld\n", what, i);
    std::exit(1);
}

void check(const hw::Vector3& force, const hw::Vector3& position, const hw::Vector3& velocity,
           long i) {
    for (int k = 0; k < 3; ++k) {
        if (position[k] != force[k] || velocity[k] != -force[k]) fail("wrong reply values", i);
    }
}

// The no-op stand-ins for the exchange and for Receive. Out of line, and opaque to the
// optimiser, so the loop around them compiles as it does around the real calls.
[[gnu::noinline]] int no_exchange(const hw::Vector3& force, hw::Vector3& position,
                                  hw::Vector3& velocity) {
    asm volatile("" ::: "memory");
    for (int k = 0; k < 3; ++k) {
        position[k] = force[k];
        velocity[k] = -force[k];
    }
    return 24;
}

[[gnu::noinline]] int no_receive(std::uint8_t* code) {
    asm volatile("" ::: "memory");
    *code = proto::Code::handle_status;
    return 37;
}

// The floor: what the exchange costs with nothing but the system calls it needs.
class Floor {
  public:
    explicit Floor(const char* port) {
        fd_ = ::open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios tio{};
        if (fd_ < 0 || tcgetattr(fd_, &tio) != 0) fail("cannot open the port", 0);
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        cfsetspeed(&tio, B115200);
        if (tcsetattr(fd_, TCSANOW, &tio) != 0) fail("cannot configure the port", 0);
    }
    ~Floor() { ::close(fd_); }

    void exchange(const hw::Vector3& force, hw::Vector3& position, hw::Vector3& velocity, long i) {
        std::uint8_t request[proto::vector_request_length];
        proto::encode_vector_request(request, proto::Code::end_effector_force, force);
        if (::write(fd_, request, sizeof request) != static_cast<ssize_t>(sizeof request)) {
            fail("short write", i);
        }
        std::uint8_t reply[proto::state_payload_length];
        if (read_exactly(reply, 1, i) != proto::Code::end_effector_state) fail("wrong code", i);
        read_exactly(reply, proto::state_payload_length, i);
        proto::decode_state(reply, position, velocity);
    }

  private:
    std::uint8_t read_exactly(std::uint8_t* out, std::size_t n, long i) {
        std::size_t got = 0;
        while (got < n) {
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, 1000) != 1) fail("no reply", i);
            const ssize_t r = ::read(fd_, out + got, n - got);
            if (r <= 0) fail("read failed", i);
            got += static_cast<std::size_t>(r);
        }
        return out[0];
    }

    int fd_ = -1;
};

// Counts status messages and checks each against what the peer sends.
class Listener : public hw::Devices::Handle {
  public:
    using Handle::Handle;
    using Handle::OnReceiveHandleStatusMessage;
    long received = 0;

    void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                      std::uint8_t, std::uint8_t, std::uint8_t user_data_length,
                                      const std::uint8_t* user_data) override {
        if (device_id != static_cast<std::uint16_t>(received) ||
            quaternion[3] != static_cast<float>(received % 1000) || user_data_length != 16 ||
            user_data[0] != static_cast<std::uint8_t>(received)) {
            fail("wrong status message", received);
        }
        ++received;
    }
};

int run_handle(const char* port, long count, bool noop) {
    hw::IO::SerialStream stream(port);
    Listener handle(&stream);
    handle.SendDeviceWakeup();
    const long allocations_before = allocations.load();
    const double cpu_before = cpu_seconds();
    const auto start = Clock::now();
    std::uint8_t code = 0;
    for (long i = 0; i < count; ++i) {
        if ((noop ? no_receive(&code) : handle.Receive(&code)) != 37) {
            fail("short status message", i);
        }
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpu_seconds() - cpu_before;
    const long allocs = allocations.load() - allocations_before;
    if (!noop && handle.received != count) fail("missed callbacks", handle.received);
    std::printf(
        "{\"host\": \"%s\", \"count\": %ld, \"wall_s\": %.9f, \"cpu_s\": %.9f, "
        "\"allocations\": %ld}\n",
        noop ? "handle-cpp-noop" : "handle-cpp", count, wall, cpu, allocs);
    return 0;
}

// The same spring as the built-in Spring({0.1, 0, 0}, 0.5), as a force law (the C ABI).
extern "C" void spring_law(const ZelkorServoInput* in, const double* params, double force[3]) {
    for (int i = 0; i < 3; ++i) force[i] = -params[3] * (in->position[i] - params[i]);
}

// The servo's cycles allocate nothing: counted over every cycle once the loop runs. The main
// thread only sleeps meanwhile, and sleeping allocates nothing either. `how`: "servo" (a spring,
// a damper and a wall as effects), "servo-spring" (the spring alone), "servo-law" (that
// spring as a force law) or "servo-record" (the spring, every cycle recorded), for the cost
// of a law's call and of the recording.
int run_servo(const std::string& how, const char* port, long count, bool counted) {
    hw::IO::SerialStream stream(port);
    hw::Devices::Arbelon arm(&stream);
    hw::Control::ServoSettings settings;
    // Counted (under callgrind), at a rate no cycle keeps up with there, so that every cycle
    // takes the same way, late and straight on to the next: the count is repeatable. A busy
    // machine may stall such a run for longer than a device would.
    settings.rate_hz = counted ? 20000.0 : 2000.0;
    settings.give_up_after = 30.0;
    hw::Control::Servo servo(arm, settings);
    if (how == "servo-law") {
        const double spring[] = {0.1, 0.0, 0.0, 0.5};
        servo.set_params(spring, 4);
        servo.set_force_law(spring_law);
    } else if (how == "servo-spring" || how == "servo-record") {
        servo.set_effects({hw::Control::Spring({0.1, 0.0, 0.0}, 0.5)});
        if (how == "servo-record") servo.record(10.0);
    } else {
        servo.set_effects({hw::Control::Spring({0.1, 0.0, 0.0}, 0.5), hw::Control::Damper(0.1),
                           hw::Control::Wall({0, 0, 1}, -1.0, 10.0)});
    }
    servo.start();
    auto cycles = [&] { return static_cast<long>(servo.stats().cycles); };
    while (servo.running() && cycles() < 100)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const long first = cycles();
    const long allocations_before = allocations.load();
    while (servo.running() && cycles() < count)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const long allocs = allocations.load() - allocations_before;
    const long last = cycles();
    servo.stop();
    const hw::Control::ServoStats stats = servo.stats();
    if (stats.stop_reason != hw::Control::StopReason::stopped)
        fail("the servo stopped by itself", last);
    std::printf(
        "{\"host\": \"servo\", \"count\": %ld, \"wall_s\": %.9f, \"cpu_s\": 0, "
        "\"allocations\": %ld, \"late\": %llu, \"failed\": %llu}\n",
        last - first, static_cast<double>(stats.cycles) / stats.rate_hz, allocs,
        static_cast<unsigned long long>(stats.late_cycles),
        static_cast<unsigned long long>(stats.failed_exchanges));
    return 0;
}

// The servo's recording of one cycle, as its loop writes it: COUNT rows into a ring of a minute
// at 1 kHz. Counted under callgrind with COUNT and 2 COUNT rows, it gives the instructions a
// recorded cycle costs.
int run_record_rows(long count) {
    namespace c = hw::Control;
    c::RowRing ring(c::ServoRecord::width, 60001);
    volatile double sink = 0.0;  // values the optimiser cannot know
    for (long n = 0; n < count; ++n) {
        const double v = sink + static_cast<double>(n);
        std::atomic<double>* const row = ring.row();
        const auto put = [row](std::size_t column, double value) {
            row[column].store(value, std::memory_order_relaxed);
        };
        put(c::ServoRecord::time, v);
        put(c::ServoRecord::cycle, v);
        for (std::size_t i = 0; i < 3; ++i) {
            put(c::ServoRecord::position + i, v);
            put(c::ServoRecord::velocity + i, v);
            put(c::ServoRecord::force + i, v);
            put(c::ServoRecord::effects_force + i, v);
            put(c::ServoRecord::law_force + i, v);
        }
        put(c::ServoRecord::exchange_us, v);
        put(c::ServoRecord::flags, 0.0);
        ring.append();
    }
    std::printf("{\"host\": \"record-rows\", \"count\": %ld, \"appended\": %llu}\n", count,
                static_cast<unsigned long long>(ring.appended()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool counted = argc == 5 && std::strcmp(argv[4], "--counted") == 0;
    if (argc != 4 && !counted) {
        std::fprintf(stderr,
                     "usage: zelkor-bench-host floor|cpp|cpp-noop|handle-cpp|handle-cpp-noop|servo"
                     "|servo-spring|servo-law|servo-record PORT COUNT [--counted]\n");
        return 2;
    }
    const std::string mode = argv[1];
    const char* port = argv[2];
    const long count = std::atol(argv[3]);
    if (mode == "handle-cpp" || mode == "handle-cpp-noop") {
        return run_handle(port, count, mode == "handle-cpp-noop");
    }
    if (mode.rfind("servo", 0) == 0) return run_servo(mode, port, count, counted);
    if (mode == "record-rows") return run_record_rows(count);
    std::vector<std::int64_t> latency(static_cast<std::size_t>(count));

    Floor* floor = nullptr;
    hw::IO::SerialStream* stream = nullptr;
    hw::Devices::Arbelon* arm = nullptr;
    if (mode == "floor") {
        floor = new Floor(port);
    } else if (mode == "cpp" || mode == "cpp-noop") {
        stream = new hw::IO::SerialStream(port);
        arm = new hw::Devices::Arbelon(stream);
    } else {
        std::fprintf(stderr, "unknown host %s\n", mode.c_str());
        return 2;
    }

    const bool noop = mode == "cpp-noop";
    hw::Vector3 position{}, velocity{};
    const long allocations_before = allocations.load();
    const double cpu_before = cpu_seconds();
    const auto start = Clock::now();
    for (long i = 0; i < count; ++i) {
        const hw::Vector3 force = force_of(i);
        const auto t0 = Clock::now();
        if (floor) {
            floor->exchange(force, position, velocity, i);
        } else if ((noop ? no_exchange(force, position, velocity)
                         : arm->end_effector_force(force, position, velocity)) != 24) {
            fail("exchange failed", i);
        }
        latency[static_cast<std::size_t>(i)] = (Clock::now() - t0).count();
        check(force, position, velocity, i);
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpu_seconds() - cpu_before;
    const long allocs = allocations.load() - allocations_before;

    std::printf("{\"host\": \"%s\", \"count\": %ld, \"wall_s\": %.9f, \"cpu_s\": %.9f, ",
                mode.c_str(), count, wall, cpu);
    if (!counted && count > 0) {
        std::sort(latency.begin(), latency.end());
        auto at = [&](double q) {
            return latency[std::min(latency.size() - 1,
                                    static_cast<std::size_t>(q * latency.size()))];
        };
        std::printf("\"p50_ns\": %lld, \"p99_ns\": %lld, \"max_ns\": %lld, ",
                    static_cast<long long>(at(0.5)), static_cast<long long>(at(0.99)),
                    static_cast<long long>(latency.back()));
    }
    std::printf("\"allocations\": %ld}\n", allocs);
    delete arm;
    delete stream;
    delete floor;
    return 0;
}
