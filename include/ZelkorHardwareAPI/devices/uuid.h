#pragma once

#include <array>
#include <cstdint>

namespace Zelkor::HardwareAPI {

/// A device's 16-byte unique identifier in wire order (bytes[0] is the first byte received).
/// All zeros when default-constructed; a plain value, copied by value.
struct UUID {
    std::array<std::uint8_t, 16> bytes{};
};

}  // namespace Zelkor::HardwareAPI
