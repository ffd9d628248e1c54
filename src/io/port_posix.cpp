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
#include <time.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/serial.h>
#include <signal.h>
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "io/port.h"
#include "io/posix_calls.h"
#include "platform/timespec_posix.h"

namespace Zelkor::HardwareAPI::IO::port {

namespace posix {

namespace {
int open_path(const char* path, int flags) {
    return ::open(path, flags);
}
int ioctl_request(int fd, unsigned long request, void* argument) {
    return ::ioctl(fd, request, argument);
}
#if defined(__linux__)
// The data path's calls go straight to the kernel: the C library's wrappers make each one a
// thread-cancellation point, which costs more than the rest of the call's user-space side and
// buys nothing here (the library never cancels a thread). Same calls, same errno.
ssize_t read_fd(int fd, void* buffer, std::size_t count) {
    return ::syscall(SYS_read, fd, buffer, count);
}
ssize_t write_fd(int fd, const void* buffer, std::size_t count) {
    return ::syscall(SYS_write, fd, buffer, count);
}
#endif
int poll_until(pollfd* fds, nfds_t count, const timespec* timeout) {
#if defined(__linux__)
    // The kernel writes the time left back into the timeout: it gets a copy.
    timespec left{};
    if (timeout != nullptr) left = *timeout;
    return static_cast<int>(
        ::syscall(SYS_ppoll, fds, count, timeout != nullptr ? &left : nullptr, nullptr, _NSIG / 8));
#else
    // Rounded up to the millisecond where there is no ppoll.
    const int ms =
        timeout == nullptr
            ? -1
            : static_cast<int>(timeout->tv_sec * 1000 + (timeout->tv_nsec + 999999) / 1000000);
    return ::poll(fds, count, ms);
#endif
}
}  // namespace

const SystemCalls& real_calls() {
#if defined(__linux__)
    static const SystemCalls real{open_path,   ::close,     read_fd,  write_fd,
                                  poll_until,  ::fstat,     ::flock,  ioctl_request,
                                  ::tcgetattr, ::tcsetattr, ::tcflush};
#else
    static const SystemCalls real{open_path,   ::close,     ::read,   ::write,
                                  poll_until,  ::fstat,     ::flock,  ioctl_request,
                                  ::tcgetattr, ::tcsetattr, ::tcflush};
#endif
    return real;
}

SystemCalls calls = real_calls();

}  // namespace posix

namespace {

using posix::calls;

// The monotonic clock, read inline: std::chrono::steady_clock reads the same clock through a
// call into the standard library, which a read that waits pays for once per exchange.
struct Clock {
    using duration = std::chrono::steady_clock::duration;
    using time_point = std::chrono::steady_clock::time_point;
    static time_point now() noexcept {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return time_point(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
    }
};
using Millis = std::chrono::milliseconds;
using Step = PortError::Step;
using Cause = PortError::Cause;

int fd_of(PortHandle handle) {
    return static_cast<int>(handle);
}

// The time from `now` until `deadline`; zero once it has passed. Waits are to the nanosecond:
// a deadline between two milliseconds is kept, not rounded up to the next one.
Clock::duration left_from(Clock::time_point deadline, Clock::time_point now) {
    return deadline > now ? deadline - now : Clock::duration::zero();
}

Clock::duration left_until(Clock::time_point deadline) {
    return left_from(deadline, Clock::now());
}

Clock::time_point deadline_after(std::uint64_t multiplier, std::uint64_t count,
                                 std::uint64_t constant) {
    return Clock::now() + Millis(multiplier * count + constant);
}

// The errors of a line that is gone for good: an unplugged adapter, a pseudo-terminal whose
// other side closed.
bool line_gone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV;
}

// Waits up to `wait` for `events`, in slices of the hook's interval when it has one. The hook
// is asked only when a slice ended with time left or a signal interrupted the wait, never
// before the first poll: a reply that comes in time costs one poll. Returns poll's result (0
// also for a slice that ended), or -2 when the hook asked to stop.
int wait_for(int fd, short events, Clock::duration wait, const WaitHook& hook, pollfd& pfd) {
    const bool sliced = hook && wait > Millis(hook.interval_ms);
    if (sliced) wait = Millis(std::max<std::uint32_t>(hook.interval_ms, 1));
    pfd = pollfd{fd, events, 0};
    const timespec timeout = platform::timespec_of(wait);
    const int p = calls.poll(&pfd, 1, &timeout);
    if (hook && ((p < 0 && errno == EINTR) || (p == 0 && sliced))) {
        const int saved = errno;
        if (hook.stop(hook.context)) return -2;
        errno = saved;
    }
    return p;
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
    if (calls.tcgetattr(fd, &got) != 0) return false;
    const tcflag_t cflags = CSIZE | PARENB | CSTOPB;
    return (got.c_cflag & cflags) == (wanted.c_cflag & cflags) &&
           (got.c_lflag & (ICANON | ECHO)) == 0 && (got.c_oflag & OPOST) == 0 &&
           cfgetispeed(&got) == B115200 && cfgetospeed(&got) == B115200;
}

// Low latency. A USB serial adapter holds the bytes it receives for its latency timer before
// it hands them on (16 ms by default for some), which caps a request/reply loop near 60 Hz;
// the driver's low-latency flag brings that timer down to 1 ms. Asked for on every open, best
// effort: a port whose driver knows no such setting (a pseudo-terminal) opens as it did. The
// flag goes back as it was when the port closes.
std::mutex low_latency_mutex;
std::vector<int> low_latency_set;  // descriptors whose flag this library set

void request_low_latency(int fd) {
#if defined(__linux__)
    serial_struct serial{};
    if (calls.ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
    if (serial.flags & ASYNC_LOW_LATENCY) return;
    serial.flags |= ASYNC_LOW_LATENCY;
    if (calls.ioctl(fd, TIOCSSERIAL, &serial) != 0) return;
    std::lock_guard<std::mutex> hold(low_latency_mutex);
    low_latency_set.push_back(fd);
#else
    (void)fd;
#endif
}

void restore_latency(int fd) noexcept {
#if defined(__linux__)
    {
        std::lock_guard<std::mutex> hold(low_latency_mutex);
        const auto it = std::find(low_latency_set.begin(), low_latency_set.end(), fd);
        if (it == low_latency_set.end()) return;
        low_latency_set.erase(it);
    }
    serial_struct serial{};
    if (calls.ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
    serial.flags &= ~ASYNC_LOW_LATENCY;
    (void)calls.ioctl(fd, TIOCSSERIAL, &serial);
#else
    (void)fd;
#endif
}

// Closes a descriptor that turned out to be no usable port, keeping errno for the caller.
OpenCode refuse(int fd, PortError& error, Cause cause, int system_error) {
    calls.close(fd);
    error = {Step::open, cause, system_error};
    return OpenCode::open_failed;
}

}  // namespace

OpenCode open(const char* name, PortHandle& handle, const PortTimeouts&, PortError& error) {
    const std::string path =
        std::strchr(name, '/') ? std::string(name) : "/dev/" + std::string(name);

    const int fd = calls.open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        // A terminal put in exclusive mode (TIOCEXCL) by another program refuses with EBUSY.
        error = {Step::open, e == EBUSY ? Cause::in_use : Cause::system, e};
        return e == ENOENT ? OpenCode::not_found : OpenCode::open_failed;
    }

    // Only character devices are ports: a mistyped name must not let the first write land
    // in somebody's file.
    struct stat st {};
    if (calls.fstat(fd, &st) != 0) return refuse(fd, error, Cause::system, errno);
    if (!S_ISCHR(st.st_mode)) return refuse(fd, error, Cause::not_a_port, ENOTTY);
    // flock holds between any two opens, root's included; TIOCEXCL additionally turns away
    // other programs that do not take the lock (except privileged ones), where the device
    // supports it.
    if (calls.flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        return refuse(fd, error, e == EWOULDBLOCK ? Cause::in_use : Cause::system, e);
    }
    termios tio{};
    if (calls.tcgetattr(fd, &tio) != 0) {
        // A character device without line settings (/dev/null, /dev/urandom) is no serial
        // line: keeping it would hand random bytes to the devices as replies.
        const int e = errno;
        if (e == ENOTTY || e == EINVAL) return refuse(fd, error, Cause::not_a_port, e);
        (void)calls.ioctl(fd, TIOCEXCL, nullptr);
        handle = fd;
        error = {Step::configure, Cause::system, e};
        return OpenCode::get_state_failed;
    }
    (void)calls.ioctl(fd, TIOCEXCL, nullptr);
    handle = fd;

    make_raw(tio);
    if (calls.tcsetattr(fd, TCSANOW, &tio) != 0) {
        error = {Step::configure, Cause::system, errno};
        return OpenCode::set_state_failed;
    }
    if (!settings_hold(fd, tio)) {
        error = {Step::configure, Cause::system, 0};
        return OpenCode::set_state_failed;
    }
    request_low_latency(fd);
    // The time-outs live in the caller's record and are applied by every read and write;
    // there is nothing separate to apply here, so -6 never occurs on POSIX.
    return OpenCode::ok;
}

bool apply_timeouts(PortHandle, const PortTimeouts&, int&) {
    return true;
}

namespace {

// What read() passes on when it has not tried to read yet.
constexpr ssize_t not_tried = -2;

// Where a read that did not complete at once goes on from.
struct ReadStart {
    ssize_t first = not_tried;  ///< what the first attempt to read returned, or not_tried
    int first_error = 0;        ///< its errno
    short revents = 0;          ///< what a poll before it reported (0: none yet)
    Clock::time_point began{};  ///< when the first wait began (epoch: not yet)
};

// A read that did not complete at once: waits, and reads what comes, until the read is whole,
// a time-out ends it, the line goes away, or the hook stops it.
Outcome read_waiting(int fd, unsigned char* out, std::uint32_t count, const PortTimeouts& t,
                     const WaitHook& hook, ReadStart start) {
    ssize_t first = start.first;
    const int first_error = start.first_error;
    // Deadlines are set when the first wait begins: a read served at once never reads the
    // clock. The calls before that first wait do not block, so the total time-out still
    // counts from the call to within microseconds.
    const bool has_total = t.read_total_multiplier != 0 || t.read_total_constant != 0;
    Clock::time_point total_deadline{}, deadline{};
    bool timing = false;
    bool hook_deadline_first = false;  // the caller's deadline comes before the port's own
    auto start_timing = [&](Clock::time_point now) {
        timing = true;
        total_deadline = has_total ? now + Millis(std::uint64_t{t.read_total_multiplier} * count +
                                                  t.read_total_constant)
                                   : Clock::time_point::max();
        hook_deadline_first = hook.deadline < total_deadline;
        if (hook_deadline_first) total_deadline = hook.deadline;
        deadline = total_deadline;
    };

    if (start.began != Clock::time_point{}) start_timing(start.began);

    Outcome result;
    std::uint32_t got = 0;
    bool try_read = first != not_tried || start.revents != 0;
    bool last_look = false;         // the look that does not wait, once the time is up
    short revents = start.revents;  // what the last poll reported; 0 before the first
    while (got < count) {
        if (try_read) {
            ssize_t r;
            int e;
            if (first != not_tried) {
                r = first;
                e = first_error;
                first = not_tried;
            } else {
                r = calls.read(fd, out + got, count - got);
                e = r < 0 ? errno : 0;
            }
            if (r > 0) {
                got += static_cast<std::uint32_t>(r);
                if (got == count) break;
                const Clock::time_point now = Clock::now();
                if (!timing) start_timing(now);
                if (t.read_interval != 0) {
                    const auto interval_deadline = now + Millis(t.read_interval);
                    deadline =
                        interval_deadline < total_deadline ? interval_deadline : total_deadline;
                }
                // More may be on its way; wait for it rather than read empty-handed.
                try_read = false;
                continue;
            }
            if (e == EINTR) continue;
            // With VMIN = 0 an idle tty reads 0 and a non-blocking one may say EAGAIN; only
            // after poll reported the line readable does nothing mean the line is gone: a
            // hung-up tty reports readable forever and reads 0 bytes. EIO is an unplugged
            // adapter or a closed pseudo-terminal master.
            if (r < 0 && e != EAGAIN && e != EWOULDBLOCK) {
                result.ending = line_gone(e) ? Ending::hung_up : Ending::failed;
                result.system_error = e;
                break;
            }
            if ((revents & POLLHUP) || (r == 0 && (revents & POLLIN))) {
                result.ending = Ending::hung_up;
                result.system_error = EIO;
                break;
            }
            if (revents & POLLERR) {
                result.ending = Ending::failed;
                result.system_error = EIO;
                break;
            }
        }
        Clock::duration wait;
        if (!timing) {
            // The first wait: its length follows from the deadline just set, on one reading of
            // the clock.
            const Clock::time_point now = Clock::now();
            start_timing(now);
            wait = left_from(deadline, now);
        } else {
            wait = left_until(deadline);
        }
        if (wait == Clock::duration::zero()) {
            // A thread that ran late may find the time up with the bytes already there: one
            // last look that does not wait, then the time-out.
            if (!last_look) {
                last_look = true;
                wait = Clock::duration::zero();
            } else {
                result.ending = hook_deadline_first && deadline == total_deadline
                                    ? Ending::interrupted
                                    : Ending::timed_out;
                break;
            }
        }
        pollfd pfd{};
        const int p = wait_for(fd, POLLIN, wait, hook, pfd);
        if (p == -2) {
            result.ending = Ending::interrupted;
            break;
        }
        try_read = false;
        if (p < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            result.ending = Ending::failed;
            result.system_error = errno;
            break;
        }
        if (p == 0) continue;  // the deadline, or the hook's turn: both are checked above
        if (pfd.revents & POLLNVAL) {
            result.ending = Ending::failed;
            result.system_error = EBADF;
            break;
        }
        revents = pfd.revents;
        try_read = true;
    }
    result.count = got;
    if (got == count) result.ending = Ending::complete;
    return result;
}

}  // namespace

Outcome read(PortHandle handle, void* destination, std::uint32_t count, const PortTimeouts& t,
             bool after_write, const WaitHook& hook) {
    const int fd = fd_of(handle);
    auto* out = static_cast<unsigned char*>(destination);
    // Right after a request the reply has rarely arrived yet, and trying to read would only
    // add a call: such a read waits first. Any other read tries at once, and a read served
    // then (a payload that came with its code byte) is done with one call.
    if (after_write) {
        if (hook.deadline != Clock::time_point::max())
            return read_waiting(fd, out, count, t, hook, {});
        // One poll, then one read, is the usual exchange; anything else goes on in the
        // general loop from where this got.
        ReadStart start;
        start.began = Clock::now();
        const std::uint64_t total =
            std::uint64_t{t.read_total_multiplier} * count + t.read_total_constant;
        const Clock::duration wait = Millis(total);
        pollfd pfd{};
        const int p = wait_for(fd, POLLIN, wait, hook, pfd);
        if (p == -2) return {0, Ending::interrupted, 0};
        const bool sliced = hook && wait > Millis(hook.interval_ms);
        if (p == 1 && pfd.revents == POLLIN) {
            start.first = calls.read(fd, out, count);
            if (start.first == static_cast<ssize_t>(count)) return {count, Ending::complete, 0};
            start.first_error = start.first < 0 ? errno : 0;
            start.revents = POLLIN;
        } else if (p == 0 && !sliced && total > 0) {
            return {0, Ending::timed_out, 0};
        } else if (p == 1 && !(pfd.revents & POLLNVAL)) {
            start.revents = pfd.revents;
        }
        return read_waiting(fd, out, count, t, hook, start);
    }
    ReadStart start;
    start.first = calls.read(fd, out, count);
    if (start.first == static_cast<ssize_t>(count)) return {count, Ending::complete, 0};
    start.first_error = start.first < 0 ? errno : 0;
    return read_waiting(fd, out, count, t, hook, start);
}

Outcome write(PortHandle handle, const void* source, std::size_t count, const PortTimeouts& t,
              const WaitHook& hook) {
    const int fd = fd_of(handle);
    const auto* in = static_cast<const unsigned char*>(source);
    // Set when the driver first refuses bytes; a write it takes at once never reads the clock.
    Clock::time_point deadline{};
    bool timing = false;
    bool hook_deadline_first = false;

    Outcome result;
    std::size_t done = 0;
    bool last_try = false;
    while (done < count) {
        const ssize_t r = calls.write(fd, in + done, count - done);
        if (r > 0) {
            done += static_cast<std::size_t>(r);
            continue;
        }
        const int e = r < 0 ? errno : 0;
        if (e == EINTR) continue;
        if (r < 0 && e != EAGAIN && e != EWOULDBLOCK) {
            result.ending = line_gone(e) ? Ending::hung_up : Ending::failed;
            result.system_error = e;
            break;
        }
        if (last_try) {
            // poll reported the line broken and the driver still takes nothing.
            result.ending = Ending::hung_up;
            result.system_error = EIO;
            break;
        }
        if (!timing) {
            deadline = deadline_after(t.write_total_multiplier, count, t.write_total_constant);
            hook_deadline_first = hook.deadline < deadline;
            if (hook_deadline_first) deadline = hook.deadline;
            timing = true;
        }
        const Clock::duration wait = left_until(deadline);
        if (wait == Clock::duration::zero()) {
            result.ending = hook_deadline_first ? Ending::interrupted : Ending::timed_out;
            break;
        }
        pollfd pfd{};
        const int p = wait_for(fd, POLLOUT, wait, hook, pfd);
        if (p == -2) {
            result.ending = Ending::interrupted;
            break;
        }
        if (p < 0 && errno != EINTR && errno != EAGAIN) {
            result.ending = Ending::failed;
            result.system_error = errno;
            break;
        }
        if (p > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) last_try = true;
    }
    result.count = done;
    if (done == count) result.ending = Ending::complete;
    return result;
}

bool wait_readable(PortHandle handle, std::uint32_t timeout_ms, const WaitHook& hook) {
    const auto deadline = std::min(Clock::now() + Millis(timeout_ms), hook.deadline);
    for (;;) {
        const Clock::duration wait = left_until(deadline);
        pollfd pfd{};
        const int p = wait_for(fd_of(handle), POLLIN, wait, hook, pfd);
        if (p > 0) return true;  // input, or POLLHUP / POLLERR: a read returns at once
        if (p == -2 || (p < 0 && errno != EINTR && errno != EAGAIN)) return false;
        if (p == 0 && wait == Clock::duration::zero()) return false;
    }
}

bool discard_input(PortHandle handle) {
    return calls.tcflush(fd_of(handle), TCIFLUSH) == 0;
}

long bytes_waiting(PortHandle handle) {
    int count = 0;
    return calls.ioctl(fd_of(handle), FIONREAD, &count) == 0 ? count : -1;
}

void close(PortHandle handle) noexcept {
    const int fd = fd_of(handle);
    restore_latency(fd);
    (void)calls.ioctl(fd, TIOCNXCL, nullptr);
    calls.close(fd);  // also releases the flock
}

void abandon(PortHandle handle) noexcept {
    ::close(fd_of(handle));
}

std::string error_text(int system_error) {
    return std::string(std::strerror(system_error)) + " (errno " + std::to_string(system_error) +
           ")";
}

int errno_of(int system_error) {
    return system_error;
}

}  // namespace Zelkor::HardwareAPI::IO::port
