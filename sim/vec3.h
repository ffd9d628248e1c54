// The small vectors and matrices of the arm model: three doubles, metres, newtons or radians
// as the name says.
#pragma once

#include <array>

namespace Zelkor::Sim {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<Vec3, 3>;  ///< row-major: m[row][column]

}  // namespace Zelkor::Sim
