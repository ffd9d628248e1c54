#include <ZelkorHardwareAPI/devices/arbelon.h>

#include "devices/protocol.h"

namespace Zelkor::HardwareAPI::Devices {

namespace Code = Protocol::Code;

static_assert(Arbelon::state_reply_length == Protocol::state_payload_length);

int Arbelon::device_wakeup(std::uint16_t& device_id, std::uint8_t& device_model_number,
                           std::uint8_t& hardware_version, std::uint8_t& firmware_version,
                           UUID& uuid) {
    SendDeviceWakeup();
    return ReceiveDeviceInfo(device_id, device_model_number, hardware_version, firmware_version,
                             uuid);
}

int Arbelon::end_effector_force(const Vector3& force, Vector3& position, Vector3& velocity) {
    send_force(force);
    return receive_state(position, velocity);
}

int Arbelon::end_effector_position(const Vector3& position_request, Vector3& position,
                                   Vector3& velocity) {
    SendPosition(position_request);
    return receive_state(position, velocity);
}

int Arbelon::joint_torques(const Vector3& joint_torque, Vector3& joint_position,
                           Vector3& joint_velocity) {
    SendJointTorques(joint_torque);
    return ReceiveJointState(joint_position, joint_velocity);
}

int Arbelon::joint_angles(const Vector3& angle, Vector3& joint_position, Vector3& joint_velocity) {
    SendAngle(angle);
    return ReceiveJointState(joint_position, joint_velocity);
}

void Arbelon::SendDeviceWakeup() {
    send_code(Code::wakeup);
}
void Arbelon::send_force(const Vector3& force) {
    send_vector(Code::end_effector_force, force);
}
void Arbelon::SendForce(const Vector3& force) {
    send_force(force);
}
void Arbelon::SendPosition(const Vector3& position) {
    send_vector(Code::end_effector_position, position);
}
void Arbelon::SendJointTorques(const Vector3& joint_torque) {
    send_vector(Code::joint_torques, joint_torque);
}
void Arbelon::SendAngle(const Vector3& angle) {
    send_vector(Code::joint_angles, angle);
}
void Arbelon::RequestCurrent() {
    send_code(Code::current);
}

int Arbelon::ReceiveDeviceInfo(std::uint16_t& device_id, std::uint8_t& device_model_number,
                               std::uint8_t& hardware_version, std::uint8_t& firmware_version,
                               UUID& uuid) {
    const int n = receive_reply(Code::device_info, Protocol::device_info_payload_length);
    if (n != static_cast<int>(Protocol::device_info_payload_length)) return n;
    const Protocol::DeviceInfo info = Protocol::decode_device_info(receive_buffer.get());
    device_id = info.device_id;
    device_model_number = info.device_model_number;
    hardware_version = info.hardware_version;
    firmware_version = info.firmware_version;
    uuid = info.uuid;
    return n;
}

int Arbelon::receive_state(Vector3& position, Vector3& velocity) {
    return receive_pair(Code::end_effector_state, position, velocity);
}
int Arbelon::ReceiveState(Vector3& position, Vector3& velocity) {
    return receive_state(position, velocity);
}

int Arbelon::ReceiveJointState(Vector3& joint_position, Vector3& joint_velocity) {
    return receive_pair(Code::joint_state, joint_position, joint_velocity);
}

int Arbelon::ReceiveCurrent(Vector3& current) {
    const int n = receive_reply(Code::current, Protocol::current_payload_length);
    if (n == static_cast<int>(Protocol::current_payload_length)) {
        current = Protocol::decode_current(receive_buffer.get());
    }
    return n;
}

void Arbelon::send_code(std::uint8_t code) {
    send_buffer[0] = code;
    send_request(1);
}

void Arbelon::send_vector(std::uint8_t code, const Vector3& values) {
    Protocol::encode_vector_request(send_buffer.get(), code, values);
    send_request(Protocol::vector_request_length);
}

int Arbelon::receive_pair(std::uint8_t code, Vector3& first, Vector3& second) {
    const int n = receive_reply(code, Protocol::state_payload_length);
    if (n == static_cast<int>(Protocol::state_payload_length)) {
        Protocol::decode_state(receive_buffer.get(), first, second);
    }
    return n;
}

}  // namespace Zelkor::HardwareAPI::Devices
