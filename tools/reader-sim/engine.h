// A simulated card reader: request frames in, response frames out, exactly
// as the reader's secure access module answers them, with fault injection for
// testing the host side.
//
// Frames: preamble AA AA AA 96 69, LEN (big-endian, bytes after the LEN
// field), then command and parameter (request) or SW1 SW2 SW3 (response),
// data, and an XOR checksum over LEN up to the byte before the checksum.
//
// Answers (SW3):
//   start-up 61 FF          90
//   probe    12 FF          90
//   find     20 01          9F with a card, 80 without
//   select   20 02          90 with a card, 81 without
//   read     30 01          90 with a card (T = 256, P = 1024, text, photo),
//                           80 without
// A reader that finds a card only once per placement (SetLiftAfterRead)
// answers find, select and read as without a card after a completed read,
// until the card is taken off and put back.
//   request checksum wrong  10 (the command is not carried out)
//   unknown command         21
// A request whose own LEN is below 3 or above 2361 is not a frame: it gets no
// answer and the stream reader looks for the next preamble.
//
// Every method is thread-safe: a test may change the card or the faults while
// another thread exchanges frames.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "reader-sim/card.h"

namespace talvex::sim {

inline constexpr std::uint8_t kPreamble[5] = {0xAA, 0xAA, 0xAA, 0x96, 0x69};
inline constexpr std::size_t kHeadSize = 7;          // preamble and LEN
inline constexpr std::uint32_t kMaxFrameLen = 2361;  // largest LEN of any frame
inline constexpr std::uint32_t kMinRequestLen = 3;   // command, parameter, checksum

inline constexpr std::uint8_t kStatusOk = 0x90;
inline constexpr std::uint8_t kStatusCardFound = 0x9F;
inline constexpr std::uint8_t kStatusNoCard = 0x80;
inline constexpr std::uint8_t kStatusSelectFailed = 0x81;
inline constexpr std::uint8_t kStatusChecksumError = 0x10;
inline constexpr std::uint8_t kStatusUnknownCommand = 0x21;

// The read-base-message answer: LEN counts SW1 SW2 SW3, the data (T, P, the
// text block, the photo block) and the checksum: 3 + 4 + 256 + 1024 + 1 =
// 1288, a frame of 1295 bytes.
inline constexpr std::uint32_t kReadAnswerLen = 3 + 4 + kTextBlockSize + kPhotoBlockSize + 1;

enum class Command { Startup, Probe, FindCard, SelectCard, ReadBaseMessage };
inline constexpr std::size_t kCommandCount = 5;

const char* CommandName(Command command);                        // "startup", "probe", ...
bool ParseCommandName(std::string_view name, Command* command);  // also "read", "find", ...

// What happens to an answer. Faults of one command combine, content first
// (status, lengths), then framing (LEN, checksum, stray byte, short body,
// silence).
enum class FaultKind {
  Status,       // SW3 = value
  TextLength,   // T field = value (the blocks stay where they are); only answers with data
  PhotoLength,  // P field = value; likewise
  BadLen,       // LEN field = value (3 by default on the command line); nothing else changes
  BadChecksum,  // checksum byte XOR value (0 counts as 0x01)
  StrayByte,    // one byte, value, sent before the preamble
  ShortBody,    // only the 7-byte head and `value` further bytes
  Silence,      // no answer at all
};
inline constexpr std::size_t kFaultKindCount = 8;

const char* FaultKindName(FaultKind kind);  // "status", "text-length", ...

inline constexpr int kPersistent = -1;

struct Fault {
  FaultKind kind = FaultKind::Status;
  std::uint32_t value = 0;
  // How many more answers it spoils; kPersistent for every answer.
  int count = kPersistent;
};

// Parses "CMD:KIND[:VALUE][:COUNT]" (as on the simulator's command line).
// VALUE is decimal or 0x-hex, COUNT a number of answers or "always" (the
// default). "status", "len", "text-length" and "photo-length" need a value;
// "checksum", "stray" and "short" take an optional one (leave it empty, as in
// "read:short::2", to give only a count); "silence" takes none, so its third
// part is the count ("find:silence:1").
bool ParseFaultSpec(std::string_view spec, Command* command, Fault* fault, std::string* error);

// One request as the engine saw it.
struct ExchangeRecord {
  std::optional<Command> command;  // none for an unknown command or a bad request checksum
  std::uint8_t commandByte = 0;
  std::uint8_t parameter = 0;
  bool requestChecksumOk = true;
  std::uint8_t status = 0;               // SW3 of the answer before faults
  std::size_t answerSize = 0;            // bytes actually answered (0 when silent)
  bool faulted = false;                  // a fault changed the answer
  bool randomFault = false;              // ... and it was a random one
  std::vector<std::uint8_t> request;     // the request frame (its first 32 bytes)
  std::vector<std::uint8_t> answerHead;  // the first bytes answered (at most 16)
};

class Engine {
 public:
  Engine();
  explicit Engine(std::optional<CardImage> card);

  // The card on the reader; none = no card. Putting a card on (or taking it
  // off) is a new placement.
  void SetCard(std::optional<CardImage> card);
  bool HasCard() const;

  // Models a reader that finds a card only once per placement: after a
  // completed read (the card's data answered, not spoiled by a fault), find
  // card, select card and read base message answer as without a card until
  // the next SetCard. Off by default: a card on the reader is found again
  // and again.
  void SetLiftAfterRead(bool on);

  // Adds a fault to the answers of `command`.
  void AddFault(Command command, Fault fault);
  void ClearFaults(Command command);
  void ClearFaults();
  // Spoils about `percent` % of all answers with a fault drawn at random; the
  // same seed gives the same sequence of faults for the same requests.
  // percent 0 turns it off.
  void SetRandomFaults(std::uint32_t seed, unsigned percent);

  // Answers one whole request frame. An incomplete frame, a wrong preamble or
  // a request LEN out of range gives an empty answer (a reader ignores what
  // is not a frame); bytes past the frame are ignored.
  std::vector<std::uint8_t> Handle(const std::uint8_t* request, std::size_t length);

  // Bytes as they arrive on a line: reassembles request frames, answering
  // each complete one by appending its answer to *out. Bytes before a
  // preamble are dropped. Returns the number of frames answered.
  std::size_t Feed(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>* out);
  // Forgets a partly received frame (a new client on the line).
  void ResetStream();

  // Requests seen per command (whatever the answer was), unknown commands
  // and requests with a wrong checksum, bytes dropped while resyncing.
  std::uint64_t Count(Command command) const;
  std::uint64_t TotalRequests() const;
  std::uint64_t UnknownCommands() const;
  std::uint64_t BadRequestChecksums() const;
  std::uint64_t DroppedBytes() const;
  std::uint64_t RandomFaultsInjected() const;
  // The last requests (at most kHistorySize), oldest first.
  static constexpr std::size_t kHistorySize = 256;
  std::vector<ExchangeRecord> History() const;
  void ResetCounters();

  // Called after every answered request, outside the engine's lock.
  void SetObserver(std::function<void(const ExchangeRecord&)> observer);

 private:
  std::vector<std::uint8_t> HandleLocked(const std::uint8_t* request, std::size_t length,
                                         ExchangeRecord* record);
  // The answer to an intact request, before any fault.
  std::vector<std::uint8_t> AnswerCommand(Command command) const;
  // The faults that spoil this answer to `command`, counted down, and the
  // random one when it is drawn.
  std::vector<Fault> TakeFaults(Command command, ExchangeRecord* record);
  void Record(const ExchangeRecord& record);
  bool DrawRandomFault(Command command, Fault* fault);

  mutable std::mutex mutex_;
  std::optional<CardImage> card_;
  bool liftAfterRead_ = false;
  bool cardRead_ = false;  // this placement was read (only with liftAfterRead_)
  std::array<std::vector<Fault>, kCommandCount> faults_;
  std::array<std::uint64_t, kCommandCount> counts_{};
  std::uint64_t total_ = 0;
  std::uint64_t unknown_ = 0;
  std::uint64_t badChecksum_ = 0;
  std::uint64_t dropped_ = 0;
  std::uint64_t randomInjected_ = 0;
  std::vector<ExchangeRecord> history_;  // ring of kHistorySize
  std::size_t historyNext_ = 0;
  unsigned randomPercent_ = 0;
  std::mt19937 random_;
  std::vector<std::uint8_t> stream_;
  std::function<void(const ExchangeRecord&)> observer_;
};

// XOR of `size` bytes.
std::uint8_t XorBytes(const std::uint8_t* data, std::size_t size);

// A request frame for command/parameter/data with its checksum (for tests
// and tools that speak to a reader).
std::vector<std::uint8_t> BuildRequest(std::uint8_t command, std::uint8_t parameter,
                                       const std::uint8_t* data = nullptr, std::size_t size = 0);

}  // namespace talvex::sim
