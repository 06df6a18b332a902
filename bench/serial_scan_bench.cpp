// The serial port scan over 32 silent ports (pseudo-terminals nobody answers
// on), and one card-sized exchange over a pseudo-terminal.
#include <benchmark/benchmark.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "reader/fake_reader.h"
#include "reader/pty_reader.h"
#include "reader/serial.h"
#include "reader/session.h"

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
  for (auto _ : state) {
    const ResultCode rc = ExchangeFrame(ctx, kReadBaseMessageFrame, sizeof kReadBaseMessageFrame);
    if (rc != kOk) state.SkipWithError("exchange failed");
    benchmark::DoNotOptimize(ctx.rxBuffer);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * answer.size()));
}
BENCHMARK(BM_ReadBaseMessageOverPty)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace talvex

BENCHMARK_MAIN();
