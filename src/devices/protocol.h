// The wire protocol of both devices: message codes and the byte layout of every message.
// Each layout is written once here, with its encoder and decoder side by side; the device
// classes use one direction, the device simulator the other.
//
// Every message is a one-byte code followed by a fixed payload (the handle's state and status
// messages carry a length byte for their user data). Payload offsets count from the first
// byte after the code. Values are little-endian and packed (see wire.h).
#pragma once

#include <ZelkorHardwareAPI/devices/uuid.h>

#include <cstddef>
#include <cstdint>

#include "devices/wire.h"

namespace Zelkor::HardwareAPI::Protocol {

namespace Code {
// Both devices.
inline constexpr std::uint8_t wakeup = 0x0A;  ///< host to device, no payload
// Arbelon.
inline constexpr std::uint8_t device_info = 0x0B;            ///< reply, DeviceInfo
inline constexpr std::uint8_t end_effector_force = 0x2A;     ///< request, vector ('*')
inline constexpr std::uint8_t end_effector_position = 0x2C;  ///< request, vector (',')
inline constexpr std::uint8_t end_effector_state = 0x2B;     ///< reply, state ('+')
inline constexpr std::uint8_t joint_torques = 0x1A;          ///< request, vector
inline constexpr std::uint8_t joint_angles = 0x1C;           ///< request, vector
inline constexpr std::uint8_t joint_state = 0x1B;            ///< reply, state
inline constexpr std::uint8_t current = 0xAB;                ///< request (no payload) and reply
// Handle.
inline constexpr std::uint8_t handle_state = 0xDB;   ///< host to device, HandleState + user data
inline constexpr std::uint8_t handle_info = 0xD0;    ///< device to host, HandleInfo
inline constexpr std::uint8_t handle_status = 0xDA;  ///< device to host, HandleStatus + user data
inline constexpr std::uint8_t handle_error = 0xDF;   ///< device to host, HandleError
}  // namespace Code

// ---- Arbelon -----------------------------------------------------------------------------

/// Vector request: code, then x, y, z (or joints 0, 1, 2) as f32 at offsets 1, 5 and 9.
inline constexpr std::size_t vector_request_length = 13;

inline void encode_vector_request(std::uint8_t* message, std::uint8_t code, const Vector3& v) {
    message[0] = code;
    Wire::store_vector(message + 1, v);
}

inline Vector3 decode_vector_request(const std::uint8_t* message) {
    return Wire::load_vector(message + 1);
}

/// State reply payload: position (or joint positions) at 0, velocity (or joint velocities)
/// at 12.
inline constexpr std::size_t state_payload_length = 24;

inline void encode_state(std::uint8_t* payload, const Vector3& position, const Vector3& velocity) {
    Wire::store_vector(payload, position);
    Wire::store_vector(payload + 12, velocity);
}

inline void decode_state(const std::uint8_t* payload, Vector3& position, Vector3& velocity) {
    position = Wire::load_vector(payload);
    velocity = Wire::load_vector(payload + 12);
}

/// Current reply payload: the three motor currents.
inline constexpr std::size_t current_payload_length = 12;

inline void encode_current(std::uint8_t* payload, const Vector3& current) {
    Wire::store_vector(payload, current);
}

inline Vector3 decode_current(const std::uint8_t* payload) {
    return Wire::load_vector(payload);
}

/// Device information reply payload.
struct DeviceInfo {
    std::uint16_t device_id = 0;
    std::uint8_t device_model_number = 0;
    std::uint8_t hardware_version = 0;
    std::uint8_t firmware_version = 0;
    UUID uuid;
};

inline constexpr std::size_t device_info_payload_length = 21;

inline void encode_device_info(std::uint8_t* payload, const DeviceInfo& info) {
    Wire::store_u16(payload, info.device_id);
    payload[2] = info.device_model_number;
    payload[3] = info.hardware_version;
    payload[4] = info.firmware_version;
    for (std::size_t i = 0; i < info.uuid.bytes.size(); ++i) payload[5 + i] = info.uuid.bytes[i];
}

inline DeviceInfo decode_device_info(const std::uint8_t* payload) {
    DeviceInfo info;
    info.device_id = Wire::load_u16(payload);
    info.device_model_number = payload[2];
    info.hardware_version = payload[3];
    info.firmware_version = payload[4];
    for (std::size_t i = 0; i < info.uuid.bytes.size(); ++i) info.uuid.bytes[i] = payload[5 + i];
    return info;
}

// ---- Handle ------------------------------------------------------------------------------

/// Handle-state message (host to device): code, device_id u16 at 1, data_length u8 at 3, then
/// data_length bytes of user data from offset 4.
inline constexpr std::size_t handle_state_header_length = 4;
inline constexpr std::size_t handle_state_max_length = handle_state_header_length + 255;

struct HandleState {
    std::uint16_t device_id = 0;
    std::uint8_t data_length = 0;
};

/// Writes the header; the caller places data_length bytes of user data at message + 4.
inline void encode_handle_state(std::uint8_t* message, const HandleState& state) {
    message[0] = Code::handle_state;
    Wire::store_u16(message + 1, state.device_id);
    message[3] = state.data_length;
}

inline HandleState decode_handle_state(const std::uint8_t* message) {
    return {Wire::load_u16(message + 1), message[3]};
}

/// Information message payload (device to host), 6 bytes.
inline constexpr std::size_t handle_info_payload_length = 6;

struct HandleInfo {
    std::uint8_t tool_data_remaining = 0;
    std::uint16_t device_id = 0;
    std::uint8_t device_model_number = 0;
    std::uint8_t hardware_version = 0;
    std::uint8_t firmware_version = 0;
};

inline void encode_handle_info(std::uint8_t* payload, const HandleInfo& info) {
    payload[0] = info.tool_data_remaining;
    Wire::store_u16(payload + 1, info.device_id);
    payload[3] = info.device_model_number;
    payload[4] = info.hardware_version;
    payload[5] = info.firmware_version;
}

inline HandleInfo decode_handle_info(const std::uint8_t* payload) {
    return {payload[0], Wire::load_u16(payload + 1), payload[3], payload[4], payload[5]};
}

/// Status message payload (device to host): a 21-byte header, then user_data_length bytes of
/// user data, which the host reads separately.
inline constexpr std::size_t handle_status_header_length = 21;

struct HandleStatus {
    std::uint16_t device_id = 0;
    std::uint8_t error_flag = 0;
    std::uint8_t hall_effect_sensor_level = 0;  ///< the handle connection sensor
    std::array<float, 4> quaternion{};          ///< components in wire order
    std::uint8_t user_data_length = 0;
};

inline void encode_handle_status(std::uint8_t* payload, const HandleStatus& status) {
    Wire::store_u16(payload, status.device_id);
    payload[2] = status.error_flag;
    payload[3] = status.hall_effect_sensor_level;
    for (std::size_t i = 0; i < 4; ++i) Wire::store_f32(payload + 4 + 4 * i, status.quaternion[i]);
    payload[20] = status.user_data_length;
}

inline HandleStatus decode_handle_status(const std::uint8_t* payload) {
    HandleStatus status;
    status.device_id = Wire::load_u16(payload);
    status.error_flag = payload[2];
    status.hall_effect_sensor_level = payload[3];
    for (std::size_t i = 0; i < 4; ++i) status.quaternion[i] = Wire::load_f32(payload + 4 + 4 * i);
    status.user_data_length = payload[20];
    return status;
}

/// Error message payload (device to host), 3 bytes.
inline constexpr std::size_t handle_error_payload_length = 3;

struct HandleError {
    std::uint16_t device_id = 0;
    std::uint8_t error_code = 0;
};

inline void encode_handle_error(std::uint8_t* payload, const HandleError& error) {
    Wire::store_u16(payload, error.device_id);
    payload[2] = error.error_code;
}

inline HandleError decode_handle_error(const std::uint8_t* payload) {
    return {Wire::load_u16(payload), payload[2]};
}

}  // namespace Zelkor::HardwareAPI::Protocol
