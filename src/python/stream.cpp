// Python class SerialStream: opening a port, its status and the cause of its failures, and the
// hook that lets Python's signal handlers run while a call waits for the port.
#include <ZelkorHardwareAPI/control/servo.h>
#include <ZelkorHardwareAPI/io/serial_stream.h>
#include <pybind11/pybind11.h>

#include <cerrno>
#include <memory>
#include <string>

#include "python/bindings.h"
#include "python/notify.h"
#include "python/port_call.h"
#include "python/port_name.h"

namespace py = pybind11;

namespace Zelkor::HardwareAPI::Python {

namespace {

using IO::SerialStream;

unsigned long main_thread_ident = 0;

// Consulted when a wait for the port was interrupted by a signal, or at the end of a time
// slice of it. On the main thread (the only one that runs Python's signal handlers) it runs
// them, so Ctrl-C ends a wait at once instead of after the port's time-out. No lock of the
// library is held here; the calling thread still holds the stream (see IO::StreamUse), which
// is marked suspended meanwhile, so a handler that uses the stream gets RuntimeError instead
// of breaking into the exchange. A handler that raises leaves its exception set and ends the
// wait, and every later wait of the same call ends at once, so the call returns promptly and
// raises it; otherwise the wait goes on. Other threads are left alone.
bool run_signal_handlers(void* context) {
    if (PyThread_get_thread_ident() != main_thread_ident) return false;
    IO::StreamUse& use = static_cast<PyStream*>(context)->use();
    use.suspend();
    bool stop;
    {
        const GilHeld gil;
        stop = PyErr_Occurred() != nullptr || PyErr_CheckSignals() != 0;
    }
    use.resume();
    return stop;
}

// How often a wait on the main thread gives the signal handlers a turn. A signal that
// arrives on the main thread interrupts the wait at once; this bounds the delay for one
// delivered to another thread.
constexpr std::uint32_t signal_check_ms = 20;

std::unique_ptr<PyStream> open_stream(const PortName& name, bool release_gil) {
    return std::make_unique<PyStream>(name.text.c_str(), release_gil);
}

PyStream& as_py(SerialStream& stream) {
    return static_cast<PyStream&>(stream);
}

// Runs `f` on the stream holding it, as a device call would (with the interpreter lock
// released for a release_gil stream), refusing while a servo or a background reception uses
// the stream: `what` would pull the port from under them.
template <class F>
decltype(auto) exclusively(SerialStream& stream, const char* what, F&& f) {
    PyStream& py_stream = as_py(stream);
    const StreamHold hold(py_stream);
    if (py_stream.received()) {
        throw std::runtime_error(std::string("SerialStream.") + what +
                                 "(): a handle receives on this stream in the background; "
                                 "call its stop_receiving() first");
    }
    if (!py_stream.release_gil) return f();
    GilReleased unlocked;
    return f();
}

// Reads what connect() writes. connect() runs holding the stream, so the holder itself (a
// signal handler of its call included) and a servo's drive rule a connect out; any other
// thread's call is waited for.
template <class F>
decltype(auto) reading(const SerialStream& stream, F&& f) {
    IO::StreamUse& use = stream.use();
    IO::StreamUse::Entry entry = use.try_enter();
    if (entry == IO::StreamUse::Entry::busy) {
        GilReleased unlocked;
        entry = use.enter();
    }
    if (entry != IO::StreamUse::Entry::taken && entry != IO::StreamUse::Entry::nested) return f();
    try {
        decltype(auto) result = f();
        use.leave();
        return result;
    } catch (...) {
        use.leave();
        throw;
    }
}

// "<port>: <what failed>", or "" when nothing has failed.
std::string describe_error(const SerialStream& stream) {
    const IO::PortError e = stream.last_error();
    if (!e) return "";
    return reading(stream, [&] { return stream.port_name(); }) + ": " + e.message();
}

// The OSError (of the subclass Python picks for errno `number`) for the stream's port.
[[noreturn]] void raise_os_error(const SerialStream& stream, int number, py::object message) {
    py::object error =
        py::reinterpret_borrow<py::object>(PyExc_OSError)(number, message, stream.port_name());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

// The OSError for a port that did not open.
[[noreturn]] void raise_open_error(const SerialStream& stream) {
    using Cause = IO::PortError::Cause;
    const IO::PortError e = stream.last_error();
    const int number = e ? e.error_number() : EIO;
    if (e.cause == Cause::in_use) {
        raise_os_error(stream, number, py::str("the port is in use by another program"));
    }
    if (e.cause == Cause::system && e.step == IO::PortError::Step::open) {
        raise_os_error(stream, number, py::module_::import("os").attr("strerror")(number));
    }
    raise_os_error(stream, number, py::str(e ? e.message() : std::string("open failed")));
}

}  // namespace

void raise_not_open(const PyStream& stream) {
    if (stream.open_result() != static_cast<std::int8_t>(IO::OpenCode::ok)) {
        raise_open_error(stream);
    }
    const IO::PortError e = stream.last_error();
    if (e.step == IO::PortError::Step::hang_up) {
        raise_os_error(stream, e.error_number(), py::str(e.message()));
    }
    raise_os_error(stream, EBADF, py::str("the port is not open"));
}

PyStream::PyStream(const char* port_name, bool release_gil_)
    : IO::SerialStream(port_name), release_gil(release_gil_) {
    set_wait_hook({run_signal_handlers, this, signal_check_ms});
}

bool GilReleased::main_thread() noexcept {
    return PyThread_get_thread_ident() == main_thread_ident;
}

void refuse_entry(const PyStream& stream, IO::StreamUse::Entry entry) {
    if (entry == IO::StreamUse::Entry::driven) {
        throw std::runtime_error(
            "a Servo is driving the arm on this stream; stop it before using the stream "
            "directly");
    }
    throw std::runtime_error("reentrant call on the stream of " + stream.port_name() +
                             ": a signal handler used it while a call on it was waiting");
}

void register_serial_stream(py::module_& m) {
    main_thread_ident =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();

    py::class_<SerialStream> cls(
        m, "SerialStream",
        "A serial port that the devices talk through: 115200 baud, 8 data bits, no parity, one "
        "stop bit, every byte passed unaltered, held for exclusive use.\n\n"
        "Making one never raises because of the port: a stream whose port could not be opened "
        "moves no bytes (devices on it return at once with zeros or -1), is_open is False and "
        "open_result and last_error say why. SerialStream.open() is the strict form that raises "
        "OSError instead. A read waits up to 8 ms per byte + 1000 ms, or 1000 ms after the last "
        "byte that came; a line that hangs up (an unplugged adapter) closes the port by itself.\n\n"
        "Devices keep their stream alive. close(), or leaving a with block, ends the use of the "
        "port; connect() reopens it or opens another. With release_gil=True every device call on "
        "the stream releases the interpreter lock while it uses the port, and calls from "
        "several threads take turns through a lock of the stream.");
    cls.def(py::init([](const PortName& port, bool release_gil) {
                auto stream = open_stream(port, release_gil);
                if (stream->open_result() != 1) log(LogLevel::warning, describe_error(*stream));
                return std::unique_ptr<SerialStream>(std::move(stream));
            }),
            py::arg("port_name"), py::kw_only(), py::arg("release_gil") = false,
            "Open port_name: a path, or on Linux a name looked up under /dev (\"ttyUSB0\"), "
            "on Windows a COM port (\"COM3\"); str, bytes, bytearray or a path-like object. "
            "A port that cannot be opened gives a stream that moves no bytes, with is_open "
            "False; nothing is raised for it. ValueError for a name with a NUL character "
            "inside, TypeError for a name of another type.");

    cls.def_static(
        "open",
        [](const PortName& port, bool release_gil) {
            auto stream = open_stream(port, release_gil);
            if (stream->open_result() != 1) {
                stream->close();
                raise_open_error(*stream);
            }
            return std::unique_ptr<SerialStream>(std::move(stream));
        },
        py::arg("port_name"), py::kw_only(), py::arg("release_gil") = false,
        "Open a port, raising OSError when it cannot be opened: FileNotFoundError for a port "
        "that does not exist, PermissionError when access is denied, OSError (errno EBUSY) "
        "when another program holds it. The error carries errno and the port name.\n\n"
        "port_name and release_gil are as for SerialStream(); the port is closed again before "
        "the error is raised. Returns the open stream.");

    cls.def(
        "connect",
        [](SerialStream& self, const PortName& port) {
            const int result = exclusively(
                self, "connect", [&] { return static_cast<int>(self.connect(port.text.c_str())); });
            if (result == 1) {
                log(LogLevel::info, "connected to " + self.port_name());
            } else {
                log(LogLevel::warning, describe_error(self));
            }
            return result;
        },
        py::arg("port_name"),
        "Close the current port and open port_name in its place. Returns the open code: 1 "
        "when the port opened, -1 when it does not exist, -2 when it could not be opened "
        "(held by another program, no permission, not a serial port), -3/-5/-6 when it "
        "opened but could not be configured.\n\n"
        "A failure is reported by the code (and last_error), not raised. RuntimeError while a "
        "Servo drives an arm on the stream or a handle receives on it in the background.");
    cls.def(
        "close", [](SerialStream& self) { exclusively(self, "close", [&] { self.close(); }); },
        "Close the port. Devices on the stream then return at once, as on a port that "
        "never opened. Calling it again does nothing.\n\n"
        "RuntimeError while a Servo drives an arm on the stream or a handle receives on it "
        "in the background.");

    cls.def_property_readonly(
        "port",
        [](const SerialStream& self) { return reading(self, [&] { return self.port_name(); }); },
        "The port name given when the stream was made or last connected.\n\n"
        "A str; kept after the port closes or fails, so connect(stream.port) reopens it.");
    cls.def_property_readonly("is_open", &SerialStream::is_open,
                              "True while the port is open: False when opening failed, after "
                              "close(), and after the line hung up (device unplugged).\n\n"
                              "See last_error for why it is not open.");
    cls.def_property_readonly(
        "open_result",
        [](const SerialStream& self) { return static_cast<int>(self.open_result()); },
        "The code of the latest open: 1 on success, negative when it failed (see connect).\n\n"
        "An int: -1 no such port, -2 not openable (held by another program, no permission, "
        "not a serial port), -3, -5 or -6 opened but not configurable.");
    cls.def_property_readonly(
        "last_error", &describe_error,
        "What failed last, naming the port and the step (open, configure, read, write, hang-up) "
        "and the cause, e.g. '/dev/ttyUSB0: read timed out'; '' when nothing has failed since "
        "the last successful open or transfer. A failed read stays until a read succeeds, a "
        "failed write until a write does.\n\n"
        "A str. A failed exchange of a device shows here (the device calls themselves raise "
        "nothing for a port that fails).");

    cls.def(
        "__enter__", [](py::object self) { return self; },
        "Return the stream itself: a with block closes it at its end.");
    cls.def(
        "__exit__",
        [](SerialStream& self, const py::args&) {
            exclusively(self, "close", [&] { self.close(); });
        },
        "Close the port (see close); exceptions of the block go on unchanged.");
    cls.def_property_readonly(
        "release_gil",
        [](const SerialStream& self) { return as_py(const_cast<SerialStream&>(self)).release_gil; },
        "True when device calls on this stream release the interpreter lock while they use "
        "the port (and are serialised by a lock of the stream).\n\n"
        "A bool, fixed when the stream is made (SerialStream(port, release_gil=True)).");
    cls.def("__repr__", [](const SerialStream& stream) {
        const std::string name = reading(stream, [&] { return stream.port_name(); });
        return "<ZelkorHardwareAPI.SerialStream port=" +
               py::repr(py::str(name)).cast<std::string>() +
               (stream.is_open() ? " open>" : " closed>");
    });
}

}  // namespace Zelkor::HardwareAPI::Python
