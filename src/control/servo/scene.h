// The scene as the servo's loop steps it: each arm's coupling force from its latest state,
// then the engine's steps between the requests going out and the replies coming in, the checks
// that the scene is still sound and in time, and a copy for other threads to read. Everything
// the loop touches here is made with the scene; nothing in a cycle allocates, frees or locks.
#pragma once

#include <ZelkorHardwareAPI/control/scene.h>
#include <ZelkorHardwareAPI/control/servo.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "control/servo/ramp.h"
#include "control/triple_buffer.h"

namespace Zelkor::HardwareAPI::Control {

using servo::Clock;

struct MujocoScene::Impl {
    Impl(const MujocoBinding& binding, std::vector<MujocoTool> tools,
         const VirtualCoupling& coupling, std::shared_ptr<const void> keep_alive);

    // The loop of the servo that owns the scene, one cycle after another.
    /// From this cycle on the loop takes `steps` engine steps a cycle (0: the whole steps
    /// nearest `period`), and a run of cycles
    /// whose steps take longer than `period` that lasts more than `stall` fails the scene.
    void begin(std::uint32_t steps, Clock::duration period, Clock::duration stall) noexcept;
    /// Arm `arm`'s end-effector is at `p` moving at `v` (the arm's frame): adds the coupling's
    /// force on the arm to `force`.
    void couple(std::size_t arm, const Vec3& p, const Vec3& v, Vec3& force) noexcept {
        Held& h = held_[arm];
        const VirtualCoupling& c = coupling_;
        const Vec3& origin = tools[arm].origin;
        for (int k = 0; k < 3; ++k) {
            h.position[k] = c.scale * (p[k] - origin[k]);
            h.velocity[k] = c.scale * v[k];
        }
        h.coupled = true;
        const Vec3 f = tool_force(arm, h);
        for (int k = 0; k < 3; ++k) {
            arm_parts_[arm][k] = -f[k] / c.scale;
            force[k] += arm_parts_[arm][k];
        }
    }
    /// Advances the scene by a period, the arms held where couple() found them (an arm it
    /// did not see this cycle pulls on nothing); publishes the result. StopReason::none, or why
    /// the loop must end: scene_failed, scene_too_slow.
    StopReason step() noexcept;
    /// The arms' parts of this cycle's forces (0 for an arm not coupled).
    const ArmForces& arm_parts() const noexcept { return arm_parts_; }
    /// The loop lets go of the scene: the tools are pulled no more.
    void let_go() noexcept;

    // Any thread.
    void read(SceneState& out) const;

    const MujocoBinding engine;
    const std::vector<MujocoTool> tools;
    const VirtualCoupling coupling_;
    const std::shared_ptr<const void> keep_alive;
    std::atomic<double> timestep;
    /// The servo (its Impl) that may step the scene; null: none.
    std::atomic<const void*> owner{nullptr};
    /// A loop steps the scene: from begin() to let_go().
    std::atomic<bool> stepping{false};

  private:
    struct Held {
        bool coupled = false;
        Vec3 position{}, velocity{};  // the end-effector in the scene
    };
    /// What other threads read: taken whole after a cycle.
    struct Published {
        std::uint64_t steps = 0;
        std::vector<double> state;
        std::array<Vec3, servo_max_arms> tool_positions{};
        std::array<Vec3, servo_max_arms> coupling_forces{};
    };

    Vec3 tool_force(std::size_t arm, const Held& h) const noexcept;
    void apply_forces() noexcept;
    bool publish() noexcept;
    int bad_states() const noexcept;

    // The loop's.
    std::array<Held, servo_max_arms> held_{};
    ArmForces arm_parts_{};
    std::array<Vec3, servo_max_arms> forces_{};  // on the tools, the latest step's
    std::uint32_t steps_per_cycle_ = 1;
    Clock::duration period_{}, stall_{};
    bool overrunning_ = false;
    Clock::time_point overrun_since_{};
    int bad_before_ = 0;
    std::uint64_t steps_ = 0;

    // Published: the loop (and the constructor) writes, readers take one at a time.
    mutable TripleBuffer<Published> published_;
    mutable std::mutex readers_;
};

}  // namespace Zelkor::HardwareAPI::Control
