#pragma once

#include <ZelkorHardwareAPI/devices/device.h>
#include <ZelkorHardwareAPI/devices/uuid.h>
#include <ZelkorHardwareAPI/devices/vector.h>
#include <ZelkorHardwareAPI/export.h>

#include <cstdint>

namespace Zelkor::HardwareAPI::Devices {

/// The arm: a three-axis end-effector driven by three joints.
///
/// Every exchange writes one request and reads the device's reply before it returns. Receive
/// results: the payload length when the whole reply arrived (outputs written); the number of
/// payload bytes when the payload came up short, or -1 when no reply code arrived or it was
/// the wrong one (outputs untouched in both cases). A wrong code costs one further read of up
/// to 1024 bytes that discards the rest of that reply. Nothing throws, nothing allocates.
/// Blocking: one write (up to 8 ms per byte) and up to two reads (each up to 8 ms per byte
/// + 1000 ms). One thread at a time.
class ZELKOR_API Arbelon : public Device {
  public:
    using Device::Device;

    /// The result of a state exchange whose whole reply arrived (its payload length).
    static constexpr int state_reply_length = 24;

    // ---- Current exchanges ----

    /// Wakes the device (0x0A) and reads its identity (0x0B). 21 on success.
    int device_wakeup(std::uint16_t& device_id, std::uint8_t& device_model_number,
                      std::uint8_t& hardware_version, std::uint8_t& firmware_version, UUID& uuid);
    /// Sends an end-effector force (0x2A) and reads the end-effector state (0x2B). 24 on
    /// success.
    int end_effector_force(const Vector3& force, Vector3& position, Vector3& velocity);
    /// Sends an end-effector position (0x2C) and reads the end-effector state (0x2B).
    int end_effector_position(const Vector3& position_request, Vector3& position,
                              Vector3& velocity);
    /// Sends joint torques (0x1A) and reads the joint state (0x1B). 24 on success.
    int joint_torques(const Vector3& joint_torque, Vector3& joint_position,
                      Vector3& joint_velocity);
    /// Sends joint angles (0x1C) and reads the joint state (0x1B).
    int joint_angles(const Vector3& angle, Vector3& joint_position, Vector3& joint_velocity);

    // ---- Split halves of the force exchange, for a caller that keeps a request in flight ----

    /// Writes an end-effector force request (0x2A) without reading its reply: the first half of
    /// end_effector_force (a servo with a request in flight writes the next before it reads).
    void send_force(const Vector3& force);
    /// Reads an end-effector state reply (0x2B): the second half. 24 on success; the
    /// receive results of the class otherwise.
    int receive_state(Vector3& position, Vector3& velocity);

    // ---- The older split methods: each current exchange is one send below and one receive ----

    void SendDeviceWakeup();
    void SendForce(const Vector3& force);
    void SendPosition(const Vector3& position);
    void SendJointTorques(const Vector3& joint_torque);
    void SendAngle(const Vector3& angle);
    /// Asks for the three motor currents (0xAB); read them with ReceiveCurrent.
    void RequestCurrent();

    /// Reads the identity reply (0x0B). The identity is copied to `uuid` (16 bytes). 21 on
    /// success.
    int ReceiveDeviceInfo(std::uint16_t& device_id, std::uint8_t& device_model_number,
                          std::uint8_t& hardware_version, std::uint8_t& firmware_version,
                          UUID& uuid);
    /// Reads an end-effector state reply (0x2B). 24 on success.
    int ReceiveState(Vector3& position, Vector3& velocity);
    /// Reads a joint state reply (0x1B), in the joint reference frame. 24 on success.
    int ReceiveJointState(Vector3& joint_position, Vector3& joint_velocity);
    /// Reads a current reply (0xAB). 12 on success.
    int ReceiveCurrent(Vector3& current);

  private:
    void send_code(std::uint8_t code);
    void send_vector(std::uint8_t code, const Vector3& values);
    int receive_pair(std::uint8_t code, Vector3& first, Vector3& second);
};

}  // namespace Zelkor::HardwareAPI::Devices
