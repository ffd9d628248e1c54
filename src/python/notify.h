// The module's messages: Python's logging, under the logger "ZelkorHardwareAPI", and a thread
// that carries what the servos' loops report (they never take the interpreter lock) to it.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace Zelkor::HardwareAPI::Python {

enum class LogLevel { debug = 10, info = 20, warning = 30 };

/// Logs `text` through logging.getLogger("ZelkorHardwareAPI"), with the interpreter lock.
/// Never raises: a logging that fails is reported as unraisable.
void log(LogLevel level, const std::string& text) noexcept;

/// One notice for Python, handed over without the interpreter lock and without allocating.
struct Notice {
    LogLevel level = LogLevel::warning;
    char text[192] = {};
    /// Called with `argument` after the notice is logged; the notice owns this reference
    /// (may be null).
    PyObject* callback = nullptr;
    char argument[32] = {};
    /// More on the argument (what failed): the callback gets a str of `argument` whose
    /// `error` attribute is this (None when empty).
    char detail[160] = {};
};

/// Makes sure the thread that delivers notices runs (with the interpreter lock; a forked
/// child starts its own). RuntimeError when no thread could be started.
void start_notices();
/// Hands `notice` to the delivering thread. Any thread, no lock of Python's, no allocation.
/// A notice that finds the queue full is dropped and counted (the count is logged with the
/// next notice delivered), unless it has a callback: that one takes the place of the newest
/// notice without one. Only with the whole queue holding callbacks is it dropped, and its
/// callback reference leaks.
void post_notice(const Notice& notice) noexcept;
/// At interpreter exit, with the interpreter lock: delivers what is pending and ends the
/// thread.
void stop_notices() noexcept;

}  // namespace Zelkor::HardwareAPI::Python
