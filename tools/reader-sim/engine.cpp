#include "reader-sim/engine.h"

#include <algorithm>
#include <cstring>

#include "reader-sim/frame_build.h"

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

std::size_t Index(Command command) {
  return static_cast<std::size_t>(command);
}

std::optional<Command> Identify(std::uint8_t code, std::uint8_t parameter) {
  for (const CommandCode& c : kCommands) {
    if (c.code == code && c.parameter == parameter) return c.command;
  }
  return std::nullopt;
}

}  // namespace

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
