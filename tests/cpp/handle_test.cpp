// Handle messages against a pseudo-terminal playing the handle: bytes in, callbacks out.
#include <ZelkorHardwareAPI/devices/handle.h>
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "pty.h"

using Zelkor::HardwareAPI::Devices::Handle;
using Zelkor::HardwareAPI::IO::SerialStream;
using zelkor_test::Bytes;
using zelkor_test::cat;
using zelkor_test::Clock;
using zelkor_test::ms_since;
using zelkor_test::Pty;

namespace {

Bytes counting(std::size_t n, std::uint8_t first = 0) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(first + i);
    return out;
}

// One callback as the handle saw it: the slot and every value, in parameter order.
struct Call {
    int slot;
    std::vector<unsigned> values;
    std::vector<float> quaternion;
    Bytes user_data;

    bool operator==(const Call& o) const {
        return slot == o.slot && values == o.values && quaternion == o.quaternion &&
               user_data == o.user_data;
    }
};

std::ostream& operator<<(std::ostream& os, const Call& c) {
    os << "slot " << c.slot << " (";
    for (unsigned v : c.values) os << v << ' ';
    os << "| q";
    for (float f : c.quaternion) os << ' ' << f;
    return os << " | " << c.user_data.size() << " bytes of user data)";
}

class RecordingHandle : public Handle {
  public:
    using Handle::Handle;
    std::vector<Call> calls;
    // Set by the record callback: whether the record's user data is zero past its length.
    bool status_record_tail_zero = true;
    int throw_in_slot = -1;

    void OnReceiveHandleInfo(HandleInfoResponse& r) override {
        record({0,
                {r.tool_data_remaining, r.device_id, r.device_model_number, r.hardware_version,
                 r.firmware_version}});
    }
    void OnReceiveHandleInfo(std::uint8_t tool, std::uint16_t id, std::uint8_t model,
                             std::uint8_t hardware, std::uint8_t firmware) override {
        record({1, {tool, id, model, hardware, firmware}});
    }
    void OnReceiveHandleStatusMessage(HandleStatusResponse& r) override {
        for (std::size_t i = r.user_data_length; i < r.user_data.size(); ++i) {
            if (r.user_data[i] != 0) status_record_tail_zero = false;
        }
        record({2,
                {r.device_id, r.error_flag, r.handle_connection_sensor, r.user_data_length},
                {r.quaternion.begin(), r.quaternion.end()},
                {r.user_data.begin(), r.user_data.begin() + r.user_data_length}});
    }
    void OnReceiveHandleStatusMessage(std::uint16_t id, const float* q, std::uint8_t error_flag,
                                      std::uint8_t sensor, std::uint8_t length,
                                      const std::uint8_t* data) override {
        record({3, {id, error_flag, sensor, length}, {q, q + 4}, {data, data + length}});
    }
    void OnReceiveHandleErrorResponse(HandleErrorResponse& r) override {
        record({4, {r.device_id, r.error_code}});
    }
    void OnReceiveHandleErrorResponse(std::uint16_t id, std::uint8_t error_code) override {
        record({5, {id, error_code}});
    }

  private:
    void record(Call c) {
        const int slot = c.slot;
        calls.push_back(std::move(c));
        if (slot == throw_in_slot) throw std::runtime_error("callback failed");
    }
};

struct Rig {
    Pty pty;
    SerialStream stream{pty.path().c_str()};
    RecordingHandle handle{&stream};
};

// A status message from the handle: device 0x0201, error flag 3, sensor 0x80, quaternion
// (1, -0.5, 0.25, 2) in wire order, then `user_data`.
const Bytes status_header = {0x01, 0x02, 0x03, 0x80, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00,
                             0x00, 0xBF, 0x00, 0x00, 0x80, 0x3E, 0x00, 0x00, 0x00, 0x40};
const std::vector<float> status_quaternion = {1.0f, -0.5f, 0.25f, 2.0f};

Bytes status_message(const Bytes& user_data) {
    return cat({{0xDA}, status_header, {static_cast<std::uint8_t>(user_data.size())}, user_data});
}

std::vector<Call> status_calls(const Bytes& user_data) {
    const std::vector<unsigned> values = {0x0201, 3, 0x80, static_cast<unsigned>(user_data.size())};
    return {{3, values, status_quaternion, user_data}, {2, values, status_quaternion, user_data}};
}

const std::uint8_t untouched = 0xEE;

}  // namespace

TEST(handle_test, sends) {
    const std::uint8_t aabbcc[] = {0xAA, 0xBB, 0xCC, 0xDD};
    const Bytes all = counting(255, 1);
    struct Case {
        const char* name;
        void (*send)(Handle&, const std::uint8_t*, const std::uint8_t*);
        Bytes expected;
    } cases[] = {
        {"wake-up", [](Handle& h, auto, auto) { h.SendDeviceWakeup(); }, {0x0A}},
        {"no user data, not read",
         [](Handle& h, auto, auto) { h.SendHandleState(0x1234, 0, nullptr); },
         {0xDB, 0x34, 0x12, 0x00}},
        {"three of four bytes of user data",
         [](Handle& h, auto abc, auto) { h.SendHandleState(0x0102, 3, abc); },
         {0xDB, 0x02, 0x01, 0x03, 0xAA, 0xBB, 0xCC}},
        {"255 bytes of user data",
         [](Handle& h, auto, auto full) { h.SendHandleState(0xFFFF, 255, full); },
         cat({{0xDB, 0xFF, 0xFF, 0xFF}, all})},
    };
    for (const auto& c : cases) {
        Rig rig;
        c.send(rig.handle, aabbcc, all.data());
        EXPECT_EQ(rig.pty.receive(c.expected.size() + 1, 300), c.expected) << c.name;
        EXPECT_TRUE(rig.handle.calls.empty()) << c.name;
    }
}

TEST(handle_test, null_user_data_is_refused_before_anything_is_sent) {
    Rig rig;
    EXPECT_THROW(rig.handle.SendHandleState(1, 1, nullptr), std::invalid_argument);
    EXPECT_TRUE(rig.pty.drain().empty());
}

TEST(handle_test, receives_whole_messages) {
    const Bytes data255 = counting(255, 7);
    struct Case {
        const char* name;
        Bytes input;
        int expected_result;
        std::vector<Call> expected_calls;
    } cases[] = {
        {"information",
         {0xD0, 0x05, 0x34, 0x12, 0x07, 0x02, 0x09},
         6,
         {{1, {5, 0x1234, 7, 2, 9}}, {0, {5, 0x1234, 7, 2, 9}}}},
        {"status without user data", status_message({}), 21, status_calls({})},
        {"status with 3 bytes", status_message({0xAA, 0xBB, 0xCC}), 24,
         status_calls({0xAA, 0xBB, 0xCC})},
        {"status with 255 bytes", status_message(data255), 276, status_calls(data255)},
        {"error", {0xDF, 0x01, 0x00, 0x07}, 3, {{5, {1, 7}}, {4, {1, 7}}}},
        {"unknown code", {0x55}, -1, {}},
        {"a request code is no message", {0xDB}, -1, {}},
    };
    for (const auto& c : cases) {
        Rig rig;
        // A marker byte behind every message: it must be the next code read, not consumed.
        rig.pty.send(cat({c.input, {0x5A}}));
        std::uint8_t code = untouched;
        EXPECT_EQ(rig.handle.Receive(&code), c.expected_result) << c.name;
        EXPECT_EQ(code, c.input[0]) << c.name;
        EXPECT_EQ(rig.handle.calls, c.expected_calls) << c.name;
        EXPECT_TRUE(rig.handle.status_record_tail_zero) << c.name;
        EXPECT_EQ(rig.handle.Receive(&code), -1) << c.name;
        EXPECT_EQ(code, 0x5A) << c.name << ": the byte after the message";
        EXPECT_TRUE(rig.pty.drain(50).empty()) << c.name << ": Receive writes nothing";
    }
}

TEST(handle_test, short_messages_still_reach_the_callbacks_with_zeros) {
    struct Case {
        const char* name;
        Bytes earlier;  // a whole message first, so stale bytes would show
        Bytes input;
        int expected_result;
        std::vector<Call> expected_calls;
    } cases[] = {
        {"information",
         {0xD0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66},
         {0xD0, 0x05, 0x34},
         2,
         {{1, {5, 0x34, 0, 0, 0}}, {0, {5, 0x34, 0, 0, 0}}}},
        {"error, code only", {0xDF, 0x01, 0x00, 0x07}, {0xDF}, 0, {{5, {0, 0}}, {4, {0, 0}}}},
        {"status header cut before its length byte",
         status_message({1, 2, 3}),
         {0xDA, 0x01, 0x02, 0x03},
         3,
         {{3, {0x0201, 3, 0, 0}, {0, 0, 0, 0}, {}}, {2, {0x0201, 3, 0, 0}, {0, 0, 0, 0}, {}}}},
        {"status user data cut", status_message({9, 9, 9, 9, 9, 9}),
         cat({{0xDA}, status_header, {6, 0xAA, 0xBB}}), 23, status_calls({0xAA, 0xBB, 0, 0, 0, 0})},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.pty.send(c.earlier);
        std::uint8_t code = untouched;
        ASSERT_GT(rig.handle.Receive(&code), 0) << c.name;
        rig.handle.calls.clear();

        rig.pty.send(c.input);
        const auto start = Clock::now();
        EXPECT_EQ(rig.handle.Receive(&code), c.expected_result) << c.name;
        EXPECT_GE(ms_since(start), 900.0) << c.name << ": ended by the read time-out";
        EXPECT_EQ(code, c.input[0]) << c.name;
        EXPECT_EQ(rig.handle.calls, c.expected_calls) << c.name;
        EXPECT_TRUE(rig.handle.status_record_tail_zero) << c.name;
    }
}

TEST(handle_test, silent_line_gives_minus_one_without_a_callback) {
    // The information payload leaves 0xDF at the start of the receive buffer: a missing code
    // byte must not replay it as an error message.
    Rig rig;
    rig.pty.send({0xD0, 0xDF, 0x01, 0x00, 0x07, 0x00, 0x00});
    std::uint8_t code = untouched;
    ASSERT_EQ(rig.handle.Receive(&code), 6);
    rig.handle.calls.clear();

    code = untouched;
    const auto start = Clock::now();
    EXPECT_EQ(rig.handle.Receive(&code), -1);
    const double took = ms_since(start);
    EXPECT_GE(took, 900.0);
    EXPECT_LT(took, 2500.0) << "one code read and nothing after it";
    EXPECT_EQ(code, untouched);
    EXPECT_TRUE(rig.handle.calls.empty());
}

TEST(handle_test, a_throwing_callback_leaves_receive_with_the_message_consumed) {
    struct Case {
        const char* name;
        Bytes input;
        int throw_in_slot;
    } cases[] = {
        {"information", {0xD0, 0x05, 0x34, 0x12, 0x07, 0x02, 0x09}, 1},
        {"status", status_message({1, 2, 3}), 3},
        {"error", {0xDF, 0x01, 0x00, 0x07}, 5},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.handle.throw_in_slot = c.throw_in_slot;
        rig.pty.send(cat({c.input, {0xDF, 0x02, 0x00, 0x09}}));
        std::uint8_t code = 0;
        EXPECT_THROW(rig.handle.Receive(&code), std::runtime_error) << c.name;
        ASSERT_EQ(rig.handle.calls.size(), 1u) << c.name << ": the record callback did not run";
        EXPECT_EQ(rig.handle.calls[0].slot, c.throw_in_slot) << c.name;

        rig.handle.throw_in_slot = -1;
        rig.handle.calls.clear();
        EXPECT_EQ(rig.handle.Receive(&code), 3) << c.name << ": the next message is intact";
        EXPECT_EQ(rig.handle.calls, (std::vector<Call>{{5, {2, 9}}, {4, {2, 9}}})) << c.name;
    }
}

TEST(handle_test, plain_handle_consumes_every_message) {
    Rig rig;
    Handle plain(&rig.stream);
    rig.pty.send(cat({{0xD0, 1, 2, 3, 4, 5, 6},
                      status_message(counting(16)),
                      {0x55},
                      {0xDF, 1, 2, 3},
                      status_message({})}));
    for (int expected : {6, 37, -1, 3, 21}) EXPECT_EQ(plain.Receive(nullptr), expected);
    EXPECT_TRUE(rig.pty.drain(50).empty());
}

TEST(handle_test, status_record) {
    const float q[4] = {1.0f, 2.0f, 3.0f, 4.0f};
    const std::uint8_t data[3] = {7, 8, 9};
    const Handle::HandleStatusResponse r(0x1234, q, 1, 2, 2, data);
    EXPECT_EQ(r.quaternion, (std::array<float, 4>{1.0f, 2.0f, 3.0f, 4.0f}));
    EXPECT_EQ(r.user_data[0], 7);
    EXPECT_EQ(r.user_data[1], 8);
    for (std::size_t i = 2; i < r.user_data.size(); ++i) ASSERT_EQ(r.user_data[i], 0) << i;

    EXPECT_NO_THROW(Handle::HandleStatusResponse(0, q, 0, 0, 0, nullptr));
    EXPECT_THROW(Handle::HandleStatusResponse(0, q, 0, 0, 1, nullptr), std::invalid_argument);
    EXPECT_THROW(Handle::HandleStatusResponse(0, nullptr, 0, 0, 0, data), std::invalid_argument);
}
