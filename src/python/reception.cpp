#include "python/reception.h"

#include <pybind11/gil_safe_call_once.h>
#include <pybind11/numpy.h>

#include <condition_variable>
#include <stdexcept>

#include "python/bindings.h"
#include "python/lifecycle.h"
#include "python/notify.h"

namespace py = pybind11;

namespace Zelkor::HardwareAPI::Python {

namespace {

Registry<Reception>& receptions() {
    static auto* registry = new Registry<Reception>;  // never destroyed: threads may outlive exit
    return *registry;
}

// The reception threads that have not yet let go of their handle's object: at interpreter
// exit every one of them must be done with the interpreter before it shuts down.
std::mutex live_mutex;
std::condition_variable live_changed;
int live_threads = 0;

void thread_began() {
    std::lock_guard<std::mutex> hold(live_mutex);
    ++live_threads;
}

void thread_done() noexcept {
    std::lock_guard<std::mutex> hold(live_mutex);
    if (--live_threads == 0) live_changed.notify_all();
}

}  // namespace

Reception::Reception() {
    receptions().add(this);
}

Reception::~Reception() {
    // Never while the thread runs with its reference, but on that thread itself, as its last
    // act: the Receiver then lets the thread end by itself.
    receiver_.reset();
    receptions().remove(this);
}

void Reception::start(Devices::Handle& handle, py::handle self) {
    if (receiving()) throw std::runtime_error("the handle is already receiving");
    PyStream& stream = stream_of(handle);
    // The receiver registers with the stream under this hold (see Control::Receiver::start):
    // a servo's drive and a signal handler's reentrant call are refused here, another
    // thread's call is waited for, and no other reception starts meanwhile.
    const StreamHold hold(stream);
    if (stream.received()) {
        throw std::runtime_error(
            "another handle receives on this stream in the background; call its "
            "stop_receiving() first");
    }
    if (!receiver_) receiver_ = std::make_unique<Control::Receiver>(handle);
    stream_ = &stream;
    self_ = self.inc_ref().ptr();
    // The thread's last act, with the interpreter lock: it lets go of the object (which may
    // destroy it, and this with it) and touches nothing of this afterwards.
    auto last = [this] {
        {
            const GilHeld gil;
            if (!receiver_->stopping()) {
                log(LogLevel::warning,
                    "the handle's reception on " + stream_->port_name() + " ended by itself: " +
                        (stream_->is_open() ? "its callback raised (stop() raises it again)"
                                            : "the port closed"));
            }
            PyObject* object = self_;
            self_ = nullptr;
            Py_XDECREF(object);
        }
        thread_done();
    };
    // Nothing is thrown while the interpreter lock is let go: what failed is raised once it is
    // back.
    bool refused = false;
    std::exception_ptr failure;
    {
        GilReleased unlocked;
        std::lock_guard<std::mutex> hold(receptions().mutex);
        if (exiting.load()) {
            refused = true;
        } else {
            thread_began();
            try {
                receiver_->start(last);
            } catch (...) {
                thread_done();
                failure = std::current_exception();
            }
        }
    }
    if (refused || failure) {
        Py_XDECREF(self_);
        self_ = nullptr;
        if (failure) std::rethrow_exception(failure);
        throw exiting_error("a handle's reception");
    }
}

void Reception::stop() {
    if (!receiver_) return;
    if (receiver_->on_receiving_thread()) {
        receiver_->request_stop();
        return;
    }
    std::exception_ptr error;
    {
        // The thread may be waiting for the interpreter lock, for a callback or to let go of
        // the object.
        GilReleased unlocked;
        error = receiver_->stop();
    }
    if (error) std::rethrow_exception(error);
}

void Reception::record(std::size_t messages) {
    if (receiving()) throw std::runtime_error("record() while the handle receives: stop it first");
    std::shared_ptr<Control::RowRing> ring;
    if (messages > 0) ring = std::make_shared<Control::RowRing>(9, messages);
    recording_since_ = std::chrono::steady_clock::now();
    std::atomic_store(&recording_, std::move(ring));
}

void Reception::record_status(std::uint16_t device_id, const float* quaternion,
                              std::uint8_t error_flag, std::uint8_t sensor,
                              std::uint8_t user_data_length) noexcept {
    Control::RowRing* const ring = recording_.get();  // replaced only while not receiving
    if (ring == nullptr) return;
    ring->set(
        0,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - recording_since_).count());
    ring->set(1, device_id);
    for (std::size_t i = 0; i < 4; ++i) ring->set(2 + i, quaternion[i]);
    ring->set(6, error_flag);
    ring->set(7, sensor);
    ring->set(8, user_data_length);
    ring->append();
}

py::object Reception::recording() const {
    const std::shared_ptr<Control::RowRing> ring = std::atomic_load(&recording_);
    const std::size_t capacity = ring ? ring->capacity() : 0;
    py::array_t<double> rows({capacity, std::size_t{9}});
    std::size_t n = 0;
    std::uint64_t first = 0;
    if (ring) {
        double* out = rows.mutable_data();
        GilReleased unlocked;
        n = ring->copy(out, first);
    }
    py::object sliced = rows[py::slice(0, static_cast<py::ssize_t>(n), 1)];
    return recording_class().attr("from_handle_rows")(sliced, first);
}

py::object recording_class() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> once;
    return once
        .call_once_and_store_result(
            [] { return py::module_::import("zelkor.recording").attr("Recording"); })
        .get_stored();
}

void Reception::stop_all() noexcept {
    GilReleased unlocked;
    {
        std::lock_guard<std::mutex> hold(receptions().mutex);
        begin_exit();
        for (Reception* r : receptions().items) {
            if (r->receiver_) r->receiver_->request_stop();
        }
    }
    // Threads end once their callback returns (they need the interpreter lock for it, which
    // this thread has let go) and they have let go of their objects. Joining is left to the
    // objects' destructors: a thread may destroy its own object on the way out.
    std::unique_lock<std::mutex> hold(live_mutex);
    live_changed.wait(hold, [] { return live_threads == 0; });
}

void Reception::after_fork_in_child() noexcept {
    {
        // The parent's threads are gone, and with them whoever held these locks.
        new (&live_mutex) std::mutex();
        new (&live_changed) std::condition_variable();
        live_threads = 0;
    }
    std::vector<PyObject*> orphans;
    {
        std::lock_guard<std::mutex> hold(receptions().mutex);
        for (Reception* r : receptions().items) {
            if (r->self_ != nullptr && r->receiver_ && r->receiver_->forked()) {
                orphans.push_back(r->self_);
                r->self_ = nullptr;
            }
        }
    }
    for (PyObject* object : orphans) Py_DECREF(object);
}

}  // namespace Zelkor::HardwareAPI::Python
