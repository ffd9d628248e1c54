// Systems whose ports the library cannot list yet: no ports.
#include "io/ports.h"

namespace Zelkor::HardwareAPI::IO::ports {

std::vector<PortInfo> enumerate(const std::string&) {
    return {};
}

}  // namespace Zelkor::HardwareAPI::IO::ports
