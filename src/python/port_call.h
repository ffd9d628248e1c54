// How the binding's calls reach a port: the Python side of a SerialStream, the hold on the
// stream that every call that uses the port takes, and the wrapper those calls go through.
#pragma once

#include <ZelkorHardwareAPI/devices/device.h>
#include <ZelkorHardwareAPI/io/serial_stream.h>
#include <pybind11/pybind11.h>

#include <optional>
#include <stdexcept>
#include <type_traits>

#include "python/gil.h"

namespace Zelkor::HardwareAPI::Python {

/// A SerialStream made from Python (every one is), with what the binding keeps beside it.
class PyStream : public IO::SerialStream {
  public:
    PyStream(const char* port_name, bool release_gil);

    /// Device calls release the interpreter lock while they use the port.
    const bool release_gil;

    /// True when a handle receives on the stream in the background (see
    /// IO::StreamUse::receiver): the calls of other threads then let go of the interpreter
    /// lock while they use the port, which the reader's callbacks need.
    bool received() const noexcept { return use().receiver() != nullptr; }
};

/// The PyStream a device made from Python talks through.
inline PyStream& stream_of(const Devices::Device& device) {
    return static_cast<PyStream&>(device.get_stream());
}

/// Throws the RuntimeError for an entry the stream refused: `entry` is driven (a Servo drives
/// it) or reentrant (a signal handler broke into a call on it).
[[noreturn]] void refuse_entry(const PyStream& stream, IO::StreamUse::Entry entry);

/// The OSError for a stream whose port is not open, naming the port: the cause of its open
/// failure, the hang-up, or EBADF for a port that opened and was closed since.
[[noreturn]] void raise_not_open(const PyStream& stream);

/// The calling thread's hold on a stream for one call (see IO::StreamUse), taken at
/// construction and let go at destruction. A stream held by another thread is waited for,
/// with the interpreter lock let go meanwhile; one that a Servo drives, or whose own call the
/// calling thread's signal handler broke into, raises RuntimeError (`when_driven`, when given,
/// is the text for a driven stream). Must be made with the interpreter lock held.
class StreamHold {
  public:
    explicit StreamHold(PyStream& stream, const char* when_driven = nullptr) : use_(stream.use()) {
        IO::StreamUse::Entry entry = use_.try_enter();
        if (entry == IO::StreamUse::Entry::busy) {
            GilReleased unlocked;
            entry = use_.enter();
        }
        if (entry != IO::StreamUse::Entry::taken && entry != IO::StreamUse::Entry::nested) {
            if (entry == IO::StreamUse::Entry::driven && when_driven != nullptr) {
                throw std::runtime_error(when_driven);
            }
            refuse_entry(stream, entry);
        }
    }
    ~StreamHold() {
        if (held_) use_.leave();
    }
    StreamHold(const StreamHold&) = delete;
    StreamHold& operator=(const StreamHold&) = delete;

    /// Forgets the hold without letting go (a Servo has taken it over).
    void handed_over() noexcept { held_ = false; }

  private:
    IO::StreamUse& use_;
    bool held_ = true;
};

/// Runs `io`, a device's use of its port, holding the stream (see StreamHold): with the
/// interpreter lock held by default; released when the stream was made with release_gil or a
/// thread receives on it in the background. Afterwards raises the exception a signal handler
/// raised while the call waited (see the stream's wait hook); the call has then stopped
/// waiting early.
template <class IO>
decltype(auto) port_call(const Devices::Device& device, IO&& io) {
    PyStream& stream = stream_of(device);
    const StreamHold hold(stream);
    // Read under the hold: no reception starts meanwhile.
    const bool unlock = stream.release_gil || stream.received();
    if constexpr (std::is_void_v<decltype(io())>) {
        if (unlock) {
            GilReleased unlocked;
            io();
        } else {
            io();
        }
        if (PyErr_Occurred()) throw pybind11::error_already_set();
    } else {
        std::optional<std::decay_t<decltype(io())>> result;
        if (unlock) {
            GilReleased unlocked;
            result.emplace(io());
        } else {
            result.emplace(io());
        }
        if (PyErr_Occurred()) throw pybind11::error_already_set();
        return std::decay_t<decltype(io())>(std::move(*result));
    }
}

}  // namespace Zelkor::HardwareAPI::Python
