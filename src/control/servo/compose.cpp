#include "control/servo/compose.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>

namespace Zelkor::HardwareAPI::Control::servo {

namespace {

// The servo's call of its force law on this thread, if one is under way.
thread_local LawCall* current_call = nullptr;

void say(LawCall& call, const char* format, double x, double y, double z) {
    call.failed = true;
    std::snprintf(call.what, sizeof call.what, format, x, y, z);
}

}  // namespace

void Compose::arm(std::size_t arm, ArmCommand& command, const SharedCommand& shared,
                  const double* params, double time, std::uint64_t cycle, double energy,
                  Wanted& out) noexcept {
    const ArmView& view = arms_[arm];
    out.parts = 0;
    out.failed = false;
    if (shared.function && arm == 0) {
        ServoState s;
        s.time = time;
        s.cycle = cycle;
        for (int k = 0; k < 3; ++k) {
            s.position[k] = static_cast<float>(view.position[k]);
            s.velocity[k] = static_cast<float>(view.velocity[k]);
        }
        s.force = view.answered;
        s.energy = energy;
        if (!call_function(shared, s, out)) return;
    } else {
        out.force = effects(command, view, time);
        if (arm == 0 && !command.effects.empty()) out.parts |= ServoRecord::effects;
    }
    if (!shared.couplings.empty()) add_couplings(shared, arm, out.force);
    out.effects = out.force;
    if (arm == 0 && shared.law != nullptr && !add_law(shared, view, params, time, cycle, out)) {
        out.failed = true;
        out.force = {0.0, 0.0, 0.0};
    }
}

// The force function's force into `out`; false (zero wanted, and why) when it threw.
bool Compose::call_function(const SharedCommand& shared, const ServoState& state,
                            Wanted& out) noexcept {
    try {
        out.force = shared.function(state);
        return true;
    } catch (const std::exception& e) {
        failure_.failed = true;
        std::snprintf(failure_.what, sizeof failure_.what, "the force function threw: %s",
                      e.what());
    } catch (...) {
        failure_.failed = true;
        std::snprintf(failure_.what, sizeof failure_.what,
                      "the force function threw something that is no std::exception");
    }
    out.failed = true;
    out.force = {0.0, 0.0, 0.0};
    return false;
}

Vec3 Compose::effects(ArmCommand& command, const ArmView& view, double time) const noexcept {
    return total_force(command.effects, command.states.data(), view.position, view.velocity, time);
}

void Compose::add_couplings(const SharedCommand& shared, std::size_t arm,
                            Vec3& force) const noexcept {
    const ArmView& self = arms_[arm];
    for (const Coupling& c : shared.couplings) {
        if (c.a != arm && c.b != arm) continue;
        const std::size_t other_index = c.a == arm ? c.b : c.a;
        if (other_index >= count_ || !arms_[other_index].have_state) continue;
        const ArmView& other = arms_[other_index];
        for (int k = 0; k < 3; ++k) {
            force[k] += -c.stiffness * (self.position[k] - other.position[k]) -
                        c.damping * (self.velocity[k] - other.velocity[k]);
        }
    }
}

// Adds the law's force to `out`; false when the law failed: it said so
// (zelkor_force_law_failed) or its force is not finite.
bool Compose::add_law(const SharedCommand& shared, const ArmView& view, const double* params,
                      double time, std::uint64_t cycle, Wanted& out) noexcept {
    const ZelkorServoInput in{time,
                              static_cast<double>(cycle),
                              {view.position[0], view.position[1], view.position[2]},
                              {view.velocity[0], view.velocity[1], view.velocity[2]},
                              {view.answered[0], view.answered[1], view.answered[2]}};
    double force[3] = {0.0, 0.0, 0.0};
    current_call = &failure_;
    shared.law(&in, params, force);
    current_call = nullptr;
    out.parts |= ServoRecord::law;
    out.law = {force[0], force[1], force[2]};
    const bool finite =
        std::isfinite(force[0]) && std::isfinite(force[1]) && std::isfinite(force[2]);
    if (finite && !failure_.failed) {
        for (int k = 0; k < 3; ++k) out.force[k] += force[k];
        return true;
    }
    if (!failure_.failed) {
        say(failure_, "the force law's force (%g, %g, %g) N is not finite", force[0], force[1],
            force[2]);
    }
    // What it was given, to say more of it where its source is at hand (a Python law run again
    // with the same input).
    failure_.law = true;
    failure_.input = in;
    std::copy(params, params + ZELKOR_FORCE_LAW_PARAMS, failure_.params.begin());
    return false;
}

}  // namespace Zelkor::HardwareAPI::Control::servo

extern "C" int zelkor_force_law_failed(const char* what) {
    using Zelkor::HardwareAPI::Control::servo::current_call;
    if (current_call == nullptr) return 0;
    current_call->failed = true;
    std::snprintf(current_call->what, sizeof current_call->what, "%s",
                  what != nullptr ? what : "the force law failed");
    return 1;
}
