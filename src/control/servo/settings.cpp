#include <ZelkorHardwareAPI/control/servo_settings.h>

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "platform/threads.h"

namespace Zelkor::HardwareAPI::Control {

namespace {

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", v);
    return text;
}

std::string with_unit(double v, const char* unit) {
    return *unit ? number(v) + " " + unit : number(v);
}

void check(const SettingInfo& info, double value) {
    const SettingRange& r = info.range;
    if (!r.checked || r.holds(value) || (r.has_sentinel && value == r.sentinel)) return;
    throw std::invalid_argument(out_of_range(info, value));
}

void check(const SettingInfo& info, const Vec3& value) {
    for (double x : value) {
        if (!std::isfinite(x)) {
            throw std::invalid_argument(std::string(info.name) + " must be three finite numbers");
        }
    }
}

}  // namespace

bool SettingRange::holds(double value) const noexcept {
    if (!std::isfinite(value)) return false;
    if (low_open ? !(value > low) : !(value >= low)) return false;
    return high_open ? value < high : value <= high;
}

std::string SettingRange::describe(const char* unit) const {
    const bool bounded = std::isfinite(high);
    if (!bounded) {
        return std::string(low_open ? "more than " : "at least ") + with_unit(low, unit);
    }
    if (low_open) return "more than " + number(low) + " and at most " + with_unit(high, unit);
    return "from " + number(low) + " to " + with_unit(high, unit);
}

std::string out_of_range(const SettingInfo& info, double value, const char* none) {
    const SettingRange& r = info.range;
    std::string text = std::string(info.name) + " must be ";
    if (!std::isfinite(value)) {
        text += "a finite number";
    } else if (std::isinf(r.high) && r.low == 0.0 && !r.low_open) {
        text = std::string(info.name) + " must not be negative";
    } else {
        text += r.describe(info.unit);
    }
    if (r.has_sentinel) {
        text += none != nullptr ? std::string(", or ") + none
                                : ", or " + number(r.sentinel) + " (" + r.sentinel_means + ")";
    }
    return text;
}

bool workspace_used(const ServoSettings& s) noexcept {
    return s.workspace_min != s.workspace_max;
}

void validate(const ServoSettings& settings) {
    for_each_setting(settings, [](const SettingInfo& info, const auto& value) {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, Vec3>) {
            check(info, value);
        } else {
            check(info, static_cast<double>(value));
        }
    });
    if (settings.cpu >= platform::cpu_count()) {
        throw std::invalid_argument("cpu must be -1 or a CPU of this machine, 0 to " +
                                    std::to_string(platform::cpu_count() - 1));
    }
    if (workspace_used(settings)) {
        for (int i = 0; i < 3; ++i) {
            if (!(settings.workspace_min[i] < settings.workspace_max[i])) {
                throw std::invalid_argument(
                    "the workspace is (lowest corner, highest corner), each value of the first "
                    "below the second's");
            }
        }
    }
}

}  // namespace Zelkor::HardwareAPI::Control
