// A MuJoCo scene that a servo steps in its own thread, its tools tied to the arms' end-effectors
// by virtual couplings. The engine is bound at run time: the program that loaded it (the Python
// package through `mujoco`, a C++ program through its own link) hands over the addresses of its
// functions and of the scene's arrays, so the library neither includes the engine's headers nor
// links to it.
#pragma once

#include <ZelkorHardwareAPI/control/effects.h>
#include <ZelkorHardwareAPI/export.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace Zelkor::HardwareAPI::Control {

/// The engine's functions and one scene's memory: an mjModel, the mjData stepped with it, and
/// where in that data the library reads and writes. Every pointer must stay valid for as long
/// as the scene lives (see MujocoScene's keep_alive); mjtNum is double.
struct MujocoBinding {
    /// mj_step(const mjModel*, mjData*).
    void (*step)(const void* model, void* data) = nullptr;
    /// mj_getState(const mjModel*, const mjData*, mjtNum* state, int signature).
    void (*get_state)(const void* model, const void* data, double* state, int signature) = nullptr;
    const void* model = nullptr;  ///< the mjModel
    void* data = nullptr;         ///< the mjData, which nothing else steps
    /// What a copy of the state holds (an mjtState signature that includes mjSTATE_TIME, which
    /// comes first), and how many doubles that is (mj_stateSize).
    int state_signature = 0;
    std::size_t state_size = 0;
    double timestep = 0.0;           ///< s: the model's opt.timestep
    double* xfrc_applied = nullptr;  ///< the data's xfrc_applied: 6 per body, force first
    const double* qpos = nullptr;    ///< the data's qpos
    const double* qvel = nullptr;    ///< the data's qvel
    /// Counters of the data's warnings that say the engine found the state bad (warning[i].number
    /// of mjWARN_BADQPOS, mjWARN_BADQVEL, mjWARN_BADQACC); null ones are not looked at. The
    /// engine resets such a state by itself (unless mjDSBL_AUTORESET), so a rise of one of them
    /// is how a step that went wrong shows.
    std::array<const int*, 4> bad_state_counters{};
};

/// A body a servo's arm holds: its row of xfrc_applied, its free joint's place in qpos and
/// qvel (a free joint's first three positions are the body's place in the world, its first
/// three velocities the body's linear velocity), and where the arm is in the scene.
struct MujocoTool {
    std::size_t body = 0;
    std::size_t qpos = 0;
    std::size_t qvel = 0;
    /// m: the arm's position that maps to the scene's origin (arms side by side each have
    /// their own, so their tools need not start in one place).
    Vec3 origin{};
};

/// How each arm's end-effector is tied to its tool: a spring and a damper between the tool and
/// the end-effector mapped into the scene as scale × (position − its tool's origin). The
/// coupling's force acts on the tool; its opposite divided by `scale` is what the arm receives,
/// so the arm feels `stiffness` and `damping` in its own metres whatever the scale.
struct VirtualCoupling {
    double stiffness = 0.0;  ///< N/m, at least 0
    double damping = 0.0;    ///< N s/m, at least 0
    double scale = 1.0;      ///< scene metres per arm metre, more than 0
};

/// A copy of what a scene looks like after the latest cycle that stepped it.
struct SceneState {
    double time = 0.0;        ///< s: the scene's time
    std::uint64_t steps = 0;  ///< engine steps taken by servos since the scene was made
    /// The engine's state as the binding's state_signature says (time first), for
    /// mj_setState.
    std::vector<double> state;
    std::vector<Vec3> tool_positions;   ///< m, in the scene: each tool's place
    std::vector<Vec3> coupling_forces;  ///< N, in the scene: the coupling's force on each tool
};

/// A scene for a servo to step (Servo::set_scene): one tool per arm of the servo, in order.
///
/// A servo steps it by its own period every cycle, as many engine steps as fit, between
/// sending its requests and reading the replies; each step the coupling's force, computed from
/// the arms' latest states and the tools' places, is written to the tools' xfrc_applied. One
/// servo at a time steps a scene. state() copies what the loop published, from any thread,
/// without holding the loop up.
class ZELKOR_API MujocoScene {
  public:
    /// Throws std::invalid_argument for a binding with a null function or array, a state
    /// without room for its time, a timestep that is not a positive number, no tools or more
    /// than a servo drives, an origin that is not finite, or a coupling out of range. `keep_alive`
    /// holds whatever keeps the binding's memory alive; it is released with the scene (by the last
    /// of those holding it, never by a servo's loop).
    MujocoScene(const MujocoBinding& binding, std::vector<MujocoTool> tools,
                const VirtualCoupling& coupling, std::shared_ptr<const void> keep_alive = {});
    ~MujocoScene();
    MujocoScene(const MujocoScene&) = delete;
    MujocoScene& operator=(const MujocoScene&) = delete;

    std::size_t tool_count() const noexcept;
    const VirtualCoupling& coupling() const noexcept;
    double timestep() const noexcept;
    /// The model's timestep changed: a servo given the scene, or started with it, from now on
    /// takes its period over this many steps a cycle (a running one keeps the count it has;
    /// change the model only while no servo steps it). Throws std::invalid_argument for a
    /// timestep that is not a positive number.
    void set_timestep(double timestep);
    /// The engine steps that make up `period` seconds; std::invalid_argument, naming the
    /// timestep, when they do not make it up exactly.
    std::uint32_t steps_per(double period) const;
    /// The shortest whole number of engine steps, one at least, that lasts `period` seconds or
    /// more, in seconds: the period of a measured rate fitted to the scene.
    double whole_steps_from(double period) const noexcept;

    /// The latest state the loop published (the scene as made, before any step). Any thread.
    SceneState state() const;
    /// The same into `out`, reusing its storage.
    void state(SceneState& out) const;

    /// What a servo's loop works on; opaque outside the library.
    struct Impl;
    Impl& impl() noexcept { return *impl_; }

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace Zelkor::HardwareAPI::Control
