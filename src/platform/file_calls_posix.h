// The system calls of the POSIX OutputFile, reached through one table. Tests replace entries
// to make a write fail, or take long, on purpose; everything else uses the system's own calls.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace Zelkor::HardwareAPI::platform::posix {

struct FileCalls {
    int (*open)(const char* path, int flags, mode_t mode);
    ssize_t (*write)(int fd, const void* buffer, std::size_t count);
    ssize_t (*pwrite)(int fd, const void* buffer, std::size_t count, off_t offset);
    int (*ftruncate)(int fd, off_t size);
    off_t (*lseek)(int fd, off_t offset, int whence);
    int (*close)(int fd);
};

/// The system's own calls.
const FileCalls& real_file_calls();

/// The calls OutputFile makes: real_file_calls() unless a test put others in place. Not
/// synchronised: swap entries only while no file is being written.
extern FileCalls file_calls;

}  // namespace Zelkor::HardwareAPI::platform::posix
