// The Servo's keywords from Python, made from the table of its settings (servo_settings.def):
// each setting is a keyword of the same name, plus record, workspace and on_stop.
#pragma once

#include <ZelkorHardwareAPI/control/servo_settings.h>
#include <pybind11/pybind11.h>

#include <optional>
#include <string>

namespace Zelkor::HardwareAPI::Python {

/// What the keywords of Servo(...) give beyond the settings.
struct ServoExtras {
    std::optional<double> record;          ///< seconds to record
    std::optional<std::string> record_to;  ///< the file to stream the recording to
    pybind11::object on_stop = pybind11::none();
};

/// The settings that `rate_hz` and `keywords` give, checked (ValueError naming the keyword for
/// a value out of range, TypeError for one of the wrong type or a keyword the Servo does not
/// take); the keywords that are no setting go into `extras`.
Control::ServoSettings servo_settings_from(pybind11::handle rate_hz,
                                           const pybind11::kwargs& keywords, ServoExtras& extras);

/// The path `value` (a str or os.PathLike of str) names; TypeError naming `keyword` otherwise.
std::string path_text(pybind11::handle value, const char* keyword);

/// Exports the table to Python as _servo_settings: a (name, kind, default, unit, doc, sentinel,
/// sentinel's meaning) per setting the Servo takes as a keyword, in the table's order. kind is
/// "float", "int" or "bool"; default is the keyword's (None for the sentinel); sentinel is the
/// number the sentinel stands for, or None for a setting without one. And
/// _check_servo_settings(rate_hz, **keywords), which checks them as Servo() does without an arm.
void export_settings_table(pybind11::module_& m);

/// The constructor's signature line and the text on its keywords, from the table.
std::string servo_init_doc(const char* preamble);

}  // namespace Zelkor::HardwareAPI::Python
