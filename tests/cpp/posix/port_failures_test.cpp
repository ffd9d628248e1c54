// How the POSIX port fails: the cause it records for every kind of failure, real ones on real
// files and pseudo-terminals, and injected ones through the system-call table, where each case
// also checks that the port neither blocks nor spins. Also the wait hook that cuts waits short.
#include <ZelkorHardwareAPI/devices/arbelon.h>
#include <ZelkorHardwareAPI/io/serial_stream.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fstream>
#include <thread>
#include <vector>

#include "io/posix_calls.h"
#include "probe.h"
#include "pty.h"

using Zelkor::HardwareAPI::Vector3;
using Zelkor::HardwareAPI::Devices::Arbelon;
using Zelkor::HardwareAPI::IO::OpenCode;
using Zelkor::HardwareAPI::IO::PortError;
using Zelkor::HardwareAPI::IO::SerialStream;
using Zelkor::HardwareAPI::IO::WaitHook;
using zelkor_test::Bytes;
using zelkor_test::bytes_of;
using zelkor_test::Clock;
using zelkor_test::code;
using zelkor_test::ms_since;
using zelkor_test::Probe;
using zelkor_test::Pty;
using Cause = PortError::Cause;
using Step = PortError::Step;
namespace sys = Zelkor::HardwareAPI::IO::port::posix;

namespace {

// ---- Injected system-call results ----

// One scripted call: either the real call (with its count capped at `cap` when non-zero), or
// a made-up result with errno and, for poll, the events it reports.
struct Scripted {
    bool real = false;
    long result = 0;
    int error = 0;
    short revents = 0;
    std::size_t cap = 0;
};
Scripted real(std::size_t cap = 0) {
    return {true, 0, 0, 0, cap};
}
Scripted fail(int error) {
    return {false, -1, error, 0, 0};
}
Scripted ready(short revents) {
    return {false, 1, 0, revents, 0};
}
Scripted returns(long result) {
    return {false, result, 0, 0, 0};
}

// The calls still to script, and how many of each the port made. Calls beyond the script are
// real.
struct Script {
    std::deque<Scripted> open, read, write, poll, flock, tcgetattr, tcsetattr;
    int reads = 0, writes = 0, polls = 0;
} script;

bool next(std::deque<Scripted>& queue, Scripted& out) {
    if (queue.empty()) return false;
    out = queue.front();
    queue.pop_front();
    return true;
}

template <class Real>
long scripted(std::deque<Scripted>& queue, std::size_t& count, Real real_call) {
    Scripted s;
    if (!next(queue, s) || s.real) {
        if (s.cap != 0 && s.cap < count) count = s.cap;
        return real_call();
    }
    errno = s.error;
    return s.result;
}

ssize_t fake_read(int fd, void* buffer, std::size_t count) {
    ++script.reads;
    return scripted(script.read, count, [&] { return sys::real_calls().read(fd, buffer, count); });
}
ssize_t fake_write(int fd, const void* buffer, std::size_t count) {
    ++script.writes;
    return scripted(script.write, count,
                    [&] { return sys::real_calls().write(fd, buffer, count); });
}
int fake_poll(pollfd* fds, nfds_t n, const timespec* timeout) {
    ++script.polls;
    Scripted s;
    if (!next(script.poll, s) || s.real) return sys::real_calls().poll(fds, n, timeout);
    fds[0].revents = s.revents;
    errno = s.error;
    return static_cast<int>(s.result);
}
int fake_open(const char* path, int flags) {
    std::size_t unused = 0;
    return static_cast<int>(
        scripted(script.open, unused, [&] { return sys::real_calls().open(path, flags); }));
}
int fake_flock(int fd, int operation) {
    std::size_t unused = 0;
    return static_cast<int>(
        scripted(script.flock, unused, [&] { return sys::real_calls().flock(fd, operation); }));
}
int fake_tcgetattr(int fd, termios* t) {
    std::size_t unused = 0;
    return static_cast<int>(
        scripted(script.tcgetattr, unused, [&] { return sys::real_calls().tcgetattr(fd, t); }));
}
int fake_tcsetattr(int fd, int when, const termios* t) {
    std::size_t unused = 0;
    return static_cast<int>(scripted(script.tcsetattr, unused,
                                     [&] { return sys::real_calls().tcsetattr(fd, when, t); }));
}

// Puts the scripted calls in place for one test and the real ones back afterwards.
struct Injected {
    Injected() {
        script = Script{};
        sys::calls.open = fake_open;
        sys::calls.read = fake_read;
        sys::calls.write = fake_write;
        sys::calls.poll = fake_poll;
        sys::calls.flock = fake_flock;
        sys::calls.tcgetattr = fake_tcgetattr;
        sys::calls.tcsetattr = fake_tcsetattr;
    }
    ~Injected() { sys::calls = sys::real_calls(); }
};

void expect_error(const PortError& e, Step step, Cause cause, int error_number, const char* what) {
    EXPECT_EQ(e.step, step) << what << ": " << e.message();
    EXPECT_EQ(e.cause, cause) << what << ": " << e.message();
    EXPECT_EQ(e.error_number(), error_number) << what << ": " << e.message();
    EXPECT_FALSE(e.message().empty()) << what;
}

}  // namespace

// ---- Real failures ----

TEST(port_failures_test, open_records_why_it_failed) {
    Pty pty;
    char dir[] = "/tmp/zelkor-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/data.bin";
    std::ofstream(file) << "x";

    struct Case {
        const char* what;
        std::string name;
        OpenCode code;
        Cause cause;
        int error_number;
    } cases[] = {
        {"missing port", zelkor_test::missing_port, OpenCode::not_found, Cause::system, ENOENT},
        {"directory", dir, OpenCode::open_failed, Cause::system, EISDIR},
        {"regular file", file, OpenCode::open_failed, Cause::not_a_port, ENOTTY},
        {"/dev/null", "/dev/null", OpenCode::open_failed, Cause::not_a_port, ENOTTY},
        {"/dev/urandom", "urandom", OpenCode::open_failed, Cause::not_a_port, ENOTTY},
    };
    for (const auto& c : cases) {
        SerialStream stream(c.name.c_str());
        EXPECT_EQ(stream.open_result(), code(c.code)) << c.what;
        EXPECT_FALSE(stream.is_open()) << c.what;
        EXPECT_EQ(stream.port_name(), c.name) << c.what;
        expect_error(stream.last_error(), Step::open, c.cause, c.error_number, c.what);
        // Transfers keep the reason the port never opened.
        char data[4];
        stream.read(data, 4);
        EXPECT_EQ(stream.last_error().cause, c.cause) << c.what;
    }
    SerialStream good(pty.path().c_str());
    EXPECT_EQ(good.open_result(), 1);
    EXPECT_TRUE(good.is_open());
    EXPECT_FALSE(good.last_error());
    EXPECT_EQ(good.last_error().message(), "");
    std::remove(file.c_str());
    rmdir(dir);
}

TEST(port_failures_test, port_held_by_another_process_is_in_use) {
    Pty pty;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        serialib holder;
        const char ok = holder.open(pty.path().c_str()) == 1 ? 'y' : 'n';
        (void)!::write(ready[1], &ok, 1);
        pause();
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    SerialStream second(pty.path().c_str());
    EXPECT_EQ(second.open_result(), code(OpenCode::open_failed));
    expect_error(second.last_error(), Step::open, Cause::in_use, EBUSY, "held elsewhere");
    EXPECT_NE(second.last_error().message().find("in use"), std::string::npos);

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    // Once the holder is gone the same stream can connect.
    EXPECT_EQ(second.connect(pty.path().c_str()), 1);
    EXPECT_TRUE(second.is_open());
    EXPECT_FALSE(second.last_error());
}

namespace {
bool stop_at_once(void*) {
    return true;
}
}  // namespace

TEST(port_failures_test, transfers_record_their_failures_until_one_succeeds) {
    // A failure stays until a transfer of its own direction succeeds: a write that goes
    // through says nothing of the read that failed before it, nor a read of a failed write.
    // Failures of the other steps go with any success.
    enum class Transfer { none, read, write };
    struct Case {
        const char* what;
        std::deque<Scripted> Script::*calls;  // a call that fails, when injected
        Scripted result;
        Transfer failing;  // the transfer that fails (none: the open did)
        bool interrupted;  // the failing read is cut short by the hook
        Step step;
        Cause cause;
        Transfer keeps, clears;
    } cases[] = {
        {"read timed out", nullptr, real(), Transfer::read, false, Step::read, Cause::timed_out,
         Transfer::write, Transfer::read},
        {"read failed", &Script::read, fail(EBADMSG), Transfer::read, false, Step::read,
         Cause::system, Transfer::write, Transfer::read},
        {"read interrupted", nullptr, real(), Transfer::read, true, Step::read, Cause::interrupted,
         Transfer::write, Transfer::read},
        {"write failed", &Script::write, fail(EINVAL), Transfer::write, false, Step::write,
         Cause::system, Transfer::read, Transfer::write},
        {"line settings refused, then a write", &Script::tcsetattr, fail(EINVAL), Transfer::none,
         false, Step::configure, Cause::system, Transfer::none, Transfer::write},
        {"line settings refused, then a read", &Script::tcsetattr, fail(EINVAL), Transfer::none,
         false, Step::configure, Cause::system, Transfer::none, Transfer::read},
    };
    for (const auto& c : cases) {
        Pty pty;
        Injected injected;
        if (c.calls != nullptr) (script.*c.calls).push_back(c.result);
        SerialStream stream(pty.path().c_str());
        char data[8];
        auto succeed = [&](Transfer t) {
            if (t == Transfer::write) {
                stream.write("ab", 2);
                EXPECT_EQ(pty.receive(2), bytes_of("ab")) << c.what;
            } else if (t == Transfer::read) {
                // A whole line: a port whose line settings were refused still reads lines.
                pty.send(bytes_of("ok\n"));
                stream.read(data, 3);
                EXPECT_EQ(stream.gcount(), 3) << c.what;
            }
        };
        if (c.interrupted) stream.set_wait_hook({&stop_at_once, nullptr, 20});
        if (c.failing == Transfer::read) stream.read(data, 2);
        if (c.failing == Transfer::write) stream.write("ab", 2);
        stream.set_wait_hook({});
        EXPECT_EQ(stream.last_error().step, c.step) << c.what;
        EXPECT_EQ(stream.last_error().cause, c.cause) << c.what;

        succeed(c.keeps);
        EXPECT_EQ(stream.last_error().step, c.step) << c.what << ": kept";
        succeed(c.clears);
        EXPECT_FALSE(stream.last_error()) << c.what << ": cleared";
    }

    Pty pty;
    SerialStream stream(pty.path().c_str());
    char data[8];
    // close() is no failure; a transfer afterwards finds no port.
    stream.close();
    stream.close();
    EXPECT_FALSE(stream.is_open());
    EXPECT_FALSE(stream.last_error());
    stream.write("x", 1);
    EXPECT_TRUE(stream.bad());
    expect_error(stream.last_error(), Step::write, Cause::not_open, EBADF, "closed stream");
    EXPECT_TRUE(pty.drain().empty()) << "nothing written while closed arrived";

    // Reconnected, the stream works again.
    EXPECT_EQ(stream.connect(pty.path().c_str()), 1);
    pty.send(bytes_of("ok"));
    stream.read(data, 2);
    EXPECT_EQ(stream.gcount(), 2);
    EXPECT_FALSE(stream.last_error());
}

TEST(port_failures_test, hang_up_closes_the_port_and_says_so) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    // A pseudo-terminal drops its unread input when it hangs up, so the bytes come while the
    // read runs.
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pty.send(bytes_of("abc"));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.close_master();
    });
    char data[8] = {};
    const auto start = Clock::now();
    stream.read(data, 8);
    device.join();
    EXPECT_EQ(stream.gcount(), 3) << "what arrived before the hang-up is delivered";
    EXPECT_EQ(std::string(data, 3), "abc");
    EXPECT_FALSE(stream.is_open());
    expect_error(stream.last_error(), Step::hang_up, Cause::system, EIO, "hang-up");
    // Later transfers return at once and keep the cause.
    stream.read(data, 8);
    stream.write("x", 1);
    EXPECT_EQ(stream.last_error().step, Step::hang_up);
    EXPECT_LT(ms_since(start), 500.0);
}

// ---- Injected failures ----

TEST(port_failures_test, injected_open_failures) {
    Pty pty;
    struct Case {
        const char* what;
        std::deque<Scripted> Script::*calls;
        Scripted result;
        OpenCode code;
        bool stays_open;
        Step step;
        Cause cause;
        int error_number;
    } cases[] = {
        {"held in exclusive mode (TIOCEXCL)", &Script::open, fail(EBUSY), OpenCode::open_failed,
         false, Step::open, Cause::in_use, EBUSY},
        {"no permission", &Script::open, fail(EACCES), OpenCode::open_failed, false, Step::open,
         Cause::system, EACCES},
        {"locked by another program", &Script::flock, fail(EWOULDBLOCK), OpenCode::open_failed,
         false, Step::open, Cause::in_use, EBUSY},
        {"line settings unreadable", &Script::tcgetattr, fail(EIO), OpenCode::get_state_failed,
         true, Step::configure, Cause::system, EIO},
        {"line settings refused", &Script::tcsetattr, fail(EINVAL), OpenCode::set_state_failed,
         true, Step::configure, Cause::system, EINVAL},
    };
    for (const auto& c : cases) {
        Injected injected;
        (script.*c.calls).push_back(c.result);
        serialib buffer;
        EXPECT_EQ(buffer.open(pty.path().c_str()), code(c.code)) << c.what;
        EXPECT_EQ(buffer.is_open(), c.stays_open) << c.what;
        expect_error(buffer.last_error(), c.step, c.cause, c.error_number, c.what);
    }
}

TEST(port_failures_test, injected_transfer_failures_neither_block_nor_spin) {
    struct Case {
        const char* what;
        std::deque<Scripted> reads, polls, writes;
        Bytes device_sends;     // what the device side has sent before the transfer
        bool is_write;          // a 6-byte write, else a 6-byte read
        std::streamsize moved;  // bytes delivered or accepted
        Step step;              // recorded failure; Step::none for success
        Cause cause;
        int error_number;
        bool stays_open;
    } cases[] = {
        {"EINTR at every wait, then the bytes",
         {fail(EAGAIN)},
         {fail(EINTR), fail(EINTR), fail(EINTR)},
         {},
         bytes_of("sixsix"),
         false,
         6,
         Step::none,
         Cause::none,
         0,
         true},
        {"EAGAIN from read, then the bytes",
         {fail(EAGAIN), fail(EAGAIN)},
         {},
         {},
         bytes_of("sixsix"),
         false,
         6,
         Step::none,
         Cause::none,
         0,
         true},
        {"EIO after part of the reply",
         {real(2), fail(EIO)},
         {},
         {},
         bytes_of("sixsix"),
         false,
         2,
         Step::hang_up,
         Cause::system,
         EIO,
         false},
        {"a read that fails outright",
         {fail(EBADMSG)},
         {},
         {},
         bytes_of("sixsix"),
         false,
         0,
         Step::read,
         Cause::system,
         EBADMSG,
         true},
        {"POLLHUP while waiting",
         {fail(EAGAIN), returns(0)},
         {ready(POLLHUP)},
         {},
         {},
         false,
         0,
         Step::hang_up,
         Cause::system,
         EIO,
         false},
        {"POLLNVAL while waiting",
         {fail(EAGAIN)},
         {ready(POLLNVAL)},
         {},
         {},
         false,
         0,
         Step::read,
         Cause::system,
         EBADF,
         true},
        {"poll itself fails",
         {fail(EAGAIN)},
         {fail(EINVAL)},
         {},
         {},
         false,
         0,
         Step::read,
         Cause::system,
         EINVAL,
         true},
        {"a write taken in pieces",
         {},
         {},
         {real(1), real(2), fail(EAGAIN)},
         {},
         true,
         6,
         Step::none,
         Cause::none,
         0,
         true},
        {"a write that fails outright",
         {},
         {},
         {fail(EPERM)},
         {},
         true,
         0,
         Step::write,
         Cause::system,
         EPERM,
         true},
        {"a write cut short by a hang-up",
         {},
         {},
         {real(2), fail(EIO)},
         {},
         true,
         2,
         Step::hang_up,
         Cause::system,
         EIO,
         false},
        {"a write the driver never takes",
         {},
         {ready(POLLOUT), ready(POLLERR)},
         {fail(EAGAIN), fail(EAGAIN), fail(EAGAIN)},
         {},
         true,
         0,
         Step::hang_up,
         Cause::system,
         EIO,
         false},
    };
    for (const auto& c : cases) {
        Pty pty;
        Probe buffer;
        ASSERT_EQ(buffer.open(pty.path().c_str()), 1) << c.what;
        pty.send(c.device_sends);
        Injected injected;
        script.read = c.reads;
        script.poll = c.polls;
        script.write = c.writes;
        char data[6] = {};
        const auto start = Clock::now();
        const std::streamsize moved =
            c.is_write ? buffer.xsputn("sixsix", 6) : buffer.xsgetn(data, 6);
        EXPECT_LT(ms_since(start), 500.0) << c.what << ": must not block";
        EXPECT_LT(script.reads + script.writes + script.polls, 20) << c.what << ": must not spin";
        EXPECT_EQ(moved, c.moved) << c.what;
        EXPECT_EQ(buffer.is_open(), c.stays_open) << c.what;
        if (c.step == Step::none) {
            EXPECT_FALSE(buffer.last_error()) << c.what << ": " << buffer.last_error().message();
        } else {
            expect_error(buffer.last_error(), c.step, c.cause, c.error_number, c.what);
        }
        if (c.is_write && c.stays_open && c.moved == 6) {
            EXPECT_EQ(pty.receive(6), bytes_of("sixsix")) << c.what;
        }
        if (!c.is_write && c.moved > 0) {
            EXPECT_EQ(std::string(data, static_cast<std::size_t>(c.moved)),
                      std::string("sixsix", static_cast<std::size_t>(c.moved)))
                << c.what;
        }
    }
}

TEST(port_failures_test, a_reply_awaited_right_after_a_request) {
    // After a write the read waits first: the usual exchange is one poll and one read, and
    // everything else must come out as from any other read.
    struct Case {
        const char* what;
        std::deque<Scripted> polls, reads;
        Bytes device_sends;
        std::streamsize moved;
        Step step;
        Cause cause;
        bool stays_open;
    } cases[] = {
        {"the whole reply", {}, {}, bytes_of("sixsix"), 6, Step::none, Cause::none, true},
        {"EINTR, then the reply",
         {fail(EINTR)},
         {},
         bytes_of("sixsix"),
         6,
         Step::none,
         Cause::none,
         true},
        {"part, then the rest",
         {},
         {real(2)},
         bytes_of("sixsix"),
         6,
         Step::none,
         Cause::none,
         true},
        {"a hang-up",
         {ready(POLLIN | POLLHUP)},
         {returns(0)},
         {},
         0,
         Step::hang_up,
         Cause::system,
         false},
        {"POLLNVAL",
         {ready(POLLNVAL), ready(POLLNVAL)},
         {},
         {},
         0,
         Step::read,
         Cause::system,
         true},
        {"a failed read",
         {},
         {fail(EBADMSG)},
         bytes_of("sixsix"),
         0,
         Step::read,
         Cause::system,
         true},
    };
    for (const auto& c : cases) {
        Pty pty;
        Probe buffer;
        ASSERT_EQ(buffer.open(pty.path().c_str()), 1) << c.what;
        ASSERT_EQ(buffer.xsputn("q", 1), 1) << c.what;
        pty.send(c.device_sends);
        Injected injected;
        script.poll = c.polls;
        script.read = c.reads;
        char data[6] = {};
        const auto start = Clock::now();
        EXPECT_EQ(buffer.xsgetn(data, 6), c.moved) << c.what;
        EXPECT_LT(ms_since(start), 500.0) << c.what;
        EXPECT_LT(script.reads + script.polls, 20) << c.what;
        EXPECT_EQ(buffer.is_open(), c.stays_open) << c.what;
        EXPECT_EQ(buffer.last_error().step, c.step)
            << c.what << ": " << buffer.last_error().message();
        EXPECT_EQ(buffer.last_error().cause, c.cause) << c.what;
        if (c.moved == 6) EXPECT_EQ(std::string(data, 6), "sixsix") << c.what;
    }
}

// ---- The wait hook ----

namespace {
struct StopFlag {
    std::atomic<bool> stop{false};
    std::atomic<int> asked{0};
    static bool check(void* context) {
        auto* self = static_cast<StopFlag*>(context);
        self->asked.fetch_add(1);
        return self->stop.load();
    }
    WaitHook hook(std::uint32_t interval_ms = 20) { return {&StopFlag::check, this, interval_ms}; }
};
}  // namespace

TEST(wait_hook_test, cuts_a_wait_short_and_the_stream_stays_usable) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    StopFlag flag;
    stream.set_wait_hook(flag.hook());

    // Asked repeatedly while a quiet read waits; not consulted for a read served at once.
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        flag.stop = true;
    });
    char data[24];
    auto start = Clock::now();
    stream.read(data, 24);
    const double took = ms_since(start);
    stopper.join();
    EXPECT_EQ(stream.gcount(), 0);
    EXPECT_GE(took, 150.0);
    EXPECT_LT(took, 1100.0) << "well before the 1.2 s time-out";
    EXPECT_GE(flag.asked.load(), 4) << "asked at least every interval";
    expect_error(stream.last_error(), Step::read, Cause::interrupted, EINTR, "interrupted read");

    // While the hook says stop, waits end at once; bytes already there are still delivered.
    start = Clock::now();
    stream.read(data, 1);
    EXPECT_EQ(stream.gcount(), 0);
    pty.send(bytes_of("ab"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stream.read(data, 2);
    EXPECT_EQ(stream.gcount(), 2);
    EXPECT_LT(ms_since(start), 500.0);

    // Once it lets go, the stream waits and works as before.
    flag.stop = false;
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.send(bytes_of("xyz"));
    });
    stream.read(data, 3);
    device.join();
    EXPECT_EQ(stream.gcount(), 3);
    EXPECT_FALSE(stream.last_error());
}

TEST(wait_hook_test, an_interrupted_exchange_never_takes_its_late_reply_for_the_next) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    Arbelon arm(&stream);
    StopFlag flag;
    flag.stop = true;
    stream.set_wait_hook(flag.hook());

    // The request goes out; the wait for the reply is cut short at once.
    Vector3 position{}, velocity{};
    EXPECT_EQ(arm.end_effector_force({1, 2, 3}, position, velocity), -1);
    EXPECT_EQ(arm.last_result(), -1);
    EXPECT_EQ(pty.receive(13).size(), 13u);
    // Its reply arrives late, and the next exchange runs undisturbed.
    Bytes late(25, 0);
    late[0] = 0x2B;
    late[1] = 0x11;  // marks the stale reply
    pty.send(late);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    flag.stop = false;
    std::thread device([&] {
        pty.receive(13);
        Bytes fresh(25, 0);
        fresh[0] = 0x2B;
        pty.send(fresh);
    });
    position = {9, 9, 9};
    EXPECT_EQ(arm.end_effector_force({1, 2, 3}, position, velocity), 24);
    device.join();
    EXPECT_EQ(position, (Vector3{0, 0, 0})) << "the fresh reply, not the late one";
    EXPECT_EQ(arm.last_result(), 24);
}

// ---- Low latency on USB adapters ----

#if defined(__linux__)
#include <linux/serial.h>

namespace {
// A driver that knows the low-latency flag: TIOCGSERIAL reports `flags`, TIOCSSERIAL stores
// them; every other request goes to the real ioctl.
struct SerialDriver {
    int flags = 0;
    std::vector<int> set_calls;  // the flags of each TIOCSSERIAL
} driver;

int driver_ioctl(int fd, unsigned long request, void* argument) {
    if (request == TIOCGSERIAL) {
        static_cast<serial_struct*>(argument)->flags = driver.flags;
        return 0;
    }
    if (request == TIOCSSERIAL) {
        driver.flags = static_cast<serial_struct*>(argument)->flags;
        driver.set_calls.push_back(driver.flags);
        return 0;
    }
    return sys::real_calls().ioctl(fd, request, argument);
}
}  // namespace

TEST(port_failures_test, low_latency_is_asked_for_and_put_back) {
    struct Case {
        const char* what;
        int flags_before;
        std::vector<int> expected_sets;  // what the open and the close write
    } cases[] = {
        {"a driver with the flag off",
         ASYNC_SPD_HI,
         {ASYNC_SPD_HI | ASYNC_LOW_LATENCY, ASYNC_SPD_HI}},
        {"a driver with the flag on already", ASYNC_LOW_LATENCY, {}},
    };
    for (const auto& c : cases) {
        Pty pty;
        {
            Injected injected;
            sys::calls.ioctl = driver_ioctl;
            driver = SerialDriver{c.flags_before, {}};
            serialib buffer;
            ASSERT_EQ(buffer.open(pty.path().c_str()), 1) << c.what;
            EXPECT_NE(driver.flags & ASYNC_LOW_LATENCY, 0) << c.what;
            buffer.close();
            EXPECT_EQ(driver.set_calls, c.expected_sets) << c.what;
            EXPECT_EQ(driver.flags, c.flags_before) << c.what << ": as it was";
        }
    }
    // A pseudo-terminal knows no such setting: the port opens and works as before.
    Pty pty;
    SerialStream stream(pty.path().c_str());
    EXPECT_EQ(stream.open_result(), 1);
    EXPECT_FALSE(stream.last_error());
    stream.write("ok", 2);
    EXPECT_EQ(pty.receive(2), bytes_of("ok"));
}
#endif
