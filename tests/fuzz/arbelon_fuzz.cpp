// Every Arbelon exchange, send half and receive half behind the fuzzed port. Each request
// written must be the encoding of the request; each receive must return the payload length
// with the outputs decoded from the delivered payload, or the short count or -1 with the
// outputs untouched. The bytes a read delivers come from the input, or, as the input's first
// byte chooses, from the simulated Arbelon of the port's device model, behind one of the
// simulator's lines and with its late replies: replies that come after their exchange gave up
// on them, in the middle of later ones.
#include <ZelkorHardwareAPI/devices/arbelon.h>

#include <array>

#include "port_fake.h"

namespace {

using namespace zelkor_fuzz;
using Zelkor::HardwareAPI::UUID;
using Zelkor::HardwareAPI::Vector3;
using Zelkor::HardwareAPI::Devices::Arbelon;
using Zelkor::HardwareAPI::IO::SerialStream;

Vector3 vector_from(FuzzedDataProvider& in) {
    Vector3 v;
    for (float& f : v) f = float_of(in.ConsumeIntegral<std::uint32_t>());
    return v;
}

bool same(const Vector3& a, const Vector3& b) {
    for (int i = 0; i < 3; ++i) {
        if (bits_of(a[i]) != bits_of(b[i])) return false;
    }
    return true;
}

Vector3 vector_at(const std::uint8_t* p) {
    return {float_of(le32(p)), float_of(le32(p + 4)), float_of(le32(p + 8))};
}

Bytes request(std::uint8_t code, const Vector3& v) {
    Bytes message{code};
    for (float f : v) {
        const std::uint32_t b = bits_of(f);
        for (int i = 0; i < 4; ++i) message.push_back(static_cast<std::uint8_t>(b >> (8 * i)));
    }
    return message;
}

// The identity outputs of device_wakeup and ReceiveDeviceInfo.
struct Identity {
    std::uint16_t device_id;
    std::uint8_t model, hardware, firmware;
    UUID uuid;

    bool operator==(const Identity& o) const {
        return device_id == o.device_id && model == o.model && hardware == o.hardware &&
               firmware == o.firmware && uuid.bytes == o.uuid.bytes;
    }
};

Identity identity_from(FuzzedDataProvider& in) {
    Identity id{in.ConsumeIntegral<std::uint16_t>(),
                in.ConsumeIntegral<std::uint8_t>(),
                in.ConsumeIntegral<std::uint8_t>(),
                in.ConsumeIntegral<std::uint8_t>(),
                {}};
    for (auto& b : id.uuid.bytes) b = in.ConsumeIntegral<std::uint8_t>();
    return id;
}

// The request codes and the reply each expects.
enum class Op { wakeup, force, position, torques, angles, current };

struct OpInfo {
    std::uint8_t request_code;
    std::uint8_t reply_code;
    std::size_t payload;
};

OpInfo info(Op op) {
    switch (op) {
        case Op::wakeup:
            return {0x0A, 0x0B, 21};
        case Op::force:
            return {0x2A, 0x2B, 24};
        case Op::position:
            return {0x2C, 0x2B, 24};
        case Op::torques:
            return {0x1A, 0x1B, 24};
        case Op::angles:
            return {0x1C, 0x1B, 24};
        case Op::current:
            return {0xAB, 0xAB, 12};
    }
    return {};
}

class Harness {
  public:
    Harness(FuzzedDataProvider& in, FakePort& port, PortModel& model, Arbelon& arm)
        : in_(in), port_(port), model_(model), arm_(arm) {}

    // One exchange (send and receive), or its send half, or its receive half.
    void run(Op op, bool send, bool receive) {
        const Vector3 command = vector_from(in_);
        Vector3 first = vector_from(in_), second = vector_from(in_);
        Identity identity = identity_from(in_);
        const Vector3 first_before = first, second_before = second;
        const Identity identity_before = identity;

        const std::size_t from = port_.mark();
        int result = 0;
        if (send && receive) {
            switch (op) {
                case Op::wakeup:
                    result =
                        arm_.device_wakeup(identity.device_id, identity.model, identity.hardware,
                                           identity.firmware, identity.uuid);
                    break;
                case Op::force:
                    result = arm_.end_effector_force(command, first, second);
                    break;
                case Op::position:
                    result = arm_.end_effector_position(command, first, second);
                    break;
                case Op::torques:
                    result = arm_.joint_torques(command, first, second);
                    break;
                case Op::angles:
                    result = arm_.joint_angles(command, first, second);
                    break;
                case Op::current:  // no exchange of its own: request, then receive
                    arm_.RequestCurrent();
                    result = arm_.ReceiveCurrent(first);
                    break;
            }
        } else if (send) {
            switch (op) {
                case Op::wakeup:
                    arm_.SendDeviceWakeup();
                    break;
                case Op::force:
                    arm_.SendForce(command);
                    break;
                case Op::position:
                    arm_.SendPosition(command);
                    break;
                case Op::torques:
                    arm_.SendJointTorques(command);
                    break;
                case Op::angles:
                    arm_.SendAngle(command);
                    break;
                case Op::current:
                    arm_.RequestCurrent();
                    break;
            }
        } else {
            switch (op) {
                case Op::wakeup:
                    result =
                        arm_.ReceiveDeviceInfo(identity.device_id, identity.model,
                                               identity.hardware, identity.firmware, identity.uuid);
                    break;
                case Op::force:
                case Op::position:
                    result = arm_.ReceiveState(first, second);
                    break;
                case Op::torques:
                case Op::angles:
                    result = arm_.ReceiveJointState(first, second);
                    break;
                case Op::current:
                    result = arm_.ReceiveCurrent(first);
                    break;
            }
        }

        Expect expect(port_, from, model_);
        const OpInfo o = info(op);
        if (send) {
            // Input left over from a wait that was cut short is dropped before a request.
            if (model_.interrupted) expect.discard();
            const bool vector = op != Op::wakeup && op != Op::current;
            expect.write(vector ? request(o.request_code, command) : Bytes{o.request_code});
        }
        Bytes payload;
        if (receive) {
            int want = -1;
            const Bytes code = expect.read(1);
            if (!code.empty() && code[0] != o.reply_code) {
                // The rest of a wrong reply is drained, bounded by the reply's time-out.
                expect.read(1024, true);
            } else if (!code.empty()) {
                payload = expect.read(o.payload);
                want = static_cast<int>(payload.size());
            }
            FUZZ_CHECK(result == want && arm_.last_result() == want);
        }
        expect.end();

        if (payload.size() != o.payload) {
            // Nothing delivered in full: every output as it was.
            FUZZ_CHECK(same(first, first_before) && same(second, second_before));
            FUZZ_CHECK(identity == identity_before);
            return;
        }
        const std::uint8_t* p = payload.data();
        switch (op) {
            case Op::wakeup: {
                Identity want{le16(p), p[2], p[3], p[4], {}};
                for (std::size_t i = 0; i < 16; ++i) want.uuid.bytes[i] = p[5 + i];
                FUZZ_CHECK(identity == want);
                FUZZ_CHECK(same(first, first_before) && same(second, second_before));
                return;
            }
            case Op::current:
                FUZZ_CHECK(same(first, vector_at(p)) && same(second, second_before));
                break;
            default:
                FUZZ_CHECK(same(first, vector_at(p)) && same(second, vector_at(p + 12)));
                break;
        }
        FUZZ_CHECK(identity == identity_before);
    }

  private:
    FuzzedDataProvider& in_;
    FakePort& port_;
    PortModel& model_;
    Arbelon& arm_;
};

// The input's choice of what plays the device: from 128 on, the device model, on the line of
// the low bits, holding every 1st to 8th state reply (or none) 1 ms to 2.5 s, so that some
// come after the read that waited for them has given up.
void choose_device(FuzzedDataProvider& in, FakePort& port) {
    const std::uint8_t choice = in.ConsumeIntegral<std::uint8_t>();
    if (choice < 128) return;
    DeviceModelSettings settings;
    settings.line = choice & 0x0F;
    settings.late_every = in.ConsumeIntegralInRange<std::uint64_t>(0, 8);
    settings.late_seconds = in.ConsumeIntegralInRange<int>(1, 2500) * 1e-3;
    port.play(settings);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    FakePort port(in);
    choose_device(in, port);
    PortModel model;
    {
        std::size_t from = port.mark();
        SerialStream stream("arbelon");
        Expect(port, from, model).open();
        Arbelon arm(&stream);
        Harness harness(in, port, model, arm);

        for (int step = 0; step < 48 && in.remaining_bytes() > 0; ++step) {
            const std::uint8_t choice = in.ConsumeIntegral<std::uint8_t>();
            const Op op = static_cast<Op>(choice % 6);
            switch ((choice / 6) % 8) {
                case 0:
                case 1:
                case 2:
                    harness.run(op, true, true);
                    break;
                case 3:
                    harness.run(op, true, false);
                    break;
                case 4:
                case 5:
                    harness.run(op, false, true);
                    break;
                case 6:  // back on the line, or off it
                default:
                    reconnect_or_close(stream, port, model, (choice / 6) % 8 == 6, "arbelon");
                    break;
            }
            FUZZ_CHECK(stream.is_open() == model.open);
        }
    }
    return 0;
}
