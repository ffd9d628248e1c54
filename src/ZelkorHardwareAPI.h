// Everything a C++ program needs to drive the devices.
#pragma once

#include "control/receiver.h"
#include "control/servo.h"
#include "devices/arbelon.h"
#include "devices/handle.h"
#include "devices/uuid.h"
#include "io/serial_stream.h"
#include "version.h"
