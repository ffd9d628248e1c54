// Little-endian wire values at byte offsets. Messages are packed without padding, so a field
// may start at any offset: every access goes byte by byte, never through a cast struct.
#pragma once

#include <ZelkorHardwareAPI/devices/vector.h>

#include <cstdint>
#include <cstring>

namespace Zelkor::HardwareAPI {

namespace Wire {

inline std::uint16_t load_u16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline void store_u16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline float load_f32(const std::uint8_t* p) {
    const std::uint32_t bits =
        static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
        static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

inline void store_f32(std::uint8_t* p, float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    p[0] = static_cast<std::uint8_t>(bits);
    p[1] = static_cast<std::uint8_t>(bits >> 8);
    p[2] = static_cast<std::uint8_t>(bits >> 16);
    p[3] = static_cast<std::uint8_t>(bits >> 24);
}

/// Three f32 back to back, element 0 first.
inline Vector3 load_vector(const std::uint8_t* p) {
    return {load_f32(p), load_f32(p + 4), load_f32(p + 8)};
}

inline void store_vector(std::uint8_t* p, const Vector3& v) {
    store_f32(p, v[0]);
    store_f32(p + 4, v[1]);
    store_f32(p + 8, v[2]);
}

}  // namespace Wire
}  // namespace Zelkor::HardwareAPI
