// The simulator's message handling: framing, the two devices' answers, fault injection and
// the command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "arbelon_sim.h"
#include "devices/protocol.h"
#include "faults.h"
#include "framer.h"
#include "handle_sim.h"
#include "options.h"

namespace {

namespace Protocol = Zelkor::HardwareAPI::Protocol;
using namespace Zelkor::Sim;
using Zelkor::HardwareAPI::Vector3;
using Bytes = std::vector<std::uint8_t>;

// Keeps every message a device sends.
struct Recorder : Outbox {
    std::vector<Bytes> messages;
    void send(const std::uint8_t* message, std::size_t length) override {
        messages.emplace_back(message, message + length);
    }
    Bytes joined() const {
        Bytes all;
        for (const Bytes& m : messages) all.insert(all.end(), m.begin(), m.end());
        return all;
    }
};

Bytes vector_request(std::uint8_t code, float x, float y, float z) {
    Bytes message(Protocol::vector_request_length);
    Protocol::encode_vector_request(message.data(), code, {x, y, z});
    return message;
}

Bytes handle_state(std::uint16_t device_id, const Bytes& data) {
    Bytes message(Protocol::handle_state_header_length);
    Protocol::encode_handle_state(message.data(),
                                  {device_id, static_cast<std::uint8_t>(data.size())});
    message.insert(message.end(), data.begin(), data.end());
    return message;
}

Protocol::DeviceInfo identity() {
    Protocol::DeviceInfo info;
    info.device_id = 0x1234;
    info.device_model_number = 7;
    info.hardware_version = 2;
    info.firmware_version = 5;
    for (std::size_t i = 0; i < 16; ++i) info.uuid.bytes[i] = static_cast<std::uint8_t>(0x10 + i);
    return info;
}

// ---- Framer ------------------------------------------------------------------------------

TEST(sim_framer_test, splits_the_stream_into_messages_and_garbage) {
    const HandleSim handle({});
    const struct {
        const char* name;
        std::vector<Bytes> chunks;
        std::vector<std::pair<Framer::Item::Kind, Bytes>> items;
    } cases[] = {
        {"one message", {{0x0A}}, {{Framer::Item::Kind::message, {0x0A}}}},
        {"two in one chunk",
         {{0x0A, 0xDB, 0x01, 0x00, 0x01, 0x55}},
         {{Framer::Item::Kind::message, {0x0A}},
          {Framer::Item::Kind::message, {0xDB, 0x01, 0x00, 0x01, 0x55}}}},
        {"header split",
         {{0xDB, 0x01}, {0x00, 0x02, 0xAA}, {0xBB}},
         {{Framer::Item::Kind::message, {0xDB, 0x01, 0x00, 0x02, 0xAA, 0xBB}}}},
        {"garbage run before a message",
         {{0x55, 0x66, 0x77, 0x0A}},
         {{Framer::Item::Kind::garbage, {0x55, 0x66, 0x77}},
          {Framer::Item::Kind::message, {0x0A}}}},
        {"no user data",
         {{0xDB, 0x02, 0x01, 0x00}},
         {{Framer::Item::Kind::message, {0xDB, 0x02, 0x01, 0x00}}}},
        {"partial message stays", {{0xDB, 0x01, 0x00, 0x05, 0x01}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Framer framer(handle.message_length());
        std::vector<std::pair<Framer::Item::Kind, Bytes>> got;
        for (const Bytes& chunk : c.chunks) {
            ASSERT_EQ(framer.push(chunk.data(), chunk.size(), 0.0), chunk.size());
            for (auto item = framer.next(); item.kind != Framer::Item::Kind::none;
                 item = framer.next()) {
                got.emplace_back(item.kind, Bytes(item.data, item.data + item.length));
            }
        }
        EXPECT_EQ(got, c.items);
    }
}

TEST(sim_framer_test, drops_a_message_that_stops_short_once_it_goes_stale) {
    const HandleSim handle({});
    Framer framer(handle.message_length());
    const Bytes partial{0xDB, 0x01, 0x00, 0x03, 0xAA};
    framer.push(partial.data(), partial.size(), 10.0);
    EXPECT_EQ(framer.next().kind, Framer::Item::Kind::none);
    EXPECT_DOUBLE_EQ(framer.deadline(), 10.0 + Framer::stale_after);
    EXPECT_EQ(framer.expire(10.0 + Framer::stale_after / 2), 0u);
    EXPECT_EQ(framer.expire(10.0 + Framer::stale_after), partial.size());
    EXPECT_TRUE(std::isinf(framer.deadline()));
    // The next message is framed from a clean start.
    const Bytes wake{0x0A};
    framer.push(wake.data(), wake.size(), 11.0);
    const auto item = framer.next();
    EXPECT_EQ(item.kind, Framer::Item::Kind::message);
    EXPECT_EQ(item.length, 1u);
}

TEST(sim_framer_test, takes_a_long_stream_in_pieces_without_losing_bytes) {
    const ArbelonSim arbelon(identity(), 0.001);
    Framer framer(arbelon.message_length());
    Bytes stream;
    for (int i = 0; i < 100; ++i) {
        const Bytes m = vector_request(0x2A, static_cast<float>(i), 0, 0);
        stream.insert(stream.end(), m.begin(), m.end());
    }
    std::size_t done = 0, messages = 0;
    while (done < stream.size()) {
        done += framer.push(stream.data() + done, stream.size() - done, 0.0);
        for (auto item = framer.next(); item.kind != Framer::Item::Kind::none;
             item = framer.next()) {
            ASSERT_EQ(item.kind, Framer::Item::Kind::message);
            EXPECT_EQ(Protocol::decode_vector_request(item.data)[0], static_cast<float>(messages));
            ++messages;
        }
    }
    EXPECT_EQ(messages, 100u);
}

TEST(sim_framer_test, random_input_gives_only_well_formed_answers) {
    // Random bytes in random pieces, through framing, both devices and every fault: under
    // the sanitizers this also shows that nothing reads or writes out of bounds.
    ArbelonSim arbelon(identity(), 0.001);
    HandleSettings handle_settings;
    handle_settings.error_every = 5;
    HandleSim handle(handle_settings);
    for (SimDevice* device :
         {static_cast<SimDevice*>(&arbelon), static_cast<SimDevice*>(&handle)}) {
        Random random(99);
        Recorder out;
        Faults faults({3, 0.05, 0.05, 0.05, 0.05}, out);
        Framer framer(device->message_length());
        double now = 0.0;
        std::size_t messages = 0;
        for (int round = 0; round < 3000; ++round) {
            Bytes chunk(random.below(40));
            for (auto& b : chunk) {
                // Mostly request codes, so that whole messages get through too.
                const std::uint8_t codes[] = {0x0A, 0x2A, 0x2C, 0x1A, 0x1C, 0xAB, 0xDB};
                b = random.below(3) == 0 ? codes[random.below(7)]
                                         : static_cast<std::uint8_t>(random.below(256));
            }
            now += 0.001 * static_cast<double>(random.below(150));
            framer.expire(now);
            std::size_t done = 0;
            while (done < chunk.size()) {
                done += framer.push(chunk.data() + done, chunk.size() - done, now);
                for (auto item = framer.next(); item.kind != Framer::Item::Kind::none;
                     item = framer.next()) {
                    if (item.kind == Framer::Item::Kind::garbage) {
                        device->malformed(now, faults);
                    } else {
                        ++messages;
                        device->receive(item.data, item.length, now, faults);
                    }
                }
            }
            device->tick(now, faults);
        }
        EXPECT_GT(messages, 500u);
        std::size_t clean = 0;
        for (const Bytes& m : out.messages) {
            ASSERT_FALSE(m.empty());
            ASSERT_LE(m.size(), max_message_length);
            switch (m[0]) {
                case 0x0B:
                    clean += m.size() == 22;
                    break;
                case 0x2B:
                case 0x1B:
                    clean += m.size() == 25;
                    break;
                case 0xAB:
                    clean += m.size() == 13;
                    break;
                case 0xD0:
                    clean += m.size() == 7;
                    break;
                case 0xDF:
                    clean += m.size() == 4;
                    break;
                case 0xDA:
                    clean += m.size() >= 22 && m.size() == 22u + m[21];
                    break;
                default:
                    break;  // garbage or a wrong code
            }
        }
        EXPECT_GT(clean, out.messages.size() / 2);
        const auto& q = arbelon.arm().joint_position();
        EXPECT_TRUE(std::isfinite(q[0]) && std::isfinite(q[1]) && std::isfinite(q[2]));
    }
}

// ---- Arbelon -----------------------------------------------------------------------------

TEST(sim_arbelon_test, frames_exactly_the_arbelon_requests) {
    const ArbelonSim arbelon(identity(), 0.001);
    const auto length = arbelon.message_length();
    for (int code = 0; code < 256; ++code) {
        const std::uint8_t byte = static_cast<std::uint8_t>(code);
        long want = -1;
        if (byte == 0x0A || byte == 0xAB) want = 1;
        if (byte == 0x2A || byte == 0x2C || byte == 0x1A || byte == 0x1C) want = 13;
        EXPECT_EQ(length(&byte, 1), want) << "code " << code;
    }
}

TEST(sim_arbelon_test, answers_each_request_with_its_reply) {
    ArbelonSim arbelon(identity(), 0.001);
    const ArmModel& arm = arbelon.arm();
    const struct {
        Bytes request;
        std::uint8_t reply_code;
        std::size_t reply_length;
    } cases[] = {
        {{0x0A}, 0x0B, 22},
        {vector_request(0x2A, 0, 0, 0.5f), 0x2B, 25},
        {vector_request(0x2C, 0.25f, 0, 0), 0x2B, 25},
        {vector_request(0x1A, 0.1f, 0, 0), 0x1B, 25},
        {vector_request(0x1C, 0, 0.5f, -1), 0x1B, 25},
        {{0xAB}, 0xAB, 13},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "request 0x" << std::hex << int(c.request[0]));
        Recorder out;
        arbelon.receive(c.request.data(), c.request.size(), 0.0, out);
        ASSERT_EQ(out.messages.size(), 1u);
        const Bytes& reply = out.messages[0];
        ASSERT_EQ(reply.size(), c.reply_length);
        EXPECT_EQ(reply[0], c.reply_code);
        const std::uint8_t* payload = reply.data() + 1;
        Vector3 first{}, second{};
        switch (c.reply_code) {
            case 0x0B: {
                const auto info = Protocol::decode_device_info(payload);
                EXPECT_EQ(info.device_id, 0x1234);
                EXPECT_EQ(info.device_model_number, 7);
                EXPECT_EQ(info.hardware_version, 2);
                EXPECT_EQ(info.firmware_version, 5);
                EXPECT_EQ(info.uuid.bytes, identity().uuid.bytes);
                break;
            }
            case 0x2B:
                Protocol::decode_state(payload, first, second);
                for (int i = 0; i < 3; ++i) {
                    EXPECT_FLOAT_EQ(first[i], static_cast<float>(arm.position()[i]));
                    EXPECT_FLOAT_EQ(second[i], static_cast<float>(arm.velocity()[i]));
                }
                break;
            case 0x1B:
                Protocol::decode_state(payload, first, second);
                for (int i = 0; i < 3; ++i) {
                    EXPECT_FLOAT_EQ(first[i], static_cast<float>(arm.joint_position()[i]));
                    EXPECT_FLOAT_EQ(second[i], static_cast<float>(arm.joint_velocity()[i]));
                }
                break;
            case 0xAB: {
                const auto current = Protocol::decode_current(payload);
                for (int i = 0; i < 3; ++i) {
                    EXPECT_FLOAT_EQ(current[i], static_cast<float>(arm.motor_current()[i]));
                }
                // The angle request before it is still in force and pulling.
                EXPECT_NE(current[1], 0.0f);
                break;
            }
        }
    }
}

TEST(sim_arbelon_test, echo_reports_the_force_asked_for_as_the_position) {
    ArbelonSim arbelon(identity(), 0.001);
    arbelon.echo_forces();
    Recorder out;
    const Bytes force = vector_request(0x2A, 1.5f, -2.0f, 0.25f);
    arbelon.receive(force.data(), force.size(), 0.0, out);
    ASSERT_EQ(out.messages.size(), 1u);
    ASSERT_EQ(out.messages[0].size(), 25u);
    Vector3 position{}, velocity{};
    Protocol::decode_state(out.messages[0].data() + 1, position, velocity);
    EXPECT_EQ(position, (Vector3{1.5f, -2.0f, 0.25f}));
    EXPECT_EQ(velocity, (Vector3{0.0f, 0.0f, 0.0f}));
}

TEST(sim_arbelon_test, each_request_selects_the_command_that_follows) {
    const struct {
        Bytes request;
        ArmModel::Mode mode;
    } cases[] = {
        {vector_request(0x2A, 1, 2, 3), ArmModel::Mode::force},
        {vector_request(0x2C, 1, 2, 3), ArmModel::Mode::position},
        {vector_request(0x1A, 1, 2, 3), ArmModel::Mode::torque},
        {vector_request(0x1C, 1, 2, 3), ArmModel::Mode::angles},
    };
    for (const auto& c : cases) {
        ArbelonSim arbelon(identity(), 0.001);
        Recorder out;
        arbelon.receive(c.request.data(), c.request.size(), 0.0, out);
        EXPECT_EQ(arbelon.arm().mode(), c.mode);
        // Wake-up and current requests leave the command alone.
        for (std::uint8_t code : {0x0A, 0xAB}) arbelon.receive(&code, 1, 0.0, out);
        EXPECT_EQ(arbelon.arm().mode(), c.mode);
        arbelon.disconnected();
        EXPECT_EQ(arbelon.arm().mode(), ArmModel::Mode::torque);
        EXPECT_EQ(arbelon.arm().motor_torque(), (Vec3{0, 0, 0}));
    }
}

TEST(sim_arbelon_test, fixed_steps_make_runs_identical_and_lag_one_request) {
    const Bytes push = vector_request(0x2A, 0, 0, 1);
    const Bytes wake{0x0A};
    Bytes first_run;
    for (int run = 0; run < 2; ++run) {
        ArbelonSim arbelon(identity(), 0.002);
        Recorder out;
        // The clock is ignored: runs at different times give the same bytes.
        for (int i = 0; i < 50; ++i) {
            arbelon.receive(push.data(), push.size(), run * 100.0 + i * 0.37, out);
            arbelon.receive(wake.data(), wake.size(), run * 100.0 + i * 0.37, out);
        }
        if (run == 0)
            first_run = out.joined();
        else
            EXPECT_EQ(out.joined(), first_run);
        // The first reply shows the arm before the force acted; 49 steps of 2 ms follow.
        ArmModel reference;
        reference.command(ArmModel::Mode::force, {0, 0, 1});
        for (int i = 0; i < 49; ++i) reference.step(0.002);
        EXPECT_EQ(arbelon.arm().joint_position(), reference.joint_position());
        Vector3 p{}, v{};
        Protocol::decode_state(out.messages[0].data() + 1, p, v);
        EXPECT_NEAR(p[2], 0.0f, 1e-7);
    }
}

TEST(sim_arbelon_test, real_time_steps_are_the_time_between_requests_at_most_max_dt) {
    const Bytes push = vector_request(0x1A, 0, 0.2f, 0);
    ArbelonSim arbelon(identity(), 0.0);
    Recorder out;
    arbelon.receive(push.data(), push.size(), 5.0, out);
    arbelon.receive(push.data(), push.size(), 5.01, out);    // 10 ms
    arbelon.receive(push.data(), push.size(), 1000.0, out);  // a long pause: max_dt
    ArmModel reference;
    reference.command(ArmModel::Mode::torque, {0, 0.2, 0});
    reference.step(0.01);
    reference.step(ArbelonSim::max_dt);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(arbelon.arm().joint_position()[i], reference.joint_position()[i], 1e-9);
    }
}

// ---- Handle ------------------------------------------------------------------------------

HandleSettings handle_settings() {
    HandleSettings s;
    s.info = {9, 0x0D01, 2, 1, 3};
    s.status_rate = 100.0;
    return s;
}

TEST(sim_handle_test, wakes_up_then_streams_status_with_the_latest_user_data) {
    HandleSim handle(handle_settings());
    Recorder out;
    EXPECT_TRUE(std::isinf(handle.tick(0.0, out)));  // asleep: nothing, and nothing due
    const Bytes wake{0x0A};
    handle.receive(wake.data(), wake.size(), 1.0, out);
    ASSERT_EQ(out.messages.size(), 1u);
    EXPECT_EQ(out.messages[0], (Bytes{0xD0, 9, 0x01, 0x0D, 2, 1, 3}));

    EXPECT_DOUBLE_EQ(handle.tick(1.005, out), 1.01);  // not due yet
    EXPECT_EQ(out.messages.size(), 1u);
    const Bytes state = handle_state(0x0D01, {0xAA, 0xBB, 0xCC});
    handle.receive(state.data(), state.size(), 1.006, out);
    EXPECT_DOUBLE_EQ(handle.tick(1.01, out), 1.02);
    ASSERT_EQ(out.messages.size(), 2u);
    const Bytes& status = out.messages[1];
    ASSERT_EQ(status.size(), 1 + 21 + 3u);
    EXPECT_EQ(status[0], 0xDA);
    const auto decoded = Protocol::decode_handle_status(status.data() + 1);
    EXPECT_EQ(decoded.device_id, 0x0D01);
    EXPECT_EQ(decoded.error_flag, 0);
    EXPECT_EQ(decoded.hall_effect_sensor_level, 200);
    EXPECT_EQ(decoded.user_data_length, 3);
    EXPECT_EQ(Bytes(status.end() - 3, status.end()), (Bytes{0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(decoded.quaternion, handle.orientation(0));

    // Empty user data replaces the old.
    const Bytes empty = handle_state(0x0D01, {});
    handle.receive(empty.data(), empty.size(), 1.015, out);
    handle.tick(1.02, out);
    EXPECT_EQ(out.messages.back().size(), 22u);

    // After a stall the beat starts afresh instead of bursting.
    EXPECT_DOUBLE_EQ(handle.tick(2.0, out), 2.01);
    EXPECT_DOUBLE_EQ(handle.tick(2.0, out), 2.01);
    EXPECT_EQ(out.messages.size(), 4u);
}

TEST(sim_handle_test, reports_errors_for_foreign_ids_malformed_input_and_on_schedule) {
    HandleSettings settings = handle_settings();
    settings.error_every = 2;
    settings.error_code = 0x42;
    HandleSim handle(settings);
    Recorder out;
    const Bytes wake{0x0A};
    handle.receive(wake.data(), wake.size(), 0.0, out);
    const Bytes foreign = handle_state(0x0D02, {0x01});
    handle.receive(foreign.data(), foreign.size(), 0.001, out);
    handle.malformed(0.002, out);
    for (int i = 1; i <= 4; ++i) handle.tick(0.01 * i + 1e-4, out);

    std::vector<std::pair<std::uint8_t, int>> got;  // code, error code or user data length
    for (const Bytes& m : out.messages) {
        if (m[0] == 0xDF)
            got.emplace_back(m[0], Protocol::decode_handle_error(m.data() + 1).error_code);
        if (m[0] == 0xDA) got.emplace_back(m[0], m[21]);
        if (m[0] == 0xD0) got.emplace_back(m[0], -1);
    }
    const std::vector<std::pair<std::uint8_t, int>> want = {{0xD0, -1}, {0xDF, 0x01}, {0xDF, 0x02},
                                                            {0xDA, 0},  {0xDA, 0},    {0xDF, 0x42},
                                                            {0xDA, 0},  {0xDA, 0},    {0xDF, 0x42}};
    EXPECT_EQ(got, want);  // the foreign user data was not taken
}

TEST(sim_handle_test, a_closed_port_puts_it_back_to_sleep_without_user_data) {
    HandleSim handle(handle_settings());
    Recorder out;
    const Bytes wake{0x0A};
    const Bytes state = handle_state(0x0D01, {1, 2});
    handle.receive(wake.data(), wake.size(), 0.0, out);
    handle.receive(state.data(), state.size(), 0.0, out);
    handle.disconnected();
    EXPECT_TRUE(std::isinf(handle.tick(1.0, out)));
    handle.receive(wake.data(), wake.size(), 2.0, out);
    handle.tick(2.01, out);
    EXPECT_EQ(out.messages.back().size(), 22u);
}

TEST(sim_handle_test, orientation_is_a_slowly_turning_unit_quaternion) {
    const HandleSim handle(handle_settings());  // 100 Hz, 0.5 rad/s
    EXPECT_EQ(handle.orientation(0), (std::array<float, 4>{1, 0, 0, 0}));
    for (std::uint64_t n = 1; n < 2000; n += 37) {
        const auto q = handle.orientation(n);
        EXPECT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3], 1.0, 1e-6);
        EXPECT_NE(q, handle.orientation(n + 1));
    }
    // Half a second of messages turns it by a quarter radian: w = cos(0.125).
    EXPECT_NEAR(handle.orientation(50)[0], std::cos(0.125), 1e-6);
}

// ---- Faults ------------------------------------------------------------------------------

const Bytes reply = [] {
    Bytes m(25);
    m[0] = 0x2B;
    for (std::size_t i = 1; i < m.size(); ++i) m[i] = static_cast<std::uint8_t>(i);
    return m;
}();

bool is_device_code(std::uint8_t b) {
    for (std::uint8_t c : {0x0B, 0x2B, 0x1B, 0xAB, 0xD0, 0xDA, 0xDF}) {
        if (b == c) return true;
    }
    return false;
}

TEST(sim_faults_test, each_fault_spoils_a_message_as_documented) {
    const struct {
        const char* name;
        FaultSettings settings;
        Fault fault;
    } cases[] = {
        {"drop", {1, 1.0, 0, 0, 0}, Fault::drop},
        {"wrong code", {1, 0, 1.0, 0, 0}, Fault::wrong_code},
        {"truncate", {1, 0, 0, 1.0, 0}, Fault::truncate},
        {"garbage", {1, 0, 0, 0, 1.0}, Fault::garbage},
        {"none", {1, 0, 0, 0, 0}, Fault::none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (std::uint64_t seed = 1; seed <= 20; ++seed) {
            FaultSettings settings = c.settings;
            settings.seed = seed;
            Recorder out;
            Faults faults(settings, out);
            faults.send(reply.data(), reply.size());
            EXPECT_EQ(faults.last(), c.fault);
            const Bytes got = out.joined();
            switch (c.fault) {
                case Fault::none:
                    EXPECT_EQ(got, reply);
                    break;
                case Fault::drop:
                    EXPECT_TRUE(got.empty());
                    break;
                case Fault::wrong_code: {
                    Bytes want = reply;
                    want[0] = 0x1B;
                    EXPECT_EQ(got, want);
                    break;
                }
                case Fault::truncate:
                    ASSERT_GE(got.size(), 1u);
                    EXPECT_LT(got.size(), reply.size());
                    EXPECT_TRUE(std::equal(got.begin(), got.end(), reply.begin()));
                    break;
                case Fault::garbage: {
                    ASSERT_GE(got.size(), reply.size() + 1);
                    ASSERT_LE(got.size(), reply.size() + 8);
                    const std::size_t junk = got.size() - reply.size();
                    for (std::size_t i = 0; i < junk; ++i) EXPECT_FALSE(is_device_code(got[i]));
                    EXPECT_TRUE(std::equal(reply.begin(), reply.end(), got.begin() + junk));
                    break;
                }
            }
        }
    }
}

TEST(sim_faults_test, the_same_seed_spoils_the_same_messages) {
    const auto run = [](std::uint64_t seed) {
        FaultSettings settings{seed, 0.1, 0.1, 0.1, 0.1};
        Recorder out;
        Faults faults(settings, out);
        for (int i = 0; i < 300; ++i) faults.send(reply.data(), reply.size());
        return std::make_pair(out.joined(), faults.spoilt());
    };
    const auto a = run(7), b = run(7), c = run(8);
    EXPECT_EQ(a, b);
    EXPECT_NE(a.first, c.first);
    // About 40% of 300 messages.
    EXPECT_GT(a.second, 80u);
    EXPECT_LT(a.second, 160u);
}

TEST(sim_faults_test, faults_after_and_max_faults_choose_which_messages) {
    FaultSettings settings{1, 1.0, 0, 0, 0};
    settings.faults_after = 2;
    settings.max_faults = 3;
    Recorder out;
    Faults faults(settings, out);
    std::string pattern;
    for (int i = 0; i < 8; ++i) {
        faults.send(reply.data(), reply.size());
        pattern += faults.last() == Fault::drop ? 'x' : '.';
    }
    EXPECT_EQ(pattern, "..xxx...");
}

TEST(sim_faults_test, silence_and_hang_up_come_after_n_host_messages) {
    const struct {
        std::uint64_t silent_after, hangup_after;
        const char* verdicts;  // s serve, i ignore, h hang up
    } cases[] = {
        {never, never, "ssssss"}, {3, never, "sssiii"}, {0, never, "iiiiii"},
        {never, 2, "sshhhh"},     {2, 4, "ssiiii"},  // silent first: a silent device never hangs up
        {4, 2, "sshhhh"},
    };
    for (const auto& c : cases) {
        FaultSettings settings;
        settings.silent_after = c.silent_after;
        settings.hangup_after = c.hangup_after;
        Recorder out;
        Faults faults(settings, out);
        std::string got;
        for (int i = 0; i < 6; ++i) {
            switch (faults.admit()) {
                case Faults::Verdict::serve:
                    got += 's';
                    break;
                case Faults::Verdict::ignore:
                    got += 'i';
                    break;
                case Faults::Verdict::hang_up:
                    got += 'h';
                    break;
            }
        }
        EXPECT_EQ(got, c.verdicts);
        faults.send(reply.data(), reply.size());
        EXPECT_EQ(out.messages.empty(), faults.silent());
    }
}

// ---- Command line ------------------------------------------------------------------------

std::optional<Options> parse(std::vector<const char*> args, std::string& error) {
    return parse_options(static_cast<int>(args.size()), args.data(), error);
}

TEST(sim_options_test, accepts_the_documented_options) {
    std::string error;
    auto o = parse({"arbelon",
                    "--fixed-dt",
                    "0.001",
                    "--device-id",
                    "0x1234",
                    "--model",
                    "7",
                    "--uuid",
                    "00112233-4455-6677-8899-aabbccddeeff",
                    "--link",
                    "/tmp/x",
                    "--drop",
                    "0.25",
                    "--garbage",
                    "0.5",
                    "--seed",
                    "42",
                    "--max-faults",
                    "3",
                    "--hangup-after",
                    "10",
                    "--exit-on-stdin-eof",
                    "--verbose",
                    "--line",
                    "ftdi-16ms",
                    "--realtime",
                    "--echo"},
                   error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->device, Options::Device::arbelon);
    EXPECT_DOUBLE_EQ(o->fixed_dt, 0.001);
    EXPECT_EQ(o->identity.device_id, 0x1234);
    EXPECT_EQ(o->identity.device_model_number, 7);
    EXPECT_EQ(o->identity.uuid.bytes[0], 0x00);
    EXPECT_EQ(o->identity.uuid.bytes[15], 0xFF);
    EXPECT_EQ(o->link, "/tmp/x");
    EXPECT_DOUBLE_EQ(o->faults.drop, 0.25);
    EXPECT_DOUBLE_EQ(o->faults.garbage, 0.5);
    EXPECT_EQ(o->faults.seed, 42u);
    EXPECT_EQ(o->faults.max_faults, 3u);
    EXPECT_EQ(o->faults.hangup_after, 10u);
    EXPECT_EQ(o->faults.silent_after, never);
    EXPECT_TRUE(o->exit_on_stdin_eof);
    EXPECT_TRUE(o->verbose);
    EXPECT_EQ(o->line, line_kind("ftdi-16ms"));
    EXPECT_TRUE(o->realtime);
    EXPECT_TRUE(o->echo);

    o = parse({"handle", "--status-rate", "250", "--error-every", "5", "--error-code", "0x10",
               "--tool-data-remaining", "4"},
              error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->device, Options::Device::handle);
    EXPECT_DOUBLE_EQ(o->status_rate, 250.0);
    EXPECT_EQ(o->error_every, 5u);
    EXPECT_EQ(o->error_code, 0x10);
    EXPECT_EQ(o->tool_data_remaining, 4);
    EXPECT_EQ(o->identity.device_id, 0x0D01);  // the handle's default
    EXPECT_EQ(o->line, LineKind::pty);

    o = parse({"arbelon", "--late-reply", "60:0.06"}, error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->faults.late_every, 60u);
    EXPECT_DOUBLE_EQ(o->faults.late_seconds, 0.06);
    EXPECT_EQ(parse({"arbelon"}, error)->faults.late_every, 0u);

    EXPECT_TRUE(parse({"--help"}, error)->help);
    EXPECT_TRUE(parse({"--lines"}, error)->lines);
}

TEST(sim_options_test, the_help_and_lines_list_every_line_model_from_its_table) {
    // Under --line each model's name starts a row at column 28, its description wrapped to
    // the help's width; --lines gives each a row of its own, in the same order.
    const std::string help = usage();
    std::vector<std::string> rows, listed;
    for (std::size_t from = 0; from < help.size();) {
        const std::size_t end = help.find('\n', from);
        rows.push_back(help.substr(from, end - from));
        from = end + 1;
    }
    for (const std::string& row : rows) EXPECT_LE(row.size(), 92u) << row;
    const std::string list = line_list();
    for (std::size_t from = 0; from < list.size();) {
        const std::size_t end = list.find('\n', from);
        listed.push_back(list.substr(from, list.find(' ', from) - from));
        from = end + 1;
    }
    std::vector<std::string> names;
    for (const LineModel& m : line_models()) {
        names.push_back(m.name);
        const std::string start = std::string(28, ' ') + m.name + ' ';
        EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                                [&](const std::string& r) { return r.rfind(start, 0) == 0; }),
                  1)
            << m.name;
    }
    EXPECT_EQ(listed, names);
}

TEST(sim_options_test, the_arm_and_the_hand) {
    std::string error;
    auto o = parse({"arbelon", "--hand-mass", "0.5", "--arm-mass", "0.2", "--arm-damping", "1.5",
                    "--hand", "spring:200,1,0.283,-0.012,0"},
                   error);
    ASSERT_TRUE(o) << error;
    const ArmParameters arm = arm_parameters(*o);
    EXPECT_EQ(arm.end_effector_mass, 0.2);
    EXPECT_EQ(arm.inertia[1], residual_rotor_inertia);
    EXPECT_EQ(arm.end_effector_damping, 1.5);
    EXPECT_EQ(arm.damping, (Vec3{0, 0, 0}));
    EXPECT_EQ(o->hand, Options::Hand::spring);
    const HandParameters& hand = o->hand_parameters;
    EXPECT_EQ((Vec3{hand.mass, hand.stiffness, hand.damping}), (Vec3{0.5, 200, 1}));
    EXPECT_EQ(o->hand_target, (Vec3{0.283, -0.012, 0}));
    EXPECT_EQ(arm_parameters(*parse({"arbelon"}, error)).inertia, ArmParameters().inertia);

    // A recorded hand has a grip of its own unless given one.
    o = parse({"arbelon", "--hand", "path.csv"}, error);
    EXPECT_EQ(o->hand_file, "path.csv");
    EXPECT_EQ(o->hand_parameters.stiffness, recorded_grip_stiffness);
    EXPECT_EQ(o->hand_parameters.damping, recorded_grip_damping);
    o = parse({"arbelon", "--hand", "path.csv", "--hand-grip", "800,4"}, error);
    EXPECT_EQ(o->hand_parameters.stiffness + o->hand_parameters.damping, 804.0);
}

TEST(sim_options_test, rejects_mistakes_with_a_reason) {
    const struct {
        std::vector<const char*> args;
        const char* says;
    } cases[] = {
        {{}, "which device"},
        {{"arm"}, "unknown device 'arm'"},
        {{"arbelon", "--bogus"}, "unknown option '--bogus'"},
        {{"arbelon", "stray"}, "unexpected argument 'stray'"},
        {{"arbelon", "--link"}, "--link needs a value"},
        {{"arbelon", "--device-id", "65536"}, "0 to 65535"},
        {{"arbelon", "--device-id", "-1"}, "0 to 65535"},
        {{"arbelon", "--model", "256"}, "0 to 255"},
        {{"arbelon", "--model", "0x"}, "0 to 255"},
        {{"arbelon", "--model", "12abc"}, "0 to 255"},
        {{"arbelon", "--uuid", "0011"}, "32 hexadecimal"},
        {{"arbelon", "--uuid", "00112233445566778899aabbccddeeffaa"}, "32 hexadecimal"},
        {{"arbelon", "--fixed-dt", "0"}, "seconds"},
        {{"arbelon", "--fixed-dt", "nan"}, "seconds"},
        {{"arbelon", "--drop", "1.5"}, "chance"},
        {{"arbelon", "--drop", "0.6", "--truncate", "0.6"}, "add up to more than 1"},
        {{"arbelon", "--status-rate", "10"}, "handle only"},
        {{"handle", "--fixed-dt", "0.001"}, "arbelon only"},
        {{"handle", "--uuid", "00112233445566778899aabbccddeeff"}, "arbelon only"},
        {{"handle", "--status-rate", "-1"}, "rate"},
        {{"arbelon", "--line", "rs232"}, "'rs232' is not a line: give pty, uart"},
        {{"handle", "--line"}, "--line needs a value"},
        {{"arbelon", "--realtime", "1"}, "unexpected argument '1'"},
        {{"handle", "--echo"}, "arbelon only"},
        {{"handle", "--late-reply", "60:0.06"}, "arbelon only"},
        {{"arbelon", "--late-reply", "0:0.06"}, "is not EVERY:SECONDS"},
        {{"arbelon", "--late-reply", "-1:0.06"}, "is not EVERY:SECONDS"},
        {{"arbelon", "--late-reply", "60"}, "is not EVERY:SECONDS"},
        {{"arbelon", "--late-reply", ":0.06"}, "is not EVERY:SECONDS"},
        {{"arbelon", "--late-reply", "60:"}, "is not EVERY:SECONDS"},
        {{"arbelon", "--late-reply", "60:0"}, "is not EVERY:SECONDS"},
        {{"arbelon", "--late-reply", "60:11"}, "is not EVERY:SECONDS"},
        {{"arbelon", "--late-reply", "60:0.06:1"}, "is not EVERY:SECONDS"},
        {{"arbelon", "--late-reply", "sixty:0.06"}, "is not EVERY:SECONDS"},
        {{"arbelon", "--arm-mass", "0"}, "a mass from 0.01 to 10 kg"},
        {{"arbelon", "--arm-damping", "-1"}, "a damping from 0 to 100 N s/m"},
        {{"handle", "--hand", "spring:1,1,0,0,0"}, "arbelon only"},
        {{"arbelon", "--hand", "spring:200,1,0.3"}, "is not spring:K,B,X,Y,Z"},
        {{"arbelon", "--hand", "spring:200,1,nan,0,0"}, "is not spring:K,B,X,Y,Z"},
        {{"arbelon", "--hand", "spring:200,,0.3,0,0"}, "is not spring:K,B,X,Y,Z"},
        {{"arbelon", "--hand", "spring:-5,1,0.3,0,0"}, "spring's stiffness must be from 0"},
        {{"arbelon", "--hand", "spring:200,2000,0.3,0,0"}, "spring's damping must be from 0"},
        {{"arbelon", "--hand", "spring:200,1,283,0,0"}, "more than 1 m from the origin"},
        {{"arbelon", "--hand", ""}, "spring:K,B,X,Y,Z or a file"},
        {{"arbelon", "--hand-mass", "0.5"}, "--hand-mass needs --hand"},
        {{"arbelon", "--hand", "t.csv", "--hand-mass", "20"}, "a mass from 0.01 to 10 kg"},
        {{"arbelon", "--hand", "t.csv", "--hand-grip", "1"}, "K,B (N/m, N s/m)"},
        {{"arbelon", "--hand", "t.csv", "--hand-grip", "1e6,1"}, "the stiffness must be"},
        {{"arbelon", "--hand-grip", "1,1", "--hand", "spring:1,1,0.3,0,0"}, "for a recorded hand"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(parse(c.args, error));
        EXPECT_NE(error.find(c.says), std::string::npos) << "error: " << error;
    }
}

}  // namespace
