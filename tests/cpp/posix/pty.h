// A pseudo-terminal whose master side plays the device in tests. The slave side is left
// with the fresh terminal's defaults (echo, canonical mode, CR/LF mapping), so the code under
// test has to make the line raw itself.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "support.h"

namespace zelkor_test {

class Pty {
  public:
    Pty() {
        int slave = -1;
        char name[256] = {};
        if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        ::close(slave);  // the code under test opens the slave by its path
        path_ = name;
        fcntl(master_, F_SETFD, FD_CLOEXEC);
    }
    ~Pty() { close_master(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& path() const { return path_; }
    int master() const { return master_; }

    /// Simulates the device going away (an unplugged adapter).
    void close_master() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

    void send(const Bytes& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t r = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (r <= 0) throw std::runtime_error("write to pty master failed");
            done += static_cast<std::size_t>(r);
        }
    }

    /// What the host wrote, waiting up to `timeout_ms` for `want` bytes (fewer if the line
    /// stays quiet).
    Bytes receive(std::size_t want, int timeout_ms = 2000) const {
        Bytes out;
        const auto start = Clock::now();
        while (out.size() < want) {
            const int left = timeout_ms - static_cast<int>(ms_since(start));
            if (left <= 0) break;
            pollfd pfd{master_, POLLIN, 0};
            if (::poll(&pfd, 1, left) <= 0) break;
            std::uint8_t chunk[4096];
            const ssize_t r =
                ::read(master_, chunk,
                       sizeof chunk < want - out.size() ? sizeof chunk : want - out.size());
            if (r <= 0) break;
            out.insert(out.end(), chunk, chunk + r);
        }
        return out;
    }

    /// Everything the host wrote within `quiet_ms` of quiet: for checking that nothing was.
    Bytes drain(int quiet_ms = 100) const { return receive(1 << 20, quiet_ms); }

  private:
    int master_ = -1;
    std::string path_;
};

/// A port name that names no port.
inline constexpr const char* missing_port = "/dev/zelkor-no-such-port";

/// How much earlier than due a time-out may end, against this process's clock: none, the
/// deadlines are polled on the same clock.
inline constexpr double time_out_slack_ms = 0.0;

/// Why a second open of a held port cannot be refused here, or null when it is refused.
inline const char* exclusive_open_unenforced() {
    return nullptr;
}

}  // namespace zelkor_test
