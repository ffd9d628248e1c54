#include "control/servo/mailbox.h"

#include <ZelkorHardwareAPI/control/scene.h>

#include <algorithm>

namespace Zelkor::HardwareAPI::Control::servo {

Mailbox::Mailbox(std::size_t arms) : arms_(arms) {}

void Mailbox::set_effects(std::size_t arm, std::vector<Effect> effects, Clock::time_point expires) {
    std::lock_guard<std::mutex> hold(mutex_);
    ArmCommand& latest = arm_latest_[arm];
    std::vector<std::uint64_t> ids(effects.size());
    for (std::size_t k = 0; k < effects.size(); ++k) {
        const bool kept = k < latest.effects.size() && same_effect(effects[k], latest.effects[k]);
        ids[k] = kept ? latest.ids[k] : ++next_id_;
    }
    latest.effects = std::move(effects);
    latest.ids = std::move(ids);
    latest.states.assign(latest.effects.size(), EffectState{});
    latest.expires = expires;
    arm_slots_[arm].to_fill() = latest;
    arm_slots_[arm].publish();
    if (shared_latest_.function) {
        shared_latest_.function = nullptr;
        publish_shared();
    }
}

void Mailbox::set_couplings(std::vector<Coupling> couplings) {
    std::lock_guard<std::mutex> hold(mutex_);
    shared_latest_.couplings = std::move(couplings);
    publish_shared();
}

void Mailbox::set_function(ForceFunction function) {
    std::lock_guard<std::mutex> hold(mutex_);
    shared_latest_.function = std::move(function);
    publish_shared();
}

void Mailbox::set_law(ZelkorForceLaw law, std::shared_ptr<const void> keep_alive) {
    std::lock_guard<std::mutex> hold(mutex_);
    shared_latest_.law = law;
    shared_latest_.law_keep = law != nullptr ? std::move(keep_alive) : nullptr;
    publish_shared();
}

void Mailbox::set_params(const double* values, std::size_t count, double ramp,
                         Clock::time_point expires) {
    std::lock_guard<std::mutex> hold(mutex_);
    shared_latest_.params.fill(0.0);
    std::copy(values, values + count, shared_latest_.params.begin());
    shared_latest_.param_count = count;
    shared_latest_.ramp = ramp;
    shared_latest_.params_expire = expires;
    ++shared_latest_.params_serial;
    publish_shared();
}

std::shared_ptr<MujocoScene> Mailbox::set_scene(std::shared_ptr<MujocoScene> scene,
                                                std::uint32_t steps, std::uint64_t& serial) {
    std::lock_guard<std::mutex> hold(mutex_);
    std::shared_ptr<MujocoScene> before = std::move(scene_latest_.scene);
    scene_latest_.scene = std::move(scene);
    scene_latest_.steps = steps;
    serial = ++scene_latest_.serial;
    scene_slot_.to_fill() = scene_latest_;
    scene_slot_.publish();
    return before;
}

std::shared_ptr<MujocoScene> Mailbox::scene() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return scene_latest_.scene;
}

double Mailbox::scene_period(double period) const {
    std::lock_guard<std::mutex> hold(mutex_);
    return scene_latest_.scene ? scene_latest_.scene->whole_steps_from(period) : period;
}

void Mailbox::publish_shared() {
    shared_slot_.to_fill() = shared_latest_;
    shared_slot_.publish();
}

std::vector<Effect> Mailbox::effects(std::size_t arm) const {
    std::lock_guard<std::mutex> hold(mutex_);
    return arm < arms_ ? arm_latest_[arm].effects : std::vector<Effect>{};
}

std::vector<Coupling> Mailbox::couplings() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return shared_latest_.couplings;
}

ZelkorForceLaw Mailbox::law() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return shared_latest_.law;
}

std::vector<double> Mailbox::params() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return {shared_latest_.params.begin(),
            shared_latest_.params.begin() + static_cast<long>(shared_latest_.param_count)};
}

// The loop took a new list: each effect that kept its id keeps the state it had.
void Mailbox::carry_states(Mailslot<ArmCommand>& slot) noexcept {
    ArmCommand& now = slot.current();
    const ArmCommand& before = slot.previous();
    const std::size_t n = std::min(now.ids.size(), before.ids.size());
    for (std::size_t k = 0; k < n; ++k) {
        if (now.ids[k] == before.ids[k]) now.states[k] = before.states[k];
    }
}

}  // namespace Zelkor::HardwareAPI::Control::servo
