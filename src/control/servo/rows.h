// A servo recording's rows: the typed row (ServoRow) written into and read out of the ring of
// doubles, column by column as servo_columns.def lists them.
#pragma once

#include <ZelkorHardwareAPI/control/recorder.h>
#include <ZelkorHardwareAPI/control/servo.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace Zelkor::HardwareAPI::Control::servo {

namespace row_detail {

inline void put(std::atomic<double>* at, double v) noexcept {
    at->store(v, std::memory_order_relaxed);
}
inline void put(std::atomic<double>* at, std::uint64_t v) noexcept {
    put(at, static_cast<double>(v));
}
inline void put(std::atomic<double>* at, unsigned v) noexcept {
    put(at, static_cast<double>(v));
}
inline void put(std::atomic<double>* at, const Vec3& v) noexcept {
    for (int i = 0; i < 3; ++i) put(at + i, v[i]);
}

inline void put(std::atomic<double>* at, const ArmForces& v) noexcept {
    for (std::size_t i = 0; i < v.size(); ++i) put(at + 3 * i, v[i]);
}

inline void get(const double* at, double& v) noexcept {
    v = *at;
}
inline void get(const double* at, std::uint64_t& v) noexcept {
    v = static_cast<std::uint64_t>(*at);
}
inline void get(const double* at, unsigned& v) noexcept {
    v = static_cast<unsigned>(*at);
}
inline void get(const double* at, Vec3& v) noexcept {
    for (int i = 0; i < 3; ++i) v[i] = at[i];
}
inline void get(const double* at, ArmForces& v) noexcept {
    for (std::size_t i = 0; i < v.size(); ++i) get(at + 3 * i, v[i]);
}

}  // namespace row_detail

/// The stored row's columns as text, "time:1,cycle:1,position:3,...": a file of rows says
/// which layout it holds.
inline std::string row_layout() {
    std::string text;
#define ZELKOR_SERVO_COLUMN(type, name, width, kind, flag, doc) \
    text += std::string(text.empty() ? "" : ",") + #name ":" #width;
#include <ZelkorHardwareAPI/control/servo_columns.def>
#undef ZELKOR_SERVO_COLUMN
    return text;
}

/// Appends `row` to `ring` (ServoRecord::width wide): no allocation, no lock.
inline void write_row(RowRing& ring, const ServoRow& row) noexcept {
    std::atomic<double>* const out = ring.row();
    // A part counts only in rows that have its flag: one that took no part is not written.
#define ZELKOR_SERVO_COLUMN(type, name, width, kind, flag, doc) \
    if ((flag) == 0 || (row.flags & (flag)) != 0)               \
        row_detail::put(out + ServoRecord::name, row.name);
#include <ZelkorHardwareAPI/control/servo_columns.def>
#undef ZELKOR_SERVO_COLUMN
    ring.append();
}

/// The row stored at `stored` (ServoRecord::width doubles).
inline ServoRow read_row(const double* stored) noexcept {
    ServoRow row;
    row_detail::get(stored + ServoRecord::flags, row.flags);
#define ZELKOR_SERVO_COLUMN(type, name, width, kind, flag, doc) \
    if ((flag) == 0 || (row.flags & (flag)) != 0)               \
        row_detail::get(stored + ServoRecord::name, row.name);
#include <ZelkorHardwareAPI/control/servo_columns.def>
#undef ZELKOR_SERVO_COLUMN
    return row;
}

}  // namespace Zelkor::HardwareAPI::Control::servo
