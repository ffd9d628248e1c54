// The effects from Python: their classes, and their conversion for a servo.
#pragma once

#include <ZelkorHardwareAPI/control/effects.h>
#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <variant>

namespace Zelkor::HardwareAPI::Python {

namespace detail {
template <typename Variant>
struct UnionOf;
template <typename... T>
struct UnionOf<std::variant<T...>> {
    using type = pybind11::typing::Union<T...>;
};
}  // namespace detail

/// Any effect's Python class, as signatures show it: Union[Wall, ..., Friction], in the order
/// of the table in effects.h.
using EffectUnion = detail::UnionOf<Control::Effect>::type;

/// The effect `item` is (a copy of it); TypeError naming the classes taken for anything else.
Control::Effect effect_of(pybind11::handle item);
/// A Python object holding a copy of `effect`.
pybind11::object object_of(const Control::Effect& effect);

/// Registers the effect classes, effect_types and Effect (the tuple of the classes and their
/// typing.Union), and Coupling.
void register_effects(pybind11::module_& m);

}  // namespace Zelkor::HardwareAPI::Python
