// The serial port scan over 32 silent ports (pseudo-terminals nobody answers
// on), and one card-sized exchange over a pseudo-terminal.
#include <benchmark/benchmark.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <vector>

#include "reader/serial.h"
#include "reader/session.h"
#include "support/fake_reader.h"
#include "support/pty_reader.h"

// GCC takes the replaced operator delete's free() for a mismatch with the
// operator new it was inlined into; in this file they are a matching pair.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Allocations made by the thread under measurement (the pseudo-terminal
// reader's own thread is not counted).
namespace {
thread_local bool countAllocations = false;
std::atomic<long> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  if (countAllocations) allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace talvex {
namespace {

void BM_ScanOf32SilentPorts(benchmark::State& state) {
  test::PortDirectory dir;
  std::vector<int> fds;
  for (int n = 1; n <= 32; ++n) {
    termios raw{};
    ::cfmakeraw(&raw);
    int master = -1, slave = -1;
    char name[128] = {};
    if (::openpty(&master, &slave, name, &raw, nullptr) != 0 || !dir.Link(n, name)) {
      state.SkipWithError("no pseudo-terminal");
      return;
    }
    fds.push_back(master);
    fds.push_back(slave);
  }
  double totalMs = 0;
  for (auto _ : state) {
    ReaderContext ctx;
    ctx.baudRate = kBaudRate;
    const auto start = std::chrono::steady_clock::now();
    const ResultCode rc = ScanSerialPorts(ctx);
    totalMs +=
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (rc != kReceiveTimeout) state.SkipWithError("a silent port answered");
  }
  for (int fd : fds) ::close(fd);
  state.counters["ms_per_port"] = totalMs / (32.0 * static_cast<double>(state.iterations()));
}
BENCHMARK(BM_ScanOf32SilentPorts)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

void BM_ReadBaseMessageOverPty(benchmark::State& state) {
  test::PortDirectory dir;
  const test::Bytes answer = test::ResponseFrame(0x90, test::Bytes(4 + 256 + 1024, 0x20));
  test::PtyReader reader(test::PtyReader::AtOnce([&](const test::Bytes&) { return answer; }));
  if (!reader.ok() || !dir.Link(7, reader.slavePath())) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  ReaderContext ctx;
  ctx.transport = 7;
  ctx.device = OpenSerialPort(7, kBaudRate, true);
  allocations = 0;
  for (auto _ : state) {
    countAllocations = true;
    const ResultCode rc = ExchangeFrame(ctx, kReadBaseMessageFrame, sizeof kReadBaseMessageFrame);
    countAllocations = false;
    if (rc != kOk) state.SkipWithError("exchange failed");
    benchmark::DoNotOptimize(ctx.rxBuffer);
  }
  state.counters["allocs_per_exchange"] =
      static_cast<double>(allocations.load()) / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * answer.size()));
}
BENCHMARK(BM_ReadBaseMessageOverPty)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace talvex

BENCHMARK_MAIN();
