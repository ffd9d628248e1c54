// Windows: CreateFileW on the UTF-8 path made wide, WriteFile with an OVERLAPPED offset for the
// writes in place; the memory from GlobalMemoryStatusEx.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

#include "platform/files.h"

namespace Zelkor::HardwareAPI::platform {

namespace {

HANDLE as_handle(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

std::error_code last_error() noexcept {
    return {static_cast<int>(GetLastError()), std::system_category()};
}

std::wstring wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) {
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
    }
    return out;
}

HANDLE open_file(const std::string& path, DWORD disposition) noexcept {
    try {
        return CreateFileW(wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

}  // namespace

std::uint64_t usable_memory() noexcept {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return 0;
    return status.ullTotalPhys < status.ullTotalVirtual ? status.ullTotalPhys
                                                        : status.ullTotalVirtual;
}

std::error_code check_writable(const std::string& path) noexcept {
    HANDLE h = open_file(path, CREATE_NEW);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        try {
            DeleteFileW(wide(path).c_str());
        } catch (...) {
        }
        return {};
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return last_error();
    h = open_file(path, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) return last_error();
    CloseHandle(h);
    return {};
}

std::error_code OutputFile::open(const std::string& path) noexcept {
    close();
    const HANDLE h = open_file(path, CREATE_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) return last_error();
    handle_ = reinterpret_cast<std::intptr_t>(h);
    return {};
}

std::error_code OutputFile::write(const void* bytes, std::size_t size) noexcept {
    const char* at = static_cast<const char*>(bytes);
    while (size > 0) {
        const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(as_handle(handle_), at, chunk, &written, nullptr)) return last_error();
        if (written == 0) return std::make_error_code(std::errc::io_error);
        at += written;
        size -= written;
    }
    return {};
}

std::error_code OutputFile::write_at(std::uint64_t offset, const void* bytes,
                                     std::size_t size) noexcept {
    // A write at an OVERLAPPED offset moves the file pointer: it is put back after.
    LARGE_INTEGER zero{}, end{};
    if (!SetFilePointerEx(as_handle(handle_), zero, &end, FILE_CURRENT)) return last_error();
    const char* at = static_cast<const char*>(bytes);
    while (size > 0) {
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
        where.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(as_handle(handle_), at, chunk, &written, &where)) return last_error();
        if (written == 0) return std::make_error_code(std::errc::io_error);
        at += written;
        offset += written;
        size -= written;
    }
    if (!SetFilePointerEx(as_handle(handle_), end, nullptr, FILE_BEGIN)) return last_error();
    return {};
}

std::error_code OutputFile::truncate(std::uint64_t size) noexcept {
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(as_handle(handle_), to, nullptr, FILE_BEGIN)) return last_error();
    if (!SetEndOfFile(as_handle(handle_))) return last_error();
    return {};
}

void OutputFile::close() noexcept {
    if (handle_ == -1) return;
    CloseHandle(as_handle(handle_));
    handle_ = -1;
}

}  // namespace Zelkor::HardwareAPI::platform
