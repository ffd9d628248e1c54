#include "python/notify.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <new>

#include "control/background_thread.h"
#include "python/gil.h"

namespace py = pybind11;

namespace Zelkor::HardwareAPI::Python {

void log(LogLevel level, const std::string& text) noexcept {
    try {
        py::object logger = py::module_::import("logging").attr("getLogger")("ZelkorHardwareAPI");
        if (logger.attr("isEnabledFor")(static_cast<int>(level)).cast<bool>()) {
            logger.attr("log")(static_cast<int>(level), "%s", text);
        }
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("ZelkorHardwareAPI logging");
    } catch (...) {
    }
}

namespace {

// One per process, never destroyed: its thread may be stopped only at exit.
class Notices {
  public:
    Notices() {
        fork_hook_.child = [](void* self) {
            // The parent's thread, and whoever held the lock, are gone: a fresh lock and an
            // empty queue (the parent delivers its own notices).
            auto* notices = static_cast<Notices*>(self);
            new (&notices->mutex_) std::mutex();
            notices->count_ = 0;
            notices->dropped_ = 0;
        };
        fork_hook_.context = this;
        platform::add_fork_hook(fork_hook_);
    }

    void start() {
        if (thread_.running()) return;
        thread_.start([this] { run(); });
    }

    void post(const Notice& notice) noexcept {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (count_ == queue_.size()) {
                ++dropped_;
                // A notice with a callback (a servo's on_stop, once per run) takes the place
                // of the newest one that has none, so the callback is still called.
                if (notice.callback == nullptr) return;
                std::size_t k = count_;
                while (k > 0 && queue_[(first_ + k - 1) % queue_.size()].callback != nullptr) --k;
                if (k == 0) return;
                queue_[(first_ + k - 1) % queue_.size()] = notice;
                return;
            }
            queue_[(first_ + count_++) % queue_.size()] = notice;
        }
        thread_.wake();
    }

    void stop() noexcept {
        GilReleased unlocked;  // the thread needs the lock for what is pending
        thread_.stop();
    }

  private:
    void run() noexcept {
        // Asked to end, it still delivers what came before.
        for (bool more = true; more;) {
            more = thread_.sleep_until(platform::Clock::now() + std::chrono::hours(1));
            deliver();
        }
    }

    void deliver() noexcept {
        std::array<Notice, 16> batch;
        for (;;) {
            std::size_t n = 0;
            std::size_t dropped = 0;
            {
                std::lock_guard<std::mutex> hold(mutex_);
                while (n < batch.size() && count_ > 0) {
                    batch[n++] = queue_[first_];
                    first_ = (first_ + 1) % queue_.size();
                    --count_;
                }
                dropped = dropped_;
                dropped_ = 0;
            }
            if (n == 0 && dropped == 0) return;
            const GilHeld gil;
            if (dropped > 0) {
                log(LogLevel::warning,
                    std::to_string(dropped) + " notices were dropped: too many came at once");
            }
            for (std::size_t i = 0; i < n; ++i) {
                log(batch[i].level, batch[i].text);
                if (batch[i].callback == nullptr) continue;
                auto callback = py::reinterpret_steal<py::object>(batch[i].callback);
                try {
                    py::object detail = py::none();
                    if (batch[i].detail[0] != '\0') detail = py::str(batch[i].detail);
                    callback(py::module_::import("zelkor.laws")
                                 .attr("StopReason")(batch[i].argument, detail));
                } catch (py::error_already_set& e) {
                    e.discard_as_unraisable(callback);
                } catch (...) {
                }
            }
        }
    }

    platform::ForkHook fork_hook_;
    std::mutex mutex_;
    std::array<Notice, 64> queue_{};
    std::size_t first_ = 0;
    std::size_t count_ = 0;
    std::size_t dropped_ = 0;
    Control::BackgroundThread thread_;
};

Notices& notices() {
    static auto* instance = new Notices;
    return *instance;
}

}  // namespace

void start_notices() {
    try {
        notices().start();
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("cannot start the thread that logs for servos: ") +
                                 e.what());
    }
}

void post_notice(const Notice& notice) noexcept {
    notices().post(notice);
}

void stop_notices() noexcept {
    notices().stop();
}

}  // namespace Zelkor::HardwareAPI::Python
