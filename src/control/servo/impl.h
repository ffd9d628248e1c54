// What a Servo holds: its arms and settings, the loop's thread and the notifier's, and the
// stages the loop shares with the servo's other threads (the mailbox, the telemetry, the
// recording, the notices).
#pragma once

#include <ZelkorHardwareAPI/control/recorder.h>
#include <ZelkorHardwareAPI/control/servo.h>

#include <array>
#include <atomic>
#include <functional>
#include <memory>

#include "control/background_thread.h"
#include "control/servo/arm_link.h"
#include "control/servo/compose.h"
#include "control/servo/mailbox.h"
#include "control/servo/notices.h"
#include "control/servo/recording_file.h"
#include "control/servo/telemetry.h"

namespace Zelkor::HardwareAPI::Control {

namespace servo {
class Loop;
}

struct Servo::Impl {
    Impl(const std::vector<Devices::Arbelon*>& arm_list, const ServoSettings& settings_);

    /// The loop's body (see servo/loop.cpp).
    void run() noexcept;
    /// The supervisor's body: hands what the loop tells to `notify`, watches that no cycle
    /// stays longer than law_timeout in its force law, then tells the end if the loop ended
    /// by itself.
    void supervise() noexcept;
    /// Ends a loop stuck in its force law, when it is: true when it took the stream over.
    bool take_over_when_stuck() noexcept;

    std::array<Devices::Arbelon*, max_arms> arms{};
    std::size_t arm_count = 0;
    const ServoSettings settings;

    BackgroundThread thread;                         // the loop's
    BackgroundThread notifier;                       // delivers notices to `notify`
    std::function<void(const ServoNotice&)> notify;  // set only while stopped
    servo::NoticeRing notices;
    std::atomic<StopReason> ended{StopReason::none};  // the loop's end, when by itself
    std::atomic<bool> loop_done{true};                // the loop's thread has ended
    // While the loop composes (effects, couplings, the force law or function): the cycle's
    // start, in clock ticks; 0 otherwise. The supervisor swaps in `abandoned` to take a stuck
    // loop's stream over; the loop swaps in 0 after composing, and finds out.
    static constexpr platform::Clock::rep abandoned = -1;
    std::atomic<platform::Clock::rep> composing_since{0};
    std::atomic<servo::Loop*> loop{nullptr};  // the running loop (on its thread's stack)
    // The failed call of the force law or function that ended the last run, written before the
    // run's stop reason is published.
    servo::LawCall law_failure;

    servo::Mailbox mailbox;
    servo::Telemetry telemetry;
    // Replaced only while stopped; read through std::atomic_load by the recording's readers,
    // which may run on any thread meanwhile.
    std::shared_ptr<RowRing> recording;
    // The file the recording streams to, if any: replaced only while stopped (read through
    // std::atomic_load). Its writer thread reads loop_done; it is joined before this object
    // goes (the file's destructor ends it, and `file` goes before loop_done).
    std::shared_ptr<servo::RecordingFile> file;
    // Taken by start(), let go by the loop's last act.
    std::array<servo::StreamDrive, max_arms> drives;
};

}  // namespace Zelkor::HardwareAPI::Control
