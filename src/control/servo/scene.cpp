#include "control/servo/scene.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace Zelkor::HardwareAPI::Control {

namespace {

bool finite(const Vec3& v) {
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

std::string text(double v) {
    char out[32];
    std::snprintf(out, sizeof out, "%g", v);
    return out;
}

void check(const MujocoBinding& b, const std::vector<MujocoTool>& tools, const VirtualCoupling& c) {
    if (b.step == nullptr || b.get_state == nullptr || b.model == nullptr || b.data == nullptr ||
        b.xfrc_applied == nullptr || b.qpos == nullptr || b.qvel == nullptr) {
        throw std::invalid_argument("a scene's binding needs every function and array");
    }
    if (b.state_size < 1) throw std::invalid_argument("a scene's state holds its time at least");
    if (!(b.timestep > 0.0 && std::isfinite(b.timestep))) {
        throw std::invalid_argument("a scene's timestep must be more than 0 seconds");
    }
    if (tools.empty() || tools.size() > servo_max_arms) {
        throw std::invalid_argument("a scene has one tool per arm of its servo: 1 to " +
                                    std::to_string(servo_max_arms));
    }
    if (!(c.stiffness >= 0.0 && std::isfinite(c.stiffness))) {
        throw std::invalid_argument("the coupling's stiffness must be 0 N/m or more");
    }
    if (!(c.damping >= 0.0 && std::isfinite(c.damping))) {
        throw std::invalid_argument("the coupling's damping must be 0 N s/m or more");
    }
    for (const MujocoTool& t : tools) {
        if (!finite(t.origin)) throw std::invalid_argument("the scene's origin must be finite");
    }
    if (!(c.scale > 0.0 && std::isfinite(c.scale))) {
        throw std::invalid_argument("the scene's scale must be more than 0");
    }
}

}  // namespace

MujocoScene::Impl::Impl(const MujocoBinding& binding, std::vector<MujocoTool> tool_list,
                        const VirtualCoupling& coupling, std::shared_ptr<const void> keep)
    : engine(binding),
      tools(std::move(tool_list)),
      coupling_(coupling),
      keep_alive(std::move(keep)),
      timestep(binding.timestep) {
    published_.each([this](Published& p) { p.state.assign(engine.state_size, 0.0); });
    bad_before_ = bad_states();
    publish();
}

void MujocoScene::Impl::begin(std::uint32_t steps, Clock::duration period,
                              Clock::duration stall) noexcept {
    // 0: as many as make up the period (a measured rate, fitted to the scene when it was set
    // before the start).
    const double ts = timestep.load(std::memory_order_relaxed);
    steps_per_cycle_ =
        steps != 0 ? steps
                   : static_cast<std::uint32_t>(std::clamp(
                         std::round(std::chrono::duration<double>(period).count() / ts), 1.0, 1e6));
    period_ = period;
    stall_ = stall;
    overrunning_ = false;
    bad_before_ = bad_states();
    stepping.store(true, std::memory_order_relaxed);
}

Vec3 MujocoScene::Impl::tool_force(std::size_t arm, const Held& h) const noexcept {
    const MujocoTool& t = tools[arm];
    const double* x = engine.qpos + t.qpos;
    const double* v = engine.qvel + t.qvel;
    Vec3 f;
    for (int k = 0; k < 3; ++k) {
        f[k] = coupling_.stiffness * (h.position[k] - x[k]) +
               coupling_.damping * (h.velocity[k] - v[k]);
    }
    return f;
}

// Each tool's coupling force, recomputed at every step from where the tool is: the arms are held
// where the cycle found them. Two arms on one body both pull on it.
void MujocoScene::Impl::apply_forces() noexcept {
    for (const MujocoTool& t : tools) {
        for (int k = 0; k < 3; ++k) engine.xfrc_applied[6 * t.body + k] = 0.0;
    }
    for (std::size_t i = 0; i < tools.size(); ++i) {
        forces_[i] = held_[i].coupled ? tool_force(i, held_[i]) : Vec3{};
        for (int k = 0; k < 3; ++k) engine.xfrc_applied[6 * tools[i].body + k] += forces_[i][k];
    }
}

StopReason MujocoScene::Impl::step() noexcept {
    const Clock::time_point begun = Clock::now();
    for (std::size_t i = 0; i < tools.size(); ++i) {
        if (!held_[i].coupled) arm_parts_[i] = {};
    }
    for (std::uint32_t n = 0; n < steps_per_cycle_; ++n) {
        apply_forces();
        engine.step(engine.model, engine.data);
    }
    steps_ += steps_per_cycle_;
    for (Held& h : held_) h.coupled = false;
    const bool ok = publish() && bad_states() == bad_before_;
    const Clock::time_point done = Clock::now();
    if (!ok) return StopReason::scene_failed;
    if (done - begun <= period_) {
        overrunning_ = false;
        return StopReason::none;
    }
    // Steps slower than the period: the scene falls behind the arm, which a stall of the
    // machine alone may do for a moment, but not for longer than the loop's stall time.
    if (!overrunning_) {
        overrunning_ = true;
        overrun_since_ = begun;
    }
    return done - overrun_since_ > stall_ ? StopReason::scene_too_slow : StopReason::none;
}

void MujocoScene::Impl::let_go() noexcept {
    for (const MujocoTool& t : tools) {
        for (int k = 0; k < 3; ++k) engine.xfrc_applied[6 * t.body + k] = 0.0;
    }
    held_ = {};
    arm_parts_ = {};
    forces_ = {};
    (void)publish();
    stepping.store(false, std::memory_order_release);
}

// A copy of the scene for other threads; false when any of it is not finite.
bool MujocoScene::Impl::publish() noexcept {
    Published& p = published_.to_fill();
    p.steps = steps_;
    engine.get_state(engine.model, engine.data, p.state.data(), engine.state_signature);
    bool ok = true;
    for (double v : p.state) ok = ok && std::isfinite(v);
    for (std::size_t i = 0; i < tools.size(); ++i) {
        const double* x = engine.qpos + tools[i].qpos;
        p.tool_positions[i] = {x[0], x[1], x[2]};
        p.coupling_forces[i] = forces_[i];
        ok = ok && finite(p.tool_positions[i]) && finite(forces_[i]);
    }
    published_.publish();
    return ok;
}

int MujocoScene::Impl::bad_states() const noexcept {
    int n = 0;
    for (const int* counter : engine.bad_state_counters) n += counter != nullptr ? *counter : 0;
    return n;
}

void MujocoScene::Impl::read(SceneState& out) const {
    std::lock_guard<std::mutex> hold(readers_);
    const Published& p = published_.take();
    out.time = p.state[0];
    out.steps = p.steps;
    out.state = p.state;
    out.tool_positions.assign(p.tool_positions.begin(), p.tool_positions.begin() + tools.size());
    out.coupling_forces.assign(p.coupling_forces.begin(), p.coupling_forces.begin() + tools.size());
}

MujocoScene::MujocoScene(const MujocoBinding& binding, std::vector<MujocoTool> tools,
                         const VirtualCoupling& coupling, std::shared_ptr<const void> keep_alive) {
    check(binding, tools, coupling);
    impl_ = std::make_unique<Impl>(binding, std::move(tools), coupling, std::move(keep_alive));
}

MujocoScene::~MujocoScene() = default;

std::size_t MujocoScene::tool_count() const noexcept {
    return impl_->tools.size();
}

const VirtualCoupling& MujocoScene::coupling() const noexcept {
    return impl_->coupling_;
}

double MujocoScene::timestep() const noexcept {
    return impl_->timestep.load(std::memory_order_relaxed);
}

void MujocoScene::set_timestep(double timestep) {
    if (!(timestep > 0.0 && std::isfinite(timestep))) {
        throw std::invalid_argument("a scene's timestep must be more than 0 seconds");
    }
    impl_->timestep.store(timestep, std::memory_order_relaxed);
}

std::uint32_t MujocoScene::steps_per(double period) const {
    const double ts = timestep();
    const double n = std::round(period / ts);
    if (!(n >= 1.0 && n <= 1e6 && std::abs(n * ts - period) <= 1e-9 * period)) {
        throw std::invalid_argument("the scene's timestep " + text(ts) +
                                    " s does not divide the servo's period " + text(period) +
                                    " s into whole steps");
    }
    return static_cast<std::uint32_t>(n);
}

double MujocoScene::whole_steps_from(double period) const noexcept {
    const double ts = timestep();
    // A period a rounding short of whole steps is whole steps.
    return std::max(1.0, std::ceil(period / ts * (1.0 - 1e-9))) * ts;
}

SceneState MujocoScene::state() const {
    SceneState out;
    state(out);
    return out;
}

void MujocoScene::state(SceneState& out) const {
    impl_->read(out);
}

}  // namespace Zelkor::HardwareAPI::Control
