// The wire protocol of both devices: message codes and the byte layout of every message.
// Each layout is written once here, with its encoder and decoder side by side; the device
// classes use one direction, the device simulator the other.
//
// Every message is a one-byte code followed by a fixed payload (the handle's state and status
// messages carry a length byte for their user data). Payload offsets count from the first
// byte after the code. Values are little-endian and packed (see wire.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "devices/uuid.h"
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

inline Vector3 decode_current(const std::uint8_t* payload) { return Wire::load_vector(payload); }

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

}  // namespace Zelkor::HardwareAPI::Protocol
