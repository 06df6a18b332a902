// The receive side of the reader's USB "driver": bulk IN transfers of whole
// packets, buffered so that the frame head (7 bytes) and then exactly LEN
// bytes can be handed out, whatever way the reader splits its answer into
// packets.
#pragma once

#include <cstdint>
#include <vector>

namespace talvex::platform::posix {

class BulkInPipe {
 public:
  enum class Status { kOk, kTimeout, kFailed };
  virtual ~BulkInPipe() = default;
  // One bulk IN transfer into `data`, asking for `capacity` bytes (a whole
  // number of packets). *got is set on every status: a transfer that times
  // out may still have brought some bytes.
  virtual Status Read(std::uint8_t* data, std::uint32_t capacity, std::uint32_t timeoutMs,
                      std::uint32_t* got) = 0;
};

class BulkReceiveBuffer {
 public:
  // packetSize: the IN endpoint's wMaxPacketSize (0 is taken as 64).
  // maxRequest: the largest single Receive that will be asked for.
  BulkReceiveBuffer(std::uint32_t packetSize, std::uint32_t maxRequest);

  // Hands out `size` bytes, reading whole packets from the pipe until that
  // many are buffered or timeoutMs has passed since the call began. True with
  // *transferred == size, or true with fewer when the time ran out; false
  // when a transfer failed or size exceeds maxRequest. Bytes beyond `size`
  // stay buffered for the next call.
  bool Receive(BulkInPipe& pipe, std::uint8_t* out, std::uint32_t size, std::uint32_t timeoutMs,
               std::uint32_t* transferred);

  // Drops whatever is buffered (the rest of an earlier answer).
  void Discard() { begin_ = end_ = 0; }
  std::uint32_t Buffered() const { return end_ - begin_; }

 private:
  std::uint32_t packetSize_;
  std::uint32_t maxRequest_;
  std::vector<std::uint8_t> storage_;
  std::uint32_t begin_ = 0;
  std::uint32_t end_ = 0;
};

}  // namespace talvex::platform::posix
