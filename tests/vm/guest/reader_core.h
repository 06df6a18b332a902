// The part every guest reader device shares: request frames arrive in pieces
// (64-byte HID reports, USB bulk transfers), are put back together, answered
// by the simulator's protocol engine and written to an optional request log,
// one line of hex per frame, so that the test can tell which device was
// probed and which was never touched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace talvex::vm {

// Puts request frames back together from the pieces a transport delivers.
// The frame's own LEN field tells where it ends; whatever follows the end in
// the same piece is transport padding and is dropped.
class RequestCollector {
 public:
  // Appends one piece. Returns true and fills *frame when a frame is complete.
  bool Add(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>* frame);
  // Forgets a partly received frame (the host went away).
  void Reset() { pending_.clear(); }

 private:
  std::vector<std::uint8_t> pending_;
};

struct ReaderOptions {
  std::string sample = "resident";  // resident | foreign | hmt
  bool noCard = false;              // the reader answers "no card" to find card
  std::string logPath;              // request log; empty for none
  // When set, the card on the reader is whatever this file names
  // (resident, foreign, hmt or none), looked at before every request: the
  // test swaps cards without unplugging the reader. Further words in the
  // file are faults for the answers that follow ("find:silence:1"); a
  // changed file replaces the faults of the one before.
  std::string cardFile;
};

// Parses the options every reader program understands, removing them from
// argv: --sample KIND, --no-card, --log FILE, --card-file FILE. False (with
// a message on stderr) on a bad value.
bool ParseReaderOptions(int* argc, char** argv, ReaderOptions* options);

class ReaderCore {
 public:
  ~ReaderCore();
  static std::unique_ptr<ReaderCore> Create(const ReaderOptions& options);
  // The response frame for one request frame (empty: the engine stays silent).
  std::vector<std::uint8_t> Handle(const std::vector<std::uint8_t>& request);

 private:
  ReaderCore() = default;
  struct EngineHolder;
  void FollowCardFile();
  std::unique_ptr<EngineHolder> engine_;
  std::FILE* log_ = nullptr;
  std::string cardFile_;
  std::string currentCard_;  // the card file's content last acted on
};

// Small helpers for the device programs.
bool WriteTextFile(const std::string& path, const std::string& text);
std::string HexBytes(const std::uint8_t* data, std::size_t size);

}  // namespace talvex::vm
