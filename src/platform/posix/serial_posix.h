// Linux serial ports: how a port number becomes a device path.
#pragma once

#include <string>

namespace talvex::platform::posix {

// The port directory in force: $TALVEX_PORTS when set (and not empty), else
// /etc/talvex/ports.
std::string SerialPortDirectory();

// The device path of port `number`, or "" when there is no such port. When
// the port directory exists, its entry "com<number>" is the port and nothing
// else is; without it the fixed table applies: 1-16 /dev/ttyUSB0-15, 17-24
// /dev/ttyACM0-7, 25 and up /dev/ttyS0 and up.
std::string SerialPortPath(int number);

}  // namespace talvex::platform::posix
