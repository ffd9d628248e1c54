// A console tool that drives a device over a named port, one step at a time, printing one
// line per step. On Linux the port is a path (/dev/ttyUSB0); on Windows a COM port name (COM3,
// COM12). It also lists the machine's serial ports and finds the devices on them.
//
//   zelkor-console ports                             the serial ports, one line each
//   zelkor-console find                              wake every listed port, say what answers
//   zelkor-console find /dev/ttyUSB0 /dev/ttyACM0    the same for the ports given
//   zelkor-console arbelon COM3                      wake the arm, print its identity
//   zelkor-console arbelon COM3 wakeup force 0 0 1.5 angles 0 0.5 -0.5
//   zelkor-console handle COM4 wakeup state 7 0a0b0c receive 3
//   zelkor-console arbelon COM3 wakeup servo 2 1000     hold the arm where it is for 2 s
//   zelkor-console handle COM4 wakeup listen 1          count messages in the background
//
// Exit status: 0 when every step went through, 1 when a reply or message did not come
// whole (the tool stops there), 2 for a usage error (nothing is sent then). find: 0 when a
// device answered, 1 when none did.
#include <ZelkorHardwareAPI.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace hw = Zelkor::HardwareAPI;
using hw::Devices::Arbelon;
using hw::Devices::Handle;

namespace {

constexpr const char* usage =
    "usage: zelkor-console arbelon PORT [STEP...]\n"
    "         STEP: wakeup | force X Y Z | position X Y Z | torques X Y Z | angles X Y Z\n"
    "               | servo SECONDS RATE_HZ\n"
    "       zelkor-console handle PORT [STEP...]\n"
    "         STEP: wakeup | state DEVICE_ID HEX_USER_DATA|- | receive [COUNT]\n"
    "               | listen SECONDS\n"
    "  no step: wakeup (the arm also prints its identity)\n"
    "       zelkor-console ports            list the serial ports\n"
    "       zelkor-console find [PORT...]   wake the ports (default: every listed one but the\n"
    "                                       console) and print what answers\n";

struct UsageError {
    std::string message;
};

// A finite float, the whole argument and nothing else.
float parse_float(const char* text) {
    char* end = nullptr;
    errno = 0;
    const float v = std::strtof(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(v)) {
        throw UsageError{std::string("not a number: '") + text + "'"};
    }
    return v;
}

bool all_of(const char* text, int (*is)(int)) {
    for (; *text; ++text) {
        if (!is(static_cast<unsigned char>(*text))) return false;
    }
    return true;
}

// A whole decimal number from 0 to `max`, digits only.
unsigned long parse_count(const char* text, unsigned long max) {
    const std::size_t length = std::strlen(text);
    const unsigned long v = std::strtoul(text, nullptr, 10);
    if (length == 0 || length > 9 || !all_of(text, std::isdigit) || v > max) {
        throw UsageError{std::string("not a number from 0 to ") + std::to_string(max) + ": '" +
                         text + "'"};
    }
    return v;
}

// Pairs of hex digits; "-" is no bytes.
std::vector<std::uint8_t> parse_hex(const char* text) {
    std::vector<std::uint8_t> out;
    if (std::strcmp(text, "-") == 0) return out;
    const std::size_t length = std::strlen(text);
    if (length == 0 || length % 2 != 0 || length / 2 > 255 || !all_of(text, std::isxdigit)) {
        throw UsageError{std::string("not 1 to 255 bytes of hex: '") + text + "'"};
    }
    for (std::size_t i = 0; i < length; i += 2) {
        const char pair[3] = {text[i], text[i + 1], '\0'};
        out.push_back(static_cast<std::uint8_t>(std::strtoul(pair, nullptr, 16)));
    }
    return out;
}

// The step words after the port, and every step parsed before anything is sent.
class Steps {
  public:
    Steps(int argc, char** argv) : argc_(argc), argv_(argv) {}
    bool done() const { return i_ >= argc_; }
    const char* next(const char* needed_for) {
        if (done()) throw UsageError{std::string("missing argument to ") + needed_for};
        return argv_[i_++];
    }
    /// The next word without taking it; null at the end.
    const char* peek() const { return done() ? nullptr : argv_[i_]; }

  private:
    int argc_;
    char** argv_;
    int i_ = 0;
};

void print_hex(const std::uint8_t* data, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) std::printf("%02x", data[i]);
}

// ---- Arbelon ----

using StateExchange = int (Arbelon::*)(const hw::Vector3&, hw::Vector3&, hw::Vector3&);

struct StateStep {
    const char* name;
    StateExchange exchange;
    const char* first;   // what the reply's first vector is
    const char* second;  // and its second
};

constexpr StateStep state_steps[] = {
    {"force", &Arbelon::end_effector_force, "position", "velocity"},
    {"position", &Arbelon::end_effector_position, "position", "velocity"},
    {"torques", &Arbelon::joint_torques, "joint_position", "joint_velocity"},
    {"angles", &Arbelon::joint_angles, "joint_position", "joint_velocity"},
};

struct ArbelonStep {
    enum Kind { wakeup, state, servo } kind = wakeup;
    const StateStep* state_step = nullptr;
    hw::Vector3 request{};  // for servo: seconds, rate
};

std::vector<ArbelonStep> parse_arbelon(Steps steps) {
    std::vector<ArbelonStep> out;
    if (steps.done()) out.push_back({});
    while (!steps.done()) {
        const char* word = steps.next("");
        ArbelonStep step;
        if (std::strcmp(word, "servo") == 0) {
            step.kind = ArbelonStep::servo;
            step.request[0] = static_cast<float>(parse_count(steps.next(word), 3600));
            step.request[1] = static_cast<float>(parse_count(steps.next(word), 20000));
            if (step.request[1] < 1) throw UsageError{"the servo's rate must be 1 Hz or more"};
        } else if (std::strcmp(word, "wakeup") != 0) {
            step.kind = ArbelonStep::state;
            for (const auto& s : state_steps) {
                if (std::strcmp(word, s.name) == 0) step.state_step = &s;
            }
            if (step.state_step == nullptr) {
                throw UsageError{std::string("unknown step '") + word + "'"};
            }
            for (float& value : step.request) value = parse_float(steps.next(word));
        }
        out.push_back(step);
    }
    return out;
}

void print_vector(const char* name, const hw::Vector3& v) {
    std::printf(" %s %.9g %.9g %.9g", name, v[0], v[1], v[2]);
}

// Holds the arm where it is (a stiff spring to its current position, and some damping) in a
// servo loop for the given seconds at the given rate, then prints how the loop went.
bool run_servo(Arbelon& arm, const ArbelonStep& step) {
    hw::Vector3 position{}, velocity{};
    if (arm.end_effector_force({0, 0, 0}, position, velocity) != 24) {
        std::printf("servo: no state reply\n");
        return false;
    }
    hw::Control::ServoSettings settings;
    settings.rate_hz = step.request[1];
    hw::Control::Servo servo(arm, settings);
    servo.set_effects({hw::Control::Spring({position[0], position[1], position[2]}, 200.0),
                       hw::Control::Damper(5.0)});
    servo.start();
    std::this_thread::sleep_for(std::chrono::duration<double>(step.request[0]));
    servo.stop();
    const hw::Control::ServoStats stats = servo.stats();
    const hw::Control::ServoState state = servo.state();
    std::printf("servo: cycles %llu late %llu failed %llu stop %s",
                static_cast<unsigned long long>(stats.cycles),
                static_cast<unsigned long long>(stats.late_cycles),
                static_cast<unsigned long long>(stats.failed_exchanges),
                hw::Control::to_text(stats.stop_reason));
    print_vector("position", state.position);
    std::printf("\n");
    return stats.cycles > 0 && stats.failed_exchanges < stats.cycles;
}

bool run_arbelon_step(Arbelon& arm, const ArbelonStep& step) {
    if (step.kind == ArbelonStep::servo) return run_servo(arm, step);
    if (step.kind == ArbelonStep::wakeup) {
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
        print_hex(uuid.bytes.data(), uuid.bytes.size());
        std::printf("\n");
        return true;
    }
    hw::Vector3 first{}, second{};
    const int r = (arm.*step.state_step->exchange)(step.request, first, second);
    if (r != 24) {
        std::printf("%s: no state reply (%d)\n", step.state_step->name, r);
        return false;
    }
    std::printf("%s:", step.state_step->name);
    print_vector(step.state_step->first, first);
    print_vector(step.state_step->second, second);
    std::printf("\n");
    return true;
}

// ---- Handle ----

// Prints each message as it arrives, and remembers how long it should have been.
class PrintingHandle : public Handle {
  public:
    using Handle::Handle;
    using Handle::OnReceiveHandleErrorResponse;
    using Handle::OnReceiveHandleInfo;
    using Handle::OnReceiveHandleStatusMessage;

    std::size_t expected_length = 0;
    bool quiet = false;  // count the messages instead of printing them
    std::atomic<unsigned long> infos{0}, statuses{0}, errors{0};

    void OnReceiveHandleInfo(HandleInfoResponse& r) override {
        expected_length = 6;
        ++infos;
        if (quiet) return;
        std::printf("info: tool_data_remaining %u device_id %u model %u hardware %u firmware %u",
                    r.tool_data_remaining, r.device_id, r.device_model_number, r.hardware_version,
                    r.firmware_version);
    }
    void OnReceiveHandleStatusMessage(HandleStatusResponse& r) override {
        expected_length = 21 + std::size_t{r.user_data_length};
        ++statuses;
        if (quiet) return;
        std::printf(
            "status: device_id %u quaternion %.9g %.9g %.9g %.9g error_flag %u "
            "sensor %u user_data ",
            r.device_id, r.quaternion[0], r.quaternion[1], r.quaternion[2], r.quaternion[3],
            r.error_flag, r.handle_connection_sensor);
        print_hex(r.user_data.data(), r.user_data_length);
    }
    void OnReceiveHandleErrorResponse(HandleErrorResponse& r) override {
        expected_length = 3;
        ++errors;
        if (quiet) return;
        std::printf("error: device_id %u error_code %u", r.device_id, r.error_code);
    }
};

struct HandleStep {
    enum Kind { wakeup, state, receive, listen } kind = wakeup;
    std::uint16_t device_id = 0;
    std::vector<std::uint8_t> user_data;
    unsigned long count = 1;
};

std::vector<HandleStep> parse_handle(Steps steps) {
    std::vector<HandleStep> out;
    if (steps.done()) out.push_back({});
    while (!steps.done()) {
        const char* word = steps.next("");
        HandleStep step;
        if (std::strcmp(word, "state") == 0) {
            step.kind = HandleStep::state;
            step.device_id = static_cast<std::uint16_t>(parse_count(steps.next(word), 65535));
            step.user_data = parse_hex(steps.next(word));
        } else if (std::strcmp(word, "receive") == 0) {
            step.kind = HandleStep::receive;
            // An optional count: a word that starts with a digit is no step.
            const char* count = steps.peek();
            if (count != nullptr && std::isdigit(static_cast<unsigned char>(count[0]))) {
                step.count = parse_count(steps.next(word), 1000000);
            }
        } else if (std::strcmp(word, "listen") == 0) {
            step.kind = HandleStep::listen;
            step.count = parse_count(steps.next(word), 3600);
        } else if (std::strcmp(word, "wakeup") != 0) {
            throw UsageError{std::string("unknown step '") + word + "'"};
        }
        out.push_back(step);
    }
    return out;
}

// Takes the messages in the background for the given seconds, then prints how many came.
bool run_listen(PrintingHandle& handle, const HandleStep& step) {
    hw::Control::Receiver receiver(handle);
    handle.quiet = true;
    const unsigned long before = handle.infos + handle.statuses + handle.errors;
    receiver.start();
    std::this_thread::sleep_for(std::chrono::seconds(step.count));
    const std::exception_ptr error = receiver.stop();
    handle.quiet = false;
    std::printf("listen: info %lu status %lu error %lu\n", handle.infos.load(),
                handle.statuses.load(), handle.errors.load());
    return error == nullptr && handle.infos + handle.statuses + handle.errors > before;
}

bool run_handle_step(PrintingHandle& handle, const HandleStep& step) {
    switch (step.kind) {
        case HandleStep::wakeup:
            handle.SendDeviceWakeup();
            std::printf("wakeup: sent\n");
            return true;
        case HandleStep::state:
            handle.SendHandleState(step.device_id, static_cast<std::uint8_t>(step.user_data.size()),
                                   step.user_data.data());
            std::printf("state: sent %zu bytes of user data\n", step.user_data.size());
            return true;
        case HandleStep::listen:
            return run_listen(handle, step);
        case HandleStep::receive:
            for (unsigned long i = 0; i < step.count; ++i) {
                handle.expected_length = 0;
                const int r = handle.Receive(nullptr);
                if (r < 0) {
                    std::printf("receive: no message (%d)\n", r);
                    return false;
                }
                if (static_cast<std::size_t>(r) < handle.expected_length) {
                    std::printf(" (came short: %d of %zu bytes)\n", r, handle.expected_length);
                    return false;
                }
                std::printf("\n");
            }
            return true;
    }
    return false;
}

template <class Device, class Step, class Parse, class Run>
int drive(const char* port, Steps steps, Parse parse, Run run) {
    const std::vector<Step> plan = parse(steps);  // a usage error sends nothing
    hw::IO::SerialStream stream(port);
    if (!stream.is_open()) {
        // The steps then fail as on a silent line; this says why.
        std::fprintf(stderr, "zelkor-console: %s: %s\n", port,
                     stream.last_error().message().c_str());
    }
    Device device(&stream);
    for (const auto& step : plan) {
        if (!run(device, step)) return 1;
    }
    return 0;
}

// ---- Finding ----

int list_ports() {
    const std::vector<hw::IO::PortInfo> ports = hw::IO::list_ports();
    if (ports.empty()) std::printf("no serial ports\n");
    for (const hw::IO::PortInfo& p : ports) {
        std::printf("%s: %s", p.device.c_str(), p.description.c_str());
        if (p.vid && p.pid) std::printf(" usb %04x:%04x", unsigned{*p.vid}, unsigned{*p.pid});
        if (p.serial_number) std::printf(" serial %s", p.serial_number->c_str());
        if (!p.driver.empty()) std::printf(" driver %s", p.driver.c_str());
        if (p.latency_timer_ms) std::printf(" latency_timer %d ms", *p.latency_timer_ms);
        if (p.console) std::printf(" console");
        if (p.by_id) std::printf(" by-id %s", p.by_id->c_str());
        std::printf("\n");
    }
    return 0;
}

int find(int argc, char** argv) {
    std::vector<std::string> ports(argv, argv + argc);
    if (ports.empty()) ports = hw::Devices::candidate_ports();
    if (ports.empty()) {
        std::printf("no ports to try\n");
        return 1;
    }
    using Outcome = hw::Devices::PortProbe::Outcome;
    bool any = false;
    for (const auto& probe : hw::Devices::probe_ports(ports, std::chrono::milliseconds(500))) {
        std::printf("%s: ", probe.port.c_str());
        switch (probe.outcome) {
            case Outcome::answered: {
                const hw::Devices::FoundDevice& d = probe.device;
                std::printf("%s device_id %u model %u hardware %u firmware %u\n",
                            hw::Devices::to_text(d.kind), d.device_id, d.model, d.hardware_version,
                            d.firmware_version);
                any = true;
                break;
            }
            case Outcome::silent:
                std::printf("no answer\n");
                break;
            case Outcome::in_use:
                std::printf("in use by another program, left alone\n");
                break;
            default:  // a failure, or a line that talks but is no device
                std::printf("%s\n", probe.error ? probe.error.message().c_str()
                                                : hw::Devices::to_text(probe.outcome));
                break;
        }
    }
    return any ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "ports") == 0) return list_ports();
    if (argc >= 2 && std::strcmp(argv[1], "find") == 0) {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
        return find(argc - 2, argv + 2);
    }
    if (argc < 3) {
        std::fputs(usage, stderr);
        return 2;
    }
    // Lines reach a pipe as they happen, so a script can follow the exchanges.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const Steps steps(argc - 3, argv + 3);
    try {
        if (std::strcmp(argv[1], "arbelon") == 0) {
            return drive<Arbelon, ArbelonStep>(argv[2], steps, parse_arbelon, run_arbelon_step);
        }
        if (std::strcmp(argv[1], "handle") == 0) {
            return drive<PrintingHandle, HandleStep>(argv[2], steps, parse_handle, run_handle_step);
        }
        throw UsageError{std::string("unknown device '") + argv[1] + "'"};
    } catch (const UsageError& e) {
        std::fprintf(stderr, "zelkor-console: %s\n%s", e.message.c_str(), usage);
        return 2;
    }
}
