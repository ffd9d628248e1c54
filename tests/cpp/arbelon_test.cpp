// Arbelon exchanges against a pseudo-terminal playing the device: bytes in, bytes out.
#include <ZelkorHardwareAPI/devices/arbelon.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>

#include "pty.h"

using Zelkor::HardwareAPI::UUID;
using Zelkor::HardwareAPI::Vector3;
using Zelkor::HardwareAPI::Devices::Arbelon;
using Zelkor::HardwareAPI::IO::SerialStream;
using zelkor_test::Bytes;
using zelkor_test::cat;
using zelkor_test::Clock;
using zelkor_test::ms_since;
using zelkor_test::Pty;

namespace {

// Little-endian bytes of floats, written independently of the library's encoder.
Bytes le(std::initializer_list<float> values) {
    Bytes out;
    for (float v : values) {
        std::uint32_t bits;
        std::memcpy(&bits, &v, 4);
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    }
    return out;
}

struct Rig {
    Pty pty;
    SerialStream stream{pty.path().c_str()};
    Arbelon arm{&stream};
};

using StateExchange = int (Arbelon::*)(const Vector3&, Vector3&, Vector3&);

const Vector3 sentinel{-7.0f, -7.0f, -7.0f};
const Bytes state_payload = le({1.5f, -2.25f, 3.0f, 0.125f, -0.5f, 1e-3f});
const Vector3 state_position{1.5f, -2.25f, 3.0f};
const Vector3 state_velocity{0.125f, -0.5f, 1e-3f};

}  // namespace

TEST(arbelon_test, state_exchanges) {
    const Bytes request_123 = {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00,
                               0x00, 0x40, 0x00, 0x00, 0x40, 0x40};
    struct Case {
        const char* name;
        StateExchange exchange;
        Vector3 request;
        Bytes expected_request;
        Bytes reply;
        int expected_result;
        bool outputs_written;
    } cases[] = {
        {"force 1,2,3",
         &Arbelon::end_effector_force,
         {1, 2, 3},
         cat({{0x2A}, request_123}),
         cat({{0x2B}, state_payload}),
         24,
         true},
        {"position shares the end-effector reply",
         &Arbelon::end_effector_position,
         {1, 2, 3},
         cat({{0x2C}, request_123}),
         cat({{0x2B}, state_payload}),
         24,
         true},
        {"torques",
         &Arbelon::joint_torques,
         {1, 2, 3},
         cat({{0x1A}, request_123}),
         cat({{0x1B}, state_payload}),
         24,
         true},
        {"angles share the joint reply",
         &Arbelon::joint_angles,
         {-1.0f, 0.0f, 0.5f},
         cat({{0x1C}, le({-1.0f, 0.0f, 0.5f})}),
         cat({{0x1B}, state_payload}),
         24,
         true},
        {"zeros",
         &Arbelon::end_effector_force,
         {0, 0, 0},
         cat({{0x2A}, Bytes(12, 0)}),
         cat({{0x2B}, state_payload}),
         24,
         true},
        {"short payload",
         &Arbelon::end_effector_force,
         {1, 2, 3},
         cat({{0x2A}, request_123}),
         cat({{0x2B}, Bytes(10, 0x11)}),
         10,
         false},
        {"code only",
         &Arbelon::joint_angles,
         {1, 2, 3},
         cat({{0x1C}, request_123}),
         {0x1B},
         0,
         false},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.pty.send(c.reply);
        Vector3 position = sentinel, velocity = sentinel;
        EXPECT_EQ((rig.arm.*c.exchange)(c.request, position, velocity), c.expected_result)
            << c.name;
        EXPECT_EQ(rig.pty.receive(13), c.expected_request) << c.name;
        EXPECT_EQ(position, c.outputs_written ? state_position : sentinel) << c.name;
        EXPECT_EQ(velocity, c.outputs_written ? state_velocity : sentinel) << c.name;
    }
}

TEST(arbelon_test, wrong_code_discards_with_exactly_one_long_read) {
    struct Case {
        const char* name;
        StateExchange exchange;
        std::uint8_t wrong_code;
    } cases[] = {
        {"torques answered with an end-effector state", &Arbelon::joint_torques, 0x2B},
        {"force answered with a joint state", &Arbelon::end_effector_force, 0x1B},
        {"force answered with its own request code", &Arbelon::end_effector_force, 0x2A},
    };
    for (const auto& c : cases) {
        Rig rig;
        // The wrong code, then 1024 + 5 bytes: one discard read takes 1024 at once and leaves
        // exactly the last 5 for whoever reads next.
        Bytes tail(1029);
        for (std::size_t i = 0; i < tail.size(); ++i) tail[i] = static_cast<std::uint8_t>(i);
        rig.pty.send(cat({{c.wrong_code}, tail}));
        Vector3 position = sentinel, velocity = sentinel;
        const auto start = Clock::now();
        EXPECT_EQ((rig.arm.*c.exchange)({1, 2, 3}, position, velocity), -1) << c.name;
        EXPECT_LT(ms_since(start), 500.0) << c.name;
        EXPECT_EQ(position, sentinel) << c.name;
        EXPECT_EQ(velocity, sentinel) << c.name;
        char rest[16];
        rig.stream.read(rest, 16);
        ASSERT_EQ(rig.stream.gcount(), 5) << c.name;
        EXPECT_EQ(std::memcmp(rest, tail.data() + 1024, 5), 0) << c.name;
    }
}

TEST(arbelon_test, a_trickle_after_a_wrong_code_is_drained_no_longer_than_a_reply_takes) {
    Rig rig;
    // The wrong code, then a byte every 0.9 s: each byte renews the drain's 1 s interval, so
    // only the 25-byte reply's own time-out (1.2 s) ends the drain.
    std::atomic<bool> drained{false};
    std::thread device([&] {
        rig.pty.receive(13);
        rig.pty.send({0x1B});
        for (int ticks = 0; !drained; ++ticks) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (ticks % 18 == 17) rig.pty.send({0x55});
        }
    });
    Vector3 position = sentinel, velocity = sentinel;
    const auto start = Clock::now();
    EXPECT_EQ(rig.arm.end_effector_force({1, 2, 3}, position, velocity), -1);
    const double took = ms_since(start);
    drained = true;
    device.join();
    EXPECT_GE(took, 1200.0 - zelkor_test::time_out_slack_ms);
    EXPECT_LT(took, 3000.0) << "not the drain's own 9 s";
    EXPECT_EQ(position, sentinel);

    // The trickle goes on after the drain; the next request drops what came of it.
    rig.pty.send({0x55});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::thread answer([&] {
        rig.pty.receive(13);
        rig.pty.send(cat({{0x2B}, state_payload}));
    });
    EXPECT_EQ(rig.arm.end_effector_force({1, 2, 3}, position, velocity), 24);
    answer.join();
    EXPECT_EQ(position, state_position);
}

TEST(arbelon_test, silent_line_fails_after_one_code_time_out_without_a_discard) {
    Rig rig;
    // A byte left in the receive buffer by an earlier reply must not pass for a fresh code.
    rig.pty.send(cat({{0x2B}, state_payload}));
    Vector3 position, velocity;
    ASSERT_EQ(rig.arm.end_effector_force({0, 0, 0}, position, velocity), 24);

    position = sentinel;
    velocity = sentinel;
    const auto start = Clock::now();
    EXPECT_EQ(rig.arm.end_effector_force({0, 0, 0}, position, velocity), -1);
    const double took = ms_since(start);
    EXPECT_GE(took, 1000.0);
    EXPECT_LT(took, 2500.0) << "one 1-byte time-out, no discard read after it";
    EXPECT_EQ(position, sentinel);
    EXPECT_EQ(velocity, sentinel);
}

TEST(arbelon_test, identity_exchange) {
    Bytes uuid_bytes;
    for (int i = 0x10; i <= 0x1F; ++i) uuid_bytes.push_back(static_cast<std::uint8_t>(i));
    struct Case {
        const char* name;
        Bytes reply;
        int expected_result;
        bool outputs_written;
    } cases[] = {
        {"complete", cat({{0x0B, 0x34, 0x12, 0x07, 0x02, 0x05}, uuid_bytes}), 21, true},
        {"short", cat({{0x0B}, Bytes(10, 0x42)}), 10, false},
        {"wrong code", cat({{0x2B}, Bytes(21, 0x42)}), -1, false},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.pty.send(c.reply);
        std::uint16_t id = 0xAAAA;
        std::uint8_t model = 0xAA, hardware = 0xAA, firmware = 0xAA;
        UUID uuid;
        uuid.bytes.fill(0xAA);
        EXPECT_EQ(rig.arm.device_wakeup(id, model, hardware, firmware, uuid), c.expected_result)
            << c.name;
        EXPECT_EQ(rig.pty.receive(2, 300), Bytes{0x0A}) << c.name << ": exactly the wake-up byte";
        if (c.outputs_written) {
            EXPECT_EQ(id, 4660);
            EXPECT_EQ(model, 7);
            EXPECT_EQ(hardware, 2);
            EXPECT_EQ(firmware, 5);
            EXPECT_TRUE(std::equal(uuid.bytes.begin(), uuid.bytes.end(), uuid_bytes.begin()));
        } else {
            EXPECT_EQ(id, 0xAAAA) << c.name;
            EXPECT_EQ(model + hardware + firmware, 3 * 0xAA) << c.name;
            for (auto b : uuid.bytes) EXPECT_EQ(b, 0xAA) << c.name;
        }
    }
}

TEST(arbelon_test, construction) {
    Pty pty;
    SerialStream stream(pty.path().c_str());
    { Arbelon arm(&stream); }
    EXPECT_TRUE(pty.drain().empty()) << "constructing a device writes nothing";
    EXPECT_THROW(Arbelon(nullptr), std::invalid_argument);
}

TEST(arbelon_test, surplus_reply_bytes_wait_for_the_next_receive) {
    // A reply longer than its layout leaves the surplus in the line, where the next exchange
    // takes its first byte as the reply code.
    Rig rig;
    rig.pty.send(cat({{0x2B}, state_payload, {0x1B}, state_payload}));
    Vector3 position, velocity;
    EXPECT_EQ(rig.arm.end_effector_force({0, 0, 0}, position, velocity), 24);
    EXPECT_EQ(rig.arm.joint_angles({0, 0, 0}, position, velocity), 24);
    EXPECT_EQ(position, state_position);
}

// ---- The exchange's halves by their CamelCase names (SendForce, ReceiveState) ----

TEST(arbelon_legacy_test, sends_put_the_current_requests_on_the_wire) {
    using LegacySend = void (Arbelon::*)(const Vector3&);
    const Vector3 values{0.5f, -1.25f, 100.0f};
    const Bytes payload = le({0.5f, -1.25f, 100.0f});
    struct Case {
        const char* name;
        LegacySend send;
        StateExchange current;
        std::uint8_t code;
        std::uint8_t reply_code;
    } cases[] = {
        {"SendForce", &Arbelon::SendForce, &Arbelon::end_effector_force, 0x2A, 0x2B},
        {"send_force", &Arbelon::send_force, &Arbelon::end_effector_force, 0x2A, 0x2B},
        {"SendPosition", &Arbelon::SendPosition, &Arbelon::end_effector_position, 0x2C, 0x2B},
        {"SendJointTorques", &Arbelon::SendJointTorques, &Arbelon::joint_torques, 0x1A, 0x1B},
        {"SendAngle", &Arbelon::SendAngle, &Arbelon::joint_angles, 0x1C, 0x1B},
    };
    for (const auto& c : cases) {
        Rig rig;
        (rig.arm.*c.send)(values);
        const Bytes legacy = rig.pty.receive(14, 300);
        EXPECT_EQ(legacy, cat({{c.code}, payload}))
            << c.name << " writes 13 bytes and reads nothing";
        rig.pty.send(cat({{c.reply_code}, state_payload}));
        Vector3 position, velocity;
        ASSERT_EQ((rig.arm.*c.current)(values, position, velocity), 24) << c.name;
        EXPECT_EQ(rig.pty.receive(13), legacy) << c.name << " and its current exchange agree";
    }

    Rig rig;
    rig.arm.SendDeviceWakeup();
    rig.arm.RequestCurrent();
    EXPECT_EQ(rig.pty.receive(3, 300), (Bytes{0x0A, 0xAB}));
}

TEST(arbelon_legacy_test, receive_halves) {
    using Receive = std::function<int(Arbelon&, Vector3&, Vector3&)>;
    const Receive state = [](Arbelon& a, Vector3& p, Vector3& v) { return a.ReceiveState(p, v); };
    const Receive split = [](Arbelon& a, Vector3& p, Vector3& v) { return a.receive_state(p, v); };
    const Receive joint = [](Arbelon& a, Vector3& p, Vector3& v) {
        return a.ReceiveJointState(p, v);
    };
    const Receive current = [](Arbelon& a, Vector3& p, Vector3&) { return a.ReceiveCurrent(p); };
    const Bytes currents = le({0.75f, -0.5f, 2.0f});
    struct Case {
        const char* name;
        Receive receive;
        Bytes input;
        int expected;
        Vector3 first, second;  // expected outputs
    } cases[] = {
        {"state", state, cat({{0x2B}, state_payload}), 24, state_position, state_velocity},
        {"state, short", state, cat({{0x2B}, Bytes(10, 1)}), 10, sentinel, sentinel},
        {"state, request code instead", state, cat({{0x2A}, state_payload}), -1, sentinel,
         sentinel},
        {"receive_state", split, cat({{0x2B}, state_payload}), 24, state_position, state_velocity},
        {"receive_state, short", split, cat({{0x2B}, Bytes(10, 1)}), 10, sentinel, sentinel},
        {"joint state", joint, cat({{0x1B}, state_payload}), 24, state_position, state_velocity},
        {"joint state, short", joint, cat({{0x1B}, Bytes(10, 1)}), 10, sentinel, sentinel},
        {"current", current, cat({{0xAB}, currents}), 12, {0.75f, -0.5f, 2.0f}, sentinel},
        {"current, state reply", current, cat({{0x2B}, state_payload}), -1, sentinel, sentinel},
        {"current, short", current, cat({{0xAB}, Bytes(11, 1)}), 11, sentinel, sentinel},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.pty.send(c.input);
        Vector3 first = sentinel, second = sentinel;
        EXPECT_EQ(c.receive(rig.arm, first, second), c.expected) << c.name;
        EXPECT_EQ(first, c.first) << c.name;
        EXPECT_EQ(second, c.second) << c.name;
        EXPECT_TRUE(rig.pty.drain(50).empty()) << c.name << ": a receive half writes nothing";
    }
}

TEST(arbelon_legacy_test, receive_device_info_by_itself) {
    Rig rig;
    Bytes uuid_bytes(16);
    for (int i = 0; i < 16; ++i) uuid_bytes[i] = static_cast<std::uint8_t>(0xF0 + i);
    rig.pty.send(cat({{0x0B, 0x34, 0x12, 0x05, 0x02, 0x07}, uuid_bytes}));
    std::uint16_t id = 1;
    std::uint8_t model = 1, hardware = 1, firmware = 1;
    UUID uuid;
    ASSERT_EQ(rig.arm.ReceiveDeviceInfo(id, model, hardware, firmware, uuid), 21);
    EXPECT_EQ(id, 0x1234);
    EXPECT_EQ(model, 5);
    EXPECT_EQ(hardware, 2);
    EXPECT_EQ(firmware, 7);
    EXPECT_TRUE(std::equal(uuid.bytes.begin(), uuid.bytes.end(), uuid_bytes.begin()));
    EXPECT_TRUE(rig.pty.drain(50).empty());
}
