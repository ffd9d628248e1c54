// POSIX serial port: termios for the line, poll for the time-outs, flock for exclusive use.
//
// The descriptor stays non-blocking for its whole life: every wait is a poll with the time
// left until a deadline, so the Windows time-out rules (total and interval) hold exactly and
// a dead line can never keep a read sitting out its time-out.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "io/port.h"

namespace Zelkor::HardwareAPI::IO::port {

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

int fd_of(PortHandle handle) { return static_cast<int>(handle); }

// Milliseconds until `deadline`, rounded up so poll never wakes a hair too early; 0 once it
// has passed.
int millis_until(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<Millis>(left).count();
    return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

Clock::time_point deadline_after(std::uint64_t multiplier, std::uint64_t count,
                                 std::uint64_t constant) {
    return Clock::now() + Millis(multiplier * count + constant);
}

// Raw 8N1 at 115200: every byte value passes unaltered both ways. Reads never block in the
// driver (VMIN = VTIME = 0); the time-outs are poll's business.
void make_raw(termios& tio) {
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK | IMAXBEL);
#ifdef IUCLC
    tio.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
#ifdef IUTF8
    tio.c_iflag &= ~static_cast<tcflag_t>(IUTF8);
#endif
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
}

// tcsetattr succeeds when any of the changes took; read the settings back to see that the
// ones bytes depend on all did.
bool settings_hold(int fd, const termios& wanted) {
    termios got{};
    if (tcgetattr(fd, &got) != 0) return false;
    const tcflag_t cflags = CSIZE | PARENB | CSTOPB;
    return (got.c_cflag & cflags) == (wanted.c_cflag & cflags) &&
           (got.c_lflag & (ICANON | ECHO)) == 0 && (got.c_oflag & OPOST) == 0 &&
           cfgetispeed(&got) == B115200 && cfgetospeed(&got) == B115200;
}

}  // namespace

OpenCode open(const char* name, PortHandle& handle, const PortTimeouts&) {
    const std::string path = std::strchr(name, '/') ? std::string(name) : "/dev/" + std::string(name);

    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? OpenCode::not_found : OpenCode::open_failed;

    // Only character devices are ports: a mistyped name must not let the first write land
    // in somebody's file.
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        ::close(fd);
        return OpenCode::open_failed;
    }
    // flock holds between any two opens, root's included; TIOCEXCL additionally turns away
    // other programs that do not take the lock (except privileged ones), where the device
    // supports it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return OpenCode::open_failed;
    }
    (void)ioctl(fd, TIOCEXCL);
    handle = fd;

    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return OpenCode::get_state_failed;
    make_raw(tio);
    if (tcsetattr(fd, TCSANOW, &tio) != 0 || !settings_hold(fd, tio)) {
        return OpenCode::set_state_failed;
    }
    // The time-outs live in the caller's record and are applied by every read and write;
    // there is nothing separate to apply here, so -6 never occurs on POSIX.
    return OpenCode::ok;
}

bool apply_timeouts(PortHandle, const PortTimeouts&) { return true; }

long read(PortHandle handle, void* destination, std::uint32_t count, const PortTimeouts& t,
          bool after_write) {
    const int fd = fd_of(handle);
    auto* out = static_cast<unsigned char*>(destination);
    // Deadlines are set when the first wait begins: a read served at once never reads the
    // clock. The calls before that first wait do not block, so the total time-out still
    // counts from the call to within microseconds.
    const bool has_total = t.read_total_multiplier != 0 || t.read_total_constant != 0;
    Clock::time_point total_deadline{}, deadline{};
    bool timing = false;
    auto start_timing = [&] {
        if (timing) return;
        timing = true;
        total_deadline = has_total
                             ? deadline_after(t.read_total_multiplier, count, t.read_total_constant)
                             : Clock::time_point::max();
        deadline = total_deadline;
    };

    std::uint32_t got = 0;
    // A read that can be served at once should not cost a poll first; but right after a
    // request the reply has rarely arrived yet, and trying would only add a call.
    bool try_read = !after_write;
    short revents = 0;  // what the last poll reported; 0 before the first
    while (got < count) {
        if (try_read) {
            const ssize_t r = ::read(fd, out + got, count - got);
            if (r > 0) {
                got += static_cast<std::uint32_t>(r);
                if (got == count) break;
                start_timing();
                if (t.read_interval != 0) {
                    const auto interval_deadline = Clock::now() + Millis(t.read_interval);
                    deadline = interval_deadline < total_deadline ? interval_deadline : total_deadline;
                }
                // More may be on its way; wait for it rather than read empty-handed.
                try_read = false;
                continue;
            }
            if (r < 0 && errno == EINTR) continue;
            // With VMIN = 0 an idle tty reads 0 and a non-blocking one may say EAGAIN; only
            // after poll reported the line readable does nothing mean the line is gone: a
            // hung-up tty reports readable forever and reads 0 bytes. EIO is an unplugged
            // adapter or a closed pseudo-terminal master.
            const bool nothing_yet = r == 0 || errno == EAGAIN || errno == EWOULDBLOCK;
            if (!nothing_yet) break;
            if (revents & (POLLHUP | POLLERR)) break;
            if (r == 0 && (revents & POLLIN)) break;
        }
        start_timing();
        const int wait = millis_until(deadline);
        if (wait == 0) return got;
        pollfd pfd{fd, POLLIN, 0};
        const int p = ::poll(&pfd, 1, wait);
        if (p < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                try_read = false;
                continue;
            }
            break;
        }
        if (p == 0) {
            try_read = false;
            continue;
        }
        if (pfd.revents & POLLNVAL) break;
        revents = pfd.revents;
        try_read = true;
    }
    if (got == count) return got;
    return got > 0 ? static_cast<long>(got) : -1;
}

long write(PortHandle handle, const void* source, std::size_t count, const PortTimeouts& t) {
    const int fd = fd_of(handle);
    const auto* in = static_cast<const unsigned char*>(source);
    // Set when the driver first refuses bytes; a write it takes at once never reads the clock.
    Clock::time_point deadline{};
    bool timing = false;

    std::size_t done = 0;
    bool last_try = false;
    while (done < count) {
        const ssize_t r = ::write(fd, in + done, count - done);
        if (r > 0) {
            done += static_cast<std::size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
        if (last_try) break;
        if (!timing) {
            deadline = deadline_after(t.write_total_multiplier, count, t.write_total_constant);
            timing = true;
        }
        const int wait = millis_until(deadline);
        if (wait == 0) break;
        pollfd pfd{fd, POLLOUT, 0};
        const int p = ::poll(&pfd, 1, wait);
        if (p < 0 && errno != EINTR && errno != EAGAIN) break;
        if (p > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) last_try = true;
    }
    if (done == 0 && count > 0) return -1;
    return static_cast<long>(done);
}

void close(PortHandle handle) noexcept {
    const int fd = fd_of(handle);
    (void)ioctl(fd, TIOCNXCL);
    ::close(fd);  // also releases the flock
}

}  // namespace Zelkor::HardwareAPI::IO::port
