// POSIX: open/write/pwrite on a descriptor; the memory from sysconf, capped by the process's
// address-space limit and, on Linux, by its control group's memory limit.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <limits>
#include <string>

#include "platform/file_calls_posix.h"
#include "platform/files.h"

namespace Zelkor::HardwareAPI::platform {

namespace posix {

namespace {
int real_open(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}
}  // namespace

const FileCalls& real_file_calls() {
    static const FileCalls calls{real_open, ::write, ::pwrite, ::ftruncate, ::lseek, ::close};
    return calls;
}

FileCalls file_calls = real_file_calls();

}  // namespace posix

namespace {

using posix::file_calls;

std::error_code last_error() noexcept {
    return {errno, std::generic_category()};
}

// A whole number from the first line of a file; nothing when the file is missing or holds
// anything else ("max": no limit).
bool read_limit(const std::string& path, std::uint64_t& value) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line) || line.empty()) return false;
    if (line.find_first_not_of("0123456789") != std::string::npos) return false;
    try {
        value = std::stoull(line);
    } catch (...) {
        return false;
    }
    return true;
}

// The memory limit of the control group the process is in (cgroup v2, then v1); a limit
// above the machine's memory reads as none.
std::uint64_t control_group_limit() {
    std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
#if defined(__linux__)
    try {
        std::ifstream groups("/proc/self/cgroup");
        std::string line, own;
        while (std::getline(groups, line)) {
            if (line.rfind("0::", 0) == 0) own = line.substr(3);
        }
        std::uint64_t value = 0;
        if ((!own.empty() && own != "/" &&
             read_limit("/sys/fs/cgroup" + own + "/memory.max", value)) ||
            read_limit("/sys/fs/cgroup/memory.max", value) ||
            read_limit("/sys/fs/cgroup/memory/memory.limit_in_bytes", value)) {
            limit = value;
        }
    } catch (...) {  // no limit to be read
    }
#endif
    return limit;
}

}  // namespace

std::uint64_t usable_memory() noexcept {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return 0;
    std::uint64_t memory = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
    memory = std::min(memory, control_group_limit());
    rlimit space{};
    if (getrlimit(RLIMIT_AS, &space) == 0 && space.rlim_cur != RLIM_INFINITY) {
        memory = std::min<std::uint64_t>(memory, space.rlim_cur);
    }
    return memory;
}

std::error_code check_writable(const std::string& path) noexcept {
    // Opened without emptying it: an existing file keeps what it holds until a run writes it.
    const int fd = file_calls.open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
        file_calls.close(fd);
        ::unlink(path.c_str());
        return {};
    }
    if (errno != EEXIST) return last_error();
    const int existing = file_calls.open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK, 0);
    if (existing < 0) return last_error();
    file_calls.close(existing);
    return {};
}

std::error_code OutputFile::open(const std::string& path) noexcept {
    close();
    // Never blocking: a FIFO with no reader fails at once instead of holding start() up.
    const int fd =
        file_calls.open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) return last_error();
    handle_ = fd;
    return {};
}

std::error_code OutputFile::write(const void* bytes, std::size_t size) noexcept {
    const char* at = static_cast<const char*>(bytes);
    while (size > 0) {
        const ssize_t n = file_calls.write(static_cast<int>(handle_), at, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return last_error();
        if (n == 0) return std::make_error_code(std::errc::io_error);
        at += n;
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

std::error_code OutputFile::write_at(std::uint64_t offset, const void* bytes,
                                     std::size_t size) noexcept {
    const char* at = static_cast<const char*>(bytes);
    while (size > 0) {
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
            return std::make_error_code(std::errc::file_too_large);
        }
        const ssize_t n =
            file_calls.pwrite(static_cast<int>(handle_), at, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return last_error();
        if (n == 0) return std::make_error_code(std::errc::io_error);
        at += n;
        offset += static_cast<std::uint64_t>(n);
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

std::error_code OutputFile::truncate(std::uint64_t size) noexcept {
    if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return std::make_error_code(std::errc::file_too_large);
    }
    const int fd = static_cast<int>(handle_);
    if (file_calls.ftruncate(fd, static_cast<off_t>(size)) != 0) return last_error();
    if (file_calls.lseek(fd, static_cast<off_t>(size), SEEK_SET) < 0) return last_error();
    return {};
}

void OutputFile::close() noexcept {
    if (handle_ == -1) return;
    file_calls.close(static_cast<int>(handle_));
    handle_ = -1;
}

}  // namespace Zelkor::HardwareAPI::platform
