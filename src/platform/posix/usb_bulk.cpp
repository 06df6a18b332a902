#include "platform/posix/usb_bulk.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace talvex::platform::posix {

BulkReceiveBuffer::BulkReceiveBuffer(std::uint32_t packetSize, std::uint32_t maxRequest)
    : packetSize_(packetSize == 0 ? 64 : packetSize), maxRequest_(maxRequest) {
  // Room for the largest request rounded up to whole packets, plus one packet
  // that may already hold bytes of it.
  const std::uint32_t packets = (maxRequest_ + packetSize_ - 1) / packetSize_ + 1;
  storage_.resize(static_cast<std::size_t>(packets) * packetSize_);
}

bool BulkReceiveBuffer::Receive(BulkInPipe& pipe, std::uint8_t* out, std::uint32_t size,
                                std::uint32_t timeoutMs, std::uint32_t* transferred) {
  *transferred = 0;
  if (size > maxRequest_) return false;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);

  bool timedOut = false;
  while (Buffered() < size && !timedOut) {
    // Move what is left to the front, then ask for whole packets covering the
    // missing bytes. Buffered() < size <= maxRequest_, so they always fit.
    if (begin_ != 0) {
      std::memmove(storage_.data(), storage_.data() + begin_, Buffered());
      end_ -= begin_;
      begin_ = 0;
    }
    const std::uint32_t missing = size - Buffered();
    const std::uint32_t ask = (missing + packetSize_ - 1) / packetSize_ * packetSize_;

    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;  // never pass 0 on: to libusb it means no time limit
    std::uint32_t got = 0;
    const BulkInPipe::Status status =
        pipe.Read(storage_.data() + end_, ask, static_cast<std::uint32_t>(left), &got);
    end_ += std::min(got, ask);
    if (status == BulkInPipe::Status::kFailed) return false;
    timedOut = status == BulkInPipe::Status::kTimeout;
  }

  const std::uint32_t count = std::min(size, Buffered());
  if (count != 0) std::memcpy(out, storage_.data() + begin_, count);
  begin_ += count;
  if (begin_ == end_) begin_ = end_ = 0;
  *transferred = count;
  return true;
}

}  // namespace talvex::platform::posix
