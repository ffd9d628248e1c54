// The platform seam of the files the library writes (a servo's recording streamed to disk) and
// of the memory a recording may take. One source file per platform implements it
// (files_posix.cpp, files_win32.cpp); CMake picks the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>

namespace Zelkor::HardwareAPI::platform {

/// The bytes of memory this process may use: the machine's physical memory, or less where the
/// system caps the process (a Linux control group's memory limit, an address-space limit).
/// 0 when the system does not say.
std::uint64_t usable_memory() noexcept;

/// Nothing when the file at `path` (UTF-8) can be created, or opened for writing, here and
/// now; otherwise why not. Leaves nothing behind: a file it had to create is removed, and an
/// existing file is left as it was (not emptied).
std::error_code check_writable(const std::string& path) noexcept;

/// A file written front to back, with a few bytes rewritten in place at the end: one owner,
/// move-only, closed by the destructor. Not synchronised: one thread at a time.
class OutputFile {
  public:
    OutputFile() noexcept = default;
    ~OutputFile() { close(); }
    OutputFile(OutputFile&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
    OutputFile& operator=(OutputFile&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = other.handle_;
            other.handle_ = -1;
        }
        return *this;
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    /// Creates the file at `path` (UTF-8), or empties the one there, for writing; not
    /// inherited by programs the process starts. Nothing on success, else why it failed.
    std::error_code open(const std::string& path) noexcept;
    bool is_open() const noexcept { return handle_ != -1; }
    /// Appends `size` bytes (all of them, or fails). Nothing on success.
    std::error_code write(const void* bytes, std::size_t size) noexcept;
    /// Writes `size` bytes at `offset` from the start, leaving the end where it was.
    std::error_code write_at(std::uint64_t offset, const void* bytes, std::size_t size) noexcept;
    /// Cuts the file to `size` bytes; the next write() goes there.
    std::error_code truncate(std::uint64_t size) noexcept;
    /// Closes the file (nothing when it is not open).
    void close() noexcept;

  private:
    std::intptr_t handle_ = -1;
};

}  // namespace Zelkor::HardwareAPI::platform
