// The effects from Python: their classes, and their conversion for a servo.
#pragma once

#include <ZelkorHardwareAPI/control/effects.h>
#include <pybind11/pybind11.h>

namespace Zelkor::HardwareAPI::Python {

/// The effect `item` is (a copy of it); TypeError naming the classes taken for anything else.
Control::Effect effect_of(pybind11::handle item);
/// A Python object holding a copy of `effect`.
pybind11::object object_of(const Control::Effect& effect);

/// Registers the effect classes and Coupling.
void register_effects(pybind11::module_& m);

}  // namespace Zelkor::HardwareAPI::Python
