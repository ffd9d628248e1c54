// Background reception of a handle's messages: order, prompt stop, callback failures, writers
// beside the reader, who else may use the stream, and a hang-up. Bounds are loose: the
// machine may be loaded.
#include <ZelkorHardwareAPI/control/receiver.h>
#include <ZelkorHardwareAPI/control/servo.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "pty.h"

using Zelkor::HardwareAPI::Control::Receiver;
using Zelkor::HardwareAPI::Control::Servo;
using Zelkor::HardwareAPI::Devices::Arbelon;
using Zelkor::HardwareAPI::Devices::Handle;
using Zelkor::HardwareAPI::IO::SerialStream;
using Zelkor::HardwareAPI::IO::StreamUse;
using zelkor_test::Bytes;
using zelkor_test::cat;
using zelkor_test::Clock;
using zelkor_test::ms_since;
using zelkor_test::Pty;

namespace {

// Error messages (0xDF) carrying a running number as their code.
Bytes error_message(std::uint8_t n) {
    return {0xDF, 0x01, 0x00, n};
}

class Counting : public Handle {
  public:
    using Handle::Handle;
    using Handle::OnReceiveHandleErrorResponse;
    void OnReceiveHandleErrorResponse(std::uint16_t, std::uint8_t code) override {
        if (code == 0xEE) throw std::runtime_error("callback failed");
        std::lock_guard<std::mutex> hold(mutex);
        codes.push_back(code);
    }
    std::vector<std::uint8_t> seen() {
        std::lock_guard<std::mutex> hold(mutex);
        return codes;
    }
    std::mutex mutex;
    std::vector<std::uint8_t> codes;
};

// The receiver of the deprecated constructor, which also holds `lock` while it takes a message.
std::unique_ptr<Receiver> locking_receiver(Handle& handle, std::recursive_mutex& lock) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return std::make_unique<Receiver>(handle, lock);
#pragma GCC diagnostic pop
}

struct Rig {
    explicit Rig(bool with_lock = false)
        : owned(with_lock ? locking_receiver(handle, lock) : std::make_unique<Receiver>(handle)) {}

    Pty pty;
    SerialStream stream{pty.path().c_str()};
    Counting handle{&stream};
    std::recursive_mutex lock;
    std::unique_ptr<Receiver> owned;
    Receiver& receiver = *owned;

    bool wait_for(std::size_t n, double ms = 5000) {
        const auto start = Clock::now();
        while (handle.seen().size() < n && ms_since(start) < ms) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return handle.seen().size() >= n;
    }
};

}  // namespace

TEST(receiver_test, delivers_every_message_in_order_and_stops_promptly) {
    Rig rig;
    rig.receiver.start();
    EXPECT_THROW(rig.receiver.start(), std::logic_error);
    for (std::uint8_t n = 0; n < 200; ++n) rig.pty.send(error_message(n));
    ASSERT_TRUE(rig.wait_for(200));
    std::vector<std::uint8_t> expected(200);
    for (std::size_t n = 0; n < 200; ++n) expected[n] = static_cast<std::uint8_t>(n);
    EXPECT_EQ(rig.handle.seen(), expected);
    EXPECT_EQ(rig.handle.last_result(), 3);

    // A quiet line: stop() does not sit out the port's 1 s time-out.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = Clock::now();
    EXPECT_EQ(rig.receiver.stop(), nullptr);
    EXPECT_LT(ms_since(start), 500.0);
    EXPECT_FALSE(rig.receiver.running());

    // Started again, it goes on where it left off.
    rig.receiver.start();
    rig.pty.send(error_message(200));
    EXPECT_TRUE(rig.wait_for(201));
    rig.receiver.stop();
}

TEST(receiver_test, a_throwing_callback_ends_reception_and_stop_returns_it) {
    Rig rig;
    rig.receiver.start();
    rig.pty.send(cat({error_message(1), error_message(0xEE), error_message(2)}));
    const auto start = Clock::now();
    while (rig.receiver.running() && ms_since(start) < 5000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(rig.receiver.running());
    const std::exception_ptr error = rig.receiver.stop();
    ASSERT_NE(error, nullptr);
    EXPECT_THROW(std::rethrow_exception(error), std::runtime_error);
    EXPECT_EQ(rig.handle.seen(), std::vector<std::uint8_t>{1});
    EXPECT_EQ(rig.receiver.stop(), nullptr) << "returned once";
}

namespace {

void writers_share_the_stream(Rig& rig, bool with_lock) {
    rig.receiver.start();
    std::atomic<bool> done{false};
    std::thread device([&] {
        for (std::uint8_t n = 0; n < 100; ++n) {
            rig.pty.send(error_message(n));
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    std::thread writer([&] {
        const std::uint8_t data[3] = {7, 8, 9};
        for (int i = 0; i < 100; ++i) {
            if (with_lock) {
                std::lock_guard<std::recursive_mutex> hold(rig.lock);
                rig.handle.SendHandleState(0x0D01, 3, data);
            } else {
                ASSERT_EQ(rig.stream.use().enter(), StreamUse::Entry::taken);
                rig.handle.SendHandleState(0x0D01, 3, data);
                rig.stream.use().leave();
            }
        }
        done = true;
    });
    Bytes written;
    const Bytes one = {0xDB, 0x01, 0x0D, 0x03, 7, 8, 9};
    while (written.size() < 100 * one.size()) {
        const Bytes got = rig.pty.receive(100 * one.size() - written.size(), 3000);
        if (got.empty()) break;
        written.insert(written.end(), got.begin(), got.end());
    }
    writer.join();
    device.join();
    ASSERT_EQ(written.size(), 100 * one.size());
    for (std::size_t i = 0; i < 100; ++i) {
        EXPECT_EQ(Bytes(written.begin() + 7 * i, written.begin() + 7 * (i + 1)), one) << i;
    }
    EXPECT_TRUE(rig.wait_for(100));
    rig.receiver.stop();
}

}  // namespace

// Writers on other threads take turns with the reader through the stream's use, or through
// the lock a receiver of the deprecated constructor also holds.
TEST(receiver_test, writers_share_the_stream_with_the_reader) {
    for (const bool with_lock : {false, true}) {
        SCOPED_TRACE(with_lock ? "writers take the receiver's lock" : "writers enter the stream");
        Rig rig(with_lock);
        writers_share_the_stream(rig, with_lock);
    }
}

TEST(receiver_test, a_running_receiver_keeps_servos_and_other_receivers_off_its_stream) {
    Rig rig;
    Counting other{&rig.stream};
    Receiver second(other);
    Arbelon arm(&rig.stream);
    Servo servo(arm);

    rig.receiver.start();
    EXPECT_THROW(second.start(), std::logic_error) << "one reader per stream";
    EXPECT_THROW(servo.start(), std::logic_error);
    EXPECT_FALSE(servo.running());
    // The refusals left the stream to the reader, which goes on.
    rig.pty.send(error_message(1));
    EXPECT_TRUE(rig.wait_for(1));
    EXPECT_EQ(rig.receiver.stop(), nullptr);

    // And the other way round: a driven stream takes no receiver until the servo ends.
    servo.start();
    EXPECT_THROW(rig.receiver.start(), std::logic_error);
    EXPECT_FALSE(rig.receiver.running());
    servo.stop();
    second.start();
    rig.pty.send(error_message(2));
    const auto start = Clock::now();
    while (other.seen().empty() && ms_since(start) < 5000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(other.seen(), std::vector<std::uint8_t>{2});
    EXPECT_EQ(second.stop(), nullptr);
}

TEST(receiver_test, a_hang_up_ends_reception) {
    Rig rig;
    rig.receiver.start();
    rig.pty.close_master();
    const auto start = Clock::now();
    while (rig.receiver.running() && ms_since(start) < 5000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(rig.receiver.running());
    EXPECT_FALSE(rig.stream.is_open());
    EXPECT_EQ(rig.receiver.stop(), nullptr);
}
