// The platform seam of the port listing: one source file per platform finds the ports
// (ports_linux.cpp, ports_win32.cpp, ports_none.cpp); CMake picks the file. The order of the
// list and the rules every platform shares live in ports.cpp.
#pragma once

#include <ZelkorHardwareAPI/io/ports.h>

#include <string>
#include <vector>

namespace Zelkor::HardwareAPI::IO::ports {

/// This platform's ports, in any order (see list_ports; `root` as there).
std::vector<PortInfo> enumerate(const std::string& root);

/// True when `a` comes before `b` with the digit runs in them compared as numbers
/// ("ttyUSB2" < "ttyUSB10", "COM9" < "COM10"); otherwise byte by byte.
bool natural_less(const std::string& a, const std::string& b) noexcept;

}  // namespace Zelkor::HardwareAPI::IO::ports
