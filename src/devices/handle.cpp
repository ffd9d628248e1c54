#include <ZelkorHardwareAPI/devices/handle.h>

#include <algorithm>
#include <stdexcept>

#include "devices/protocol.h"

namespace Zelkor::HardwareAPI::Devices {

namespace Code = Protocol::Code;

Handle::HandleInfoResponse::HandleInfoResponse(std::uint8_t tool_data_remaining_,
                                               std::uint16_t device_id_,
                                               std::uint8_t device_model_number_,
                                               std::uint8_t hardware_version_,
                                               std::uint8_t firmware_version_)
    : tool_data_remaining(tool_data_remaining_),
      device_id(device_id_),
      device_model_number(device_model_number_),
      hardware_version(hardware_version_),
      firmware_version(firmware_version_) {}

Handle::HandleStatusResponse::HandleStatusResponse(std::uint16_t device_id_,
                                                   const float* quaternion_,
                                                   std::uint8_t error_flag_,
                                                   std::uint8_t handle_connection_sensor_,
                                                   std::uint8_t user_data_length_,
                                                   const std::uint8_t* user_data_)
    : device_id(device_id_),
      quaternion{},
      error_flag(error_flag_),
      handle_connection_sensor(handle_connection_sensor_),
      user_data_length(user_data_length_),
      user_data{} {
    if (quaternion_ == nullptr) {
        throw std::invalid_argument("HandleStatusResponse: quaternion is null");
    }
    if (user_data_ == nullptr && user_data_length != 0) {
        throw std::invalid_argument("HandleStatusResponse: user_data is null");
    }
    std::copy_n(quaternion_, quaternion.size(), quaternion.begin());
    std::copy_n(user_data_, user_data_length, user_data.begin());
}

Handle::HandleErrorResponse::HandleErrorResponse(std::uint16_t device_id_, std::uint8_t error_code_)
    : device_id(device_id_), error_code(error_code_) {}

void Handle::OnReceiveHandleInfo(HandleInfoResponse&) {}
void Handle::OnReceiveHandleInfo(std::uint8_t, std::uint16_t, std::uint8_t, std::uint8_t,
                                 std::uint8_t) {}
void Handle::OnReceiveHandleStatusMessage(HandleStatusResponse&) {}
void Handle::OnReceiveHandleStatusMessage(std::uint16_t, const float*, std::uint8_t, std::uint8_t,
                                          std::uint8_t, const std::uint8_t*) {}
void Handle::OnReceiveHandleErrorResponse(HandleErrorResponse&) {}
void Handle::OnReceiveHandleErrorResponse(std::uint16_t, std::uint8_t) {}

void Handle::SendDeviceWakeup() {
    send_buffer[0] = Code::wakeup;
    send(1);
}

void Handle::SendHandleState(std::uint16_t device_id, std::uint8_t data_length,
                             const std::uint8_t* user_data) {
    if (user_data == nullptr && data_length != 0) {
        throw std::invalid_argument("SendHandleState: user_data is null");
    }
    std::uint8_t* message = send_buffer.get();
    Protocol::encode_handle_state(message, {device_id, data_length});
    std::copy_n(user_data, data_length, message + Protocol::handle_state_header_length);
    send(Protocol::handle_state_header_length + data_length);
}

int Handle::read_payload(std::size_t length) {
    std::uint8_t* buffer = receive_buffer.get();
    const auto got = static_cast<std::size_t>(
        stream->read_bytes(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(length)));
    std::fill(buffer + got, buffer + length, std::uint8_t{0});
    return static_cast<int>(got);
}

int Handle::Receive(std::uint8_t* data_received) {
    // Without a fresh byte, receive_buffer[0] still holds the last message's code (or its
    // payload's first byte); dispatching on it would invent a message.
    if (!receive_code()) return note(-1);
    const std::uint8_t code = receive_buffer[0];
    if (data_received != nullptr) *data_received = code;

    switch (code) {
        case Code::handle_info: {
            const int n = note(read_payload(Protocol::handle_info_payload_length));
            const Protocol::HandleInfo info = Protocol::decode_handle_info(receive_buffer.get());
            OnReceiveHandleInfo(info.tool_data_remaining, info.device_id, info.device_model_number,
                                info.hardware_version, info.firmware_version);
            if (!records_wanted) return n;
            HandleInfoResponse response(info.tool_data_remaining, info.device_id,
                                        info.device_model_number, info.hardware_version,
                                        info.firmware_version);
            OnReceiveHandleInfo(response);
            return n;
        }
        case Code::handle_status: {
            int n = read_payload(Protocol::handle_status_header_length);
            const Protocol::HandleStatus status =
                Protocol::decode_handle_status(receive_buffer.get());
            // The user data follows the header in a second read, over the header's bytes.
            note(n += read_payload(status.user_data_length));
            if (!records_wanted) {
                OnReceiveHandleStatusMessage(status.device_id, status.quaternion.data(),
                                             status.error_flag, status.hall_effect_sensor_level,
                                             status.user_data_length, receive_buffer.get());
                return n;
            }
            // The record holds the only copy of the user data; the parameter-list callback
            // reads it from there and cannot change it.
            HandleStatusResponse response(status.device_id, status.quaternion.data(),
                                          status.error_flag, status.hall_effect_sensor_level,
                                          status.user_data_length, receive_buffer.get());
            OnReceiveHandleStatusMessage(response.device_id, response.quaternion.data(),
                                         response.error_flag, response.handle_connection_sensor,
                                         response.user_data_length, response.user_data.data());
            OnReceiveHandleStatusMessage(response);
            return n;
        }
        case Code::handle_error: {
            const int n = note(read_payload(Protocol::handle_error_payload_length));
            const Protocol::HandleError error = Protocol::decode_handle_error(receive_buffer.get());
            OnReceiveHandleErrorResponse(error.device_id, error.error_code);
            if (!records_wanted) return n;
            HandleErrorResponse response(error.device_id, error.error_code);
            OnReceiveHandleErrorResponse(response);
            return n;
        }
        default:
            return note(-1);
    }
}

}  // namespace Zelkor::HardwareAPI::Devices
