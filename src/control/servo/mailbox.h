// What setters hand to the servo's loop: one command slot per arm (its effects and their time
// to live) and one shared slot (the couplings, the force law or function, the law's parameters).
// Setters take the mailbox's lock, which the loop never takes; the loop never allocates or
// frees what they hand over.
#pragma once

#include <ZelkorHardwareAPI/control/effects.h>
#include <ZelkorHardwareAPI/control/servo.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "control/servo/mailslot.h"
#include "control/servo/ramp.h"

namespace Zelkor::HardwareAPI::Control::servo {

/// One arm's effects. An effect keeps its id while the same effect stays in the same place of
/// the list, whatever else is set, and gets a new one when that place's effect changes; its
/// state (a Friction's proxy) goes with its id.
struct ArmCommand {
    std::vector<Effect> effects;
    std::vector<std::uint64_t> ids;
    std::vector<EffectState> states;  // the loop's, once it took the list
    Clock::time_point expires = Clock::time_point::max();
};

/// What all arms share.
struct SharedCommand {
    using Params = std::array<double, ZELKOR_FORCE_LAW_PARAMS>;

    std::vector<Coupling> couplings;
    ForceFunction function;  // arm 0's force, in place of its effects
    ZelkorForceLaw law = nullptr;
    std::shared_ptr<const void> law_keep;  // what keeps the law's code alive
    Params params{};
    std::size_t param_count = 0;
    double ramp = 0.0;                // s, from the parameters in force to these
    std::uint64_t params_serial = 0;  // counts set_params
    Clock::time_point params_expire = Clock::time_point::max();
};

/// The scene the loop steps, and which hand-over brought it.
struct SceneCommand {
    std::shared_ptr<MujocoScene> scene;
    std::uint32_t steps = 1;   // engine steps per cycle
    std::uint64_t serial = 0;  // counts set_scene
};

class Mailbox {
  public:
    explicit Mailbox(std::size_t arms);

    // Setters: any thread.
    /// Also clears a force function.
    void set_effects(std::size_t arm, std::vector<Effect> effects, Clock::time_point expires);
    void set_couplings(std::vector<Coupling> couplings);
    void set_function(ForceFunction function);
    void set_law(ZelkorForceLaw law, std::shared_ptr<const void> keep_alive);
    void set_params(const double* values, std::size_t count, double ramp,
                    Clock::time_point expires);
    /// Hands `scene` over, to take `steps` engine steps a cycle; returns the scene it replaces,
    /// and in `serial` the hand-over's number, which scene_taken() tells once the loop took it.
    std::shared_ptr<MujocoScene> set_scene(std::shared_ptr<MujocoScene> scene, std::uint32_t steps,
                                           std::uint64_t& serial);

    // What was set last: any thread.
    std::vector<Effect> effects(std::size_t arm) const;
    std::vector<Coupling> couplings() const;
    ZelkorForceLaw law() const;
    std::vector<double> params() const;
    std::shared_ptr<MujocoScene> scene() const;
    /// `period` lengthened to whole steps of the scene handed over last (see
    /// MujocoScene::whole_steps_from); `period` without one. Holds no reference to the scene,
    /// whose last would free it on the caller's thread.
    double scene_period(double period) const;
    /// True once the loop has taken hand-over `serial` of the scene, or a later one.
    bool scene_taken(std::uint64_t serial) const noexcept {
        return scene_taken_.load(std::memory_order_acquire) >= serial;
    }

    // The loop.
    /// Arm `arm`'s command, taking a new one if one came (each effect that kept its id keeps
    /// its state).
    ArmCommand& take_arm(std::size_t arm) noexcept {
        Mailslot<ArmCommand>& slot = arm_slots_[arm];
        if (slot.take()) carry_states(slot);
        return slot.current();
    }
    /// The scene's command, taking a new one if one came (`changed`).
    SceneCommand& take_scene(bool& changed) noexcept {
        changed = scene_slot_.take();
        return scene_slot_.current();
    }
    /// The loop is done with every scene before hand-over `serial` (scene_taken() tells it).
    void scene_taken_up_to(std::uint64_t serial) noexcept {
        scene_taken_.store(serial, std::memory_order_release);
    }
    /// The shared command; `changed` tells whether a new one came.
    SharedCommand& take_shared(bool& changed) noexcept {
        changed = shared_slot_.take();
        return shared_slot_.current();
    }

  private:
    void publish_shared();  // with mutex_
    static void carry_states(Mailslot<ArmCommand>& slot) noexcept;

    mutable std::mutex mutex_;
    std::size_t arms_;
    std::array<Mailslot<ArmCommand>, Servo::max_arms> arm_slots_;
    std::array<ArmCommand, Servo::max_arms> arm_latest_;
    Mailslot<SharedCommand> shared_slot_;
    SharedCommand shared_latest_;
    std::uint64_t next_id_ = 0;
    Mailslot<SceneCommand> scene_slot_;
    SceneCommand scene_latest_;
    std::atomic<std::uint64_t> scene_taken_{0};
};

}  // namespace Zelkor::HardwareAPI::Control::servo
