// POSIX: pthreads, an eventfd (a pipe where there is none) polled with a nanosecond time-out,
// pthread_atfork for the forked child.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "platform/threads.h"
#include "platform/timespec_posix.h"

namespace Zelkor::HardwareAPI::platform {

static_assert(sizeof(sigset_t) <= 128, "SignalsBlocked keeps a sigset_t");

std::uintptr_t thread_tag() noexcept {
    // The thread's control block on the systems we know: an aligned address, never 0 or 1, and
    // read from a register, with no thread-local storage to set up in a loaded module.
    static_assert(sizeof(pthread_t) <= sizeof(std::uintptr_t), "a pthread_t must fit a tag");
    return (std::uintptr_t)pthread_self();
}

namespace {
// Static TLS: a module loaded at run time (the Python extension) gets no dynamic TLS block to
// allocate for it, in any thread.
__attribute__((tls_model("initial-exec"))) thread_local bool library_thread = false;
}  // namespace

void mark_library_thread() noexcept {
    library_thread = true;
}

bool on_library_thread() noexcept {
    return library_thread;
}

namespace {

int make_wake_handles(std::intptr_t (&handles)[2]) noexcept {
#if defined(__linux__)
    handles[0] = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    handles[1] = -1;
    return handles[0] >= 0 ? 0 : -1;
#else
    int fds[2];
    if (pipe(fds) != 0) {
        handles[0] = handles[1] = -1;
        return -1;
    }
    for (int fd : fds) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    handles[0] = fds[0];
    handles[1] = fds[1];
    return 0;
#endif
}

void close_wake_handles(std::intptr_t (&handles)[2]) noexcept {
    for (std::intptr_t& h : handles) {
        if (h >= 0) ::close(static_cast<int>(h));
        h = -1;
    }
}

}  // namespace

Waker::Waker() noexcept {
    (void)make_wake_handles(handles_);
}

Waker::~Waker() {
    close_wake_handles(handles_);
}

bool Waker::sleep_until(Clock::time_point deadline) noexcept {
    const int fd = static_cast<int>(handles_[0]);
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            // A wake-up that came just as the time ran out still counts.
            pollfd pfd{fd, POLLIN, 0};
            if (fd < 0 || poll(&pfd, 1, 0) <= 0) return false;
            clear();
            return true;
        }
        const timespec ts = timespec_of(left);
        if (fd < 0) {
            // No wake-up could be made: sleep on, unwakeable but on time.
            const timespec at = timespec_of(deadline.time_since_epoch());
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            }
            return false;
        }
        pollfd pfd{fd, POLLIN, 0};
#if defined(__linux__)
        // Straight to the kernel: the C library's ppoll is a thread-cancellation point, a cost
        // of every servo cycle that sleeps, for nothing (no thread of ours is ever cancelled).
        // The kernel writes the time left into `left`.
        timespec left_ts = ts;
        const int p = static_cast<int>(::syscall(SYS_ppoll, &pfd, 1, &left_ts, nullptr, _NSIG / 8));
#else
        const int p = poll(&pfd, 1, static_cast<int>(ts.tv_sec * 1000 + ts.tv_nsec / 1000000 + 1));
#endif
        if (p > 0) {
            clear();
            return true;
        }
        // 0: the time-out (looked at again above, since ppoll may return a hair early); EINTR:
        // a signal the thread does not block.
    }
}

void Waker::wake() noexcept {
    const int fd = static_cast<int>(handles_[1] >= 0 ? handles_[1] : handles_[0]);
    if (fd < 0) return;
    const std::uint64_t one = 1;
    // Full (the count or the pipe) only when wake-ups are already pending: nothing lost.
    ssize_t r;
    do {
        r = ::write(fd, &one, handles_[1] >= 0 ? 1 : sizeof one);
    } while (r < 0 && errno == EINTR);
}

void Waker::clear() noexcept {
    const int fd = static_cast<int>(handles_[0]);
    if (fd < 0) return;
    unsigned char sink[64];
    while (::read(fd, sink, sizeof sink) > 0) {
    }
}

void Waker::renew() noexcept {
    close_wake_handles(handles_);
    (void)make_wake_handles(handles_);
}

SignalsBlocked::SignalsBlocked() noexcept {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, reinterpret_cast<sigset_t*>(saved_));
}

SignalsBlocked::~SignalsBlocked() {
    pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(saved_), nullptr);
}

bool pin_to_cpu(int cpu) noexcept {
#if defined(__linux__)
    if (cpu < 0 || cpu >= CPU_SETSIZE) return false;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
#else
    (void)cpu;
    return false;
#endif
}

int cpu_count() noexcept {
    const long n = sysconf(_SC_NPROCESSORS_CONF);
    return n > 0 ? static_cast<int>(n) : 1;
}

bool make_realtime() noexcept {
    // Above ordinary real-time work, below the kernel's own threads (which run at 50 and 99).
    sched_param param{};
    param.sched_priority = 80;
    const int max = sched_get_priority_max(SCHED_FIFO);
    if (max >= 0 && param.sched_priority > max) param.sched_priority = max;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

void tighten_timers() noexcept {
#if defined(__linux__)
    // The default slack lets the kernel fire a timer up to 50 us late to batch wake-ups.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

void hang() noexcept {
    for (;;) pause();
}

// ---- Fork ----

namespace {

// The hooks; the mutex is held across fork() itself, so the child finds the list whole.
std::mutex& fork_mutex() {
    static std::mutex* m = new std::mutex;  // never destroyed: hooks may go at exit
    return *m;
}
ForkHook* fork_hooks = nullptr;

void before_fork() {
    fork_mutex().lock();
}
void after_fork_in_parent() {
    fork_mutex().unlock();
}
void after_fork_in_child() {
    // The only thread here is the one that forked: it held the mutex, which a fresh one replaces.
    new (&fork_mutex()) std::mutex;
    for (ForkHook* hook = fork_hooks; hook != nullptr; hook = hook->next)
        hook->child(hook->context);
}

}  // namespace

void add_fork_hook(ForkHook& hook) noexcept {
    static std::once_flag registered;
    std::call_once(registered,
                   [] { pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
    std::lock_guard<std::mutex> hold(fork_mutex());
    hook.previous = nullptr;
    hook.next = fork_hooks;
    if (fork_hooks != nullptr) fork_hooks->previous = &hook;
    fork_hooks = &hook;
}

void remove_fork_hook(ForkHook& hook) noexcept {
    std::lock_guard<std::mutex> hold(fork_mutex());
    if (hook.previous != nullptr) {
        hook.previous->next = hook.next;
    } else if (fork_hooks == &hook) {
        fork_hooks = hook.next;
    }
    if (hook.next != nullptr) hook.next->previous = hook.previous;
    hook.previous = hook.next = nullptr;
}

}  // namespace Zelkor::HardwareAPI::platform
