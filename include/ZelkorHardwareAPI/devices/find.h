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
        answered,  ///< a device answered, the same twice; `device` says which
        silent,    ///< woken, but nothing recognisable came within the time-out
        in_use,    ///< another program holds the port: it was left alone, nothing was sent
        failed,    ///< the port did not open or take the settings, or the wake-up did not go out
        stopped,   ///< the caller's stop check ended the wait first
        // Something talks on the line, but it is no device:
        not_quiet,         ///< bytes kept coming before the wake-up; nothing was sent
        echoed,            ///< the wake-up came back, and nothing else
        not_a_reply,       ///< what came after the wake-up starts no message a device sends
        wrong_length,      ///< an identity that ended early or ran on
        identity_changed,  ///< a second wake-up was answered with another identity
    };

    std::string port;
    Outcome outcome = Outcome::silent;
    FoundDevice device;   ///< when answered
    IO::PortError error;  ///< why, for in_use and failed
};

/// "answered", "silent", "in use", "failed" or "stopped"; for a line that talks but is no
/// device, why not, in words: "the line was not quiet before the probe", "it echoes what it
/// is sent", "the reply was not a message a device sends", "the reply was not the length a
/// device answers with", "a second probe gave a different identity".
ZELKOR_API const char* to_text(PortProbe::Outcome outcome) noexcept;

/// What probe_ports asks while it waits; `stop(context)` returning true ends every wait.
struct ProbeStop {
    bool (*stop)(void* context) = nullptr;
    void* context = nullptr;
};

/// Tries every port of `ports` at once, one thread each (threads start with every signal
/// blocked). Each opens its port for exclusive use, as SerialStream does; a port that another
/// program holds is left alone, never forced. On an open port it drops what has arrived and
/// waits for the line to stay quiet for 3 ms (a device speaks only when spoken to; a Handle
/// left awake leaves gaps between its status messages); a line that does not within 100 ms
/// is left alone (`not_quiet`). It then writes the one-byte wake-up that both devices know
/// (0x0A), never a force, and reads what answers: an Arbelon's identity, or a Handle's
/// information message with its status and error messages, whole, around it. Anything else
/// after the wake-up means no device: bytes that start no message, the wake-up coming back,
/// an identity that ends early (a pause of 100 ms within it) or runs on within 3 ms. A device
/// that answered is woken once more and must give the same identity (a Handle's count of tool
/// data remaining aside). Then the port is closed. A woken Handle goes on sending status
/// messages until its port is next opened and it is woken again.
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
