// The interpreter lock, let go around a wait and taken again safely, also by a daemon thread
// that comes back while the interpreter shuts down.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>

#include "platform/threads.h"

namespace Zelkor::HardwareAPI::Python {

/// True once the interpreter has begun to shut down for good.
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

/// Set at interpreter exit, before the interpreter shuts down: from then on no servo or
/// reception starts, and no other thread takes the interpreter lock back through GilReleased.
inline std::atomic<bool> exiting{false};
/// Threads other than the main one on their way back into the interpreter through GilReleased.
inline std::atomic<int> returning{0};

/// Lets go of the interpreter lock for the scope (the calling thread must hold it).
///
/// A thread other than the main one that took the lock back while the interpreter shuts down
/// would be ended by unwinding (CPython before 3.14), which the C++ frames between here and
/// the interpreter do not survive. So once the module has seen the interpreter exit (exiting,
/// set by its exit handler, which first waits for every thread already on its way back), such
/// a thread sleeps for good instead, as later versions of CPython make it do. The library's own
/// threads (a callback of a reception that stops a servo, say) are stopped before that and
/// take the lock back as usual.
class GilReleased {
  public:
    GilReleased() noexcept : state_(PyEval_SaveThread()) {}
    ~GilReleased() noexcept(false) {
        // The library's own threads are all stopped before the interpreter shuts down.
        if (main_thread() || platform::on_library_thread()) {
            PyEval_RestoreThread(state_);
            return;
        }
        returning.fetch_add(1);
        if (exiting.load() || interpreter_finalizing()) {
            returning.fetch_sub(1);
            platform::hang();
        }
        PyEval_RestoreThread(state_);
        returning.fetch_sub(1);
    }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

    /// True on the interpreter's main thread (the one that runs its shutdown).
    static bool main_thread() noexcept;

  private:
    PyThreadState* state_;
};

/// Holds the interpreter lock for the scope, on any thread, whether or not it holds it
/// already (PyGILState_Ensure knows; nothing here guesses).
class GilHeld {
  public:
    GilHeld() noexcept : state_(PyGILState_Ensure()) {}
    ~GilHeld() { PyGILState_Release(state_); }
    GilHeld(const GilHeld&) = delete;
    GilHeld& operator=(const GilHeld&) = delete;

  private:
    PyGILState_STATE state_;
};

}  // namespace Zelkor::HardwareAPI::Python
