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

// Messages on their way to the host. Whole messages only: one that does not fit while the
// host is not reading is dropped, never cut, so the host never sees half a message. On a
// timed line the bytes wait here until the line has carried them (release()).
class OutQueue : public Outbox {
  public:
    explicit OutQueue(LineDirection& line) : line_(line) {}

    /// The time of what the device sends next: the line starts carrying it then.
    void at(double now) { now_ = now; }

    void send(const std::uint8_t* message, std::size_t length) override {
        if (length > buffer_.size() - size_) {
            log("host is not reading: dropped a 0x%02X message", message[0]);
            return;
        }
        if (line_.paced() && !line_.hand(now_, length)) {
            log("the line is backed up: dropped a 0x%02X message", message[0]);
            return;
        }
        for (std::size_t i = 0; i < length; ++i) {
            buffer_[(head_ + size_ + i) % buffer_.size()] = message[i];
        }
        size_ += length;
        if (!line_.paced()) released_ = size_;
        log("sent 0x%02X, %zu bytes", message[0], length);
    }

    /// Lets the next `n` bytes go to the port: the line has carried them.
    void release(std::size_t n) { released_ = std::min(size_, released_ + n); }

    /// True when nothing may go to the port now.
    bool empty() const { return released_ == 0; }
    void clear() { head_ = size_ = released_ = 0; }

    /// Writes what the port takes now. False when the port failed.
    bool flush(int fd) {
        while (released_ > 0) {
            const std::size_t run = std::min(released_, buffer_.size() - head_);
            const ssize_t n = ::write(fd, buffer_.data() + head_, run);
            if (n < 0) {
                if (errno == EINTR) continue;
                return errno == EAGAIN || errno == EWOULDBLOCK;
            }
            head_ = (head_ + static_cast<std::size_t>(n)) % buffer_.size();
            size_ -= static_cast<std::size_t>(n);
            released_ -= static_cast<std::size_t>(n);
        }
        if (size_ == 0) head_ = 0;
        return true;
    }

  private:
    std::array<std::uint8_t, 1 << 16> buffer_{};
    std::size_t head_ = 0;
    std::size_t size_ = 0;
    std::size_t released_ = 0;
    LineDirection& line_;
    double now_ = 0.0;
};

// Bytes from the host that a timed line has not yet carried to the device. When it is full
// the loop stops reading the port, and the host's writes wait as on a real line.
class InQueue {
  public:
    static constexpr std::size_t capacity = LineDirection::max_bytes;

    void push(const std::uint8_t* data, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) buffer_[(head_ + size_ + i) % capacity] = data[i];
        size_ += n;
    }

    /// The oldest bytes held, at most `n`, in one piece (call again after a wrap).
    std::size_t front(std::size_t n, const std::uint8_t*& data) const {
        data = buffer_.data() + head_;
        return std::min({n, size_, capacity - head_});
    }

    void drop(std::size_t n) {
        head_ = (head_ + n) % capacity;
        size_ -= n;
    }

    void clear() { head_ = size_ = 0; }

  private:
    std::array<std::uint8_t, capacity> buffer_{};
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

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
        : device_(device),
          line_(line, seconds_now()),
          queue_(line_.to_host),
          faults_(faults, queue_),
          pty_(pty),
          framer_(device.message_length()) {}

    /// Runs until a stop; true when it ended by hanging up.
    bool run(bool watch_stdin, const sigset_t& waiting_mask) {
        while (!stop_requested) {
            double now = seconds_now();
            if (!connected_) look_for_host(now);
            if (hung_up_) return true;
            double wake = now + reopen_check;
            if (connected_) {
                if (!arrive(now)) return true;
                queue_.at(now);
                wake = std::min(faults_.silent() ? INFINITY : device_.tick(now, faults_),
                                framer_.deadline());
                wake = std::min({wake, release(now), line_.to_device.next().at});
                if (!queue_.flush(pty_.fd())) log("write to the port failed");
            }

            pollfd fds[2] = {{pty_.fd(), 0, 0}, {STDIN_FILENO, POLLIN, 0}};
            // A port without a host reports POLLHUP to every poll, so it is left out then.
            if (connected_) {
                const bool room = !line_.paced() || line_.to_device.room() > 0;
                fds[0].events =
                    static_cast<short>((room ? POLLIN : 0) | (queue_.empty() ? 0 : POLLOUT));
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
            if (ready <= 0) {
                expire(seconds_now());
                continue;
            }
            // ppoll lets a stop signal in only when it waits, and a poll that finds something
            // ready at once never waits: with an input that never runs dry (stdin from
            // /dev/zero) SIGTERM stayed pending for ever and the simulator spun on.
            if (stop_pending(waiting_mask)) break;
            if (watch_stdin && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) && stdin_ended()) {
                log("standard input ended");
                return false;
            }
            if (connected_ && fds[0].revents) {
                if (fds[0].revents & POLLIN) read_port(seconds_now());
                if (hung_up_) return true;
                if (fds[0].revents & (POLLHUP | POLLERR)) disconnect();
            }
            expire(seconds_now());
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

    void read_port(double now) {
        std::uint8_t chunk[4096];
        for (;;) {
            const std::size_t want =
                line_.paced() ? std::min(sizeof chunk, line_.to_device.room()) : sizeof chunk;
            if (want == 0) return;
            const ssize_t n = ::read(pty_.fd(), chunk, want);
            if (n <= 0) return;  // EAGAIN: all read; EIO: the host closed (POLLHUP follows)
            if (!take(chunk, static_cast<std::size_t>(n), now)) return;
        }
    }

    // Bytes the host wrote, read at `now`: to the device at once, or onto the line. False
    // after a hang-up.
    bool take(const std::uint8_t* bytes, std::size_t n, double now) {
        if (!line_.paced()) return feed(bytes, n, now);
        // The reads never take more than the line has room for.
        if (!line_.to_device.hand(now, n)) {
            log("the line to the device is full: dropped %zu byte(s)", n);
            return true;
        }
        in_.push(bytes, n);
        return true;
    }

    // Hands the device the bytes the line has carried to it by `now`, each at the moment it
    // arrived, so its answers start back at that moment. False after a hang-up.
    bool arrive(double now) {
        for (;;) {
            const LineDirection::Step step = line_.to_device.next();
            if (step.at > now) return true;
            line_.to_device.pop();
            queue_.at(step.at);
            for (std::size_t left = step.count; left > 0;) {
                const std::uint8_t* data = nullptr;
                const std::size_t n = in_.front(left, data);
                if (n == 0) break;  // never: the line holds exactly the bytes held here
                const bool alive = feed(data, n, step.at);
                in_.drop(n);
                left -= n;
                if (!alive) return false;
            }
        }
    }

    // Lets go to the port what the line has carried to the host by `now`; returns when it
    // carries more.
    double release(double now) {
        for (;;) {
            const LineDirection::Step step = line_.to_host.next();
            if (step.at > now) return step.at;
            line_.to_host.pop();
            queue_.release(step.count);
        }
    }

    // False after a hang-up.
    bool feed(const std::uint8_t* bytes, std::size_t n, double now) {
        std::size_t done = 0;
        while (done < n) {
            done += framer_.push(bytes + done, n - done, now);
            if (!dispatch(now)) return false;
        }
        return true;
    }

    // Reading the master tells whether a host holds the port: with none, the reads end in
    // EIO once any bytes left over are read. Those bytes come from a session too short to
    // be noticed, and nobody waits for their answers; but when the reads end otherwise, a
    // host has just opened the port and the bytes of the latest read are its first.
    void look_for_host(double now) {
        std::uint8_t chunk[4096];
        std::size_t last = 0;
        for (;;) {
            const ssize_t n = ::read(pty_.fd(), chunk, sizeof chunk);
            if (n > 0) {
                last = static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EIO) return;
            break;
        }
        connected_ = true;
        log("host opened the port");
        line_.reset(now);
        if (last > 0) take(chunk, last, now);
    }

    // Hands every whole message to the device; false after a hang-up.
    bool dispatch(double now) {
        for (;;) {
            const Framer::Item item = framer_.next();
            switch (item.kind) {
                case Framer::Item::Kind::none:
                    return true;
                case Framer::Item::Kind::garbage:
                    log("ignored %zu byte(s) that start no message, first 0x%02X", item.length,
                        item.data[0]);
                    device_.malformed(now, faults_);
                    break;
                case Framer::Item::Kind::message:
                    switch (faults_.admit()) {
                        case Faults::Verdict::serve:
                            log("received 0x%02X, %zu bytes", item.data[0], item.length);
                            device_.receive(item.data, item.length, now, faults_);
                            break;
                        case Faults::Verdict::ignore:
                            log("silent: ignored 0x%02X", item.data[0]);
                            break;
                        case Faults::Verdict::hang_up:
                            log("hanging up at 0x%02X", item.data[0]);
                            pty_.close();
                            hung_up_ = true;
                            return false;
                    }
                    break;
            }
        }
    }

    void expire(double now) {
        if (!connected_) return;
        const std::size_t dropped = framer_.expire(now);
        if (dropped == 0) return;
        log("dropped %zu byte(s) of a message that stopped short", dropped);
        queue_.at(now);
        device_.malformed(now, faults_);
    }

    void disconnect() {
        log("host closed the port");
        connected_ = false;
        framer_.reset();
        queue_.clear();
        in_.clear();
        line_.reset(seconds_now());
        device_.disconnected();
        pty_.discard_leftovers();
    }

    SimDevice& device_;
    Line line_;
    OutQueue queue_;
    InQueue in_;
    Faults faults_;
    PtyMaster& pty_;
    Framer framer_;
    bool connected_ = false;
    bool hung_up_ = false;
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
