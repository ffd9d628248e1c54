// How the binding's calls reach a port: the Python side of a SerialStream, and the wrapper
// every device call that uses the port goes through.
#pragma once

#include <ZelkorHardwareAPI/devices/device.h>
#include <ZelkorHardwareAPI/io/serial_stream.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <mutex>
#include <type_traits>

namespace Zelkor::HardwareAPI::Control {
class Servo;
}

namespace Zelkor::HardwareAPI::Python {

/// A SerialStream made from Python (every one is), with what the binding keeps beside it.
class PyStream : public IO::SerialStream {
  public:
    PyStream(const char* port_name, bool release_gil);

    /// Device calls release the interpreter lock while they use the port.
    const bool release_gil;
    /// Serialises the devices' use of the stream between threads. Taken by every call that
    /// releases the interpreter lock (always after releasing it, so a callback that needs the
    /// interpreter never waits on a thread that waits for this lock) and by background
    /// reception. Recursive, so a callback may write through its own handle.
    std::recursive_mutex lock;
    /// The servo that drives an arm on this stream, while it is bound; null otherwise.
    std::atomic<const Control::Servo*> servo{nullptr};
    /// Background receptions running on the stream.
    std::atomic<int> receiving{0};
};

/// The PyStream a device made from Python talks through.
inline PyStream& stream_of(const Devices::Device& device) {
    return static_cast<PyStream&>(device.get_stream());
}

/// RuntimeError (a std::runtime_error; nothing of Python's is touched) when a running servo
/// drives an arm on `stream`: a call of ours would interleave its bytes with the servo's on
/// the wire.
void require_no_servo(const PyStream& stream);

namespace detail {
template <class IO>
decltype(auto) run_on_port(PyStream& stream, IO& io) {
    if (!stream.release_gil && stream.receiving.load(std::memory_order_acquire) == 0) {
        return io();
    }
    pybind11::gil_scoped_release unlocked;
    std::lock_guard<std::recursive_mutex> hold(stream.lock);
    // A servo may have taken the stream while this call waited for the lock (the check
    // touches nothing of Python's; its exception leaves once the lock is back).
    require_no_servo(stream);
    return io();
}
}  // namespace detail

/// Runs `io`, a device's use of its port, as the stream asks: with the interpreter lock held
/// by default; released, and under the stream's lock, when the stream was made with
/// release_gil or a thread receives on it in the background. Afterwards raises the exception
/// a signal handler raised while the call waited (see the stream's wait hook); the call has
/// then stopped waiting early.
template <class IO>
decltype(auto) port_call(const Devices::Device& device, IO&& io) {
    PyStream& stream = stream_of(device);
    require_no_servo(stream);
    if constexpr (std::is_void_v<decltype(io())>) {
        detail::run_on_port(stream, io);
        if (PyErr_Occurred()) throw pybind11::error_already_set();
    } else {
        auto result = detail::run_on_port(stream, io);
        if (PyErr_Occurred()) throw pybind11::error_already_set();
        return result;
    }
}

}  // namespace Zelkor::HardwareAPI::Python
