// The device side of a COM port, for tests running under Wine. The host's device peer
// (device_peer.py) holds a pseudo-terminal's master side and maps a COM port to its slave;
// this class asks it, over a loopback connection, to send bytes as the device and to report
// what the host wrote. Same interface as the POSIX suite's Pty, so the shared tests run
// unchanged against a real COM port.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "support.h"

namespace zelkor_test {

class Pty {
  public:
    /// Asks the peer named by ZELKOR_PEER_PORT (a loopback TCP port) for a fresh line.
    Pty() {
        const char* port = std::getenv("ZELKOR_PEER_PORT");
        if (port == nullptr) {
            throw std::runtime_error("ZELKOR_PEER_PORT unset: run tests/windows/run");
        }
        WSADATA wsa;
        if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) throw std::runtime_error("WSAStartup failed");
        socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(static_cast<u_short>(std::atoi(port)));
        peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (socket_ == INVALID_SOCKET ||
            ::connect(socket_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
            close_socket();
            throw std::runtime_error("cannot reach the device peer");
        }
        path_ = line();  // the COM port mapped to this line
    }
    ~Pty() { close_socket(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    /// The COM port name ("COM12") whose other side this is.
    const std::string& path() const { return path_; }

    void send(const Bytes& bytes) const {
        std::lock_guard<std::mutex> hold(mutex_);
        request("send " + hex(bytes));
        if (line() != "ok") throw std::runtime_error("device peer could not send");
    }

    /// What the host wrote, waiting up to `timeout_ms` for `want` bytes (fewer if the line
    /// stays quiet).
    Bytes receive(std::size_t want, int timeout_ms = 2000) const {
        std::lock_guard<std::mutex> hold(mutex_);
        request("recv " + std::to_string(want) + " " + std::to_string(timeout_ms));
        return unhex(line());
    }

    /// The line's framing as the device sees it, e.g. "115200 8N1". Every line starts out at
    /// "9600 8N2".
    std::string line_settings() const {
        std::lock_guard<std::mutex> hold(mutex_);
        request("line");
        return line();
    }

    /// Everything the host wrote within `quiet_ms`: for checking that nothing was.
    Bytes drain(int quiet_ms = 100) const { return receive(1 << 20, quiet_ms); }

  private:
    void close_socket() {
        if (socket_ == INVALID_SOCKET) return;
        ::closesocket(socket_);
        socket_ = INVALID_SOCKET;
        WSACleanup();
    }

    void request(const std::string& text) const {
        const std::string out = text + "\n";
        std::size_t done = 0;
        while (done < out.size()) {
            const int left = static_cast<int>(out.size() - done);
            const int r = ::send(socket_, out.data() + done, left, 0);
            if (r <= 0) throw std::runtime_error("device peer went away");
            done += static_cast<std::size_t>(r);
        }
    }

    std::string line() const {
        std::size_t end;
        while ((end = pending_.find('\n')) == std::string::npos) {
            char chunk[4096];
            const int r = ::recv(socket_, chunk, sizeof chunk, 0);
            if (r <= 0) throw std::runtime_error("device peer went away");
            pending_.append(chunk, static_cast<std::size_t>(r));
        }
        std::string out = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return out;
    }

    static std::string hex(const Bytes& bytes) {
        static const char digits[] = "0123456789abcdef";
        std::string out;
        for (auto b : bytes) {
            out += digits[b >> 4];
            out += digits[b & 15];
        }
        return out;
    }

    static Bytes unhex(const std::string& text) {
        Bytes out;
        for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
            out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        }
        return out;
    }

    SOCKET socket_ = INVALID_SOCKET;
    std::string path_;
    mutable std::string pending_;
    mutable std::mutex mutex_;
};

/// A port name that names no port: no such device exists in the prefix.
inline constexpr const char* missing_port = "ZELKOR_NO_SUCH_PORT";

/// How much earlier than due a time-out may end, against this process's clock: Wine's server
/// times the driver's time-outs on a clock of its own that it only updates as it wakes, and
/// Windows on its timer tick (15.6 ms by default).
inline constexpr double time_out_slack_ms = 20.0;

/// Why a second open of a held port cannot be refused here, or null when it is refused.
/// Wine ignores the share mode on COM ports; Windows refuses the second open.
inline const char* exclusive_open_unenforced() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr) {
        return "Wine does not enforce share mode 0 on COM ports";
    }
    return nullptr;
}

}  // namespace zelkor_test
