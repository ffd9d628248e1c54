// What each arm's environment wants this cycle: its effects, the couplings to the other arms,
// and for arm 0 a force function in place of its effects and a force law added to them.
#pragma once

#include <ZelkorHardwareAPI/control/servo.h>

#include <array>
#include <cstddef>

#include "control/servo/mailbox.h"

namespace Zelkor::HardwareAPI::Control::servo {

/// What the loop knows of one arm when it composes.
struct ArmView {
    bool have_state = false;
    Vec3 position{}, velocity{};
    Vector3 answered{};  // the force of the request the latest state answers
};

/// The force an arm's environment wants, and the parts that made it (each set by
/// Compose::arm, but `law` only where `parts` says the law took part).
struct Wanted {
    Vec3 force{};
    Vec3 effects{};       ///< the effects' and couplings' part
    Vec3 law{};           ///< the force law's part
    unsigned parts = 0;   ///< ServoRecord::effects and ::law, as they took part
    bool failed = false;  ///< the force function threw, or the law's force is not finite
};

/// What went wrong in a call of the force law or function: set by the call (through
/// zelkor_force_law_failed, on its own thread) or by the loop (a force that is not finite, an
/// exception), read once the loop ends.
struct LawCall {
    bool failed = false;
    char what[sizeof(ServoStats::failure)] = {};
    bool law = false;  ///< the law's call (not the function's): its input is below
    ZelkorServoInput input{};
    std::array<double, ZELKOR_FORCE_LAW_PARAMS> params{};
};

class Compose {
  public:
    /// Composes for the `count` arms `arms` (the views of this cycle).
    Compose(const ArmView* arms, std::size_t count) noexcept : arms_(arms), count_(count) {}

    /// Arm `arm`'s force from its command and what the arms share, with the law's `params`,
    /// at servo time `time` in cycle `cycle`. `energy` is the arm's passivity energy (for a
    /// force function's ServoState). A failure wants zero.
    void arm(std::size_t arm, ArmCommand& command, const SharedCommand& shared,
             const double* params, double time, std::uint64_t cycle, double energy,
             Wanted& out) noexcept;

    /// Where the calls of this cycle say what failed.
    LawCall& failure() noexcept { return failure_; }

  private:
    Vec3 effects(ArmCommand& command, const ArmView& view, double time) const noexcept;
    void add_couplings(const SharedCommand& shared, std::size_t arm, Vec3& force) const noexcept;
    bool add_law(const SharedCommand& shared, const ArmView& view, const double* params,
                 double time, std::uint64_t cycle, Wanted& out) noexcept;
    bool call_function(const SharedCommand& shared, const ServoState& state, Wanted& out) noexcept;

    const ArmView* arms_;
    std::size_t count_;
    LawCall failure_;
};

}  // namespace Zelkor::HardwareAPI::Control::servo
