#include "hand.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace Zelkor::Sim {

namespace {

// A sample's error: the row (from 0) to the caller, who knows what to call it.
std::string row_error(std::size_t row, const char* what, std::size_t* bad_row) {
    if (bad_row) *bad_row = row;
    return what;
}

}  // namespace

Trajectory::Trajectory(const Vec3& point) : times_{0.0}, positions_{point} {}

std::string Trajectory::assign(std::vector<double> times, std::vector<Vec3> positions,
                               std::size_t* bad_row) {
    if (times.empty()) return "no samples";
    if (times.size() != positions.size()) return "as many times as positions are needed";
    for (std::size_t i = 0; i < times.size(); ++i) {
        const Vec3& p = positions[i];
        if (!std::isfinite(times[i]))
            return row_error(i, "the time is not a finite number", bad_row);
        if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) {
            return row_error(i, "a position is not a finite number", bad_row);
        }
        if (std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]) > max_reach) {
            return row_error(i,
                             "the position is more than 1 m from the origin (positions are "
                             "in metres; the arm reaches 0.4 m)",
                             bad_row);
        }
    }
    // Counted from the first; checked after the shift, which could round two close times
    // far from 0 into one.
    const double start = times.front();
    for (double& t : times) t -= start;
    for (std::size_t i = 1; i < times.size(); ++i) {
        if (!(times[i] > times[i - 1])) {
            return row_error(i,
                             "the time does not increase (times are in seconds, each "
                             "later than the one before)",
                             bad_row);
        }
    }
    times_ = std::move(times);
    positions_ = std::move(positions);
    return {};
}

void Trajectory::sample(double t, Vec3& position, Vec3& velocity) const {
    velocity = {0.0, 0.0, 0.0};
    if (!(t > times_.front())) {  // before the start, and NaN
        position = positions_.front();
        return;
    }
    if (t >= times_.back()) {
        position = positions_.back();
        return;
    }
    // The first sample later than t; there is one, and one at or before it.
    const std::size_t next = static_cast<std::size_t>(
        std::upper_bound(times_.begin(), times_.end(), t) - times_.begin());
    const std::size_t prev = next - 1;
    const double span = times_[next] - times_[prev];
    const double f = (t - times_[prev]) / span;
    for (int i = 0; i < 3; ++i) {
        const double change = positions_[next][i] - positions_[prev][i];
        position[i] = positions_[prev][i] + f * change;
        velocity[i] = change / span;
    }
}

}  // namespace Zelkor::Sim
