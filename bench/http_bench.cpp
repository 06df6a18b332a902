// The request reader and the response writer over a real socket pair: what
// one browser request costs the service thread before and after the card read.
#include <benchmark/benchmark.h>

#include <string>

#include "http/request.h"
#include "http/response.h"
#include "platform/net.h"
#include "platform/net_testing.h"

namespace {

using talvex::platform::Socket;

// What Chromium sends for fetch('http://127.0.0.1:10012/readCard') from a page.
const std::string kBrowserRequest =
    "GET /readCard HTTP/1.1\r\n"
    "Host: 127.0.0.1:10012\r\n"
    "Connection: keep-alive\r\n"
    "sec-ch-ua-platform: \"Linux\"\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/156.0.0.0 Safari/537.36\r\n"
    "sec-ch-ua: \"Chromium\";v=\"156\", \"Not-A.Brand\";v=\"24\"\r\n"
    "sec-ch-ua-mobile: ?0\r\n"
    "Accept: */*\r\n"
    "Origin: http://127.0.0.1:8000\r\n"
    "Sec-Fetch-Site: same-site\r\n"
    "Sec-Fetch-Mode: cors\r\n"
    "Sec-Fetch-Dest: empty\r\n"
    "Referer: http://127.0.0.1:8000/\r\n"
    "Accept-Encoding: gzip, deflate, br, zstd\r\n"
    "Accept-Language: zh-CN,zh;q=0.9,en;q=0.8\r\n"
    "\r\n";

struct Pair {
  Socket service = talvex::platform::kInvalidSocket;
  Socket peer = talvex::platform::kInvalidSocket;
  talvex::platform::OwnedNetEvent event;
  talvex::platform::Network& net = talvex::platform::SystemNetwork();
  Pair() {
    talvex::platform::CreateSocketPair(&service, &peer);
    event = net.CreateEvent();
    net.SelectEvents(service, event.get(),
                     talvex::platform::kNetRead | talvex::platform::kNetClose);
  }
  ~Pair() {
    net.CloseSocket(service);
    net.CloseSocket(peer);
  }
};

void BM_ReadBrowserRequest(benchmark::State& state) {
  Pair p;
  for (auto _ : state) {
    std::size_t sent = 0;
    p.net.Send(p.peer, reinterpret_cast<const std::uint8_t*>(kBrowserRequest.data()),
               kBrowserRequest.size(), &sent);
    int flag = 0;
    if (talvex::ReadRequest(p.net, p.service, flag) != talvex::kOk || flag != 1) {
      state.SkipWithError("request not read");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBrowserRequest.size()));
}
BENCHMARK(BM_ReadBrowserRequest);

void BM_HeaderBlock(benchmark::State& state) {
  for (auto _ : state) {
    char timeText[talvex::kTimeTextCapacity];
    talvex::FormatTimeText(talvex::CurrentTimeSeconds(), timeText);
    std::string block = talvex::BuildHeaderBlock(timeText, 6000);
    benchmark::DoNotOptimize(block);
  }
}
BENCHMARK(BM_HeaderBlock);

// A card answer: header block, 115 bytes of text and about 6 KB of photo text.
void BM_SendCardResponse(benchmark::State& state) {
  Pair p;
  const std::string text(115, 't');
  const std::string photo(6000, 'p');
  std::string sink(16384, '\0');
  const std::size_t size =
      talvex::BuildHeaderBlock("Tue, 05 Mar 2024 08:09:07 GMT", 6115).size() + 6115;
  for (auto _ : state) {
    if (talvex::SendCardResponse(p.net, p.service, text.c_str(), 115, photo.data(), photo.size()) !=
        talvex::kOk) {
      state.SkipWithError("send failed");
      break;
    }
    state.PauseTiming();
    std::size_t total = 0;
    while (total < size) {
      std::size_t got = 0;
      if (p.net.Receive(p.peer, reinterpret_cast<std::uint8_t*>(sink.data()), size - total, &got) !=
          talvex::platform::IoStatus::kDone) {
        break;
      }
      total += got;
    }
    state.ResumeTiming();
  }
}
BENCHMARK(BM_SendCardResponse);

}  // namespace
BENCHMARK_MAIN();
