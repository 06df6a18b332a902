// The request reader against bytes that arrive in pieces: a thread writes the
// input into one end of a socket pair, in pieces whose sizes come from the
// input, and closes its end when done; ReadRequest runs against the other end
// until it reports something other than a whole request. A closed writer
// gives 307 at once, so no run waits for the 15-second readiness limit.
//
// Input: byte 0 is the number of piece sizes that follow (taken modulo 16);
// each of them is a piece size (0 means 1), used in turn; the rest is the
// byte stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "core/result.h"
#include "http/request.h"
#include "platform/net.h"
#include "platform/net_testing.h"

namespace {

using talvex::platform::Socket;

void WriteInPieces(Socket socket, const std::uint8_t* bytes, std::size_t size,
                   const std::vector<std::size_t>& pieces) {
  talvex::platform::Network& net = talvex::platform::SystemNetwork();
  std::size_t done = 0;
  for (std::size_t i = 0; done < size; ++i) {
    std::size_t piece = pieces.empty() ? size : pieces[i % pieces.size()];
    if (piece > size - done) piece = size - done;
    std::size_t sentInPiece = 0;
    while (sentInPiece < piece) {
      std::size_t n = 0;
      // Fails once the reader gave up and its end was closed.
      if (net.Send(socket, bytes + done + sentInPiece, piece - sentInPiece, &n) !=
          talvex::platform::IoStatus::kDone) {
        return;
      }
      sentInPiece += n;
    }
    done += piece;
    std::this_thread::yield();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t count = data[0] % 16;
  if (size < 1 + count) return 0;
  std::vector<std::size_t> pieces;
  for (std::size_t i = 0; i < count; ++i) pieces.push_back(data[1 + i] == 0 ? 1 : data[1 + i]);
  const std::uint8_t* stream = data + 1 + count;
  const std::size_t streamSize = size - 1 - count;

  talvex::platform::Network& net = talvex::platform::SystemNetwork();
  Socket service = talvex::platform::kInvalidSocket;
  Socket peer = talvex::platform::kInvalidSocket;
  if (!talvex::platform::CreateSocketPair(&service, &peer)) std::abort();
  // The service end is non-blocking with its readiness event, as the event
  // loop leaves a client.
  talvex::platform::OwnedNetEvent event = net.CreateEvent();
  if (event == nullptr ||
      !net.SelectEvents(service, event.get(),
                        talvex::platform::kNetRead | talvex::platform::kNetClose)) {
    std::abort();
  }

  std::thread writer([&] {
    WriteInPieces(peer, stream, streamSize, pieces);
    net.CloseSocket(peer);
  });

  // Every whole request takes at least its request line and the empty line.
  std::size_t requests = 0;
  talvex::ResultCode result = talvex::kOk;
  while (result == talvex::kOk) {
    int cardRequest = -1;
    result = talvex::ReadRequest(net, service, cardRequest);
    if (result == talvex::kOk) {
      if (cardRequest != 0 && cardRequest != 1) std::abort();
      if (++requests * 4 > streamSize) std::abort();
    }
  }
  // 304 for a line over the cap or a failed receive, 307 for the writer's
  // close; 305 would mean a readiness wait ran out although bytes or the close
  // were on their way.
  if (result != talvex::kSocketError && result != talvex::kPeerClosed) std::abort();
  net.CloseSocket(service);
  writer.join();
  return 0;
}
