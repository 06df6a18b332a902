#include "platform/hid_descriptor.h"

#include <array>

namespace talvex::platform {
namespace {

// Item types of the short item prefix (bits 2 and 3).
constexpr unsigned kTypeMain = 0;
constexpr unsigned kTypeGlobal = 1;

// Main item tags.
constexpr unsigned kTagInput = 0x8;
constexpr unsigned kTagOutput = 0x9;
constexpr unsigned kTagCollection = 0xA;
constexpr unsigned kTagFeature = 0xB;
constexpr unsigned kTagEndCollection = 0xC;

// Global item tags that matter for report lengths.
constexpr unsigned kTagReportSize = 0x7;
constexpr unsigned kTagReportId = 0x8;
constexpr unsigned kTagReportCount = 0x9;
constexpr unsigned kTagPush = 0xA;
constexpr unsigned kTagPop = 0xB;

constexpr std::uint8_t kLongItemPrefix = 0xFE;
constexpr std::size_t kMaxPushDepth = 16;
constexpr std::size_t kMaxCollectionDepth = 1024;
// A report must fit the 16-bit length together with its report ID byte.
constexpr std::uint64_t kMaxReportBits = std::uint64_t{65534} * 8;

struct GlobalState {
  std::uint32_t reportSize = 0;
  std::uint32_t reportCount = 0;
  std::uint32_t reportId = 0;  // 0 until the descriptor names one
};

enum ReportKind { kInput = 0, kOutput = 1, kFeature = 2 };

struct Reports {
  std::array<std::array<std::uint64_t, 256>, 3> bits{};
  std::array<std::array<bool, 256>, 3> declared{};
};

std::uint16_t LongestReport(const Reports& reports, ReportKind kind) {
  std::uint64_t longest = 0;
  bool any = false;
  for (std::size_t id = 0; id < 256; ++id) {
    if (!reports.declared[kind][id]) continue;
    any = true;
    const std::uint64_t bytes = (reports.bits[kind][id] + 7) / 8;
    if (bytes > longest) longest = bytes;
  }
  return any ? static_cast<std::uint16_t>(longest + 1) : 0;
}

// What the items read so far leave for the ones after them.
struct ParserState {
  Reports reports;
  GlobalState global;
  std::array<GlobalState, kMaxPushDepth> stack{};
  std::size_t stackDepth = 0;
  std::size_t collectionDepth = 0;
};

// One item of the descriptor. Nothing in a long item affects lengths.
struct Item {
  bool isLong = false;
  unsigned type = 0;
  unsigned tag = 0;
  std::uint32_t value = 0;
};

// The item at *pos, moving *pos past it; false when the descriptor ends
// inside it.
bool ReadItem(const std::uint8_t* descriptor, std::size_t size, std::size_t* pos, Item* item) {
  const std::uint8_t prefix = descriptor[*pos];
  if (prefix == kLongItemPrefix) {
    // Long item: prefix, data size, tag, data.
    if (size - *pos < 3) return false;
    const std::size_t dataSize = descriptor[*pos + 1];
    if (size - *pos - 3 < dataSize) return false;
    *pos += 3 + dataSize;
    item->isLong = true;
    return true;
  }
  const unsigned sizeCode = prefix & 0x3u;
  const std::size_t dataSize = sizeCode == 3 ? 4 : sizeCode;
  if (size - *pos - 1 < dataSize) return false;
  for (std::size_t i = 0; i < dataSize; ++i) {
    item->value |= static_cast<std::uint32_t>(descriptor[*pos + 1 + i]) << (8 * i);
  }
  item->type = (prefix >> 2) & 0x3u;
  item->tag = prefix >> 4;
  *pos += 1 + dataSize;
  return true;
}

// Input, Output and Feature add their bits to the report of the current
// ID; collections only have to nest.
bool ApplyMainItem(unsigned tag, ParserState& state) {
  int kind = -1;
  if (tag == kTagInput) kind = kInput;
  if (tag == kTagOutput) kind = kOutput;
  if (tag == kTagFeature) kind = kFeature;
  if (kind >= 0) {
    const GlobalState& global = state.global;
    // Both factors are below 2^32, so the product cannot wrap.
    const std::uint64_t itemBits =
        static_cast<std::uint64_t>(global.reportSize) * global.reportCount;
    if (itemBits > kMaxReportBits) return false;
    std::uint64_t& total = state.reports.bits[kind][global.reportId];
    total += itemBits;
    if (total > kMaxReportBits) return false;
    state.reports.declared[kind][global.reportId] = true;
  } else if (tag == kTagCollection) {
    if (++state.collectionDepth > kMaxCollectionDepth) return false;
  } else if (tag == kTagEndCollection) {
    if (state.collectionDepth == 0) return false;
    --state.collectionDepth;
  }
  return true;
}

// Report size, count and ID, and the global stack's Push and Pop.
bool ApplyGlobalItem(unsigned tag, std::uint32_t value, ParserState& state) {
  switch (tag) {
    case kTagReportSize:
      state.global.reportSize = value;
      break;
    case kTagReportCount:
      state.global.reportCount = value;
      break;
    case kTagReportId:
      if (value == 0 || value > 255) return false;
      state.global.reportId = value;
      break;
    case kTagPush:
      if (state.stackDepth == kMaxPushDepth) return false;
      state.stack[state.stackDepth++] = state.global;
      break;
    case kTagPop:
      if (state.stackDepth == 0) return false;
      state.global = state.stack[--state.stackDepth];
      break;
    default:
      break;  // usage page, logical and physical ranges, units
  }
  return true;
}

}  // namespace

bool ComputeHidReportLengths(const std::uint8_t* descriptor, std::size_t size,
                             HidReportLengths* out) {
  if (out == nullptr || (descriptor == nullptr && size != 0)) return false;
  ParserState state;  // a few kilobytes, on the stack: no allocation that could fail

  std::size_t pos = 0;
  while (pos < size) {
    Item item;
    if (!ReadItem(descriptor, size, &pos, &item)) return false;
    if (item.isLong) continue;
    if (item.type == kTypeMain && !ApplyMainItem(item.tag, state)) return false;
    if (item.type == kTypeGlobal && !ApplyGlobalItem(item.tag, item.value, state)) return false;
    // Local items and the reserved type carry nothing about lengths.
  }
  if (state.collectionDepth != 0) return false;

  out->input = LongestReport(state.reports, kInput);
  out->output = LongestReport(state.reports, kOutput);
  out->feature = LongestReport(state.reports, kFeature);
  return true;
}

}  // namespace talvex::platform
