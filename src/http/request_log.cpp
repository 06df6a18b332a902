#include "http/request_log.h"

#include "platform/log.h"
#include "reader/trace.h"

namespace talvex {

std::string FormatRequestLine(const RequestLogEntry& entry) {
  const CardReadTrace& read = entry.answer.read;
  std::string port = read.port;
  // A named serial port that did not open still names the port tried.
  if (port.empty() && read.transport >= 1 && read.transport < 1000) {
    port = SerialPortName(read.transport);
  }
  std::string line = "request client=" + platform::LogFieldValue(entry.client);
  line += " path=" + platform::LogFieldValue(entry.path);
  line += " code=" + std::to_string(ToNumber(entry.answer.code));
  line += " transport=";
  line += TransportName(read.transport);
  line += " port=" + platform::LogFieldValue(port);
  line += " reader_ms=" + std::to_string(read.readerMs);
  line += " photo_ms=" + std::to_string(entry.answer.photoMs);
  line += " sent=" + std::to_string(ToNumber(entry.sent));
  return line;
}

std::string ClientText(platform::Network& net, platform::Socket socket) {
  platform::IpAddress address;
  std::uint16_t port = 0;
  if (!net.PeerAddress(socket, &address, &port)) return std::string();
  return platform::FormatEndpoint(address, port);
}

void LogRequest(const RequestLogEntry& entry) {
  try {
    platform::WriteLog(platform::LogLevel::kRequest, FormatRequestLine(entry));
  } catch (...) {
    // A line that cannot get its memory is lost; the answer has gone out.
  }
}

}  // namespace talvex
