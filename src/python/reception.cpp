#include "python/reception.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace py = pybind11;

namespace Zelkor::HardwareAPI::Python {

namespace {
// The receptions whose threads run; touched only with the interpreter lock held.
std::vector<Reception*> started_receptions;
}  // namespace

Reception::~Reception() {
    (void)join();
}

void Reception::start(Devices::Handle& handle) {
    if (receiving()) throw std::runtime_error("the handle is already receiving");
    PyStream& stream = stream_of(handle);
    require_no_servo(stream);
    // Whatever ended a reception that stopped by itself goes with it now.
    (void)join();
    receiver_ = std::make_unique<Control::Receiver>(handle, stream.lock);
    stream_ = &stream;
    // Counted before the thread starts: from now on the other calls on this stream release
    // the interpreter lock and take the stream's lock.
    stream.receiving.fetch_add(1);
    started_receptions.push_back(this);
    try {
        receiver_->start();
    } catch (...) {
        (void)join();
        throw;
    }
}

std::exception_ptr Reception::join() noexcept {
    if (!receiver_) return nullptr;
    std::exception_ptr error;
    if (PyGILState_Check()) {
        // A callback on the receiving thread may be waiting for the interpreter lock.
        py::gil_scoped_release unlocked;
        error = receiver_->stop();
    } else {
        error = receiver_->stop();
    }
    receiver_.reset();
    stream_->receiving.fetch_sub(1);
    stream_ = nullptr;
    started_receptions.erase(
        std::remove(started_receptions.begin(), started_receptions.end(), this),
        started_receptions.end());
    return error;
}

void Reception::stop() {
    if (receiver_ && receiver_->on_receiving_thread()) {
        receiver_->request_stop();
        return;
    }
    if (std::exception_ptr error = join()) std::rethrow_exception(error);
}

void Reception::stop_all() noexcept {
    while (!started_receptions.empty()) (void)started_receptions.back()->join();
}

}  // namespace Zelkor::HardwareAPI::Python
