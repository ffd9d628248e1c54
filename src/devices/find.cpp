#include <ZelkorHardwareAPI/devices/find.h>
#include <ZelkorHardwareAPI/io/ports.h>
#include <ZelkorHardwareAPI/io/serial_stream.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "devices/protocol.h"
#include "platform/threads.h"

namespace Zelkor::HardwareAPI::Devices {

namespace {

namespace Code = Protocol::Code;
using Clock = IO::WaitHook::Clock;
using Outcome = PortProbe::Outcome;

bool stop_asked(void* flag) {
    return static_cast<const std::atomic<bool>*>(flag)->load(std::memory_order_relaxed);
}

// Reads `count` bytes in one read, bounded by the stream's deadline; true when all came.
bool read_whole(IO::SerialStream& stream, std::uint8_t* into, std::size_t count) {
    if (count == 0) return true;
    return stream.read_bytes(reinterpret_cast<char*>(into), static_cast<std::streamsize>(count)) ==
           static_cast<std::streamsize>(count);
}

// Why a read moved nothing, when it was no time-out: the line hung up (the port closed
// itself) or the system refused the read. Such a port reads nothing ever again, at once.
bool read_broken(const IO::SerialStream& stream) {
    const IO::PortError e = stream.last_error();
    return !stream.is_open() || e.cause == IO::PortError::Cause::system;
}

PortProbe probe(const std::string& port, Clock::time_point deadline, std::atomic<bool>& stop) {
    PortProbe result;
    result.port = port;
    result.device.port = port;
    IO::SerialStream stream(port.c_str());
    if (stream.open_result() != static_cast<std::int8_t>(IO::OpenCode::ok)) {
        result.error = stream.last_error();
        result.outcome =
            result.error.cause == IO::PortError::Cause::in_use ? Outcome::in_use : Outcome::failed;
        return result;
    }
    stream.set_wait_hook({stop_asked, &stop, 10, deadline});
    // What already waits at the port (a Handle left awake sends its status all the time)
    // would be read before the answer, and may begin in the middle of a message.
    (void)stream.discard_input();
    const char wakeup = static_cast<char>(Code::wakeup);
    if (stream.write_bytes(&wakeup, 1) != 1) {
        result.error = stream.last_error();
        result.outcome = stop_asked(&stop) ? Outcome::stopped : Outcome::failed;
        return result;
    }

    // Room for the longest message either device sends: a status with 255 bytes of user data.
    std::array<std::uint8_t, Protocol::handle_status_header_length + 255> payload{};
    // A device that introduced itself: an Arbelon's device info or a Handle's handle info.
    auto answered = [&](FoundDevice::Kind kind, const auto& info) {
        result.device = {port,
                         kind,
                         info.device_id,
                         info.device_model_number,
                         info.hardware_version,
                         info.firmware_version};
        result.outcome = Outcome::answered;
        return result;
    };
    for (;;) {
        if (stop_asked(&stop)) {
            result.outcome = Outcome::stopped;
            return result;
        }
        if (Clock::now() >= deadline) {
            result.outcome = Outcome::silent;
            return result;
        }
        std::uint8_t code = 0;
        if (!read_whole(stream, &code, 1)) {
            if (read_broken(stream)) {
                result.error = stream.last_error();
                result.outcome = Outcome::failed;
                return result;
            }
            continue;
        }
        switch (code) {
            case Code::device_info:
                if (read_whole(stream, payload.data(), Protocol::device_info_payload_length)) {
                    return answered(FoundDevice::Kind::arbelon,
                                    Protocol::decode_device_info(payload.data()));
                }
                break;
            case Code::handle_info:
                if (read_whole(stream, payload.data(), Protocol::handle_info_payload_length)) {
                    return answered(FoundDevice::Kind::handle,
                                    Protocol::decode_handle_info(payload.data()));
                }
                break;
            case Code::handle_status:
                // Skipped whole, user data included, so none of its bytes is taken for a code.
                if (read_whole(stream, payload.data(), Protocol::handle_status_header_length)) {
                    const std::uint8_t user_data_length =
                        Protocol::decode_handle_status(payload.data()).user_data_length;
                    (void)read_whole(stream, payload.data(), user_data_length);
                }
                break;
            case Code::handle_error:
                (void)read_whole(stream, payload.data(), Protocol::handle_error_payload_length);
                break;
            default:  // a byte that starts no message: look at the next one
                break;
        }
    }
}

}  // namespace

const char* to_text(FoundDevice::Kind kind) noexcept {
    return kind == FoundDevice::Kind::handle ? "Handle" : "Arbelon";
}

const char* to_text(PortProbe::Outcome outcome) noexcept {
    switch (outcome) {
        case Outcome::answered:
            return "answered";
        case Outcome::silent:
            return "silent";
        case Outcome::in_use:
            return "in use";
        case Outcome::failed:
            return "failed";
        case Outcome::stopped:
            return "stopped";
    }
    return "failed";
}

std::vector<PortProbe> probe_ports(const std::vector<std::string>& ports,
                                   std::chrono::milliseconds timeout, ProbeStop stop) {
    // The same port twice would find it held by its own other probe.
    std::vector<std::string> distinct;
    for (const std::string& port : ports) {
        if (std::find(distinct.begin(), distinct.end(), port) == distinct.end()) {
            distinct.push_back(port);
        }
    }
    const std::size_t n = distinct.size();
    std::vector<PortProbe> results(n);
    if (timeout < std::chrono::milliseconds::zero()) timeout = std::chrono::milliseconds::zero();

    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        std::size_t running = 0;
        std::atomic<bool> stop{false};
    } shared;
    std::vector<std::thread> threads;
    threads.reserve(n);
    std::vector<std::size_t> not_started;
    not_started.reserve(n);

    const Clock::time_point deadline = Clock::now() + timeout;
    {
        // The probes' threads inherit a full mask: the process's signals stay with its own
        // threads (Python runs its handlers on the main one).
        const platform::SignalsBlocked blocked;
        for (std::size_t i = 0; i < n; ++i) {
            {
                const std::lock_guard<std::mutex> hold(shared.mutex);
                ++shared.running;
            }
            try {
                threads.emplace_back([&, i] {
                    try {
                        results[i] = probe(distinct[i], deadline, shared.stop);
                    } catch (...) {  // std::bad_alloc
                        results[i].outcome = Outcome::failed;
                    }
                    const std::lock_guard<std::mutex> hold(shared.mutex);
                    --shared.running;
                    shared.done.notify_all();
                });
            } catch (const std::system_error&) {
                const std::lock_guard<std::mutex> hold(shared.mutex);
                --shared.running;
                not_started.push_back(i);
            }
        }
    }
    {
        std::unique_lock<std::mutex> lock(shared.mutex);
        while (shared.running > 0) {
            shared.done.wait_for(lock, std::chrono::milliseconds(20));
            if (stop.stop != nullptr && shared.running > 0 && !shared.stop.load()) {
                lock.unlock();
                const bool asked = stop.stop(stop.context);
                lock.lock();
                if (asked) shared.stop.store(true);
            }
        }
    }
    for (std::thread& thread : threads) thread.join();
    for (const std::size_t i : not_started) {
        results[i] = probe(distinct[i], Clock::now() + timeout, shared.stop);
    }
    for (std::size_t i = 0; i < n; ++i) results[i].port = distinct[i];
    return results;
}

std::vector<FoundDevice> find_devices(const std::vector<std::string>& ports,
                                      std::chrono::milliseconds timeout) {
    std::vector<FoundDevice> found;
    for (PortProbe& probe : probe_ports(ports, timeout)) {
        if (probe.outcome == Outcome::answered) found.push_back(std::move(probe.device));
    }
    return found;
}

std::vector<std::string> candidate_ports() {
    std::vector<std::string> ports;
    for (IO::PortInfo& info : IO::list_ports()) {
        if (!info.console) ports.push_back(std::move(info.device));
    }
    return ports;
}

}  // namespace Zelkor::HardwareAPI::Devices
