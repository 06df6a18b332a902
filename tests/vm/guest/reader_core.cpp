#include "reader_core.h"

#include <cstring>

#include "reader-sim/engine.h"

namespace talvex::vm {

namespace {
constexpr std::uint8_t kPreamble[5] = {0xAA, 0xAA, 0xAA, 0x96, 0x69};
constexpr std::size_t kHead = 7;
}  // namespace

bool RequestCollector::Add(const std::uint8_t* data, std::size_t size,
                           std::vector<std::uint8_t>* frame) {
  pending_.insert(pending_.end(), data, data + size);
  if (pending_.size() < kHead) return false;
  if (std::memcmp(pending_.data(), kPreamble, sizeof kPreamble) != 0) {
    // Not the start of a frame: hand it on as it is, the engine ignores it
    // (and the log shows it).
    frame->assign(pending_.begin(), pending_.end());
    pending_.clear();
    return true;
  }
  std::size_t total = kHead + (std::size_t{pending_[5]} << 8 | pending_[6]);
  if (pending_.size() < total) return false;
  frame->assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(total));
  pending_.clear();  // the rest of the piece is padding
  return true;
}

struct ReaderCore::EngineHolder {
  sim::Engine engine;
};

ReaderCore::~ReaderCore() {
  if (log_ != nullptr) std::fclose(log_);
}

std::unique_ptr<ReaderCore> ReaderCore::Create(const ReaderOptions& options) {
  sim::SampleKind kind;
  if (!sim::ParseSampleKind(options.sample, &kind)) {
    std::fprintf(stderr, "unknown sample card kind: %s\n", options.sample.c_str());
    return nullptr;
  }
  std::unique_ptr<ReaderCore> core(new ReaderCore());
  core->engine_ = std::make_unique<EngineHolder>();
  if (!options.noCard) core->engine_->engine.SetCard(sim::SampleCard(kind));
  core->cardFile_ = options.cardFile;
  if (!options.logPath.empty()) {
    core->log_ = std::fopen(options.logPath.c_str(), "a");
    if (core->log_ == nullptr) {
      std::perror(options.logPath.c_str());
      return nullptr;
    }
  }
  return core;
}

void ReaderCore::FollowCardFile() {
  std::FILE* f = std::fopen(cardFile_.c_str(), "r");
  if (f == nullptr) return;  // no file: the card stays as it is
  std::string content;
  char chunk[256];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) content.append(chunk, n);
  std::fclose(f);
  if (content == currentCard_) return;
  currentCard_ = content;

  // First word: the card; every further word: a fault for the answers to
  // come, as the simulator's command line writes them ("find:silence:1").
  std::vector<std::string> words;
  std::size_t pos = 0;
  while ((pos = content.find_first_not_of(" \t\r\n", pos)) != std::string::npos) {
    std::size_t end = content.find_first_of(" \t\r\n", pos);
    words.push_back(content.substr(pos, end - pos));
    pos = end;
  }
  if (words.empty()) return;
  sim::SampleKind kind;
  if (words[0] == "none") {
    engine_->engine.SetCard(std::nullopt);
  } else if (sim::ParseSampleKind(words[0], &kind)) {
    engine_->engine.SetCard(sim::SampleCard(kind));
  } else {
    std::fprintf(stderr, "card file names no card kind: %s\n", words[0].c_str());
  }
  engine_->engine.ClearFaults();
  for (std::size_t i = 1; i < words.size(); ++i) {
    sim::Command command;
    sim::Fault fault;
    std::string error;
    if (sim::ParseFaultSpec(words[i], &command, &fault, &error)) {
      engine_->engine.AddFault(command, fault);
    } else {
      std::fprintf(stderr, "card file: %s\n", error.c_str());
    }
  }
}

std::vector<std::uint8_t> ReaderCore::Handle(const std::vector<std::uint8_t>& request) {
  if (!cardFile_.empty()) FollowCardFile();
  if (log_ != nullptr) {
    std::fprintf(log_, "%s\n", HexBytes(request.data(), request.size()).c_str());
    std::fflush(log_);
  }
  return engine_->engine.Handle(request.data(), request.size());
}

bool ParseReaderOptions(int* argc, char** argv, ReaderOptions* options) {
  int out = 1;
  for (int i = 1; i < *argc; ++i) {
    std::string a = argv[i];
    if (a == "--no-card") {
      options->noCard = true;
    } else if ((a == "--sample" || a == "--log" || a == "--card-file") && i + 1 < *argc) {
      (a == "--sample" ? options->sample
       : a == "--log"  ? options->logPath
                       : options->cardFile) = argv[++i];
    } else if (a == "--sample" || a == "--log" || a == "--card-file") {
      std::fprintf(stderr, "%s needs a value\n", a.c_str());
      return false;
    } else {
      argv[out++] = argv[i];
    }
  }
  *argc = out;
  argv[out] = nullptr;
  return true;
}

bool WriteTextFile(const std::string& path, const std::string& text) {
  // Written under a temporary name and renamed, so a waiting script never
  // sees half a file.
  std::string tmp = path + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "w");
  if (f == nullptr) {
    std::perror(tmp.c_str());
    return false;
  }
  bool ok = std::fputs(text.c_str(), f) >= 0;
  ok = std::fclose(f) == 0 && ok;
  return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

std::string HexBytes(const std::uint8_t* data, std::size_t size) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(size * 3);
  for (std::size_t i = 0; i < size; ++i) {
    if (i != 0) s += ' ';
    s += digits[data[i] >> 4];
    s += digits[data[i] & 15];
  }
  return s;
}

}  // namespace talvex::vm
