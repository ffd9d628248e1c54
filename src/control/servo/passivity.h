// The time-domain passivity observer and controller of one arm: it counts the energy flowing
// between the arm and the virtual environment, and when the environment has given out more
// than it took, damping in the next force takes that back.
#pragma once

#include <ZelkorHardwareAPI/control/effects.h>
#include <ZelkorHardwareAPI/devices/vector.h>

namespace Zelkor::HardwareAPI::Control::servo {

class Passivity {
  public:
    /// A reply answered the request that sent `force`, with `credit` counted as dissipated by
    /// it; the arm went `moved` metres as it came to that state.
    void answered(const Vector3& force, double credit, const Vector3& moved) noexcept {
        acted_ = answered_;
        answered_ = force;
        acted_credit_ = answered_credit_;
        answered_credit_ = credit;
        moved_ = moved;
    }
    /// A request's force was never seen acting (its exchange failed).
    void lost(double credit) noexcept {
        outstanding_ = outstanding_ > credit ? outstanding_ - credit : 0.0;
    }

    /// The damping (N s/m, at most `max_damping`) the next force needs, the arm moving at
    /// velocity `v` with `dt` seconds since the last cycle. The energy the environment has
    /// taken from the user counts the force that acted as the arm came to its latest state,
    /// against the way it moved: a sampled, delayed law gives energy out that the force it
    /// computes from the same state would not show.
    double damping(const Vec3& v, double dt, double max_damping) noexcept;
    /// The damping part of the force that went out, `share` of it (the fades and the limit
    /// scaled it), is counted as dissipated once the arm moved at `v` for `dt` seconds; the
    /// credit travels with its force and is swapped for what it really took once it acted.
    double sent(double damping, double share, const Vec3& v, double dt) noexcept;

    /// J: the energy the environment has taken from the user so far (below 0: given out).
    double energy() const noexcept { return energy_; }

  private:
    double energy_ = 0.0;
    double outstanding_ = 0.0;  // the credits of forces not yet seen acting
    Vector3 answered_{};        // the force of the request the latest state answers
    Vector3 acted_{};           // the force before it: what acted as the arm came to that state
    Vector3 moved_{};           // m: how far the arm went as it came to that state
    double answered_credit_ = 0.0;
    double acted_credit_ = 0.0;
};

}  // namespace Zelkor::HardwareAPI::Control::servo
