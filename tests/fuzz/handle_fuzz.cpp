// Handle::Receive and the handle's sends behind the fuzzed port. Every callback's arguments
// must be the message decoded from the bytes the port delivered (zeros for bytes that did
// not come), and Receive must return the payload bytes delivered.
#include <ZelkorHardwareAPI/devices/handle.h>

#include <array>
#include <stdexcept>

#include "port_fake.h"

namespace {

using namespace zelkor_fuzz;
using Zelkor::HardwareAPI::Devices::Handle;
using Zelkor::HardwareAPI::IO::SerialStream;

struct ThrownByCallback {};

// What one callback was called with; each message gives two calls.
struct Call {
    enum class Kind {
        info_values,
        info_record,
        status_values,
        status_record,
        error_values,
        error_record
    };
    explicit Call(Kind k) : kind(k) {}
    Kind kind;
    std::uint8_t tool_data_remaining = 0, device_model_number = 0, hardware_version = 0,
                 firmware_version = 0, error_flag = 0, sensor = 0, error_code = 0;
    std::uint16_t device_id = 0;
    std::array<std::uint32_t, 4> quaternion{};  // bit patterns: NaNs compare too
    Bytes user_data;                            // user_data_length bytes
    bool record_zero_beyond = true;             // the record's user data past the length
};

class RecordingHandle : public Handle {
  public:
    using Handle::Handle;
    std::vector<Call> calls;
    bool throw_next = false;  // the next callback throws

    void OnReceiveHandleInfo(HandleInfoResponse& r) override {
        Call c(Call::Kind::info_record);
        c.tool_data_remaining = r.tool_data_remaining;
        c.device_id = r.device_id;
        c.device_model_number = r.device_model_number;
        c.hardware_version = r.hardware_version;
        c.firmware_version = r.firmware_version;
        note(c);
    }
    void OnReceiveHandleInfo(std::uint8_t tool_data_remaining, std::uint16_t device_id,
                             std::uint8_t model, std::uint8_t hardware,
                             std::uint8_t firmware) override {
        Call c(Call::Kind::info_values);
        c.tool_data_remaining = tool_data_remaining;
        c.device_id = device_id;
        c.device_model_number = model;
        c.hardware_version = hardware;
        c.firmware_version = firmware;
        note(c);
    }
    void OnReceiveHandleStatusMessage(HandleStatusResponse& r) override {
        Call c(Call::Kind::status_record);
        c.device_id = r.device_id;
        for (int i = 0; i < 4; ++i) c.quaternion[i] = bits_of(r.quaternion[i]);
        c.error_flag = r.error_flag;
        c.sensor = r.handle_connection_sensor;
        c.user_data.assign(r.user_data.begin(), r.user_data.begin() + r.user_data_length);
        for (std::size_t i = r.user_data_length; i < r.user_data.size(); ++i) {
            if (r.user_data[i] != 0) c.record_zero_beyond = false;
        }
        note(c);
    }
    void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                      std::uint8_t error_flag, std::uint8_t sensor,
                                      std::uint8_t user_data_length,
                                      const std::uint8_t* user_data) override {
        Call c(Call::Kind::status_values);
        c.device_id = device_id;
        for (int i = 0; i < 4; ++i) c.quaternion[i] = bits_of(quaternion[i]);
        c.error_flag = error_flag;
        c.sensor = sensor;
        c.user_data.assign(user_data, user_data + user_data_length);
        note(c);
    }
    void OnReceiveHandleErrorResponse(HandleErrorResponse& r) override {
        Call c(Call::Kind::error_record);
        c.device_id = r.device_id;
        c.error_code = r.error_code;
        note(c);
    }
    void OnReceiveHandleErrorResponse(std::uint16_t device_id, std::uint8_t code) override {
        Call c(Call::Kind::error_values);
        c.device_id = device_id;
        c.error_code = code;
        note(c);
    }

  private:
    void note(const Call& c) {
        calls.push_back(c);
        if (throw_next) {
            throw_next = false;
            throw ThrownByCallback{};
        }
    }
};

bool same(const Call& a, const Call& b) {
    return a.kind == b.kind && a.tool_data_remaining == b.tool_data_remaining &&
           a.device_model_number == b.device_model_number &&
           a.hardware_version == b.hardware_version && a.firmware_version == b.firmware_version &&
           a.error_flag == b.error_flag && a.sensor == b.sensor && a.error_code == b.error_code &&
           a.device_id == b.device_id && a.quaternion == b.quaternion &&
           a.user_data == b.user_data && a.record_zero_beyond && b.record_zero_beyond;
}

void print(const char* what, const Call& c) {
    std::fprintf(stderr,
                 "%s: kind %d tool %u id %u model %u hw %u fw %u error_flag %u sensor %u "
                 "error_code %u quaternion %08x %08x %08x %08x zero_beyond %d user data (%zu):",
                 what, static_cast<int>(c.kind), c.tool_data_remaining, c.device_id,
                 c.device_model_number, c.hardware_version, c.firmware_version, c.error_flag,
                 c.sensor, c.error_code, c.quaternion[0], c.quaternion[1], c.quaternion[2],
                 c.quaternion[3], c.record_zero_beyond, c.user_data.size());
    for (std::uint8_t b : c.user_data) std::fprintf(stderr, " %02x", b);
    std::fprintf(stderr, "\n");
}

// The two calls a message gives, decoded here from the payload as delivered.
std::vector<Call> expected_calls(std::uint8_t code, const Bytes& p, const Bytes& user_data) {
    std::vector<Call> calls;
    if (code == 0xD0) {
        Call c(Call::Kind::info_values);
        c.tool_data_remaining = p[0];
        c.device_id = le16(&p[1]);
        c.device_model_number = p[3];
        c.hardware_version = p[4];
        c.firmware_version = p[5];
        calls.push_back(c);
        c.kind = Call::Kind::info_record;
        calls.push_back(c);
    } else if (code == 0xDA) {
        Call c(Call::Kind::status_values);
        c.device_id = le16(&p[0]);
        c.error_flag = p[2];
        c.sensor = p[3];
        for (int i = 0; i < 4; ++i) c.quaternion[i] = le32(&p[4 + 4 * i]);
        c.user_data = user_data;
        calls.push_back(c);
        c.kind = Call::Kind::status_record;
        calls.push_back(c);
    } else if (code == 0xDF) {
        Call c(Call::Kind::error_values);
        c.device_id = le16(&p[0]);
        c.error_code = p[2];
        calls.push_back(c);
        c.kind = Call::Kind::error_record;
        calls.push_back(c);
    }
    return calls;
}

// `plain`: a Handle of its own on the same stream, which consumes messages without effect.
void receive(FuzzedDataProvider& in, FakePort& port, PortModel& model, RecordingHandle& handle,
             Handle& plain) {
    const bool with_code = in.ConsumeBool();
    const std::uint8_t how = in.ConsumeIntegral<std::uint8_t>();
    const bool throwing = (how & 7) == 7;
    const bool use_plain = (how & 0x38) == 0x38;
    auto code_out = std::make_unique<std::uint8_t>(0x5A);  // exactly one byte
    handle.calls.clear();
    handle.throw_next = throwing;

    const std::size_t from = port.mark();
    int result = 0;
    bool threw = false;
    try {
        result = (use_plain ? plain : handle).Receive(with_code ? code_out.get() : nullptr);
    } catch (const ThrownByCallback&) {
        threw = true;
    }

    Expect expect(port, from, model);
    const Bytes code = expect.read(1);
    std::vector<Call> want;
    int want_result = -1;
    if (!code.empty()) {
        std::size_t length = 0;
        switch (code[0]) {
            case 0xD0:
                length = 6;
                break;
            case 0xDA:
                length = 21;
                break;
            case 0xDF:
                length = 3;
                break;
            default:
                break;
        }
        if (length > 0) {
            const Bytes payload = expect.read(length);
            want_result = static_cast<int>(payload.size());
            Bytes user_data;
            if (code[0] == 0xDA) {
                const std::size_t user_length = padded(payload, length)[20];
                const Bytes got = expect.read(user_length);
                want_result += static_cast<int>(got.size());
                user_data = padded(got, user_length);
            }
            want = expected_calls(code[0], padded(payload, length), user_data);
        }
    }
    expect.end();

    // The code byte is stored whenever one arrived.
    FUZZ_CHECK(*code_out == (with_code && !code.empty() ? code[0] : 0x5A));
    if (use_plain) {
        FUZZ_CHECK(!threw && handle.calls.empty() && result == want_result);
        FUZZ_CHECK(plain.last_result() == want_result);
        return;
    }
    if (threw) {
        // The first callback threw: nothing after it ran, the message was consumed.
        FUZZ_CHECK(throwing && !want.empty());
        want.erase(want.begin() + 1, want.end());
    } else {
        FUZZ_CHECK(!throwing || want.empty());
        FUZZ_CHECK(result == want_result);
        FUZZ_CHECK(handle.last_result() == want_result);
    }
    FUZZ_CHECK(handle.calls.size() == want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (!same(handle.calls[i], want[i])) {
            print("called", handle.calls[i]);
            print("expected", want[i]);
        }
        FUZZ_CHECK(same(handle.calls[i], want[i]));
    }
}

void send_state(FuzzedDataProvider& in, FakePort& port, PortModel& model, Handle& handle) {
    const auto device_id = in.ConsumeIntegral<std::uint16_t>();
    const auto length = in.ConsumeIntegral<std::uint8_t>();
    const bool null_data = (in.ConsumeIntegral<std::uint8_t>() & 15) == 15;
    // Exactly `length` bytes, so reading one more is caught.
    const Bytes data = padded(in.ConsumeBytes<std::uint8_t>(length), length);
    const std::uint8_t* pointer = null_data || length == 0 ? nullptr : data.data();
    if (length == 0 && !null_data) pointer = data.data();  // may be an empty vector's null

    const std::size_t from = port.mark();
    bool refused = false;
    try {
        handle.SendHandleState(device_id, length, pointer);
    } catch (const std::invalid_argument&) {
        refused = true;
    }
    Expect expect(port, from, model);
    if (pointer == nullptr && length != 0) {
        FUZZ_CHECK(refused);  // and nothing sent
    } else {
        FUZZ_CHECK(!refused);
        Bytes message{0xDB, static_cast<std::uint8_t>(device_id),
                      static_cast<std::uint8_t>(device_id >> 8), length};
        message.insert(message.end(), data.begin(), data.end());
        expect.write(message);
    }
    expect.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    FakePort port(in);
    PortModel model;
    {
        std::size_t from = port.mark();
        SerialStream stream("handle");
        Expect(port, from, model).open();
        RecordingHandle handle(&stream);
        Handle plain(&stream);

        for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
            const int choice = in.ConsumeIntegral<std::uint8_t>() % 8;
            switch (choice) {
                case 0:
                case 1:
                case 2:
                case 3:
                    receive(in, port, model, handle, plain);
                    break;
                case 4: {
                    from = port.mark();
                    handle.SendDeviceWakeup();
                    Expect expect(port, from, model);
                    expect.write({0x0A});
                    expect.end();
                    break;
                }
                case 5:
                    send_state(in, port, model, handle);
                    break;
                case 6:  // back on the line after a hang-up, or a fresh open; or off it
                default:
                    reconnect_or_close(stream, port, model, choice == 6, "handle");
                    break;
            }
            FUZZ_CHECK(stream.is_open() == model.open);
        }
    }
    return 0;
}
