// The vectors the devices exchange.
#pragma once

#include <array>

namespace Zelkor::HardwareAPI {

/// A request or state vector: x, y, z of the end-effector, or joints 0, 1, 2.
using Vector3 = std::array<float, 3>;

}  // namespace Zelkor::HardwareAPI
