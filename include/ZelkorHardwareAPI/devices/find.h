// Finding the devices on a machine's serial ports: each candidate port is woken, and what
// answers says which device it is.
#pragma once

#include <ZelkorHardwareAPI/export.h>
#include <ZelkorHardwareAPI/io/port_error.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace Zelkor::HardwareAPI::Devices {

/// A device that answered the wake-up on a port.
struct FoundDevice {
    enum class Kind : std::uint8_t {
        arbelon,  ///< answered with its identity (0x0B)
        handle,   ///< answered with its information message (0xD0)
    };

    std::string port;  ///< the port's name, as it was given
    Kind kind = Kind::arbelon;
    std::uint16_t device_id = 0;
    std::uint8_t model = 0;  ///< the device model number
    std::uint8_t hardware_version = 0;
    std::uint8_t firmware_version = 0;
};

/// "Arbelon" or "Handle".
ZELKOR_API const char* to_text(FoundDevice::Kind kind) noexcept;

/// How trying one port ended.
struct PortProbe {
    enum class Outcome : std::uint8_t {
        answered,  ///< a device answered; `device` says which
        silent,    ///< woken, but nothing recognisable came within the time-out
        in_use,    ///< another program holds the port: it was left alone, nothing was sent
        failed,    ///< the port did not open or take the settings, or the wake-up did not go out
        stopped,   ///< the caller's stop check ended the wait first
    };

    std::string port;
    Outcome outcome = Outcome::silent;
    FoundDevice device;   ///< when answered
    IO::PortError error;  ///< why, for in_use and failed
};

/// "answered", "silent", "in use", "failed" or "stopped".
ZELKOR_API const char* to_text(PortProbe::Outcome outcome) noexcept;

/// What probe_ports asks while it waits; `stop(context)` returning true ends every wait.
struct ProbeStop {
    bool (*stop)(void* context) = nullptr;
    void* context = nullptr;
};

/// Tries every port of `ports` at once, one thread each (threads start with every signal
/// blocked). Each opens its port for exclusive use, as SerialStream does; a port that another
/// program holds is left alone, never forced. On an open port it drops what has arrived,
/// writes the one-byte wake-up that both devices know (0x0A) and nothing else, never a force,
/// and reads until an Arbelon's identity or a Handle's information message arrives, skipping
/// a Handle's status and error messages and any byte that starts no message; then it closes
/// the port. A woken Handle goes on sending status messages until its port is next opened and
/// it is woken again.
///
/// Each port is given `timeout` from the call, so the call returns after about `timeout` (plus
/// the time a driver takes to open and close its port) at the latest, with one probe per
/// distinct port in the order given (a port named twice is tried once). `stop`, when set, is
/// called on the calling thread every 20 ms or so until the probes end; once it returns true
/// the waits end within a few milliseconds, and the ports not yet answered read `stopped`.
/// Throws std::bad_alloc only; a thread that cannot be started makes its port be tried on the
/// calling thread afterwards.
ZELKOR_API std::vector<PortProbe> probe_ports(const std::vector<std::string>& ports,
                                              std::chrono::milliseconds timeout,
                                              ProbeStop stop = {});

/// The devices that answered on `ports` (see probe_ports), in the order of `ports`.
ZELKOR_API std::vector<FoundDevice> find_devices(const std::vector<std::string>& ports,
                                                 std::chrono::milliseconds timeout);

/// The ports find_devices tries when it is given none: every port of IO::list_ports() but the
/// system console's.
ZELKOR_API std::vector<std::string> candidate_ports();

}  // namespace Zelkor::HardwareAPI::Devices
