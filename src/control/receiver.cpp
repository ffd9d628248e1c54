#include <ZelkorHardwareAPI/control/receiver.h>

#include <stdexcept>

namespace Zelkor::HardwareAPI::Control {

void Receiver::start() {
    if (running()) throw std::logic_error("the handle is already receiving");
    if (thread_.joinable()) thread_.join();  // a loop that ended by itself
    stop_requested_.store(false);
    error_ = nullptr;
    running_.store(true, std::memory_order_release);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        running_.store(false);
        throw;
    }
}

std::exception_ptr Receiver::stop() noexcept {
    request_stop();
    if (thread_.joinable()) thread_.join();
    std::exception_ptr error = error_;
    error_ = nullptr;
    return error;
}

void Receiver::run() noexcept {
    thread_id_.store(std::this_thread::get_id());
    IO::SerialStream& stream = handle_.get_stream();
    while (!stopping()) {
        if (!stream.is_open()) break;
        // Wait without the lock, so writers are never held up by a quiet line.
        if (!stream.wait_for_input(poll_ms)) continue;
        std::lock_guard<std::recursive_mutex> hold(lock_);
        if (stopping()) break;
        try {
            (void)handle_.Receive(nullptr);
        } catch (...) {
            error_ = std::current_exception();
            break;
        }
    }
    running_.store(false, std::memory_order_release);
}

}  // namespace Zelkor::HardwareAPI::Control
