#include "control/servo/compose.h"

#include <cmath>

namespace Zelkor::HardwareAPI::Control::servo {

Wanted Compose::arm(std::size_t arm, ArmCommand& command, const SharedCommand& shared,
                    const double* params, double time, std::uint64_t cycle,
                    double energy) const noexcept {
    const ArmView& view = arms_[arm];
    Wanted out;
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
        try {
            out.force = shared.function(s);
        } catch (...) {
            out.failed = true;
            out.force = {0.0, 0.0, 0.0};
            return out;
        }
    } else {
        out.force = effects(command, view, time);
        if (arm == 0 && !command.effects.empty()) out.parts |= ServoRecord::effects;
    }
    add_couplings(shared, arm, out.force);
    if (arm == 0) out.effects = out.force;
    if (arm == 0 && shared.law != nullptr && !add_law(shared, view, params, time, cycle, out)) {
        out.failed = true;
        out.force = {0.0, 0.0, 0.0};
    }
    return out;
}

Vec3 Compose::effects(ArmCommand& command, const ArmView& view, double time) const noexcept {
    Vec3 sum{0.0, 0.0, 0.0};
    for (std::size_t k = 0; k < command.effects.size(); ++k) {
        const Vec3 f =
            force_of(command.effects[k], command.states[k], view.position, view.velocity, time);
        for (int i = 0; i < 3; ++i) sum[i] += f[i];
    }
    return sum;
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

// Adds the law's force to `out`; false when it is not finite.
bool Compose::add_law(const SharedCommand& shared, const ArmView& view, const double* params,
                      double time, std::uint64_t cycle, Wanted& out) noexcept {
    const ZelkorServoInput in{time,
                              static_cast<double>(cycle),
                              {view.position[0], view.position[1], view.position[2]},
                              {view.velocity[0], view.velocity[1], view.velocity[2]},
                              {view.answered[0], view.answered[1], view.answered[2]}};
    double force[3] = {0.0, 0.0, 0.0};
    shared.law(&in, params, force);
    out.parts |= ServoRecord::law;
    out.law = {force[0], force[1], force[2]};
    if (!(std::isfinite(force[0]) && std::isfinite(force[1]) && std::isfinite(force[2]))) {
        return false;
    }
    for (int k = 0; k < 3; ++k) out.force[k] += force[k];
    return true;
}

}  // namespace Zelkor::HardwareAPI::Control::servo
