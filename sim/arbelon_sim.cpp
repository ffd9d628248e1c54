#include "arbelon_sim.h"

#include <algorithm>
#include <array>

namespace Zelkor::Sim {

namespace Protocol = HardwareAPI::Protocol;
namespace Code = Protocol::Code;
using HardwareAPI::Vector3;

namespace {

long arbelon_message_length(const std::uint8_t* bytes, std::size_t) {
    switch (bytes[0]) {
        case Code::wakeup:
        case Code::current:
            return 1;
        case Code::end_effector_force:
        case Code::end_effector_position:
        case Code::joint_torques:
        case Code::joint_angles:
            return static_cast<long>(Protocol::vector_request_length);
        default:
            return -1;
    }
}

Vec3 widen(const Vector3& v) {
    return {v[0], v[1], v[2]};
}

Vector3 narrow(const Vec3& v) {
    return {static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
}

bool is_state_request(std::uint8_t code) {
    return code == Code::end_effector_force || code == Code::end_effector_position ||
           code == Code::joint_torques || code == Code::joint_angles;
}

const char* request_name(std::uint8_t code) {
    switch (code) {
        case Code::end_effector_force:
            return "force";
        case Code::end_effector_position:
            return "position";
        case Code::joint_torques:
            return "torques";
        default:
            return "angles";
    }
}

}  // namespace

ArbelonSim::ArbelonSim(const Protocol::DeviceInfo& identity, double fixed_dt,
                       const ArmParameters& arm)
    : identity_(identity), fixed_dt_(fixed_dt), arm_(arm) {}

MessageLength ArbelonSim::message_length() const {
    return arbelon_message_length;
}

void ArbelonSim::advance(std::uint8_t code, double now) {
    double dt = 0.0;
    if (fixed_dt_ > 0.0) {
        if (is_state_request(code)) dt = fixed_dt_;
    } else if (clock_started_) {
        dt = std::clamp(now - last_request_, 0.0, max_dt);
    }
    clock_started_ = true;
    last_request_ = now;
    arm_.step(dt);
}

void ArbelonSim::trace_to(std::FILE* trace) {
    trace_ = trace;
    std::fputs(
        "time,request,x,y,z,position_x,position_y,position_z,velocity_x,velocity_y,velocity_z\n",
        trace_);
}

void ArbelonSim::trace(std::uint8_t code, const Vector3& request) const {
    if (trace_ == nullptr) return;
    const Vec3 p = arm_.position(), v = arm_.velocity();
    std::fprintf(trace_, "%.6f,%s,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g\n", arm_.time(),
                 request_name(code), request[0], request[1], request[2], p[0], p[1], p[2], v[0],
                 v[1], v[2]);
}

void ArbelonSim::receive(const std::uint8_t* message, std::size_t, double now, Outbox& out) {
    const std::uint8_t code = message[0];
    advance(code, now);

    std::array<std::uint8_t, 1 + Protocol::state_payload_length> reply{};
    std::uint8_t* payload = reply.data() + 1;
    switch (code) {
        case Code::wakeup:
            reply[0] = Code::device_info;
            Protocol::encode_device_info(payload, identity_);
            out.send(reply.data(), 1 + Protocol::device_info_payload_length);
            return;
        case Code::current:
            reply[0] = Code::current;
            Protocol::encode_current(payload, narrow(arm_.motor_current()));
            out.send(reply.data(), 1 + Protocol::current_payload_length);
            return;
        case Code::end_effector_force:
        case Code::end_effector_position:
            arm_.command(
                code == Code::end_effector_force ? ArmModel::Mode::force : ArmModel::Mode::position,
                widen(Protocol::decode_vector_request(message)));
            trace(code, Protocol::decode_vector_request(message));
            reply[0] = Code::end_effector_state;
            if (echo_ && code == Code::end_effector_force) {
                Protocol::encode_state(payload, Protocol::decode_vector_request(message), {});
            } else {
                Protocol::encode_state(payload, narrow(arm_.position()), narrow(arm_.velocity()));
            }
            out.send(reply.data(), reply.size());
            return;
        case Code::joint_torques:
        case Code::joint_angles:
            arm_.command(
                code == Code::joint_torques ? ArmModel::Mode::torque : ArmModel::Mode::angles,
                widen(Protocol::decode_vector_request(message)));
            trace(code, Protocol::decode_vector_request(message));
            reply[0] = Code::joint_state;
            Protocol::encode_state(payload, narrow(arm_.joint_position()),
                                   narrow(arm_.joint_velocity()));
            out.send(reply.data(), reply.size());
            return;
        default:
            return;  // framed by arbelon_message_length, so never reached
    }
}

void ArbelonSim::disconnected() {
    arm_.relax();
    clock_started_ = false;
}

}  // namespace Zelkor::Sim
