// Python classes Device, HandleErrorResponse, HandleInfoResponse, HandleStatusResponse, Handle.
#include "python/bindings.h"

namespace Zelkor::HardwareAPI::Python {

void register_handle(pybind11::module_&) {
    // Filled by the Handle registration.
}

}  // namespace Zelkor::HardwareAPI::Python
