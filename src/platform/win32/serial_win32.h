// The Windows serial settings, apart so that tests can check them field by field.
#pragma once

#include <windows.h>

#include <string>

#include "platform/serial.h"

namespace talvex::platform::win32 {

// "\\.\COMn" for port n.
std::wstring SerialPortName(int number);
// The reader's line settings: `baudRate` 8N1, no flow control, DTR on, RTS off.
DCB ReaderLineSettings(int baudRate);
COMMTIMEOUTS ToCommTimeouts(const CommTimeouts& timeouts);

}  // namespace talvex::platform::win32
