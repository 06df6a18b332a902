// A connected socket pair over the system's sockets: the service end is
// non-blocking as the event loop leaves a client, the peer end blocking.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/net.h"
#include "platform/net_testing.h"

namespace talvex::testing {

class SocketPair {
 public:
  SocketPair() : net_(platform::SystemNetwork()) {
    ok_ = platform::CreateSocketPair(&service_, &peer_);
    event_ = net_.CreateEvent();
    ok_ = ok_ && event_ != nullptr &&
          net_.SelectEvents(service_, event_.get(), platform::kNetRead | platform::kNetClose);
  }
  ~SocketPair() {
    CloseService();
    ClosePeer();
  }
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;

  bool ok() const { return ok_; }
  platform::Network& net() { return net_; }
  platform::Socket service() const { return service_; }
  platform::Socket peer() const { return peer_; }

  // Writes all of `bytes` from the peer end.
  void Write(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      std::size_t n = 0;
      ASSERT_EQ(net_.Send(peer_, reinterpret_cast<const std::uint8_t*>(bytes.data()) + done,
                          bytes.size() - done, &n),
                platform::IoStatus::kDone);
      done += n;
    }
  }
  // Reads exactly n bytes at the peer end (blocking).
  std::string Read(std::size_t n) {
    std::string out(n, '\0');
    std::size_t done = 0;
    while (done < n) {
      std::size_t got = 0;
      if (net_.Receive(peer_, reinterpret_cast<std::uint8_t*>(out.data()) + done, n - done, &got) !=
          platform::IoStatus::kDone) {
        break;
      }
      done += got;
    }
    out.resize(done);
    return out;
  }
  void ClosePeer() {
    if (peer_ != platform::kInvalidSocket) net_.CloseSocket(peer_);
    peer_ = platform::kInvalidSocket;
  }
  void CloseService() {
    if (service_ != platform::kInvalidSocket) net_.CloseSocket(service_);
    service_ = platform::kInvalidSocket;
  }

 private:
  platform::Network& net_;
  platform::Socket service_ = platform::kInvalidSocket;
  platform::Socket peer_ = platform::kInvalidSocket;
  platform::OwnedNetEvent event_;
  bool ok_ = false;
};

}  // namespace talvex::testing
