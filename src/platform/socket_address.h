// Between IpAddress and the addresses of the sockets API, for both backends.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>
#include <cstring>

#include "platform/net.h"

namespace talvex::platform {

// address:port (host order) as bind and connect take it; *size is its length.
inline sockaddr_storage ToSocketAddress(const IpAddress& address, std::uint16_t port, int* size) {
  sockaddr_storage storage{};
  if (address.v6) {
    auto* in = reinterpret_cast<sockaddr_in6*>(&storage);
    in->sin6_family = AF_INET6;
    in->sin6_port = htons(port);
    std::memcpy(&in->sin6_addr, address.bytes, 16);
    *size = static_cast<int>(sizeof(sockaddr_in6));
  } else {
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    std::memcpy(&in->sin_addr, address.bytes, 4);
    *size = static_cast<int>(sizeof(sockaddr_in));
  }
  return storage;
}

// The address and port (host order) of an IPv4 or IPv6 socket address; false,
// with nothing written, for any other family.
inline bool FromSocketAddress(const sockaddr_storage& storage, IpAddress* address,
                              std::uint16_t* port) {
  IpAddress out;
  std::uint16_t number = 0;
  if (storage.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
    std::memcpy(out.bytes, &in->sin_addr, 4);
    number = ntohs(in->sin_port);
  } else if (storage.ss_family == AF_INET6) {
    const auto* in = reinterpret_cast<const sockaddr_in6*>(&storage);
    out.v6 = true;
    std::memcpy(out.bytes, &in->sin6_addr, 16);
    number = ntohs(in->sin6_port);
  } else {
    return false;
  }
  *address = out;
  *port = number;
  return true;
}

}  // namespace talvex::platform
