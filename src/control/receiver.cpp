#include <ZelkorHardwareAPI/control/receiver.h>

#include <stdexcept>

#include "control/background_thread.h"

namespace Zelkor::HardwareAPI::Control {

namespace {
bool stop_asked(void* thread) {
    return static_cast<const BackgroundThread*>(thread)->stop_requested();
}
}  // namespace

Receiver::Receiver(Devices::Handle& handle)
    : handle_(handle), thread_(std::make_unique<BackgroundThread>()) {}

Receiver::Receiver(Devices::Handle& handle, std::recursive_mutex& lock) : Receiver(handle) {
    lock_ = &lock;
}

Receiver::~Receiver() {
    // The BackgroundThread's destructor stops the thread, or leaves it to end by itself when
    // this runs on it.
    if (!thread_->on_thread()) (void)stop();
}

void Receiver::start(std::function<void()> last) {
    if (thread_->on_thread())
        throw std::logic_error("the handle's reception cannot restart itself");
    if (running()) throw std::logic_error("the handle is already receiving");
    // Registered under the stream's hold, so that no servo's drive and no other receiver's
    // start comes in between.
    IO::StreamUse& use = handle_.get_stream().use();
    const IO::StreamUse::Entry entry = use.enter();
    if (entry == IO::StreamUse::Entry::driven) {
        throw std::logic_error("a servo drives the handle's stream");
    }
    if (entry != IO::StreamUse::Entry::taken && entry != IO::StreamUse::Entry::nested) {
        throw std::logic_error("reentrant call on the handle's stream");
    }
    struct Leave {
        IO::StreamUse& use;
        ~Leave() { use.leave(); }
    } leave{use};
    if (!use.begin_receiving(this)) {
        throw std::logic_error(use.receiver() == this
                                   ? "the handle is already receiving"
                                   : "another receiver reads the handle's stream");
    }
    {
        // What ended a loop that ended by itself goes with the new start.
        std::lock_guard<std::mutex> hold(error_mutex_);
        error_ = nullptr;
    }
    try {
        thread_->start([this] { run(); }, std::move(last));
    } catch (...) {
        use.end_receiving(this);
        throw;
    }
}

std::exception_ptr Receiver::stop() noexcept {
    if (thread_->on_thread()) {
        thread_->request_stop();
        return nullptr;
    }
    thread_->stop();
    std::lock_guard<std::mutex> hold(error_mutex_);
    std::exception_ptr error = error_;
    error_ = nullptr;
    return error;
}

void Receiver::request_stop() noexcept {
    thread_->request_stop();
}

bool Receiver::running() const noexcept {
    return thread_->running();
}

bool Receiver::on_receiving_thread() const noexcept {
    return thread_->on_thread() && running();
}

bool Receiver::stopping() const noexcept {
    return thread_->stop_requested();
}

bool Receiver::forked() const noexcept {
    return thread_->forked();
}

void Receiver::run() noexcept {
    IO::SerialStream& stream = handle_.get_stream();
    IO::StreamUse& use = stream.use();
    while (!stopping()) {
        if (!stream.is_open()) break;
        // Wait without holding the stream, so writers are never held up by a quiet line.
        if (!stream.wait_for_input(poll_ms)) continue;
        // Never driven nor suspended while this is registered: anything but an entry means it
        // was asked to stop while it waited.
        const IO::StreamUse::Entry entry = use.enter(stop_asked, thread_.get());
        if (entry != IO::StreamUse::Entry::taken && entry != IO::StreamUse::Entry::nested) break;
        std::unique_lock<std::recursive_mutex> held;
        if (lock_ != nullptr) held = std::unique_lock<std::recursive_mutex>(*lock_);
        bool failed = false;
        if (!stopping()) {
            try {
                (void)handle_.Receive(nullptr);
            } catch (...) {
                std::lock_guard<std::mutex> hold(error_mutex_);
                error_ = std::current_exception();
                failed = true;
            }
        }
        if (held.owns_lock()) held.unlock();
        use.leave();
        if (failed) break;
    }
    use.end_receiving(this);
}

}  // namespace Zelkor::HardwareAPI::Control
