// Python class Arbelon.
#include "python/bindings.h"

namespace Zelkor::HardwareAPI::Python {

void register_arbelon(pybind11::module_&) {
    // Filled by the Arbelon registration: current methods, then the legacy ones.
}

}  // namespace Zelkor::HardwareAPI::Python
