// The body shared by the three transport fuzz targets: open the reader named
// by `selector` over backends that answer with the fuzz input, run the card
// sequence, and check what the reader layer promises about its results.
// Input: byte 0 bit 0 set pads the answers with zeros once the input runs
// out; the rest is what the reader answers, in order.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "core/result.h"
#include "fake_reader_devices.h"
#include "reader/session.h"

namespace talvex::fuzz {

inline void RunReaderSession(std::int32_t selector, const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  AnswerStream stream(data + 1, size - 1, (data[0] & 1) != 0);
  StreamSerialBackend serial(stream);
  StreamHidBackend hid(stream);
  StreamUsbBackend usb(stream);
  platform::ScopedDeviceBackends backends({&serial, &hid, &usb});
  // Every run plays a fresh process, so the start-up command goes out first.
  ResetStartupCommandForTesting();

  std::unique_ptr<ReaderContext> context;
  std::int32_t chosen = selector;
  const ResultCode opened = OpenReader(chosen, context);
  if (opened != kOk) {
    // Nothing is left open on failure.
    if (context) std::abort();
    return;
  }
  if (!context || !context->device || context->transport != selector) std::abort();

  CardAnswer answer;
  answer.kind = -1;
  const ResultCode read = ReadCardData(*context, answer);
  if (read == kOk) {
    if (answer.kind < kCardUnknown || answer.kind > kCardHmt) std::abort();
    // The blocks lie inside the answer's data.
    if (answer.text.data() < context->rxBuffer ||
        answer.photo.data() + answer.photo.size() > context->rxBuffer + sizeof context->rxBuffer) {
      std::abort();
    }
    // The answer fits the receive buffer: LEN minus SW1..SW3 and the checksum.
    if (context->dataLength < 0 ||
        static_cast<std::uint32_t>(context->dataLength) > kMaxResponseLen - 4) {
      std::abort();
    }
  } else if (answer.kind != 0 || !answer.photo.empty()) {
    std::abort();
  }
  context.reset();
  if (context) std::abort();
}

}  // namespace talvex::fuzz
