// The interpreter lock, let go around a wait and taken again safely, also by a daemon thread
// that comes back while the interpreter shuts down.
#pragma once

#include <pybind11/pybind11.h>

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

/// Lets go of the interpreter lock for the scope (the calling thread must hold it).
///
/// Taking it back on a thread other than the one that shuts the interpreter down would end
/// that thread by unwinding it (CPython before 3.14), which the C++ frames between here and
/// the interpreter do not survive; such a thread sleeps for good instead, as later versions
/// of CPython make it do. The destructor may still let the unwinding through when the shutdown
/// begins while it waits for the lock.
class GilReleased {
  public:
    GilReleased() noexcept : state_(PyEval_SaveThread()) {}
    ~GilReleased() noexcept(false) {
        if (interpreter_finalizing() && !main_thread()) platform::hang();
        PyEval_RestoreThread(state_);
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
