// Building the simulated reader's frames and spoiling its answers.
#include "reader-sim/frame_build.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace talvex::sim {
namespace {

void FixChecksum(std::vector<std::uint8_t>* frame) {
  if (frame->size() < kHeadSize + 1) return;
  frame->back() = XorBytes(frame->data() + 5, frame->size() - 6);
}

// Content faults first (a host sees a well-formed frame with wrong
// content), framing faults after them, in the order of the enum.
void ApplyFault(const Fault& fault, std::vector<std::uint8_t>* answer, bool* stray,
                std::uint8_t* strayValue, std::optional<std::size_t>* keep, bool* silent) {
  switch (fault.kind) {
    case FaultKind::Status:
      (*answer)[9] = static_cast<std::uint8_t>(fault.value);
      FixChecksum(answer);
      break;
    case FaultKind::TextLength:
      if (answer->size() >= 10 + 4 + 1) {
        PutBigEndian16(&(*answer)[10], fault.value);
        FixChecksum(answer);
      }
      break;
    case FaultKind::PhotoLength:
      if (answer->size() >= 10 + 4 + 1) {
        PutBigEndian16(&(*answer)[12], fault.value);
        FixChecksum(answer);
      }
      break;
    case FaultKind::BadLen:
      PutBigEndian16(&(*answer)[5], fault.value);
      break;
    case FaultKind::BadChecksum:
      answer->back() ^= static_cast<std::uint8_t>(fault.value == 0 ? 0x01 : fault.value);
      break;
    case FaultKind::StrayByte:
      *stray = true;
      *strayValue = static_cast<std::uint8_t>(fault.value);
      break;
    case FaultKind::ShortBody: {
      std::size_t want = kHeadSize + fault.value;
      if (!keep->has_value() || want < **keep) *keep = want;
      break;
    }
    case FaultKind::Silence:
      *silent = true;
      break;
  }
}

}  // namespace

void PutBigEndian16(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
  at[1] = static_cast<std::uint8_t>(value & 0xFF);
}

// A valid response frame with SW1 = SW2 = 0 and the given status and data.
std::vector<std::uint8_t> BuildResponse(std::uint8_t status, const std::uint8_t* data,
                                        std::size_t size) {
  const std::uint32_t len = static_cast<std::uint32_t>(4 + size);
  std::vector<std::uint8_t> frame(kHeadSize + len);
  std::memcpy(frame.data(), kPreamble, sizeof kPreamble);
  PutBigEndian16(&frame[5], len);
  frame[7] = 0x00;
  frame[8] = 0x00;
  frame[9] = status;
  if (size > 0) std::memcpy(&frame[10], data, size);
  frame.back() = XorBytes(&frame[5], frame.size() - 6);
  return frame;
}

// Every fault of `active` applied to the answer, in the order of their kinds.
void SpoilAnswer(std::vector<Fault> active, std::vector<std::uint8_t>* answer) {
  std::stable_sort(active.begin(), active.end(),
                   [](const Fault& a, const Fault& b) { return a.kind < b.kind; });
  bool stray = false;
  std::uint8_t strayValue = 0;
  std::optional<std::size_t> keep;
  bool silent = false;
  for (const Fault& f : active) ApplyFault(f, answer, &stray, &strayValue, &keep, &silent);
  if (keep && *keep < answer->size()) answer->resize(*keep);
  if (stray) answer->insert(answer->begin(), strayValue);
  if (silent) answer->clear();
}

std::uint8_t XorBytes(const std::uint8_t* data, std::size_t size) {
  std::uint8_t x = 0;
  for (std::size_t i = 0; i < size; ++i) x ^= data[i];
  return x;
}

std::vector<std::uint8_t> BuildRequest(std::uint8_t command, std::uint8_t parameter,
                                       const std::uint8_t* data, std::size_t size) {
  const std::uint32_t len = static_cast<std::uint32_t>(3 + size);
  std::vector<std::uint8_t> frame(kHeadSize + len);
  std::memcpy(frame.data(), kPreamble, sizeof kPreamble);
  PutBigEndian16(&frame[5], len);
  frame[7] = command;
  frame[8] = parameter;
  if (size > 0) std::memcpy(&frame[9], data, size);
  frame.back() = XorBytes(&frame[5], frame.size() - 6);
  return frame;
}

}  // namespace talvex::sim
