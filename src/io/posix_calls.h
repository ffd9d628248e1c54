// The system calls of the POSIX port, reached through one table. Tests replace entries to make
// a call fail on purpose, so every error path of the port can be exercised; everything else
// uses the system's own calls.
#pragma once

#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>

#include <cstddef>

namespace Zelkor::HardwareAPI::IO::port::posix {

struct SystemCalls {
    int (*open)(const char* path, int flags);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void* buffer, std::size_t count);
    ssize_t (*write)(int fd, const void* buffer, std::size_t count);
    /// ppoll without a signal mask: waits up to `timeout` (null: for ever), to the nanosecond.
    int (*poll)(pollfd* fds, nfds_t count, const timespec* timeout);
    int (*fstat)(int fd, struct stat* status);
    int (*flock)(int fd, int operation);
    int (*ioctl)(int fd, unsigned long request, void* argument);
    int (*tcgetattr)(int fd, termios* settings);
    int (*tcsetattr)(int fd, int when, const termios* settings);
    int (*tcflush)(int fd, int queue);
};

/// The system's own calls.
const SystemCalls& real_calls();

/// The calls the port makes: real_calls() unless a test put others in place. Not
/// synchronised: swap entries only while no port is in use.
extern SystemCalls calls;

}  // namespace Zelkor::HardwareAPI::IO::port::posix
