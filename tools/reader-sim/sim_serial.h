// Simulated readers on numbered serial ports, in-process: a port's writes
// feed its engine and its reads hand out the engine's answer. Reads honour
// the timeout semantics logically: a read of n bytes returns at once with
// what the answer holds, short when the answer is short or silent, without
// waiting for any timeout.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "platform/serial.h"
#include "reader-sim/engine.h"

namespace talvex::sim {

// A host-side failure injected into a port's calls.
enum class PortFault {
  None,
  WriteFails,  // Write returns false
  ShortWrite,  // Write reports one byte fewer than asked and feeds nothing
  ReadFails,   // Read returns false
};

struct PortStats {
  int opens = 0;         // successful opens
  int closes = 0;        // ports destroyed
  int refusedOpens = 0;  // opens refused because the port was already open
  int purges = 0;
  int writes = 0;
  int reads = 0;
  int lastBaudRate = 0;
  platform::CommTimeouts lastTimeouts{};  // at open or the last SetTimeouts
  bool open = false;
};

class SimSerialBackend : public platform::SerialBackend {
 public:
  SimSerialBackend();
  ~SimSerialBackend() override;

  // Port `number` leads to `engine` (not owned; it must outlive every open
  // port). A port without an engine does not exist.
  void Attach(int number, Engine* engine);
  void Detach(int number);
  void SetPortFault(int number, PortFault fault);

  // Opens exclusively: a port already open does not open again.
  std::unique_ptr<platform::SerialPort> Open(int number, int baudRate,
                                             const platform::CommTimeouts& timeouts) override;

  PortStats Stats(int number) const;
  int TotalOpens() const;
  int TotalCloses() const;
  // Ports open right now (0 after every read when nothing leaks).
  int OpenPorts() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace talvex::sim
