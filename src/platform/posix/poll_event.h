// What a NetEvent points to on Linux: the descriptor that one poll() entry
// watches, the poll bits it asks for, and what the last wait reported.
#pragma once

namespace talvex::platform::posix {

struct PollEvent {
  int fd = -1;
  short interest = 0;      // poll() events; 0 until the event is tied to a socket
  short reported = 0;      // revents of the last wait, cleared by the report
  bool autoReset = false;  // an eventfd stop signal: the wait that reports it drains it
};

}  // namespace talvex::platform::posix
