// The conversion of every bound class to C++ refuses instances whose C++ object was never
// constructed. Included by every binding file, before any of them converts these classes.
#pragma once

#include <ZelkorHardwareAPI/control/effects.h>
#include <ZelkorHardwareAPI/control/line.h>
#include <ZelkorHardwareAPI/control/servo.h>
#include <ZelkorHardwareAPI/devices/arbelon.h>
#include <ZelkorHardwareAPI/devices/device.h>
#include <ZelkorHardwareAPI/devices/handle.h>
#include <ZelkorHardwareAPI/devices/uuid.h>
#include <ZelkorHardwareAPI/io/serial_stream.h>
#include <pybind11/pybind11.h>

#include <string>

namespace Zelkor::HardwareAPI::Python {

/// TypeError "<type> object was not initialised" when `src` is an instance of the class of
/// `type` whose C++ object was never constructed: made by `Cls.__new__(Cls)`, or by a
/// subclass's `__new__` without the class's `__init__`. pybind11 would hand such an object
/// to C++ as storage it allocates there and then, never constructed.
inline void require_initialised(pybind11::handle src, const pybind11::detail::type_info* type) {
    namespace pyd = pybind11::detail;
    if (type == nullptr || !PyObject_TypeCheck(src.ptr(), type->type)) return;
    auto* inst = reinterpret_cast<pyd::instance*>(src.ptr());
    const pyd::value_and_holder part = inst->get_value_and_holder(type, false);
    bool constructed = true;
    if (part.inst != nullptr) {
        constructed = part.holder_constructed();
    } else {
        // The class is reached through a C++ base of the Python type's own bound class:
        // every C++ part of the object must be there.
        pyd::values_and_holders parts(inst);
        for (auto& each : parts) {
            if (!each.holder_constructed() && !parts.is_redundant_value_and_holder(each)) {
                constructed = false;
            }
        }
    }
    if (!constructed) {
        throw pybind11::type_error(pyd::get_fully_qualified_tp_name(Py_TYPE(src.ptr())) +
                                   " object was not initialised");
    }
}

/// The usual conversion of a bound class, after require_initialised.
template <class T>
class InitialisedCaster : public pybind11::detail::type_caster_base<T> {
  public:
    bool load(pybind11::handle src, bool convert) {
        require_initialised(src, this->typeinfo);
        return pybind11::detail::type_caster_base<T>::load(src, convert);
    }
};

/// Gives every class bound in `m` a pybind11 conduit (the method through which another
/// extension module asks for the C++ object behind a Python one) that applies
/// require_initialised first; pybind11's own would hand out the storage it allocates for an
/// object never constructed. Run after every class is registered.
inline void check_conduits(pybind11::module_& m) {
#if PYBIND11_VERSION_HEX >= 0x020D0000
    namespace py = pybind11;
    for (const auto& item : py::reinterpret_borrow<py::dict>(m.attr("__dict__"))) {
        const py::handle cls = item.second;
        if (!PyType_Check(cls.ptr())) continue;
        const auto* type = py::detail::get_type_info(reinterpret_cast<PyTypeObject*>(cls.ptr()));
        if (type == nullptr) continue;
        py::setattr(cls, "_pybind11_conduit_v1_",
                    py::cpp_function(
                        [type](py::handle self, const py::bytes& abi, const py::capsule& cpp_type,
                               const py::bytes& kind) {
                            require_initialised(self, type);
                            return py::detail::cpp_conduit_method(self, abi, cpp_type, kind);
                        },
                        py::is_method(cls), py::name("_pybind11_conduit_v1_")));
    }
#else
    (void)m;
#endif
}

}  // namespace Zelkor::HardwareAPI::Python

#define ZELKOR_INITIALISED_CASTER(T)                                                    \
    namespace pybind11::detail {                                                        \
    template <>                                                                         \
    class type_caster<T> : public Zelkor::HardwareAPI::Python::InitialisedCaster<T> {}; \
    }

ZELKOR_INITIALISED_CASTER(Zelkor::HardwareAPI::IO::SerialStream)
ZELKOR_INITIALISED_CASTER(Zelkor::HardwareAPI::UUID)
ZELKOR_INITIALISED_CASTER(Zelkor::HardwareAPI::Devices::Device)
ZELKOR_INITIALISED_CASTER(Zelkor::HardwareAPI::Devices::Arbelon)
ZELKOR_INITIALISED_CASTER(Zelkor::HardwareAPI::Devices::Handle)
ZELKOR_INITIALISED_CASTER(Zelkor::HardwareAPI::Devices::Handle::HandleInfoResponse)
ZELKOR_INITIALISED_CASTER(Zelkor::HardwareAPI::Devices::Handle::HandleStatusResponse)
ZELKOR_INITIALISED_CASTER(Zelkor::HardwareAPI::Devices::Handle::HandleErrorResponse)
ZELKOR_INITIALISED_CASTER(Zelkor::HardwareAPI::Control::ServoState)
ZELKOR_INITIALISED_CASTER(Zelkor::HardwareAPI::Control::ServoStats)
ZELKOR_INITIALISED_CASTER(Zelkor::HardwareAPI::Control::Coupling)
ZELKOR_INITIALISED_CASTER(Zelkor::HardwareAPI::Control::LineMeasurement)

// Every effect class of the table: the loop copies what it is given.
#define ZELKOR_INITIALISED_EFFECT(T) ZELKOR_INITIALISED_CASTER(Zelkor::HardwareAPI::Control::T)
ZELKOR_EFFECTS(ZELKOR_INITIALISED_EFFECT)
#undef ZELKOR_INITIALISED_EFFECT
