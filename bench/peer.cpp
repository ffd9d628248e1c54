// zelkor-bench-peer: the device every benchmark host talks to.
//
//   zelkor-bench-peer arbelon          answer each 13-byte force request (0x2A) at once with a
//                                      25-byte end-effector state: position = the force,
//                                      velocity = minus the force
//   zelkor-bench-peer handle COUNT     after the host's wake-up byte, stream COUNT status
//                                      messages with 16 bytes of user data
//
// Opens a fresh pseudo-terminal, prints the slave's path on the first line of standard output
// and serves until the host closes the port. The slave keeps the fresh terminal's defaults
// (echo, canonical input, CR/LF mapping): a host that forgets raw mode fails.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "devices/protocol.h"

namespace proto = Zelkor::HardwareAPI::Protocol;

namespace {

bool read_exactly(int fd, std::uint8_t* out, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, out + got, n - got);
        if (r > 0) {
            got += static_cast<std::size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            return false;  // EIO: the host closed the port
        }
    }
    return true;
}

bool write_all(int fd, const std::uint8_t* data, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t r = ::write(fd, data + done, n - done);
        if (r > 0) {
            done += static_cast<std::size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

int serve_arbelon(int master) {
    std::uint8_t request[proto::vector_request_length];
    std::uint8_t reply[1 + proto::state_payload_length];
    reply[0] = proto::Code::end_effector_state;
    while (read_exactly(master, request, sizeof request)) {
        if (request[0] != proto::Code::end_effector_force) {
            std::fprintf(stderr, "peer: unexpected request code 0x%02X\n", request[0]);
            return 1;
        }
        const auto force = proto::decode_vector_request(request);
        proto::encode_state(reply + 1, force, {-force[0], -force[1], -force[2]});
        if (!write_all(master, reply, sizeof reply)) break;
    }
    return 0;
}

int serve_handle(int master, long count) {
    std::uint8_t wakeup = 0;
    if (!read_exactly(master, &wakeup, 1) || wakeup != proto::Code::wakeup) return 1;
    constexpr std::size_t user_data = 16;
    std::uint8_t message[1 + proto::handle_status_header_length + user_data];
    message[0] = proto::Code::handle_status;
    proto::HandleStatus status;
    status.user_data_length = user_data;
    for (long i = 0; i < count; ++i) {
        status.device_id = static_cast<std::uint16_t>(i);
        status.quaternion = {1.0f, 0.0f, 0.0f, static_cast<float>(i % 1000)};
        proto::encode_handle_status(message + 1, status);
        for (std::size_t k = 0; k < user_data; ++k) {
            message[1 + proto::handle_status_header_length + k] = static_cast<std::uint8_t>(i + k);
        }
        if (!write_all(master, message, sizeof message)) return 1;
    }
    std::uint8_t rest;
    while (read_exactly(master, &rest, 1)) {
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || (std::strcmp(argv[1], "handle") == 0 && argc < 3)) {
        std::fprintf(stderr, "usage: zelkor-bench-peer arbelon | handle COUNT\n");
        return 2;
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("peer: pseudo-terminal");
        return 1;
    }
    std::printf("%s\n", ptsname(master));
    std::fflush(stdout);
    if (std::strcmp(argv[1], "arbelon") == 0) return serve_arbelon(master);
    return serve_handle(master, std::atol(argv[2]));
}
