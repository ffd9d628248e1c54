#include "handle_sim.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace Zelkor::Sim {

namespace Protocol = HardwareAPI::Protocol;
namespace Code = Protocol::Code;

namespace {

long handle_message_length(const std::uint8_t* bytes, std::size_t available) {
    switch (bytes[0]) {
        case Code::wakeup:
            return 1;
        case Code::handle_state:
            if (available < Protocol::handle_state_header_length) return 0;
            return static_cast<long>(Protocol::handle_state_header_length +
                                     Protocol::decode_handle_state(bytes).data_length);
        default:
            return -1;
    }
}

}  // namespace

HandleSim::HandleSim(const HandleSettings& settings) : settings_(settings) {}

MessageLength HandleSim::message_length() const {
    return handle_message_length;
}

void HandleSim::receive(const std::uint8_t* message, std::size_t, double now, Outbox& out) {
    if (message[0] == Code::wakeup) {
        std::array<std::uint8_t, 1 + Protocol::handle_info_payload_length> reply{};
        reply[0] = Code::handle_info;
        Protocol::encode_handle_info(reply.data() + 1, settings_.info);
        out.send(reply.data(), reply.size());
        if (!awake_ && settings_.status_rate > 0.0)
            next_status_ = now + 1.0 / settings_.status_rate;
        awake_ = true;
        return;
    }
    // A handle-state message; the framing guarantees its user data is all there.
    const Protocol::HandleState state = Protocol::decode_handle_state(message);
    if (state.device_id != settings_.info.device_id) {
        send_error(HandleErrorCode::foreign_device, out);
        return;
    }
    user_data_length_ = state.data_length;
    std::memcpy(user_data_.data(), message + Protocol::handle_state_header_length,
                state.data_length);
}

void HandleSim::malformed(double, Outbox& out) {
    send_error(HandleErrorCode::malformed, out);
}

double HandleSim::tick(double now, Outbox& out) {
    if (!awake_ || settings_.status_rate <= 0.0) return std::numeric_limits<double>::infinity();
    const double period = 1.0 / settings_.status_rate;
    if (now < next_status_) return next_status_;

    std::array<std::uint8_t, max_message_length> message{};
    Protocol::HandleStatus status;
    status.device_id = settings_.info.device_id;
    status.error_flag = 0;
    status.hall_effect_sensor_level = settings_.sensor_level;
    status.quaternion = orientation(statuses_);
    status.user_data_length = user_data_length_;
    message[0] = Code::handle_status;
    Protocol::encode_handle_status(message.data() + 1, status);
    std::memcpy(message.data() + 1 + Protocol::handle_status_header_length, user_data_.data(),
                user_data_length_);
    out.send(message.data(), 1 + Protocol::handle_status_header_length + user_data_length_);
    ++statuses_;
    if (settings_.error_every > 0 && statuses_ % settings_.error_every == 0) {
        send_error(settings_.error_code, out);
    }
    // Keep the beat; after a stall start afresh rather than send a burst.
    next_status_ += period;
    if (next_status_ <= now) next_status_ = now + period;
    return next_status_;
}

void HandleSim::disconnected() {
    awake_ = false;
    user_data_length_ = 0;
}

std::array<float, 4> HandleSim::orientation(std::uint64_t n) const {
    const double t =
        settings_.status_rate > 0.0 ? static_cast<double>(n) / settings_.status_rate : 0.0;
    const double half = 0.5 * settings_.turn_rate * t;
    // The axis (1, 2, 2) / 3: tilted, so all four components change.
    const double s = std::sin(half) / 3.0;
    return {static_cast<float>(std::cos(half)), static_cast<float>(s), static_cast<float>(2.0 * s),
            static_cast<float>(2.0 * s)};
}

void HandleSim::send_error(std::uint8_t code, Outbox& out) {
    std::array<std::uint8_t, 1 + Protocol::handle_error_payload_length> message{};
    message[0] = Code::handle_error;
    Protocol::encode_handle_error(message.data() + 1, {settings_.info.device_id, code});
    out.send(message.data(), message.size());
}

}  // namespace Zelkor::Sim
