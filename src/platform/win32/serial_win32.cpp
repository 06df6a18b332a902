// Serial ports on Windows: "\\.\COMn" opened without sharing and without
// overlapped I/O, so every read and write blocks until it completes or the
// port's COMMTIMEOUTS end it.
#include <windows.h>

#include <cstdio>
#include <new>
#include <utility>

#include "platform/serial.h"
#include "platform/win32/serial_win32.h"
#include "platform/win32/unique_handle.h"

namespace talvex::platform {
namespace win32 {

std::wstring SerialPortName(int number) {
  wchar_t name[32];
  std::swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\COM%d", number);
  return name;
}

DCB ReaderLineSettings(int baudRate) {
  DCB dcb;
  ZeroMemory(&dcb, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = static_cast<DWORD>(baudRate);
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fTXContinueOnXoff = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = 0;
  dcb.wReserved = 0;
  dcb.XonLim = 256;
  dcb.XoffLim = 768;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0x00;
  dcb.EofChar = static_cast<char>(0xA0);
  dcb.EvtChar = 0x00;
  dcb.wReserved1 = 0;
  return dcb;
}

COMMTIMEOUTS ToCommTimeouts(const CommTimeouts& t) {
  COMMTIMEOUTS c;
  c.ReadIntervalTimeout = t.readInterval;
  c.ReadTotalTimeoutMultiplier = t.readMultiplier;
  c.ReadTotalTimeoutConstant = t.readConstant;
  c.WriteTotalTimeoutMultiplier = t.writeMultiplier;
  c.WriteTotalTimeoutConstant = t.writeConstant;
  return c;
}

}  // namespace win32

namespace {

class Win32SerialPort final : public SerialPort {
 public:
  explicit Win32SerialPort(win32::UniqueHandle&& handle) : handle_(std::move(handle)) {}

  void Purge() override {
    PurgeComm(handle_.get(), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  }

  void SetTimeouts(const CommTimeouts& timeouts) override {
    COMMTIMEOUTS c = win32::ToCommTimeouts(timeouts);
    SetCommTimeouts(handle_.get(), &c);
  }

  bool Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t* written) override {
    DWORD n = 0;
    const bool ok = WriteFile(handle_.get(), data, size, &n, nullptr) != 0;
    *written = n;
    return ok;
  }

  bool Read(std::uint8_t* data, std::uint32_t size, std::uint32_t* got) override {
    DWORD n = 0;
    const bool ok = ReadFile(handle_.get(), data, size, &n, nullptr) != 0;
    *got = n;
    return ok;
  }

 private:
  win32::UniqueHandle handle_;
};

class Win32SerialBackend final : public SerialBackend {
 public:
  std::unique_ptr<SerialPort> Open(int number, int baudRate,
                                   const CommTimeouts& timeouts) override {
    if (number < 1) return nullptr;
    const std::wstring name = win32::SerialPortName(number);
    win32::UniqueHandle handle(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) return nullptr;
    const HANDLE h = handle.get();
    std::unique_ptr<Win32SerialPort> port(new (std::nothrow) Win32SerialPort(std::move(handle)));
    if (!port) return nullptr;
    // The outcome of configuring is not examined: a port that opens is used.
    SetupComm(h, 2560, 1024);
    DCB dcb = win32::ReaderLineSettings(baudRate);
    SetCommState(h, &dcb);
    port->SetTimeouts(timeouts);
    port->Purge();
    return port;
  }
};

}  // namespace

std::string SerialPortSource() {
  return "COM1 to COM32";
}

SerialBackend& SystemSerialBackend() {
  static Win32SerialBackend backend;
  return backend;
}

}  // namespace talvex::platform
