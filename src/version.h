#pragma once

namespace Zelkor::HardwareAPI {

/// Version of the C++ library. Independent of the Python package's version.
inline constexpr char library_version[] = "0.0.6-pre";

}  // namespace Zelkor::HardwareAPI
