// What the module's background threads share: whether the interpreter is exiting, and the
// registries through which its exit and a fork reach every servo and reception.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/threads.h"
#include "python/gil.h"

namespace Zelkor::HardwareAPI::Python {

/// Marks the interpreter as exiting (see GilReleased), then waits for the threads already on
/// their way back into the interpreter. The calling thread (the main one) must have let go of
/// the interpreter lock.
inline void begin_exit() noexcept {
    exiting.store(true);
    while (returning.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

/// The RuntimeError for a start at interpreter exit.
inline std::runtime_error exiting_error(const char* what) {
    return std::runtime_error(std::string(what) + " cannot start: the interpreter is exiting");
}

/// Every object of one kind the module has made and not yet destroyed. Its mutex is never held
/// while the interpreter lock is waited for; a forked child gets a fresh one.
template <class T>
class Registry {
  public:
    Registry() {
        fork_hook_.child = [](void* self) {
            new (&static_cast<Registry*>(self)->mutex) std::mutex();
        };
        fork_hook_.context = this;
        platform::add_fork_hook(fork_hook_);
    }
    void add(T* item) {
        std::lock_guard<std::mutex> hold(mutex);
        items.push_back(item);
    }
    void remove(T* item) noexcept {
        std::lock_guard<std::mutex> hold(mutex);
        items.erase(std::remove(items.begin(), items.end(), item), items.end());
    }

    std::mutex mutex;
    std::vector<T*> items;

  private:
    platform::ForkHook fork_hook_;
};

}  // namespace Zelkor::HardwareAPI::Python
