// Background reception for Python's Handle objects: every Handle the binding makes carries a
// Reception, which owns the thread that takes its messages while it runs.
#pragma once

#include <ZelkorHardwareAPI/control/receiver.h>
#include <ZelkorHardwareAPI/control/recorder.h>
#include <ZelkorHardwareAPI/devices/handle.h>
#include <pybind11/pybind11.h>

#include <chrono>
#include <memory>

#include "python/port_call.h"

namespace Zelkor::HardwareAPI::Python {

/// The background reception of one handle.
///
/// While its thread runs it holds a strong reference to the handle's Python object, so the
/// object cannot die under a callback; the thread lets go of it as its last act (a Python
/// object freed then is destroyed on that thread, which then ends by itself). Every method
/// is called with the interpreter lock held and lets go of it while it waits for the thread.
class Reception {
  public:
    Reception();
    Reception(const Reception&) = delete;
    Reception& operator=(const Reception&) = delete;
    virtual ~Reception();

    /// Starts the thread for `handle`, whose Python object is `self`. RuntimeError when it
    /// already receives, another handle receives on the stream, a servo drives the stream, a
    /// signal handler calls it while a call on the stream waits, or the interpreter is
    /// exiting. A call of another thread on the stream is waited for.
    void start(Devices::Handle& handle, pybind11::handle self);
    /// Stops and joins the thread and raises the exception that ended it, if a callback
    /// raised one. From a callback (on the receiving thread itself) it only asks the thread
    /// to end after that callback.
    void stop();
    /// True while the thread runs.
    bool receiving() const noexcept { return receiver_ && receiver_->running(); }
    /// True when this reception is the stream's registered reader (see
    /// IO::StreamUse::receiver).
    bool reads(const IO::StreamUse& use) const noexcept {
        return receiver_ && use.receiver() == receiver_.get();
    }

    /// Stops every reception still running and refuses new ones: the module runs this at
    /// interpreter exit, while the threads can still take the interpreter lock for their
    /// callbacks.
    static void stop_all() noexcept;
    /// In a forked child (with the interpreter lock): lets go of the references the parent's
    /// threads held, since those threads do not exist here.
    static void after_fork_in_child() noexcept;

    /// Keeps the latest `messages` status messages from now on, in a ring made now (0: none).
    /// Not while receiving in the background (RuntimeError).
    void record(std::size_t messages);
    /// The status messages recorded, as a zh.Recording.
    pybind11::object recording() const;
    /// Records one status message (from the handle's callback, on whichever thread takes it):
    /// no allocation, no lock.
    void record_status(std::uint16_t device_id, const float* quaternion, std::uint8_t error_flag,
                       std::uint8_t sensor, std::uint8_t user_data_length) noexcept;

  private:
    std::shared_ptr<Control::RowRing> recording_;
    std::chrono::steady_clock::time_point recording_since_{};
    std::unique_ptr<Control::Receiver> receiver_;
    PyStream* stream_ = nullptr;
    PyObject* self_ = nullptr;  // the strong reference of the running thread; under the GIL
};

/// A Handle that Python makes as exactly Handle: the library's Handle, able to receive in the
/// background.
class PlainHandle : public Devices::Handle, public Reception {
  public:
    explicit PlainHandle(IO::SerialStream* stream) : Devices::Handle(stream) {
        // Its record callbacks are Handle's empty ones: Python cannot reach them.
        records_wanted = false;
    }
    using Devices::Handle::OnReceiveHandleStatusMessage;
    void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                      std::uint8_t error_flag, std::uint8_t sensor,
                                      std::uint8_t user_data_length, const std::uint8_t*) override {
        record_status(device_id, quaternion, error_flag, sensor, user_data_length);
    }
};

/// The Reception of a handle the binding made.
inline Reception& reception_of(Devices::Handle& handle) {
    return dynamic_cast<Reception&>(handle);
}

}  // namespace Zelkor::HardwareAPI::Python
