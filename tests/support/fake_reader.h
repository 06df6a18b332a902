// A scripted serial line for the frame tests: response frames built byte by
// byte, and a port that hands back whatever bytes the script gives for each
// request, with host-side call failures on demand.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/serial.h"

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

struct FakeLine {
  std::function<Bytes(const Bytes& request)> script;  // none: silence
  std::vector<Bytes> requests;
  std::deque<std::uint8_t> pending;  // answer bytes not yet read
  std::vector<std::string> events;   // "purge", "write", "read 7", ...
  bool failWrite = false;
  bool shortWrite = false;
  bool failRead = false;
};

class FakeSerialPort final : public platform::SerialPort {
 public:
  explicit FakeSerialPort(FakeLine& line) : line_(line) {}
  void Purge() override {
    line_.pending.clear();
    line_.events.push_back("purge");
  }
  void SetTimeouts(const platform::CommTimeouts&) override {}
  bool Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t* written) override {
    line_.events.push_back("write");
    if (line_.failWrite) return false;
    *written = line_.shortWrite ? size - 1 : size;
    line_.requests.emplace_back(data, data + size);
    if (line_.script) {
      const Bytes answer = line_.script(line_.requests.back());
      line_.pending.insert(line_.pending.end(), answer.begin(), answer.end());
    }
    return true;
  }
  bool Read(std::uint8_t* data, std::uint32_t size, std::uint32_t* got) override {
    line_.events.push_back("read " + std::to_string(size));
    if (line_.failRead) return false;
    *got = 0;
    for (; *got < size && !line_.pending.empty(); ++*got) {
      data[*got] = line_.pending.front();
      line_.pending.pop_front();
    }
    return true;
  }

 private:
  FakeLine& line_;
};

}  // namespace talvex::test
