// One /readCard as the service thread serves it, with the reader simulated
// in-process (its answers are ready at once), so what is timed is our own
// work: reading the request off a real loopback TCP connection, the card
// read flow with the frames, the card text, the photo file and the stand-in
// decoder (libWltRS.so beside this program), the JPEG and Base64 of the
// photo, and sending the response. The client's receive is included too.
//
// /shm:1 keeps the photo files in memory (/dev/shm) instead of the temporary
// folder on disk. /nagle:0 is the service's socket as accepted, /nagle:1 the same with
// Nagle's algorithm on: the response leaves in several sends, and the later
// ones then wait for the client's delayed acknowledgement (about 40 ms).
//
// Each iteration's wall time and this thread's CPU time are kept; the
// counters p50_us, p99_us (wall) and cpu_p50_us, cpu_p99_us (CPU) are their
// median and 99th percentile. On a loaded machine the wall figures include
// waiting for a core; the CPU figures do not. BM_SimulatedReaderAlone times the
// simulator's share of it (answering find, select and read), which is not
// ours and can be subtracted.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "flow/read_card.h"
#include "http/handler.h"
#include "http/request.h"
#include "platform/devices.h"
#include "platform/net.h"
#include "platform/net_testing.h"
#include "platform/utf.h"
#include "reader-sim/card.h"
#include "reader-sim/engine.h"
#include "reader-sim/sim_serial.h"
#include "reader/session.h"
#include "support/no_devices.h"

namespace {

using talvex::platform::Socket;

const std::string kCardRequest = "GET /readCard HTTP/1.1\r\nHost: 127.0.0.1:10012\r\n\r\n";
const char kResultTextStart[] = "0|1|";

// A private temporary folder for the photo files: in the system's temporary
// folder, or in /dev/shm (memory, as the user's runtime folder on a desktop
// usually is).
struct TempDir {
  std::string path;
  explicit TempDir(bool inMemory = false) {
    const std::filesystem::path base =
        inMemory ? std::filesystem::path("/dev/shm") : std::filesystem::temp_directory_path();
    std::string pattern = (base / "talvex-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
};

// A TCP connection over 127.0.0.1: the service's end (non-blocking, as the
// event loop leaves it) and the client's.
struct LoopbackConnection {
  talvex::platform::Network& net = talvex::platform::SystemNetwork();
  Socket service = talvex::platform::kInvalidSocket;
  Socket client = talvex::platform::kInvalidSocket;
  talvex::platform::OwnedNetEvent event;

  // Accepted by the platform's Accept, so the service's end has the options
  // the service's client sockets have; `nagle` turns Nagle's algorithm on for
  // it afterwards, to show what the responses' several sends cost then.
  explicit LoopbackConnection(bool nagle) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        listen(listener, 1) == 0 &&
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
      client = talvex::platform::ConnectLoopback(ntohs(addr.sin_port));
      service = talvex::platform::Accept(static_cast<Socket>(listener));
    }
    close(listener);
    if (service == talvex::platform::kInvalidSocket) return;
    const int one = 1, zero = 0;
    setsockopt(static_cast<int>(client), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (nagle) {
      setsockopt(static_cast<int>(service), IPPROTO_TCP, TCP_NODELAY, &zero, sizeof zero);
    }
    event = net.CreateEvent();
    net.SelectEvents(service, event.get(),
                     talvex::platform::kNetRead | talvex::platform::kNetClose);
  }
  ~LoopbackConnection() {
    if (service != talvex::platform::kInvalidSocket) net.CloseSocket(service);
    if (client != talvex::platform::kInvalidSocket) close(static_cast<int>(client));
  }
  bool ok() const { return service != talvex::platform::kInvalidSocket; }

  // Reads one whole response on the client's end; its body.
  bool ReadResponse(std::string* body) {
    std::string data;
    char buf[16384];
    std::size_t headEnd = std::string::npos;
    std::size_t length = 0;
    while (true) {
      if (headEnd == std::string::npos) {
        headEnd = data.find("\r\n\r\n");
        if (headEnd != std::string::npos) {
          const std::size_t at = data.find("Content-Length: ");
          if (at == std::string::npos || at > headEnd) return false;
          length = std::strtoul(data.c_str() + at + 16, nullptr, 10);
          headEnd += 4;
        }
      }
      if (headEnd != std::string::npos && data.size() >= headEnd + length) break;
      const ssize_t n = recv(static_cast<int>(client), buf, sizeof buf, 0);
      if (n <= 0) return false;
      data.append(buf, static_cast<std::size_t>(n));
    }
    body->assign(data, headEnd, length);
    return true;
  }
};

// The service's pipeline with the photo files in a folder of the benchmark's own.
talvex::CardPipeline PipelineIn(const std::string& dir) {
  talvex::CardPipeline p = talvex::SystemCardPipeline();
  const std::u16string folder = talvex::Utf8ToUtf16(dir + "/");
  p.tempDirectory = [folder](std::u16string* out) {
    *out = folder;
    return true;
  };
  return p;
}

void Percentiles(benchmark::State& state, const char* prefix, std::vector<double>& us) {
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  const std::string p = prefix;
  state.counters[p + "p50_us"] = us[us.size() / 2];
  state.counters[p + "p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  state.counters[p + "max_us"] = us.back();
}

// This thread's CPU time in microseconds.
double ThreadCpuMicros() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// The whole request, from the client's send to the client's last byte.
void BM_ReadCardRequestOverLoopback(benchmark::State& state) {
  talvex::sim::SimSerialBackend serial;
  talvex::test::NoHid hid;
  talvex::test::NoUsb usb;
  talvex::platform::ScopedDeviceBackends backends({&serial, &hid, &usb});
  talvex::sim::Engine engine(talvex::sim::SampleCard(talvex::sim::SampleKind::Resident));
  serial.Attach(7, &engine);
  TempDir dir(state.range(1) != 0);
  LoopbackConnection c(state.range(0) != 0);
  if (dir.path.empty() || !c.ok()) {
    state.SkipWithError("no temporary folder or loopback connection");
    return;
  }
  const talvex::CardPipeline pipeline = PipelineIn(dir.path);
  talvex::ResetStartupCommandForTesting();
  talvex::ReaderHold hold;

  auto once = [&](std::string* body) {
    send(static_cast<int>(c.client), kCardRequest.data(), kCardRequest.size(), 0);
    int flag = 0;
    if (talvex::ReadRequest(c.net, c.service, flag) != talvex::kOk || flag != 1) return false;
    const talvex::CardReadResult read = talvex::ReadWholeCard(hold, pipeline);
    if (talvex::HandleReadCard(c.net, c.service, read) != talvex::kOk) return false;
    return c.ReadResponse(body);
  };
  // The first request detects the reader and loads the decoder library.
  std::string body;
  if (!once(&body) || body.rfind(kResultTextStart, 0) != 0) {
    state.SkipWithError(("first request failed: " + body.substr(0, 60)).c_str());
    return;
  }
  std::vector<double> us, cpu;
  us.reserve(100000);
  cpu.reserve(100000);
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = ThreadCpuMicros();
    if (!once(&body)) {
      state.SkipWithError("request failed");
      break;
    }
    cpu.push_back(ThreadCpuMicros() - c0);
    us.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  if (body.rfind(kResultTextStart, 0) != 0) state.SkipWithError("no card in the response");
  state.counters["body_bytes"] = static_cast<double>(body.size());
  Percentiles(state, "", us);
  Percentiles(state, "cpu_", cpu);
}
BENCHMARK(BM_ReadCardRequestOverLoopback)
    ->ArgNames({"nagle", "shm"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Unit(benchmark::kMicrosecond);

// The card read flow alone (ReadCard: frames, text, photo file, decoder).
void BM_ReadCardFlow(benchmark::State& state) {
  talvex::sim::SimSerialBackend serial;
  talvex::test::NoHid hid;
  talvex::test::NoUsb usb;
  talvex::platform::ScopedDeviceBackends backends({&serial, &hid, &usb});
  talvex::sim::Engine engine(talvex::sim::SampleCard(talvex::sim::SampleKind::Resident));
  serial.Attach(7, &engine);
  TempDir dir;
  const std::u16string photo = talvex::Utf8ToUtf16(dir.path + "/image.wlt");
  talvex::ResetStartupCommandForTesting();
  std::int32_t selector = 0;
  std::unique_ptr<char[]> text;
  std::int32_t length = 0;
  if (dir.path.empty() || talvex::ReadCard(selector, photo.c_str(), text, length) != talvex::kOk) {
    state.SkipWithError("first read failed");
    return;
  }
  for (auto _ : state) {
    if (talvex::ReadCard(selector, photo.c_str(), text, length) != talvex::kOk) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(text.get());
  }
}
BENCHMARK(BM_ReadCardFlow)->Unit(benchmark::kMicrosecond);

// The simulator's share: building the find, select and read answers.
std::vector<std::uint8_t> RequestFrame(std::uint8_t command, std::uint8_t parameter) {
  std::vector<std::uint8_t> f = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, command, parameter};
  f.push_back(static_cast<std::uint8_t>(0x00 ^ 0x03 ^ command ^ parameter));
  return f;
}

void BM_SimulatedReaderAlone(benchmark::State& state) {
  talvex::sim::Engine engine(talvex::sim::SampleCard(talvex::sim::SampleKind::Resident));
  const auto find = RequestFrame(0x20, 0x01);
  const auto select = RequestFrame(0x20, 0x02);
  const auto read = RequestFrame(0x30, 0x01);
  for (auto _ : state) {
    auto a = engine.Handle(find.data(), find.size());
    auto b = engine.Handle(select.data(), select.size());
    auto r = engine.Handle(read.data(), read.size());
    if (r.size() != 1295) {
      state.SkipWithError("unexpected read answer");
      break;
    }
    benchmark::DoNotOptimize(a.data());
    benchmark::DoNotOptimize(b.data());
    benchmark::DoNotOptimize(r.data());
  }
}
BENCHMARK(BM_SimulatedReaderAlone)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
