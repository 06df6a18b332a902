#include "reader-sim/engine.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace talvex::sim {
namespace {

struct CommandCode {
  Command command;
  std::uint8_t code;
  std::uint8_t parameter;
  const char* name;
  const char* shortName;
};

constexpr CommandCode kCommands[kCommandCount] = {
    {Command::Startup, 0x61, 0xFF, "startup", "startup"},
    {Command::Probe, 0x12, 0xFF, "probe", "probe"},
    {Command::FindCard, 0x20, 0x01, "find-card", "find"},
    {Command::SelectCard, 0x20, 0x02, "select-card", "select"},
    {Command::ReadBaseMessage, 0x30, 0x01, "read-base-message", "read"},
};

constexpr const char* kFaultNames[kFaultKindCount] = {
    "status", "text-length", "photo-length", "len", "checksum", "stray", "short", "silence",
};

std::size_t Index(Command command) {
  return static_cast<std::size_t>(command);
}

std::optional<Command> Identify(std::uint8_t code, std::uint8_t parameter) {
  for (const CommandCode& c : kCommands) {
    if (c.code == code && c.parameter == parameter) return c.command;
  }
  return std::nullopt;
}

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

bool ParseNumber(std::string_view text, std::uint32_t* value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  std::uint32_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  *value = v;
  return true;
}

// A fault spec cut at every colon; empty parts are kept.
std::vector<std::string_view> SplitAtColons(std::string_view spec) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t colon = spec.find(':', start);
    parts.push_back(spec.substr(start, colon == std::string_view::npos ? colon : colon - start));
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  return parts;
}

std::optional<FaultKind> FaultKindNamed(std::string_view name) {
  for (std::size_t i = 0; i < kFaultKindCount; ++i) {
    if (name == kFaultNames[i]) return static_cast<FaultKind>(i);
  }
  return std::nullopt;
}

// The kinds whose fault means nothing without a value.
bool FaultNeedsValue(FaultKind kind) {
  return kind == FaultKind::Status || kind == FaultKind::TextLength ||
         kind == FaultKind::PhotoLength || kind == FaultKind::BadLen;
}

// The value of a fault whose spec gives none.
std::uint32_t DefaultFaultValue(FaultKind kind) {
  return kind == FaultKind::BadLen ? 3 : (kind == FaultKind::BadChecksum ? 1 : 0);
}

// The largest value a fault takes: a byte, a frame's LEN or a 16-bit field.
std::uint32_t FaultValueLimit(FaultKind kind) {
  if (kind == FaultKind::Status || kind == FaultKind::StrayByte || kind == FaultKind::BadChecksum) {
    return 0xFF;
  }
  return kind == FaultKind::ShortBody ? kMaxFrameLen : 0xFFFF;
}

// The VALUE part of a fault spec; false, with *why set, when it is no
// number or too large for the kind.
bool ParseFaultValue(FaultKind kind, std::string_view text, std::uint32_t* value,
                     std::string* why) {
  std::uint32_t v = 0;
  if (!ParseNumber(text, &v)) {
    *why = "bad value \"" + std::string(text) + "\"";
    return false;
  }
  const std::uint32_t limit = FaultValueLimit(kind);
  if (v > limit) {
    *why = "value " + std::to_string(v) + " out of range (at most " + std::to_string(limit) + ")";
    return false;
  }
  *value = v;
  return true;
}

// The COUNT part of a fault spec: a positive number of answers, or "always".
bool ParseFaultCount(std::string_view text, int* count, std::string* why) {
  if (text == "always") {
    *count = kPersistent;
    return true;
  }
  std::uint32_t n = 0;
  if (!ParseNumber(text, &n) || n == 0 || n > 1000000000u) {
    *why = "bad count \"" + std::string(text) + "\" (a positive number or always)";
    return false;
  }
  *count = static_cast<int>(n);
  return true;
}

}  // namespace

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

const char* CommandName(Command command) {
  return kCommands[Index(command)].name;
}

bool ParseCommandName(std::string_view name, Command* command) {
  for (const CommandCode& c : kCommands) {
    if (name == c.name || name == c.shortName) {
      *command = c.command;
      return true;
    }
  }
  return false;
}

const char* FaultKindName(FaultKind kind) {
  return kFaultNames[static_cast<std::size_t>(kind)];
}

bool ParseFaultSpec(std::string_view spec, Command* command, Fault* fault, std::string* error) {
  const std::vector<std::string_view> parts = SplitAtColons(spec);
  auto fail = [&](const std::string& why) {
    *error = "fault \"" + std::string(spec) + "\": " + why;
    return false;
  };
  if (parts.size() < 2 || parts.size() > 4) {
    return fail("expected COMMAND:KIND[:VALUE][:COUNT]");
  }
  Command cmd;
  if (!ParseCommandName(parts[0], &cmd)) {
    return fail("unknown command \"" + std::string(parts[0]) +
                "\" (startup, probe, find, select, read)");
  }
  const std::optional<FaultKind> kind = FaultKindNamed(parts[1]);
  if (!kind) {
    return fail("unknown fault \"" + std::string(parts[1]) +
                "\" (status, text-length, photo-length, len, checksum, stray, short, silence)");
  }
  Fault f;
  f.kind = *kind;
  f.value = DefaultFaultValue(*kind);
  // Every kind but silence takes a value in the third part (empty for the
  // default); the count comes after it. Silence has its count third.
  const bool takesValue = *kind != FaultKind::Silence;
  if (!takesValue && parts.size() > 3) return fail("silence takes no value");
  const bool hasValue = takesValue && parts.size() >= 3 && !parts[2].empty();
  if (FaultNeedsValue(*kind) && !hasValue) {
    return fail(std::string("fault \"") + kFaultNames[static_cast<std::size_t>(*kind)] +
                "\" needs a value");
  }
  std::string why;
  if (hasValue && !ParseFaultValue(*kind, parts[2], &f.value, &why)) return fail(why);
  const std::size_t countAt = takesValue ? 3 : 2;
  if (countAt < parts.size() && !ParseFaultCount(parts[countAt], &f.count, &why)) return fail(why);
  *command = cmd;
  *fault = f;
  return true;
}

Engine::Engine() : Engine(std::nullopt) {}

Engine::Engine(std::optional<CardImage> card) : card_(std::move(card)), random_(0) {
  history_.reserve(kHistorySize);
}

void Engine::SetCard(std::optional<CardImage> card) {
  std::lock_guard<std::mutex> lock(mutex_);
  card_ = std::move(card);
  cardRead_ = false;
}

bool Engine::HasCard() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return card_.has_value();
}

void Engine::SetLiftAfterRead(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  liftAfterRead_ = on;
  cardRead_ = false;
}

void Engine::AddFault(Command command, Fault fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fault.count == 0) return;
  faults_[Index(command)].push_back(fault);
}

void Engine::ClearFaults(Command command) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_[Index(command)].clear();
}

void Engine::ClearFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& list : faults_) list.clear();
  randomPercent_ = 0;
}

void Engine::SetRandomFaults(std::uint32_t seed, unsigned percent) {
  std::lock_guard<std::mutex> lock(mutex_);
  random_.seed(seed);
  randomPercent_ = std::min(percent, 100u);
}

bool Engine::DrawRandomFault(Command command, Fault* fault) {
  if (randomPercent_ == 0) return false;
  if (random_() % 100 >= randomPercent_) return false;
  // Plain modulo of the generator's output keeps the sequence the same on
  // every standard library (the distributions are not specified exactly).
  const bool read = command == Command::ReadBaseMessage;
  const std::uint32_t choices = read ? 9 : 7;
  fault->count = 1;
  switch (random_() % choices) {
    case 0:
      fault->kind = FaultKind::BadChecksum;
      fault->value = 1u + random_() % 255u;
      break;
    case 1:
      fault->kind = FaultKind::StrayByte;
      fault->value = random_() % 256u;
      break;
    case 2:
      fault->kind = FaultKind::BadLen;
      fault->value = random_() % 2 == 0 ? 3 : kMaxFrameLen + 1;
      break;
    case 3:
      fault->kind = FaultKind::ShortBody;
      fault->value = random_() % 8u;
      break;
    case 4:
      fault->kind = FaultKind::Silence;
      break;
    case 5: {
      static constexpr std::uint8_t kStatuses[] = {0x80, 0x81, 0x9F, 0x10, 0x21, 0x41, 0x90};
      fault->kind = FaultKind::Status;
      fault->value = kStatuses[random_() % std::size(kStatuses)];
      break;
    }
    case 6:
      fault->kind = FaultKind::ShortBody;
      fault->value = read ? 100u + random_() % 1100u : 1u;
      break;
    case 7:
      fault->kind = FaultKind::TextLength;
      fault->value = 255;
      break;
    default:
      fault->kind = FaultKind::PhotoLength;
      fault->value = random_() % 2 == 0 ? 511 : 2000;
      break;
  }
  return true;
}

std::vector<std::uint8_t> Engine::AnswerCommand(Command command) const {
  // A card already read in this placement is not found again by a reader
  // that finds a card only once per placement.
  const bool found = card_ && !cardRead_;
  switch (command) {
    case Command::Startup:
    case Command::Probe:
      return BuildResponse(kStatusOk, nullptr, 0);
    case Command::FindCard:
      return BuildResponse(found ? kStatusCardFound : kStatusNoCard, nullptr, 0);
    case Command::SelectCard:
      return BuildResponse(found ? kStatusOk : kStatusSelectFailed, nullptr, 0);
    case Command::ReadBaseMessage:
      break;
  }
  if (!found) return BuildResponse(kStatusNoCard, nullptr, 0);
  std::uint8_t data[4 + kTextBlockSize + kPhotoBlockSize];
  PutBigEndian16(&data[0], kTextBlockSize);
  PutBigEndian16(&data[2], kPhotoBlockSize);
  std::memcpy(&data[4], card_->text, kTextBlockSize);
  std::memcpy(&data[4 + kTextBlockSize], card_->photo, kPhotoBlockSize);
  return BuildResponse(kStatusOk, data, sizeof data);
}

std::vector<Fault> Engine::TakeFaults(Command command, ExchangeRecord* record) {
  std::vector<Fault> active;
  auto& list = faults_[Index(command)];
  for (auto it = list.begin(); it != list.end();) {
    active.push_back(*it);
    if (it->count > 0 && --it->count == 0) {
      it = list.erase(it);
    } else {
      ++it;
    }
  }
  Fault randomFault;
  if (DrawRandomFault(command, &randomFault)) {
    active.push_back(randomFault);
    ++randomInjected_;
    record->randomFault = true;
  }
  return active;
}

std::vector<std::uint8_t> Engine::HandleLocked(const std::uint8_t* request, std::size_t length,
                                               ExchangeRecord* record) {
  if (length < kHeadSize || std::memcmp(request, kPreamble, sizeof kPreamble) != 0) return {};
  const std::uint32_t len = (static_cast<std::uint32_t>(request[5]) << 8) | request[6];
  if (len < kMinRequestLen || len > kMaxFrameLen || length < kHeadSize + len) return {};

  ++total_;
  record->request.assign(request, request + std::min<std::size_t>(kHeadSize + len, 32));
  record->commandByte = request[7];
  record->parameter = request[8];
  if (XorBytes(request + 5, len + 2) != 0) {
    // The checksum covers LEN to the last data byte; XOR over it and the
    // checksum itself is zero for an intact frame.
    ++badChecksum_;
    record->requestChecksumOk = false;
    record->status = kStatusChecksumError;
    std::vector<std::uint8_t> answer = BuildResponse(kStatusChecksumError, nullptr, 0);
    record->answerSize = answer.size();
    return answer;
  }
  const std::optional<Command> command = Identify(request[7], request[8]);
  record->command = command;
  if (!command) {
    ++unknown_;
    record->status = kStatusUnknownCommand;
    std::vector<std::uint8_t> answer = BuildResponse(kStatusUnknownCommand, nullptr, 0);
    record->answerSize = answer.size();
    return answer;
  }
  ++counts_[Index(*command)];

  std::vector<std::uint8_t> answer = AnswerCommand(*command);
  record->status = answer[9];
  std::vector<Fault> active = TakeFaults(*command, record);
  if (!active.empty()) {
    record->faulted = true;
    SpoilAnswer(std::move(active), &answer);
  } else if (liftAfterRead_ && *command == Command::ReadBaseMessage &&
             record->status == kStatusOk) {
    cardRead_ = true;
  }
  record->answerSize = answer.size();
  return answer;
}

void Engine::Record(const ExchangeRecord& record) {
  if (history_.size() < kHistorySize) {
    history_.push_back(record);
  } else {
    history_[historyNext_] = record;
  }
  historyNext_ = (historyNext_ + 1) % kHistorySize;
}

std::vector<std::uint8_t> Engine::Handle(const std::uint8_t* request, std::size_t length) {
  ExchangeRecord record;
  std::vector<std::uint8_t> answer;
  std::function<void(const ExchangeRecord&)> observer;
  bool seen = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t before = total_;
    answer = HandleLocked(request, length, &record);
    record.answerHead.assign(answer.begin(),
                             answer.begin() + std::min<std::ptrdiff_t>(16, std::ssize(answer)));
    seen = total_ != before;
    if (seen) Record(record);
    observer = observer_;
  }
  if (seen && observer) observer(record);
  return answer;
}

std::size_t Engine::Feed(const std::uint8_t* data, std::size_t size,
                         std::vector<std::uint8_t>* out) {
  std::vector<ExchangeRecord> records;
  std::function<void(const ExchangeRecord&)> observer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stream_.insert(stream_.end(), data, data + size);
    std::size_t pos = 0;
    while (pos < stream_.size()) {
      auto begin = stream_.begin() + static_cast<std::ptrdiff_t>(pos);
      auto found = std::search(begin, stream_.end(), std::begin(kPreamble), std::end(kPreamble));
      if (found == stream_.end()) {
        // Keep a tail that may be the start of a preamble still arriving.
        const std::size_t rest = stream_.size() - pos;
        std::size_t keep = 0;
        for (std::size_t k = std::min<std::size_t>(rest, sizeof kPreamble - 1); k > 0; --k) {
          if (std::equal(stream_.end() - static_cast<std::ptrdiff_t>(k), stream_.end(),
                         std::begin(kPreamble))) {
            keep = k;
            break;
          }
        }
        dropped_ += rest - keep;
        pos = stream_.size() - keep;
        break;
      }
      const std::size_t start = static_cast<std::size_t>(found - stream_.begin());
      dropped_ += start - pos;
      pos = start;
      if (stream_.size() - pos < kHeadSize) break;
      const std::uint32_t len =
          (static_cast<std::uint32_t>(stream_[pos + 5]) << 8) | stream_[pos + 6];
      if (len < kMinRequestLen || len > kMaxFrameLen) {
        // Not a frame after all: look for the next preamble.
        ++dropped_;
        ++pos;
        continue;
      }
      if (stream_.size() - pos < kHeadSize + len) break;
      ExchangeRecord record;
      std::vector<std::uint8_t> answer = HandleLocked(&stream_[pos], kHeadSize + len, &record);
      record.answerHead.assign(answer.begin(),
                               answer.begin() + std::min<std::ptrdiff_t>(16, std::ssize(answer)));
      Record(record);
      records.push_back(record);
      out->insert(out->end(), answer.begin(), answer.end());
      pos += kHeadSize + len;
    }
    stream_.erase(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(pos));
    observer = observer_;
  }
  if (observer) {
    for (const ExchangeRecord& r : records) observer(r);
  }
  return records.size();
}

void Engine::ResetStream() {
  std::lock_guard<std::mutex> lock(mutex_);
  stream_.clear();
}

std::uint64_t Engine::Count(Command command) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_[Index(command)];
}

std::uint64_t Engine::TotalRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_;
}

std::uint64_t Engine::UnknownCommands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unknown_;
}

std::uint64_t Engine::BadRequestChecksums() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return badChecksum_;
}

std::uint64_t Engine::DroppedBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

std::uint64_t Engine::RandomFaultsInjected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return randomInjected_;
}

std::vector<ExchangeRecord> Engine::History() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (history_.size() < kHistorySize) return history_;
  std::vector<ExchangeRecord> ordered;
  ordered.reserve(kHistorySize);
  for (std::size_t i = 0; i < kHistorySize; ++i) {
    ordered.push_back(history_[(historyNext_ + i) % kHistorySize]);
  }
  return ordered;
}

void Engine::ResetCounters() {
  std::lock_guard<std::mutex> lock(mutex_);
  counts_ = {};
  total_ = unknown_ = badChecksum_ = dropped_ = randomInjected_ = 0;
  history_.clear();
  historyNext_ = 0;
}

void Engine::SetObserver(std::function<void(const ExchangeRecord&)> observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  observer_ = std::move(observer);
}

}  // namespace talvex::sim
