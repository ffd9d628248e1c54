// Win32 serial port: CreateFileA on the COM device, the line through the DCB, the time-outs
// through COMMTIMEOUTS. Everything is synchronous: the driver itself ends each ReadFile and
// WriteFile by the time-out record, so no waiting happens here.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

#include "io/port.h"

namespace Zelkor::HardwareAPI::IO::port {

namespace {

// The DCB layout the port driver expects; the record's length field carries this value.
static_assert(sizeof(DCB) == 28, "DCB must be the 28-byte Win32 record");
static_assert(sizeof(PortHandle) == sizeof(HANDLE), "a HANDLE must fit a PortHandle");

HANDLE handle_of(PortHandle handle) { return reinterpret_cast<HANDLE>(handle); }

COMMTIMEOUTS comm_timeouts(const PortTimeouts& t) {
    COMMTIMEOUTS c{};
    c.ReadIntervalTimeout = t.read_interval;
    c.ReadTotalTimeoutMultiplier = t.read_total_multiplier;
    c.ReadTotalTimeoutConstant = t.read_total_constant;
    c.WriteTotalTimeoutMultiplier = t.write_total_multiplier;
    c.WriteTotalTimeoutConstant = t.write_total_constant;
    return c;
}

}  // namespace

OpenCode open(const char* name, PortHandle& handle, const PortTimeouts& timeouts) {
    // "\\.\" reaches the device namespace, where every COM port lives (COM10 and up have no
    // other name); the name follows unchanged, of any length.
    const std::string path = std::string("\\\\.\\") + name;

    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0 /* exclusive */,
                                 nullptr, OPEN_EXISTING, 0 /* synchronous */, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND ? OpenCode::not_found
                                                      : OpenCode::open_failed;
    }
    // The device namespace also reaches files ("\\.\C:\data.bin"); only character devices
    // are ports, so a mistyped name never lets the first write land in somebody's file.
    if (GetFileType(h) != FILE_TYPE_CHAR) {
        CloseHandle(h);
        return OpenCode::open_failed;
    }
    handle = reinterpret_cast<PortHandle>(h);

    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(h, &dcb)) return OpenCode::get_state_failed;
    // Only these four change: flow control, DTR/RTS handling and the special characters stay
    // as the port reports them.
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(h, &dcb)) return OpenCode::set_state_failed;

    if (!apply_timeouts(handle, timeouts)) return OpenCode::set_timeouts_failed;
    return OpenCode::ok;
}

bool apply_timeouts(PortHandle handle, const PortTimeouts& timeouts) {
    COMMTIMEOUTS c = comm_timeouts(timeouts);
    return SetCommTimeouts(handle_of(handle), &c) != 0;
}

// The time-outs were applied by apply_timeouts just before; the driver enforces them and
// does its own waiting, so whether a write came before makes no difference here.
long read(PortHandle handle, void* destination, std::uint32_t count, const PortTimeouts&,
          bool /*after_write*/) {
    DWORD received = 0;
    const BOOL ok = ReadFile(handle_of(handle), destination, count, &received, nullptr);
    // Bytes that reached the caller's buffer before a failure are reported like any short
    // read, so the count always says what the buffer holds.
    if (!ok && received == 0) return -1;
    return static_cast<long>(received);
}

long write(PortHandle handle, const void* source, std::size_t count, const PortTimeouts&) {
    // The count must come back as a (32-bit) long: a larger request is cut to what fits and
    // reported as the short write it then is.
    constexpr std::size_t max_chunk = 0x7fffffff;
    const DWORD chunk = static_cast<DWORD>(count > max_chunk ? max_chunk : count);
    DWORD written = 0;
    const BOOL ok = WriteFile(handle_of(handle), source, chunk, &written, nullptr);
    // A write ended by its time-out reports success (the driver's STATUS_TIMEOUT is a
    // success code) with fewer bytes written; report that count so the stream records the
    // failure instead of taking it for a complete write.
    if (!ok && written == 0) return -1;
    return static_cast<long>(written);
}

void close(PortHandle handle) noexcept { CloseHandle(handle_of(handle)); }

}  // namespace Zelkor::HardwareAPI::IO::port
