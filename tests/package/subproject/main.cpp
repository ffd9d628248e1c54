// Uses the library next to a header of its own called devices/device.h.
#include <ZelkorHardwareAPI.h>

#include <cstdio>

#include "devices/device.h"

int main() {
    Zelkor::HardwareAPI::IO::SerialStream stream("/dev/zelkor-no-such-port");
    std::printf("%s; library %s; open %d\n", consumer::device_name(),
                Zelkor::HardwareAPI::library_version, stream.is_open() ? 1 : 0);
    return stream.is_open() ? 1 : 0;
}
