// Opens a serial port and reports what the library makes of it.
//   port_info /dev/ttyUSB0
#include <ZelkorHardwareAPI.h>

#include <iostream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: port_info PORT\n";
        return 2;
    }
    std::cout << "library " << Zelkor::HardwareAPI::library_version << "\n";
    Zelkor::HardwareAPI::IO::SerialStream stream(argv[1]);
    stream.write("\n", 1);
    std::cout << argv[1] << (stream.good() ? ": open\n" : ": could not be opened\n");
    return stream.good() ? 0 : 1;
}
