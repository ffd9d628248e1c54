// Background reception for Python's Handle objects: every Handle the binding makes carries a
// Reception, which owns the thread that takes its messages while it runs.
#pragma once

#include <ZelkorHardwareAPI/control/receiver.h>
#include <ZelkorHardwareAPI/devices/handle.h>
#include <pybind11/pybind11.h>

#include <memory>

#include "python/port_call.h"

namespace Zelkor::HardwareAPI::Python {

/// The background reception of one handle.
class Reception {
  public:
    Reception() = default;
    Reception(const Reception&) = delete;
    Reception& operator=(const Reception&) = delete;
    /// Stops the thread if it runs: a handle that is destroyed stops receiving.
    virtual ~Reception();

    /// Starts the thread for `handle` (the object this Reception belongs to). RuntimeError
    /// when it already receives, or a servo drives the stream.
    void start(Devices::Handle& handle);
    /// Stops and joins the thread, with the interpreter lock released meanwhile, and raises
    /// the exception that ended it, if a callback raised one. From a callback (on the
    /// receiving thread itself) it only asks the thread to end after that callback.
    void stop();
    /// True while the thread runs.
    bool receiving() const noexcept { return receiver_ && receiver_->running(); }
    /// True while a thread was started and not yet stopped (it may have ended by itself).
    bool started() const noexcept { return receiver_ != nullptr; }

    /// Stops every reception still running: the module runs this at interpreter exit, while
    /// the threads can still take the interpreter lock for their callbacks.
    static void stop_all() noexcept;

  private:
    std::exception_ptr join() noexcept;

    std::unique_ptr<Control::Receiver> receiver_;
    PyStream* stream_ = nullptr;
};

/// A Handle that Python makes as exactly Handle: the library's Handle, able to receive in the
/// background.
class PlainHandle : public Devices::Handle, public Reception {
  public:
    explicit PlainHandle(IO::SerialStream* stream) : Devices::Handle(stream) {
        // Its record callbacks are Handle's empty ones: Python cannot reach them.
        records_wanted = false;
    }
};

/// The Reception of a handle the binding made.
inline Reception& reception_of(Devices::Handle& handle) {
    return dynamic_cast<Reception&>(handle);
}

}  // namespace Zelkor::HardwareAPI::Python
