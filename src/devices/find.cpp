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

// A device speaks only when spoken to: a line that does not stay quiet this long before the
// wake-up is no device's, nor one whose identity goes on within this long. At 115200 baud it is
// some 35 bytes' time; a Handle left awake leaves gaps between its status messages.
constexpr std::uint32_t quiet_ms = 3;
// How long a line is given to fall quiet before the wake-up goes out.
constexpr auto settle_limit = std::chrono::milliseconds(100);
// A message's bytes come together; a USB adapter may hold them up to its latency timer (16 ms
// by default), so a gap this long within one means it ended early.
constexpr std::uint32_t message_gap_ms = 100;

bool stop_asked(void* flag) {
    return static_cast<const std::atomic<bool>*>(flag)->load(std::memory_order_relaxed);
}

// Who a reply says the device is: an Arbelon's identity whole, or a Handle's information but
// its first byte (how much tool data remains, which may change between two wake-ups).
struct Identity {
    FoundDevice::Kind kind = FoundDevice::Kind::arbelon;
    std::array<std::uint8_t, Protocol::device_info_payload_length> payload{};

    bool same_as(const Identity& other) const {
        const std::size_t from = kind == FoundDevice::Kind::handle ? 1 : 0;
        const std::size_t to = kind == FoundDevice::Kind::handle
                                   ? Protocol::handle_info_payload_length
                                   : Protocol::device_info_payload_length;
        return kind == other.kind && std::equal(payload.begin() + from, payload.begin() + to,
                                                other.payload.begin() + from);
    }
};

// One port's probe: quiet line, wake-up, identity, the same again.
class Prober {
  public:
    Prober(const std::string& port, Clock::time_point deadline, std::atomic<bool>& stop)
        : stream_(port.c_str()), deadline_(deadline), stop_(stop) {
        result_.port = port;
        result_.device.port = port;
    }

    PortProbe run() {
        if (stream_.open_result() != static_cast<std::int8_t>(IO::OpenCode::ok)) {
            result_.error = stream_.last_error();
            return end(result_.error.cause == IO::PortError::Cause::in_use ? Outcome::in_use
                                                                           : Outcome::failed);
        }
        stream_.set_wait_hook({stop_asked, &stop_, 10, deadline_});
        Identity first;
        Identity second;
        Outcome outcome = settle();
        if (outcome == Outcome::answered) outcome = ask(first);
        if (outcome == Outcome::answered) outcome = ask(second);
        if (outcome != Outcome::answered) return end(outcome);
        if (!first.same_as(second)) return end(Outcome::identity_changed);
        const FoundDevice::Kind kind = first.kind;
        const std::uint8_t* p = first.payload.data();
        if (kind == FoundDevice::Kind::arbelon) {
            found(kind, Protocol::decode_device_info(p));
        } else {
            found(kind, Protocol::decode_handle_info(p));
        }
        return end(Outcome::answered);
    }

  private:
    PortProbe end(Outcome outcome) {
        if (outcome == Outcome::failed && !result_.error) result_.error = stream_.last_error();
        result_.outcome = outcome;
        return result_;
    }

    template <typename Info>
    void found(FoundDevice::Kind kind, const Info& info) {
        result_.device = {result_.port,          kind,
                          info.device_id,        info.device_model_number,
                          info.hardware_version, info.firmware_version};
    }

    // Why a wait or a read ended with less than it wanted, when it was no time-out: the
    // caller's stop, the line hanging up (the port closed itself) or the system refusing the
    // read. Such a port reads nothing ever again, at once. `answered` otherwise.
    Outcome interrupted() const {
        if (stop_asked(&stop_)) return Outcome::stopped;
        const IO::PortError e = stream_.last_error();
        if (!stream_.is_open() || e.cause == IO::PortError::Cause::system) return Outcome::failed;
        return Outcome::answered;
    }

    // Whether a byte arrives within `ms` (or by the deadline, when sooner); false on a stop too.
    bool byte_within(std::uint32_t ms) { return stream_.wait_for_input(ms) && !stop_asked(&stop_); }

    // Reads `count` bytes of a message that has begun, the next one due within message_gap_ms of
    // the one before: `answered` when all came, `wrong_length` when the line fell quiet first,
    // `silent` when the deadline came first.
    Outcome read_rest(std::uint8_t* into, std::size_t count) {
        std::size_t got = 0;
        while (got < count) {
            if (!byte_within(message_gap_ms)) {
                if (const Outcome why = interrupted(); why != Outcome::answered) return why;
                return Clock::now() >= deadline_ ? Outcome::silent : Outcome::wrong_length;
            }
            const long waiting = stream_.bytes_waiting();
            const std::size_t want =
                std::min(count - got, static_cast<std::size_t>(std::max(waiting, 1L)));
            const std::streamsize n = stream_.read_bytes(reinterpret_cast<char*>(into + got),
                                                         static_cast<std::streamsize>(want));
            if (n <= 0) {
                if (const Outcome why = interrupted(); why != Outcome::answered) return why;
                continue;
            }
            got += static_cast<std::size_t>(n);
        }
        return Outcome::answered;
    }

    // One byte, waiting up to the stream's read time-out or the deadline; true when it came.
    bool read_byte(std::uint8_t& byte) {
        return stream_.read_bytes(reinterpret_cast<char*>(&byte), 1) == 1;
    }

    // The next byte, waiting until the deadline: `answered` when it came.
    Outcome next_byte(std::uint8_t& byte) {
        for (;;) {
            if (stop_asked(&stop_)) return Outcome::stopped;
            if (Clock::now() >= deadline_) return Outcome::silent;
            if (read_byte(byte)) return Outcome::answered;
            if (const Outcome why = interrupted(); why != Outcome::answered) return why;
        }
    }

    // Drops what has come, then waits for the line to stay quiet for quiet_ms: `answered` when
    // it did, `not_quiet` when it did not within settle_limit.
    Outcome settle() {
        const Clock::time_point limit = std::min(deadline_, Clock::now() + settle_limit);
        for (;;) {
            (void)stream_.discard_input();
            if (!byte_within(quiet_ms))
                return stop_asked(&stop_) ? Outcome::stopped : Outcome::answered;
            // Read one: on a line that hung up this is what tells.
            std::uint8_t byte = 0;
            if (!read_byte(byte)) {
                if (const Outcome why = interrupted(); why != Outcome::answered) return why;
            }
            if (Clock::now() >= limit) return Outcome::not_quiet;
        }
    }

    // Reads the rest of a Handle's status or error message, user data included, so that none
    // of its bytes is taken for a code.
    Outcome skip_handle_message(std::uint8_t code) {
        if (code == Code::handle_error) {
            return read_rest(payload_.data(), Protocol::handle_error_payload_length);
        }
        const Outcome header = read_rest(payload_.data(), Protocol::handle_status_header_length);
        if (header != Outcome::answered) return header;
        return read_rest(payload_.data(),
                         Protocol::decode_handle_status(payload_.data()).user_data_length);
    }

    // After an identity: an Arbelon's is all it says; a Handle may go on with its status and
    // error messages, each whole. `answered` when so for quiet_ms.
    Outcome ends_there(FoundDevice::Kind kind) {
        const Clock::time_point until = Clock::now() + std::chrono::milliseconds(quiet_ms);
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
            if (left.count() <= 0) return Outcome::answered;
            if (!byte_within(static_cast<std::uint32_t>(left.count()))) {
                return stop_asked(&stop_) ? Outcome::stopped : Outcome::answered;
            }
            std::uint8_t code = 0;
            if (!read_byte(code)) {
                if (const Outcome why = interrupted(); why != Outcome::answered) return why;
                continue;
            }
            const bool handle_talks = code == Code::handle_status || code == Code::handle_error;
            if (kind != FoundDevice::Kind::handle || !handle_talks) return Outcome::wrong_length;
            const Outcome skipped = skip_handle_message(code);
            if (skipped != Outcome::answered) return skipped;
        }
    }

    // Writes the wake-up and reads what answers it into `identity`: `answered` for an identity,
    // whole and alone.
    Outcome ask(Identity& identity) {
        const char wakeup = static_cast<char>(Code::wakeup);
        if (stream_.write_bytes(&wakeup, 1) != 1) {
            result_.error = stream_.last_error();
            return stop_asked(&stop_) ? Outcome::stopped : Outcome::failed;
        }
        // A Handle left awake may send a status or an error message before its information.
        bool handle_talked = false;
        for (bool first = true;; first = false) {
            std::uint8_t code = 0;
            const Outcome got = next_byte(code);
            if (got != Outcome::answered) return got;
            switch (code) {
                case Code::wakeup:  // the line gave back what it was sent
                    if (!first) return Outcome::not_a_reply;
                    if (byte_within(quiet_ms)) return Outcome::not_a_reply;
                    return stop_asked(&stop_) ? Outcome::stopped : Outcome::echoed;
                case Code::device_info:
                    if (handle_talked) return Outcome::not_a_reply;
                    return identity_of(FoundDevice::Kind::arbelon,
                                       Protocol::device_info_payload_length, identity);
                case Code::handle_info:
                    return identity_of(FoundDevice::Kind::handle,
                                       Protocol::handle_info_payload_length, identity);
                case Code::handle_status:
                case Code::handle_error: {
                    const Outcome skipped = skip_handle_message(code);
                    if (skipped != Outcome::answered) return skipped;
                    handle_talked = true;
                    break;
                }
                default:
                    return Outcome::not_a_reply;
            }
        }
    }

    Outcome identity_of(FoundDevice::Kind kind, std::size_t length, Identity& identity) {
        identity.kind = kind;
        const Outcome got = read_rest(identity.payload.data(), length);
        return got == Outcome::answered ? ends_there(kind) : got;
    }

    IO::SerialStream stream_;
    Clock::time_point deadline_;
    std::atomic<bool>& stop_;
    PortProbe result_;
    // Room for the longest message either device sends: a status with 255 bytes of user data.
    std::array<std::uint8_t, Protocol::handle_status_header_length + 255> payload_{};
};

PortProbe probe(const std::string& port, Clock::time_point deadline, std::atomic<bool>& stop) {
    return Prober(port, deadline, stop).run();
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
        case Outcome::not_quiet:
            return "the line was not quiet before the probe";
        case Outcome::echoed:
            return "it echoes what it is sent";
        case Outcome::not_a_reply:
            return "the reply was not a message a device sends";
        case Outcome::wrong_length:
            return "the reply was not the length a device answers with";
        case Outcome::identity_changed:
            return "a second probe gave a different identity";
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
