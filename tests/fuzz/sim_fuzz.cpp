// The simulator's handling of what a host sends: bytes in random pieces at random times
// through the Framer into ArbelonSim or HandleSim, and their answers through the fault
// injector, driven the way the simulator's port loop drives them.
//
// Checked: the framer hands on every byte exactly once and in order, as whole requests of
// the device or as runs of bytes that start none; every message a device sends is a
// well-formed message of that device and the answer its input calls for; and the fault
// injector passes each one on intact or spoilt in exactly one of its documented ways.
#include <cmath>
#include <limits>
#include <memory>

#include "arbelon_sim.h"
#include "faults.h"
#include "framer.h"
#include "handle_sim.h"
#include "port_fake.h"  // FUZZ_CHECK and the byte helpers only

namespace {

using namespace zelkor_fuzz;
using namespace Zelkor::Sim;
using Zelkor::HardwareAPI::Protocol::DeviceInfo;
using Zelkor::HardwareAPI::Protocol::HandleInfo;

bool is_device_code(std::uint8_t b) {
    for (std::uint8_t c : {0x0B, 0x2B, 0x1B, 0xAB, 0xD0, 0xDA, 0xDF}) {
        if (b == c) return true;
    }
    return false;
}

// The length of the host message starting at m (at least its first byte and, for a
// handle-state message, its header present); 0 when the byte starts none.
std::size_t request_length(bool arbelon, const std::uint8_t* m) {
    if (arbelon) {
        switch (m[0]) {
            case 0x0A:
            case 0xAB:
                return 1;
            case 0x2A:
            case 0x2C:
            case 0x1A:
            case 0x1C:
                return 13;
            default:
                return 0;
        }
    }
    if (m[0] == 0x0A) return 1;
    if (m[0] == 0xDB) return 4 + std::size_t{m[3]};
    return 0;
}

bool finite_floats(const Bytes& m, std::size_t from, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::isfinite(float_of(le32(&m[from + 4 * i])))) return false;
    }
    return true;
}

// Whatever reaches the port, one entry per call.
struct Wire final : Outbox {
    std::vector<Bytes> sends;
    void send(const std::uint8_t* message, std::size_t length) override {
        FUZZ_CHECK(length > 0);
        sends.emplace_back(message, message + length);
    }
};

// Sits between the device and the fault injector: checks that every message is well formed
// and that the injector passes it on as it says.
class Checker final : public Outbox {
  public:
    Checker(bool arbelon, const FaultSettings& settings, Faults& faults, Wire& wire)
        : arbelon_(arbelon), settings_(settings), faults_(faults), wire_(wire) {}

    std::vector<Bytes> sent;  // the device's messages since the last clear

    void send(const std::uint8_t* message, std::size_t length) override {
        const Bytes m(message, message + length);
        check_well_formed(m);
        sent.push_back(m);

        const std::size_t before = wire_.sends.size();
        const bool silent = faults_.silent();
        const std::uint64_t spoilt = faults_.spoilt();
        faults_.send(message, length);
        const std::vector<Bytes> out(wire_.sends.begin() + static_cast<std::ptrdiff_t>(before),
                                     wire_.sends.end());
        if (silent) {
            FUZZ_CHECK(out.empty());
            return;
        }
        const Fault fault = faults_.last();
        FUZZ_CHECK(faults_.spoilt() == spoilt + (fault == Fault::none ? 0 : 1));
        FUZZ_CHECK(faults_.spoilt() <= settings_.max_faults);
        if (messages_ < settings_.faults_after) FUZZ_CHECK(fault == Fault::none);
        ++messages_;
        switch (fault) {
            case Fault::none:
                FUZZ_CHECK(out.size() == 1 && out[0] == m);
                break;
            case Fault::drop:
                FUZZ_CHECK(out.empty());
                break;
            case Fault::wrong_code: {
                Bytes want = m;
                want[0] ^= 0x30;
                FUZZ_CHECK(out.size() == 1 && out[0] == want);
                break;
            }
            case Fault::truncate:
                FUZZ_CHECK(out.size() == 1 && out[0].size() >= 1 && out[0].size() < m.size());
                FUZZ_CHECK(std::equal(out[0].begin(), out[0].end(), m.begin()));
                break;
            case Fault::garbage:
                FUZZ_CHECK(out.size() == 2 && out[0].size() >= 1 && out[0].size() <= 8);
                for (std::uint8_t b : out[0]) FUZZ_CHECK(!is_device_code(b));
                FUZZ_CHECK(out[1] == m);
                break;
        }
    }

  private:
    void check_well_formed(const Bytes& m) const {
        FUZZ_CHECK(!m.empty() && m.size() <= max_message_length);
        if (arbelon_) {
            switch (m[0]) {
                case 0x0B:
                    FUZZ_CHECK(m.size() == 22);
                    break;
                case 0x2B:
                case 0x1B:
                    FUZZ_CHECK(m.size() == 25 && finite_floats(m, 1, 6));
                    break;
                case 0xAB:
                    FUZZ_CHECK(m.size() == 13 && finite_floats(m, 1, 3));
                    break;
                default:
                    FUZZ_CHECK(!"an Arbelon message");
            }
        } else {
            switch (m[0]) {
                case 0xD0:
                    FUZZ_CHECK(m.size() == 7);
                    break;
                case 0xDA:
                    FUZZ_CHECK(m.size() >= 22 && m.size() == 22u + m[21]);
                    break;
                case 0xDF:
                    FUZZ_CHECK(m.size() == 4);
                    break;
                default:
                    FUZZ_CHECK(!"a Handle message");
            }
        }
    }

    bool arbelon_;
    FaultSettings settings_;
    Faults& faults_;
    Wire& wire_;
    std::uint64_t messages_ = 0;
};

// What the host's messages have told the handle so far.
struct HandleModel {
    bool awake = false;
    Bytes user_data;
    std::uint64_t statuses = 0;
};

// The simulator's command-line settings, within the ranges its options accept.
struct Setup {
    bool arbelon = false;
    FaultSettings faults;
    DeviceInfo identity;
    double fixed_dt = 0.0;
    HandleSettings handle;
};

std::uint64_t count_or_never(FuzzedDataProvider& in) {
    const std::uint8_t b = in.ConsumeIntegral<std::uint8_t>();
    return b < 128 ? never : b - 128u;
}

Setup setup_from(FuzzedDataProvider& in) {
    Setup s;
    s.arbelon = in.ConsumeBool();
    s.faults.seed = in.ConsumeIntegral<std::uint64_t>();
    // Each chance from 0 to 1, together at most 1.
    double chances[4];
    double sum = 0.0;
    for (double& c : chances) sum += c = in.ConsumeIntegral<std::uint8_t>();
    const double scale = std::max(sum, 255.0);
    s.faults.drop = chances[0] / scale;
    s.faults.wrong_code = chances[1] / scale;
    s.faults.truncate = chances[2] / scale;
    s.faults.garbage = chances[3] / scale;
    s.faults.faults_after = count_or_never(in);
    s.faults.max_faults = count_or_never(in);
    s.faults.silent_after = count_or_never(in);
    s.faults.hangup_after = count_or_never(in);
    if (s.arbelon) {
        s.identity.device_id = in.ConsumeIntegral<std::uint16_t>();
        s.identity.device_model_number = in.ConsumeIntegral<std::uint8_t>();
        s.identity.hardware_version = in.ConsumeIntegral<std::uint8_t>();
        s.identity.firmware_version = in.ConsumeIntegral<std::uint8_t>();
        for (auto& b : s.identity.uuid.bytes) b = in.ConsumeIntegral<std::uint8_t>();
        // Real time between requests, or a fixed step from 1 us to 1 s.
        if (!in.ConsumeBool()) s.fixed_dt = in.ConsumeFloatingPointInRange<double>(1e-6, 1.0);
    } else {
        s.handle.info = {in.ConsumeIntegral<std::uint8_t>(), in.ConsumeIntegral<std::uint16_t>(),
                         in.ConsumeIntegral<std::uint8_t>(), in.ConsumeIntegral<std::uint8_t>(),
                         in.ConsumeIntegral<std::uint8_t>()};
        const std::uint8_t rate = in.ConsumeIntegral<std::uint8_t>();
        s.handle.status_rate = rate == 0 ? 0.0 : rate == 255 ? 10000.0 : 10.0 * rate;
        s.handle.error_every = in.ConsumeIntegralInRange<std::uint64_t>(0, 5);
        s.handle.error_code = in.ConsumeIntegral<std::uint8_t>();
        s.handle.sensor_level = in.ConsumeIntegral<std::uint8_t>();
    }
    return s;
}

std::unique_ptr<SimDevice> make_device(const Setup& s) {
    if (s.arbelon) return std::make_unique<ArbelonSim>(s.identity, s.fixed_dt);
    return std::make_unique<HandleSim>(s.handle);
}

class Harness {
  public:
    Harness(FuzzedDataProvider& in, const Setup& setup)
        : in_(in),
          arbelon_(setup.arbelon),
          settings_(setup.faults),
          identity_(setup.identity),
          handle_(setup.handle),
          device_(make_device(setup)),
          faults_(settings_, wire_),
          checker_(arbelon_, settings_, faults_, wire_),
          framer_(device_->message_length()) {}

    void run() {
        for (int step = 0; step < 200 && in_.remaining_bytes() > 0 && !hung_up_; ++step) {
            const std::uint8_t op = in_.ConsumeIntegral<std::uint8_t>();
            advance_clock(op);
            expire();
            switch (op % 8) {
                case 6:
                    tick();
                    break;
                case 7:
                    if (op == 0xFF) {
                        disconnect();
                        break;
                    }
                    tick();
                    break;
                default: {
                    const Bytes chunk = in_.ConsumeBytes<std::uint8_t>(
                        in_.ConsumeIntegralInRange<std::size_t>(0, 64));
                    feed(chunk);
                    break;
                }
            }
        }
        // Every byte the host sent is accounted for.
        FUZZ_CHECK(framer_.expire(std::numeric_limits<double>::infinity()) + cursor_ ==
                       stream_.size() ||
                   hung_up_);
    }

  private:
    void advance_clock(std::uint8_t op) {
        const std::uint8_t d = in_.ConsumeIntegral<std::uint8_t>();
        // Mostly milliseconds; now and then a long pause.
        now_ += (op & 0x80) && d > 250 ? 10.0 * (d - 250) : 0.001 * d;
    }

    // Drops a message that stopped short, as the port loop does when the line goes quiet.
    void expire() {
        const std::size_t dropped = framer_.expire(now_);
        if (dropped == 0) return;
        cursor_ += dropped;
        checker_.sent.clear();
        device_->malformed(now_, checker_);
        expect_malformed_answer();
    }

    void feed(const Bytes& chunk) {
        stream_.insert(stream_.end(), chunk.begin(), chunk.end());
        std::size_t done = 0;
        while (done < chunk.size()) {
            const std::size_t taken = framer_.push(chunk.data() + done, chunk.size() - done, now_);
            FUZZ_CHECK(taken > 0);
            done += taken;
            if (!dispatch()) return;
        }
    }

    // Hands each whole message on; false after a hang-up.
    bool dispatch() {
        for (;;) {
            const Framer::Item item = framer_.next();
            if (item.kind == Framer::Item::Kind::none) return true;
            // The item is the next stretch of what the host sent.
            FUZZ_CHECK(item.length > 0 && cursor_ + item.length <= stream_.size());
            FUZZ_CHECK(std::equal(item.data, item.data + item.length,
                                  stream_.begin() + static_cast<std::ptrdiff_t>(cursor_)));
            cursor_ += item.length;
            checker_.sent.clear();
            if (item.kind == Framer::Item::Kind::garbage) {
                // A run of bytes none of which starts a message.
                for (std::size_t i = 0; i < item.length; ++i) {
                    const std::uint8_t b = item.data[i];
                    FUZZ_CHECK(b != 0x0A && (arbelon_ ? request_length(true, &b) == 0 : b != 0xDB));
                }
                device_->malformed(now_, checker_);
                expect_malformed_answer();
                continue;
            }
            FUZZ_CHECK(item.length == request_length(arbelon_, item.data));
            switch (faults_.admit()) {
                case Faults::Verdict::serve:
                    FUZZ_CHECK(served_ < settings_.silent_after &&
                               served_ < settings_.hangup_after);
                    ++served_;
                    device_->receive(item.data, item.length, now_, checker_);
                    expect_answer(Bytes(item.data, item.data + item.length));
                    break;
                case Faults::Verdict::ignore:
                    FUZZ_CHECK(faults_.silent() && served_ >= settings_.silent_after);
                    break;
                case Faults::Verdict::hang_up:
                    FUZZ_CHECK(served_ == settings_.hangup_after && !faults_.silent());
                    hung_up_ = true;
                    return false;
            }
        }
    }

    void tick() {
        if (faults_.silent()) return;  // the port loop stops asking a silent device
        checker_.sent.clear();
        const double next = device_->tick(now_, checker_);
        FUZZ_CHECK(next > now_);  // else the loop would spin
        const std::vector<Bytes>& sent = checker_.sent;
        if (arbelon_) {
            FUZZ_CHECK(sent.empty() && std::isinf(next));
            return;
        }
        if (!model_.awake || handle_.status_rate <= 0.0) FUZZ_CHECK(std::isinf(next));
        if (sent.empty()) return;
        FUZZ_CHECK(model_.awake && handle_.status_rate > 0.0);
        const Bytes& m = sent[0];
        FUZZ_CHECK(m[0] == 0xDA);
        FUZZ_CHECK(le16(&m[1]) == handle_.info.device_id && m[3] == 0 &&
                   m[4] == handle_.sensor_level);
        double norm = 0.0;
        for (int i = 0; i < 4; ++i) {
            const double q = float_of(le32(&m[5 + 4 * i]));
            FUZZ_CHECK(std::isfinite(q));
            norm += q * q;
        }
        FUZZ_CHECK(std::fabs(norm - 1.0) < 1e-5);
        // The user data of the latest handle-state message for this handle.
        FUZZ_CHECK(Bytes(m.begin() + 22, m.end()) == model_.user_data);
        ++model_.statuses;
        if (handle_.error_every > 0 && model_.statuses % handle_.error_every == 0) {
            FUZZ_CHECK(sent.size() == 2 && sent[1] == error_message(handle_.error_code));
        } else {
            FUZZ_CHECK(sent.size() == 1);
        }
    }

    void disconnect() {
        cursor_ += framer_.expire(std::numeric_limits<double>::infinity());
        framer_.reset();
        device_->disconnected();
        // Asleep, without user data; the count of status messages (and so the schedule of
        // the periodic errors) runs on across sessions.
        model_.awake = false;
        model_.user_data.clear();
    }

    Bytes error_message(std::uint8_t code) const {
        const std::uint16_t id = handle_.info.device_id;
        return {0xDF, static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(id >> 8), code};
    }

    void expect_malformed_answer() {
        const std::vector<Bytes>& sent = checker_.sent;
        if (arbelon_) {
            FUZZ_CHECK(sent.empty());  // the arm ignores what it cannot read
        } else {
            FUZZ_CHECK(sent.size() == 1 && sent[0] == error_message(2));
        }
    }

    // The answer to one whole request.
    void expect_answer(const Bytes& request) {
        const std::vector<Bytes>& sent = checker_.sent;
        if (arbelon_) {
            FUZZ_CHECK(sent.size() == 1);
            const Bytes& m = sent[0];
            switch (request[0]) {
                case 0x0A: {
                    Bytes want{0x0B,
                               static_cast<std::uint8_t>(identity_.device_id),
                               static_cast<std::uint8_t>(identity_.device_id >> 8),
                               identity_.device_model_number,
                               identity_.hardware_version,
                               identity_.firmware_version};
                    want.insert(want.end(), identity_.uuid.bytes.begin(),
                                identity_.uuid.bytes.end());
                    FUZZ_CHECK(m == want);
                    break;
                }
                case 0xAB:
                    FUZZ_CHECK(m[0] == 0xAB);
                    break;
                case 0x2A:
                case 0x2C:
                    FUZZ_CHECK(m[0] == 0x2B);
                    break;
                default:
                    FUZZ_CHECK(m[0] == 0x1B);
                    break;
            }
            return;
        }
        if (request[0] == 0x0A) {
            const HandleInfo& i = handle_.info;
            const Bytes want{0xD0,
                             i.tool_data_remaining,
                             static_cast<std::uint8_t>(i.device_id),
                             static_cast<std::uint8_t>(i.device_id >> 8),
                             i.device_model_number,
                             i.hardware_version,
                             i.firmware_version};
            FUZZ_CHECK(sent.size() == 1 && sent[0] == want);
            model_.awake = true;
            return;
        }
        if (le16(&request[1]) != handle_.info.device_id) {
            // For another handle: an error, and its data is not taken.
            FUZZ_CHECK(sent.size() == 1 && sent[0] == error_message(1));
            return;
        }
        FUZZ_CHECK(sent.empty());
        model_.user_data.assign(request.begin() + 4, request.end());
    }

    FuzzedDataProvider& in_;
    bool arbelon_ = false;
    FaultSettings settings_;
    DeviceInfo identity_;
    HandleSettings handle_;
    std::unique_ptr<SimDevice> device_;
    Wire wire_;
    Faults faults_;
    Checker checker_;
    Framer framer_;
    HandleModel model_;
    double now_ = 1000.0;
    Bytes stream_;            // every byte the host sent
    std::size_t cursor_ = 0;  // how much of it the framer has handed on or dropped
    std::uint64_t served_ = 0;
    bool hung_up_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Harness harness(in, setup_from(in));
    harness.run();
    return 0;
}
