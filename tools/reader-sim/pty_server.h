// Serves a simulated reader on a pseudo-terminal, so that any program that
// opens serial ports can talk to it as to a reader on a serial line.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/unique_fd.h"
#include "reader-sim/engine.h"

namespace talvex::sim {

class PtyServer {
 public:
  struct Options {
    // Line rate for pacing the answers (10 bits per byte); 0 sends at once.
    int baud = 0;
    bool verbose = false;
  };

  PtyServer(Engine* engine, Options options);
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // Creates the terminal; false with *error set when that fails.
  bool Open(std::string* error);
  // The terminal's path, for clients to open (valid after Open).
  const std::string& SlavePath() const { return slavePath_; }

  // Serves until `wakeFd` becomes readable (a byte per signal); `onWake` is
  // called with each byte read from it and returns false to stop.
  bool Run(int wakeFd, bool (*onWake)(unsigned char signalByte, void* context), void* context,
           std::string* error);

 private:
  void ReadRequests();
  // Request bytes read from the line, fed to the engine.
  void TakeRequestBytes(const std::uint8_t* bytes, std::size_t size);
  // The last client closed the line; drainLine also discards request bytes
  // still waiting on our side (safe only while no new client has opened).
  void ClientsGone(bool drainLine);
  bool WriteDue(std::chrono::steady_clock::time_point now);
  // With pacing: how long until the next byte of the burst is due.
  long long NanosecondsToNextByte() const;
  // The opens and closes of the slave the inotify descriptor reports: the
  // count of clients, and ClientsGone when the last one has closed. True
  // when the last client closed and no other opened after it, so that what
  // was read from the line before belongs to the closed client.
  bool ReadWatchEvents();
  void Log(const ExchangeRecord& record) const;

  Engine* engine_;
  Options options_;
  platform::posix::UniqueFd master_;
  platform::posix::UniqueFd heldSlave_;  // keeps the line up between clients
  platform::posix::UniqueFd watch_;  // inotify descriptor watching the slave for opens and closes
  int clients_ = 0;                  // client descriptors open on the slave
  std::string slavePath_;
  std::vector<std::uint8_t> out_;  // answer bytes not yet on the line
  std::size_t outSent_ = 0;
  std::chrono::steady_clock::time_point burstStart_{};
  std::size_t burstSent_ = 0;  // bytes of the current burst already on the line
  bool blocked_ = false;       // the terminal's buffer was full at the last write
};

}  // namespace talvex::sim
