// The I/O loop on a POSIX pseudo-terminal. The simulator holds the master side; the host
// opens the slave side by its path as if it were a serial port.
//
// Pseudo-terminal facts this loop is built on (Linux):
// - While no process has the slave open, the master polls POLLHUP and its reads fail with
//   EIO (after any bytes still waiting); the slave can be opened again as long as the master
//   stays open, and its line settings and its unread input survive. So the loop notices the
//   host's close by POLLHUP, drops the input the host left unread (it would greet the next
//   session as stale replies), and then looks for the next open by reading every few
//   milliseconds, since POLLHUP, once there, wakes every poll at once.
// - Closing the master hangs up the slave: the host's reads end at once.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#if __has_include(<sys/prctl.h>)
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device_end.h"
#include "line.h"
#include "log.h"
#include "serve.h"

namespace Zelkor::Sim {

namespace {

// How often a port that no host holds is checked for a new one.
constexpr double reopen_check = 0.005;

volatile sig_atomic_t stop_requested = 0;

void on_stop_signal(int) {
    stop_requested = 1;
}

double seconds_now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// The master side of a pseudo-terminal whose line is raw 8N1 at 115200 from the start, so
// nothing is echoed or translated even before the host configures the line itself.
class PtyMaster {
  public:
    bool open() {
        fd_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (fd_ < 0 || ::grantpt(fd_) != 0 || ::unlockpt(fd_) != 0) return false;
        const char* name = ::ptsname(fd_);
        if (name == nullptr) return false;
        path_ = name;
        const int slave = ::open(path_.c_str(), O_RDWR | O_NOCTTY);
        if (slave < 0) return false;
        termios tio{};
        bool ok = ::tcgetattr(slave, &tio) == 0;
        if (ok) {
            ::cfmakeraw(&tio);
            tio.c_cflag |= CLOCAL | CREAD;
            ::cfsetispeed(&tio, B115200);
            ::cfsetospeed(&tio, B115200);
            ok = ::tcsetattr(slave, TCSANOW, &tio) == 0;
        }
        ::close(slave);
        return ok && ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK) == 0 &&
               ::fcntl(fd_, F_SETFD, FD_CLOEXEC) == 0;
    }

    ~PtyMaster() { close(); }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

    /// Drops what the host left unread and what it sent but the loop has not read.
    void discard_leftovers() const {
        std::uint8_t scrap[4096];
        while (::read(fd_, scrap, sizeof scrap) > 0) {
        }
        // Unread input sits in the slave's queue, which only the slave side can flush.
        // Opening it briefly is harmless: the host, if it is back already, holds it anyway.
        const int slave = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (slave >= 0) {
            ::tcflush(slave, TCIFLUSH);
            ::close(slave);
        }
    }

  private:
    int fd_ = -1;
    std::string path_;
};

class Symlink {
  public:
    /// Points `link` at `target`, replacing an older symlink but nothing else.
    bool make(const std::string& link, const std::string& target) {
        struct stat st {};
        if (::lstat(link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                std::fprintf(stderr, "zelkor-sim: %s exists and is not a symbolic link\n",
                             link.c_str());
                return false;
            }
            ::unlink(link.c_str());
        }
        if (::symlink(target.c_str(), link.c_str()) != 0) {
            std::fprintf(stderr, "zelkor-sim: cannot make the link %s: %s\n", link.c_str(),
                         std::strerror(errno));
            return false;
        }
        link_ = link;
        target_ = target;
        return true;
    }

    /// Removes the link unless somebody has pointed it elsewhere meanwhile.
    ~Symlink() {
        if (link_.empty()) return;
        char buffer[4096];
        const ssize_t n = ::readlink(link_.c_str(), buffer, sizeof buffer);
        if (n >= 0 && target_ == std::string(buffer, static_cast<std::size_t>(n))) {
            ::unlink(link_.c_str());
        }
    }

  private:
    std::string link_;
    std::string target_;
};

void install_signal_handlers(sigset_t& waiting_mask) {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    // The stop signals are held back outside ppoll, which lets them in while it waits: a
    // signal can then never slip in between the check of the flag and the wait.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stop_signals, sig);
    ::sigprocmask(SIG_BLOCK, &stop_signals, &waiting_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigdelset(&waiting_mask, sig);
}

// Rounded up to the nanosecond, so a wait never ends before the time it waits for.
timespec timespec_of(double seconds) {
    seconds = std::max(seconds, 0.0);
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>(std::ceil((seconds - static_cast<double>(ts.tv_sec)) * 1e9));
    if (ts.tv_nsec >= 1000000000L) {
        ++ts.tv_sec;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

// SCHED_FIFO for the whole (single-threaded) simulator, so a loaded machine does not
// deschedule it in the middle of an exchange. Never fails the simulator.
void make_realtime() {
    // The library's servo thread asks for 80 too: above ordinary real-time work, below the
    // kernel's own threads.
    sched_param param{};
    param.sched_priority = std::min(80, std::max(::sched_get_priority_max(SCHED_FIFO), 1));
    if (::sched_setscheduler(0, SCHED_FIFO, &param) == 0) {
        log("running real-time: SCHED_FIFO, priority %d", param.sched_priority);
    } else {
        log("real-time scheduling refused (%s): serving with the usual scheduling",
            std::strerror(errno));
    }
}

// The kernel may end a timed wait this much late to bunch wake-ups (50 us by default): more
// than half a byte at 115200 baud. A timed line wants its timers as asked.
void tighten_timers() {
#if defined(PR_SET_TIMERSLACK)
    if (::prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL) != 0) {
        log("cannot tighten the timer slack: %s", std::strerror(errno));
    }
#endif
}

class Loop {
  public:
    Loop(SimDevice& device, const FaultSettings& faults, PtyMaster& pty, LineKind line)
        : end_(device, faults, line, seconds_now()), pty_(pty) {}

    /// Runs until a stop; true when it ended by hanging up.
    bool run(bool watch_stdin, const sigset_t& waiting_mask) {
        while (!stop_requested) {
            const double now = seconds_now();
            if (!connected_ && !look_for_host(now)) return hang_up();
            double wake = now + reopen_check;
            if (connected_) {
                if (!end_.advance(now)) return hang_up();
                wake = end_.next();
                if (!flush()) log("write to the port failed");
            }

            pollfd fds[2] = {{pty_.fd(), 0, 0}, {STDIN_FILENO, POLLIN, 0}};
            // A port without a host reports POLLHUP to every poll, so it is left out then.
            if (connected_) {
                fds[0].events = static_cast<short>((end_.room() > 0 ? POLLIN : 0) |
                                                   (end_.readable() > 0 ? POLLOUT : 0));
            } else {
                fds[0].fd = -1;
            }
            if (!watch_stdin) fds[1].fd = -1;
            const timespec timeout = timespec_of(wake - seconds_now());
            const int ready = ::ppoll(fds, 2, std::isinf(wake) ? nullptr : &timeout, &waiting_mask);
            if (ready < 0 && errno != EINTR) {
                std::fprintf(stderr, "zelkor-sim: poll failed: %s\n", std::strerror(errno));
                return false;
            }
            if (ready <= 0) continue;
            // ppoll lets a stop signal in only when it waits, and a poll that finds something
            // ready at once never waits: with an input that never runs dry (stdin from
            // /dev/zero) SIGTERM stayed pending for ever and the simulator spun on.
            if (stop_pending(waiting_mask)) break;
            if (watch_stdin && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) && stdin_ended()) {
                log("standard input ended");
                return false;
            }
            if (connected_ && fds[0].revents) {
                if ((fds[0].revents & POLLIN) && !read_port(seconds_now())) return hang_up();
                if (fds[0].revents & (POLLHUP | POLLERR)) disconnect();
            }
        }
        log("stopped by a signal");
        return false;
    }

  private:
    /// Lets in a stop signal that is pending, if there is one; true when it came.
    static bool stop_pending(const sigset_t& waiting_mask) {
        sigset_t pending;
        if (::sigpending(&pending) != 0) return false;
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            if (sigismember(&pending, sig) == 1) {
                sigset_t held;
                ::sigprocmask(SIG_SETMASK, &waiting_mask, &held);  // the handler runs here
                ::sigprocmask(SIG_SETMASK, &held, nullptr);
                return stop_requested != 0;
            }
        }
        return false;
    }

    static bool stdin_ended() {
        std::uint8_t scrap[256];
        const ssize_t n = ::read(STDIN_FILENO, scrap, sizeof scrap);
        return n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN);
    }

    // The device hung up: closing the master hangs up the host's side at once.
    bool hang_up() {
        pty_.close();
        return true;
    }

    // Hands what the host wrote to the device's end, never more than its line has room for.
    // False after a hang-up.
    bool read_port(double now) {
        std::uint8_t chunk[4096];
        for (;;) {
            const std::size_t want = std::min(sizeof chunk, end_.room());
            if (want == 0) return true;
            const ssize_t n = ::read(pty_.fd(), chunk, want);
            if (n <= 0) return true;  // EAGAIN: all read; EIO: the host closed (POLLHUP follows)
            if (!end_.write(chunk, static_cast<std::size_t>(n), now)) return false;
        }
    }

    // Writes what the host may read now and the port takes. False when the port failed.
    bool flush() {
        while (end_.readable() > 0) {
            const std::uint8_t* data = nullptr;
            const std::size_t run = end_.front(end_.readable(), data);
            const ssize_t n = ::write(pty_.fd(), data, run);
            if (n < 0) {
                if (errno == EINTR) continue;
                return errno == EAGAIN || errno == EWOULDBLOCK;
            }
            end_.consume(static_cast<std::size_t>(n));
        }
        return true;
    }

    // Reading the master tells whether a host holds the port: with none, the reads end in
    // EIO once any bytes left over are read. Those bytes come from a session too short to
    // be noticed, and nobody waits for their answers; but when the reads end otherwise, a
    // host has just opened the port and the bytes of the latest read are its first. False
    // when they made the device hang up.
    bool look_for_host(double now) {
        std::uint8_t chunk[4096];
        std::size_t last = 0;
        for (;;) {
            const ssize_t n = ::read(pty_.fd(), chunk, sizeof chunk);
            if (n > 0) {
                last = static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EIO) return true;
            break;
        }
        connected_ = true;
        log("host opened the port");
        end_.connect(now);
        return last == 0 || end_.write(chunk, std::min(last, end_.room()), now);
    }

    void disconnect() {
        log("host closed the port");
        connected_ = false;
        end_.disconnect(seconds_now());
        pty_.discard_leftovers();
    }

    DeviceEnd end_;
    PtyMaster& pty_;
    bool connected_ = false;
};

}  // namespace

int serve(SimDevice& device, const FaultSettings& faults, const ServeSettings& settings) {
    PtyMaster pty;
    if (!pty.open()) {
        std::fprintf(stderr, "zelkor-sim: cannot open a pseudo-terminal: %s\n",
                     std::strerror(errno));
        return 1;
    }
    Symlink link;
    if (!settings.link.empty() && !link.make(settings.link, pty.path())) return 1;
    sigset_t waiting_mask;
    install_signal_handlers(waiting_mask);
    if (settings.realtime) make_realtime();
    if (settings.line != LineKind::pty) tighten_timers();

    std::printf("%s\n", pty.path().c_str());
    std::fflush(stdout);
    log("serving on %s", pty.path().c_str());
    if (settings.line != LineKind::pty) log("line: %s", line_name(settings.line));

    Loop loop(device, faults, pty, settings.line);
    loop.run(settings.exit_on_stdin_eof, waiting_mask);
    return 0;
}

}  // namespace Zelkor::Sim
