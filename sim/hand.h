// The simulated user's hand on the Arbelon's end-effector: a point mass held to the
// end-effector by a spring and a damper (the grip), and pulled by the same spring and damper
// towards a target that stays put or follows a recorded trajectory.
#pragma once

#include <string>
#include <vector>

#include "vec3.h"

namespace Zelkor::Sim {

struct HandParameters {
    double mass = 0.3;       ///< kg: a relaxed hand and forearm, as far as they move with it
    double stiffness = 0.0;  ///< N/m, between hand and end-effector and hand and target
    double damping = 0.0;    ///< N s/m, likewise
};

/// Where the hand is pulled to: positions in metres at times in seconds of simulated time.
/// Between samples the target moves in a straight line; before the first it is at the first,
/// after the last it stays at the last. Sampling allocates nothing.
class Trajectory {
  public:
    /// A target that stays at `point`.
    explicit Trajectory(const Vec3& point = {});

    /// From recorded samples (the same number of each); times are shifted so that the first
    /// is 0. Returns "" on success; otherwise leaves the trajectory as it was and says what
    /// is wrong: no samples, a value that is not finite, a position further than max_reach
    /// from the origin, a time that does not increase. For a fault of one sample the text
    /// names no row: it goes to `bad_row` (counted from 0) when that is given.
    std::string assign(std::vector<double> times, std::vector<Vec3> positions,
                       std::size_t* bad_row = nullptr);

    /// The target at `t` seconds, and its velocity there (0 outside the recording), m/s.
    void sample(double t, Vec3& position, Vec3& velocity) const;

    std::size_t size() const { return times_.size(); }
    /// Seconds from the first sample to the last.
    double duration() const { return times_.back(); }

    /// Positions must lie within this many metres of the origin: the arm reaches 0.4 m, so
    /// further is a recording in other units or a different frame.
    static constexpr double max_reach = 1.0;

  private:
    std::vector<double> times_;
    std::vector<Vec3> positions_;
};

}  // namespace Zelkor::Sim
