// What a NetEvent is on Linux: the descriptor that one poll() entry
// watches, the poll bits it asks for, and what the last wait reported.
#pragma once

#include "platform/net.h"

namespace talvex::platform::posix {

// It owns no descriptor: the socket it watches, or the stop signal's eventfd,
// has an owner of its own.
struct PollEvent final : NetEventObject {
  int fd = -1;
  short interest = 0;      // poll() events; 0 until the event is tied to a socket
  short reported = 0;      // revents of the last wait, cleared by the report
  bool autoReset = false;  // an eventfd stop signal: the wait that reports it drains it
  // Further listeners that share a listener's event (the first is fd).
  static constexpr int kMaxMore = 7;
  int moreFds[kMaxMore] = {-1, -1, -1, -1, -1, -1, -1};
  int moreCount = 0;
  bool accepts = false;  // tied with kNetAccept
};

}  // namespace talvex::platform::posix
