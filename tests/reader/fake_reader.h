// Scripted readers for the reader-link tests: response frames built byte by
// byte, and serial, HID and USB devices that answer each request with what a
// script says (nothing, by default).
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/hid.h"
#include "platform/serial.h"
#include "platform/usb.h"

namespace talvex::test {

using Bytes = std::vector<std::uint8_t>;

// A valid response frame: preamble, LEN, SW1 SW2 SW3, data, checksum.
inline Bytes ResponseFrame(std::uint8_t sw3, const Bytes& data = {}, std::uint8_t sw1 = 0,
                           std::uint8_t sw2 = 0) {
  const std::size_t len = 3 + data.size() + 1;
  Bytes f(7 + len);
  const std::uint8_t head[10] = {0xAA,
                                 0xAA,
                                 0xAA,
                                 0x96,
                                 0x69,
                                 static_cast<std::uint8_t>(len >> 8),
                                 static_cast<std::uint8_t>(len),
                                 sw1,
                                 sw2,
                                 sw3};
  std::copy(std::begin(head), std::end(head), f.begin());
  std::copy(data.begin(), data.end(), f.begin() + 10);
  std::uint8_t sum = 0;
  for (std::size_t i = 5; i + 1 < f.size(); ++i) sum ^= f[i];
  f.back() = sum;
  return f;
}

// The data of a read-base-message answer: T, P, a text block whose card kind
// marker (text offset 248) is `marker`, a photo block, and `extra` bytes.
inline Bytes CardAnswerData(std::uint16_t t, std::uint16_t p, std::uint16_t marker = 0x0020,
                            std::size_t extra = 0) {
  Bytes d = {static_cast<std::uint8_t>(t >> 8), static_cast<std::uint8_t>(t),
             static_cast<std::uint8_t>(p >> 8), static_cast<std::uint8_t>(p)};
  Bytes text(t, 0x20);
  if (t >= 250) {
    text[248] = static_cast<std::uint8_t>(marker);
    text[249] = static_cast<std::uint8_t>(marker >> 8);
  }
  d.insert(d.end(), text.begin(), text.end());
  d.insert(d.end(), p + extra, 0x5A);
  return d;
}

// Command and parameter of a request frame, e.g. 0x2001 for find card.
inline std::uint16_t RequestKey(const Bytes& request) {
  return request.size() >= 9 ? static_cast<std::uint16_t>(request[7] << 8 | request[8]) : 0;
}
inline constexpr std::uint16_t kStartupKey = 0x61FF, kProbeKey = 0x12FF, kFindKey = 0x2001,
                               kSelectKey = 0x2002, kReadKey = 0x3001;

// What a reader answers: the bytes to hand back for each request.
using Script = std::function<Bytes(const Bytes& request)>;

// Answers by command; commands not listed get no answer.
inline Script AnswerBy(std::map<std::uint16_t, Bytes> answers) {
  return [answers = std::move(answers)](const Bytes& request) {
    auto it = answers.find(RequestKey(request));
    return it == answers.end() ? Bytes{} : it->second;
  };
}

// A reader with a card: start-up and probe 0x90, find 0x9F, select 0x90 and
// a read answer with T 256, P 1024 and the given kind marker.
inline Script CardReader(std::uint16_t marker = 0x0020) {
  return AnswerBy({{kStartupKey, ResponseFrame(0x90)},
                   {kProbeKey, ResponseFrame(0x90)},
                   {kFindKey, ResponseFrame(0x9F)},
                   {kSelectKey, ResponseFrame(0x90)},
                   {kReadKey, ResponseFrame(0x90, CardAnswerData(256, 1024, marker))}});
}

// One reader line, shared by every device opened on it: what it answers, the
// requests it saw, and the faults of the host-side calls.
struct FakeLine {
  Script script;
  std::vector<Bytes> requests;
  std::deque<std::uint8_t> pending;  // answer bytes not yet read
  std::vector<std::string> events;   // "purge", "write", "read 7", "timeouts 3000", "close"
  bool failWrite = false;
  bool shortWrite = false;
  bool failRead = false;
  int opens = 0;
  int closes = 0;
  platform::CommTimeouts timeouts{};

  void Take(const Bytes& request) {
    requests.push_back(request);
    if (script) {
      const Bytes answer = script(request);
      pending.insert(pending.end(), answer.begin(), answer.end());
    }
  }
  std::uint32_t Give(std::uint8_t* out, std::uint32_t size) {
    std::uint32_t n = 0;
    for (; n < size && !pending.empty(); ++n) {
      out[n] = pending.front();
      pending.pop_front();
    }
    return n;
  }
  int Count(std::uint16_t key) const {
    int n = 0;
    for (const Bytes& r : requests) n += RequestKey(r) == key;
    return n;
  }
};

class FakeSerialPort final : public platform::SerialPort {
 public:
  FakeSerialPort(FakeLine& line, const platform::CommTimeouts& t) : line_(line) {
    line_.timeouts = t;
  }
  ~FakeSerialPort() override {
    ++line_.closes;
    line_.events.push_back("close");
  }
  void Purge() override {
    line_.pending.clear();
    line_.events.push_back("purge");
  }
  void SetTimeouts(const platform::CommTimeouts& t) override {
    line_.timeouts = t;
    line_.events.push_back("timeouts " + std::to_string(t.readConstant));
  }
  bool Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t* written) override {
    line_.events.push_back("write");
    if (line_.failWrite) return false;
    *written = line_.shortWrite ? size - 1 : size;
    line_.Take(Bytes(data, data + size));
    return true;
  }
  bool Read(std::uint8_t* data, std::uint32_t size, std::uint32_t* got) override {
    line_.events.push_back("read " + std::to_string(size));
    if (line_.failRead) return false;
    *got = line_.Give(data, size);
    return true;
  }

 private:
  FakeLine& line_;
};

// Serial ports by number; a number without a line does not open.
class FakeSerialBackend final : public platform::SerialBackend {
 public:
  std::map<int, FakeLine> lines;
  std::vector<int> openAttempts;
  std::unique_ptr<platform::SerialPort> Open(int number, int baudRate,
                                             const platform::CommTimeouts& t) override {
    openAttempts.push_back(number);
    lastBaudRate = baudRate;
    auto it = lines.find(number);
    if (it == lines.end()) return nullptr;
    ++it->second.opens;
    return std::make_unique<FakeSerialPort>(it->second, t);
  }
  int lastBaudRate = 0;
};

// A HID reader with the right strings and 65-byte reports.
class FakeHidDevice final : public platform::HidDevice {
 public:
  explicit FakeHidDevice(FakeLine& line) : line_(line) {}
  ~FakeHidDevice() override { ++line_.closes; }
  bool GetManufacturerString(std::uint8_t (&b)[platform::kHidStringBufferSize]) override {
    return Put(b, "KAVRO");
  }
  bool GetProductString(std::uint8_t (&b)[platform::kHidStringBufferSize]) override {
    return Put(b, "TalvexReaderDevice");
  }
  bool GetReportLengths(std::uint16_t* in, std::uint16_t* out) override {
    *in = *out = 65;
    return true;
  }
  bool SetOutputReport(const std::uint8_t (&r)[platform::kHidReportSize],
                       std::uint32_t* n) override {
    if (line_.failWrite) return false;
    const std::uint32_t len = std::uint32_t{r[6]} << 8 | r[7];
    line_.Take(Bytes(r + 1, r + 1 + std::min<std::uint32_t>(7 + len, 64)));
    *n = 64;
    return true;
  }
  bool GetInputReport(std::uint8_t (&r)[platform::kHidReportSize], std::uint32_t* n) override {
    if (line_.failRead) return false;
    std::fill(std::begin(r), std::end(r), 0);
    line_.Give(r + 1, 64);
    *n = 64;
    return true;
  }

 private:
  static bool Put(std::uint8_t (&b)[platform::kHidStringBufferSize], const char* s) {
    for (std::size_t i = 0; s[i] != '\0'; ++i) b[2 * i] = static_cast<std::uint8_t>(s[i]);
    return true;
  }
  FakeLine& line_;
};

class FakeUsbDevice final : public platform::UsbDevice {
 public:
  explicit FakeUsbDevice(FakeLine& line) : line_(line) {}
  ~FakeUsbDevice() override { ++line_.closes; }
  bool SendHead(const std::uint8_t* d, std::uint32_t n) override {
    head_.assign(d, d + n);
    return !line_.failWrite;
  }
  bool SendBody(const std::uint8_t* d, std::uint32_t n) override {
    head_.insert(head_.end(), d, d + n);
    line_.Take(head_);
    return !line_.failWrite;
  }
  bool ReceiveHead(std::uint8_t* d, std::uint32_t n, std::uint32_t* got) override {
    *got = line_.Give(d, n);
    return !line_.failRead;
  }
  bool ReceiveBody(std::uint8_t* d, std::uint32_t n, std::uint32_t* got) override {
    *got = line_.Give(d, n);
    return !line_.failRead;
  }

 private:
  FakeLine& line_;
  Bytes head_;
};

// HID and USB backends listing one device each when `present`, none otherwise.
class FakeHidBackend final : public platform::HidBackend {
 public:
  FakeLine line;
  bool present = false;
  bool Enumerate(std::vector<platform::DeviceInterface>* out) override {
    out->clear();
    if (present) out->push_back({"fake-hid", platform::kHidClassGuid});
    return true;
  }
  std::unique_ptr<platform::HidDevice> Open(const platform::DeviceInterface&) override {
    ++line.opens;
    return std::make_unique<FakeHidDevice>(line);
  }
};

class FakeUsbBackend final : public platform::UsbBackend {
 public:
  FakeLine line;
  bool present = false;
  bool Enumerate(std::vector<platform::DeviceInterface>* out) override {
    out->clear();
    if (present) out->push_back({"fake-usb", platform::kReaderDriverClassGuid});
    return true;
  }
  std::unique_ptr<platform::UsbDevice> Open(const platform::DeviceInterface&) override {
    ++line.opens;
    return std::make_unique<FakeUsbDevice>(line);
  }
};

}  // namespace talvex::test
