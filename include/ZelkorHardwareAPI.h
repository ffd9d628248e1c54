// Everything a C++ program needs to drive the devices.
#pragma once

#include <ZelkorHardwareAPI/control/line.h>
#include <ZelkorHardwareAPI/control/receiver.h>
#include <ZelkorHardwareAPI/control/servo.h>
#include <ZelkorHardwareAPI/devices/arbelon.h>
#include <ZelkorHardwareAPI/devices/find.h>
#include <ZelkorHardwareAPI/devices/handle.h>
#include <ZelkorHardwareAPI/devices/uuid.h>
#include <ZelkorHardwareAPI/io/ports.h>
#include <ZelkorHardwareAPI/io/serial_stream.h>
#include <ZelkorHardwareAPI/version.h>
