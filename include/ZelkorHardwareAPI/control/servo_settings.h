// A servo's settings, declared once in servo_settings.def: the struct, the table that describes
// each setting, and their validation.
#pragma once

#include <ZelkorHardwareAPI/control/effects.h>
#include <ZelkorHardwareAPI/export.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

namespace Zelkor::HardwareAPI::Control {

/// The values a number may take: those from `low` to `high` (either end left out when open),
/// finite, and `sentinel` when it has one, which means `sentinel_means`.
struct SettingRange {
    double low = -std::numeric_limits<double>::infinity();
    double high = std::numeric_limits<double>::infinity();
    bool low_open = false;
    bool high_open = false;
    bool has_sentinel = false;
    double sentinel = 0.0;
    const char* sentinel_means = "";
    bool checked = true;  ///< false: any value (a bool)

    static constexpr SettingRange from_to(double low, double high) noexcept {
        return {low, high, false, false};
    }
    static constexpr SettingRange above_to(double low, double high) noexcept {
        return {low, high, true, false};
    }
    static constexpr SettingRange at_least(double low) noexcept {
        return {low, std::numeric_limits<double>::infinity(), false, true};
    }
    static constexpr SettingRange above(double low) noexcept {
        return {low, std::numeric_limits<double>::infinity(), true, true};
    }
    static constexpr SettingRange finite() noexcept { return {}; }
    static constexpr SettingRange any() noexcept {
        SettingRange r{};
        r.checked = false;
        return r;
    }
    constexpr SettingRange or_else(double value, const char* means) const noexcept {
        SettingRange r = *this;
        r.has_sentinel = true;
        r.sentinel = value;
        r.sentinel_means = means;
        return r;
    }

    /// True when `value` is finite and within the range (the sentinel not counted).
    bool holds(double value) const noexcept;
    /// What the range asks for, e.g. "from 1 to 20000 Hz" or "more than 0 and at most 20 N".
    std::string describe(const char* unit) const;
};

/// One setting as the table declares it.
struct SettingInfo {
    const char* name;
    const char* type;  ///< the C++ type's name: "double", "bool", "std::uint32_t", "int", "Vec3"
    SettingRange range;
    const char* unit;  ///< "" for none
    const char* doc;
};

/// What a servo runs with; servo_settings.def documents each setting.
struct ServoSettings {
#define ZELKOR_SERVO_SETTING(type, name, initial, range, unit, doc) type name = initial;
#include <ZelkorHardwareAPI/control/servo_settings.def>
#undef ZELKOR_SERVO_SETTING
};

/// The table: one SettingInfo per setting of ServoSettings, in its order.
namespace setting_info {
#define ZELKOR_SERVO_SETTING(type, name, initial, range, unit, doc) \
    inline constexpr SettingInfo name{#name, #type, range, unit, doc};
#include <ZelkorHardwareAPI/control/servo_settings.def>
#undef ZELKOR_SERVO_SETTING
}  // namespace setting_info

/// Calls `visit(const SettingInfo&, field)` for every setting of `settings`, in the table's
/// order; `field` is a reference to the member (const when `settings` is).
template <class Settings, class Visit>
void for_each_setting(Settings& settings, Visit&& visit) {
#define ZELKOR_SERVO_SETTING(type, name, initial, range, unit, doc) \
    visit(setting_info::name, settings.name);
#include <ZelkorHardwareAPI/control/servo_settings.def>
#undef ZELKOR_SERVO_SETTING
}

/// The message for `value` given to `info`, which its range does not hold: "<name> must be
/// <range>, or <sentinel> (<meaning>)", with `none` for the sentinel's name ("None" from
/// Python) when given.
ZELKOR_API std::string out_of_range(const SettingInfo& info, double value,
                                    const char* none = nullptr);

/// True when the workspace box is in use: its corners differ.
ZELKOR_API bool workspace_used(const ServoSettings& settings) noexcept;

/// Checks every setting against its range, and what ranges cannot say: the CPU is one of this
/// machine's, and a workspace's lowest corner is below its highest on every axis. Throws
/// std::invalid_argument naming the first setting that is wrong. The servo's constructors and
/// the Python keywords check through this one function.
ZELKOR_API void validate(const ServoSettings& settings);

}  // namespace Zelkor::HardwareAPI::Control
