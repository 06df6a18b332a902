// Reader devices for the fuzz targets: every byte the reader "answers" comes
// from the fuzz input, in order, until it runs out. Then the device either
// answers short, as a silent reader does, or (padded) goes on answering
// zeros, so that short inputs can reach long frames.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/devices.h"

namespace talvex::fuzz {

// The bytes still to be answered.
class AnswerStream {
 public:
  AnswerStream(const std::uint8_t* data, std::size_t size, bool padded)
      : data_(data), size_(size), padded_(padded) {}
  // Copies up to `size` bytes; returns how many.
  std::uint32_t Take(std::uint8_t* out, std::uint32_t size) {
    const std::size_t n = std::min<std::size_t>(size, size_ - used_);
    if (n != 0) std::memcpy(out, data_ + used_, n);
    used_ += n;
    if (!padded_) return static_cast<std::uint32_t>(n);
    std::memset(out + n, 0, size - n);
    return size;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  bool padded_;
  std::size_t used_ = 0;
};

class StreamSerialPort final : public platform::SerialPort {
 public:
  explicit StreamSerialPort(AnswerStream& stream) : stream_(stream) {}
  void Purge() override {}
  void SetTimeouts(const platform::CommTimeouts&) override {}
  bool Write(const std::uint8_t*, std::uint32_t size, std::uint32_t* written) override {
    *written = size;
    return true;
  }
  bool Read(std::uint8_t* data, std::uint32_t size, std::uint32_t* got) override {
    *got = stream_.Take(data, size);
    return true;
  }

 private:
  AnswerStream& stream_;
};

class StreamSerialBackend final : public platform::SerialBackend {
 public:
  explicit StreamSerialBackend(AnswerStream& stream) : stream_(stream) {}
  std::unique_ptr<platform::SerialPort> Open(int number, int,
                                             const platform::CommTimeouts&) override {
    if (number != 1) return nullptr;
    return std::make_unique<StreamSerialPort>(stream_);
  }

 private:
  AnswerStream& stream_;
};

// A HID reader that passes discovery; each input report carries the next 64
// answer bytes (fewer at the end of the input).
class StreamHidDevice final : public platform::HidDevice {
 public:
  explicit StreamHidDevice(AnswerStream& stream) : stream_(stream) {}
  bool GetManufacturerString(std::uint8_t (&buffer)[platform::kHidStringBufferSize]) override {
    return Utf16Le(u"KAVRO Ltd", buffer);
  }
  bool GetProductString(std::uint8_t (&buffer)[platform::kHidStringBufferSize]) override {
    return Utf16Le(u"TalvexReaderDevice", buffer);
  }
  bool GetReportLengths(std::uint16_t* input, std::uint16_t* output) override {
    *input = platform::kHidReportSize;
    *output = platform::kHidReportSize;
    return true;
  }
  bool SetOutputReport(const std::uint8_t (&)[platform::kHidReportSize],
                       std::uint32_t* transferred) override {
    *transferred = platform::kHidReportSize - 1;
    return true;
  }
  bool GetInputReport(std::uint8_t (&report)[platform::kHidReportSize],
                      std::uint32_t* transferred) override {
    report[0] = 0;
    *transferred = stream_.Take(report + 1, platform::kHidReportSize - 1);
    return true;
  }

 private:
  static bool Utf16Le(const char16_t* text,
                      std::uint8_t (&buffer)[platform::kHidStringBufferSize]) {
    std::size_t i = 0;
    for (; text[i] != 0 && 2 * i + 3 < sizeof buffer; ++i) {
      buffer[2 * i] = static_cast<std::uint8_t>(text[i]);
      buffer[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
    }
    buffer[2 * i] = 0;
    buffer[2 * i + 1] = 0;
    return true;
  }
  AnswerStream& stream_;
};

class StreamHidBackend final : public platform::HidBackend {
 public:
  explicit StreamHidBackend(AnswerStream& stream) : stream_(stream) {}
  bool Enumerate(std::vector<platform::DeviceInterface>* out) override {
    out->assign(1, platform::DeviceInterface{"hid-reader", platform::kHidClassGuid});
    return true;
  }
  std::unique_ptr<platform::HidDevice> Open(const platform::DeviceInterface&) override {
    return std::make_unique<StreamHidDevice>(stream_);
  }

 private:
  AnswerStream& stream_;
};

class StreamUsbDevice final : public platform::UsbDevice {
 public:
  explicit StreamUsbDevice(AnswerStream& stream) : stream_(stream) {}
  bool SendHead(const std::uint8_t*, std::uint32_t) override { return true; }
  bool SendBody(const std::uint8_t*, std::uint32_t) override { return true; }
  bool ReceiveHead(std::uint8_t* data, std::uint32_t size, std::uint32_t* transferred) override {
    *transferred = stream_.Take(data, size);
    return true;
  }
  bool ReceiveBody(std::uint8_t* data, std::uint32_t size, std::uint32_t* transferred) override {
    *transferred = stream_.Take(data, size);
    return true;
  }

 private:
  AnswerStream& stream_;
};

class StreamUsbBackend final : public platform::UsbBackend {
 public:
  explicit StreamUsbBackend(AnswerStream& stream) : stream_(stream) {}
  bool Enumerate(std::vector<platform::DeviceInterface>* out) override {
    out->assign(1, platform::DeviceInterface{"usb-reader", platform::kReaderDriverClassGuid});
    return true;
  }
  std::unique_ptr<platform::UsbDevice> Open(const platform::DeviceInterface&) override {
    return std::make_unique<StreamUsbDevice>(stream_);
  }

 private:
  AnswerStream& stream_;
};

}  // namespace talvex::fuzz
