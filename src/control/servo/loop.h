// The servo's cycle, stage by stage, as a peer's controller loop reads: take the commands,
// compose the force (a scene's coupling added to the effects' and the law's), guard it,
// exchange it for the next state (the scene stepping while the requests are on their way),
// publish the state, record the cycle, keep the schedule.
#pragma once

#include <ZelkorHardwareAPI/control/servo.h>

#include <array>
#include <cstdint>

#include "control/servo/arm_link.h"
#include "control/servo/compose.h"
#include "control/servo/guards.h"
#include "control/servo/impl.h"
#include "control/servo/passivity.h"
#include "control/servo/scene.h"
#include "control/servo/schedule.h"

namespace Zelkor::HardwareAPI::Control::servo {

class Loop {
  public:
    explicit Loop(Servo::Impl& servo);
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;

    /// The loop's life: its cycles until a stop or a failure ends it, then its last act.
    void run() noexcept;
    /// The supervisor's: the last act for a loop stuck in its force law, on the supervisor's
    /// thread, once it has taken the stream over (Servo::Impl::composing_since).
    void take_over(const char* why) noexcept;

  private:
    /// What the loop keeps of each arm.
    struct Arm {
        ArmLink link;
        ArmGuard guard;
        Passivity passivity;
        ArmCommand* command = nullptr;
        ArmLink::Request request;    // this cycle's
        double damping_added = 0.0;  // this cycle's, N s/m
    };

    void prepare() noexcept;
    void choose_rate(const IO::WaitHook& stop) noexcept;
    bool cycle() noexcept;
    void take_commands(Clock::time_point now) noexcept;
    void take_scene() noexcept;
    void guard_arm(std::size_t i, Clock::time_point now, double time, double dt,
                   Wanted& w) noexcept;
    ArmLink::Outcome exchange() noexcept;
    void received(std::size_t i, const ArmLink::Received& r) noexcept;
    void record(Clock::time_point now, const Wanted& wanted, ArmLink::Outcome reply,
                const Schedule::Verdict& verdict, bool stale) noexcept;
    void finish(StopReason reason, const char* failure) noexcept;

    Servo::Impl& s_;
    std::size_t count_;
    std::array<Arm, Servo::max_arms> arms_;
    std::array<ArmView, Servo::max_arms> views_{};  // what the loop knows of each arm
    std::array<Wanted, Servo::max_arms> wanted_{};  // what each arm's environment wants
    Compose compose_;
    Guards guards_;
    Schedule schedule_;
    Clock::duration spin_{};
    std::shared_ptr<RowRing> recording_;
    StopReason reason_ = StopReason::stopped;
    bool abandoned_ = false;  // the supervisor took the stream over
    std::uint64_t cycle_ = 0;
    Clock::time_point previous_{};
    std::int64_t exchange_ns_ = 0;  // arm 0's, for the recording

    // The scene the loop steps (null: none), and why its latest step failed.
    MujocoScene::Impl* scene_ = nullptr;
    StopReason scene_failure_ = StopReason::none;

    // The shared command and the law's parameters: those in force, and a ramp to the next.
    SharedCommand* shared_ = nullptr;
    std::uint64_t params_serial_ = 0;
    SharedCommand::Params params_{}, params_from_{};
    Ramp params_ramp_{};
    bool params_ramping_ = false;
};

}  // namespace Zelkor::HardwareAPI::Control::servo
