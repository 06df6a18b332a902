// The guest has no curl: this is the web page's side of a card read. It
// sends `GET /readCard` to the service over loopback and writes the response
// body to stdout (or --out FILE).
//
//   vm-http-get [--port N] [--wait SECONDS] [--requests N] [--out FILE]
//
// --wait retries the connection while the service is still starting.
// --requests sends that many requests on the one connection and writes the
// bodies one per line. The exit status is 0 only when every response had
// the status line "HTTP/1.1 200 OK" and a body of its full Content-Length.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int Connect(int port, int waitSeconds) {
  for (int attempt = 0;; ++attempt) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval tv = {60, 0};  // a card read over a slow guest still ends well within this
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    close(fd);
    if (attempt >= waitSeconds * 10) return -1;
    usleep(100000);
  }
}

// Reads one response; false with a message on a malformed or cut-off one.
bool ReadResponse(int fd, std::string* pending, std::string* body) {
  std::size_t headEnd;
  char buf[4096];
  while ((headEnd = pending->find("\r\n\r\n")) == std::string::npos) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      std::fprintf(stderr, "vm-http-get: connection ended before the headers (%s)\n",
                   n < 0 ? std::strerror(errno) : "closed");
      return false;
    }
    pending->append(buf, static_cast<std::size_t>(n));
  }
  std::string head = pending->substr(0, headEnd + 2);
  pending->erase(0, headEnd + 4);
  if (head.rfind("HTTP/1.1 200 OK\r\n", 0) != 0) {
    std::fprintf(stderr, "vm-http-get: unexpected status line: %.40s\n", head.c_str());
    return false;
  }
  std::size_t cl = head.find("\r\nContent-Length: ");
  if (cl == std::string::npos) {
    std::fprintf(stderr, "vm-http-get: no Content-Length\n");
    return false;
  }
  long length = std::strtol(head.c_str() + cl + 18, nullptr, 10);
  if (length < 0) return false;
  while (pending->size() < static_cast<std::size_t>(length)) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      std::fprintf(stderr, "vm-http-get: body cut off after %zu of %ld bytes\n", pending->size(),
                   length);
      return false;
    }
    pending->append(buf, static_cast<std::size_t>(n));
  }
  *body = pending->substr(0, static_cast<std::size_t>(length));
  pending->erase(0, static_cast<std::size_t>(length));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 10012;
  int waitSeconds = 0;
  int requests = 1;
  const char* outPath = nullptr;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--port") {
      port = std::atoi(argv[i + 1]);
    } else if (a == "--wait") {
      waitSeconds = std::atoi(argv[i + 1]);
    } else if (a == "--requests") {
      requests = std::atoi(argv[i + 1]);
    } else if (a == "--out") {
      outPath = argv[i + 1];
    } else {
      std::fprintf(stderr, "vm-http-get: unknown option %s\n", a.c_str());
      return 2;
    }
  }
  if (argc % 2 == 0) {
    std::fprintf(stderr, "usage: vm-http-get [--port N] [--wait S] [--requests N] [--out F]\n");
    return 2;
  }
  int fd = Connect(port, waitSeconds);
  if (fd < 0) {
    std::fprintf(stderr, "vm-http-get: cannot connect to port %d: %s\n", port,
                 std::strerror(errno));
    return 1;
  }
  std::FILE* out = outPath != nullptr ? std::fopen(outPath, "w") : stdout;
  if (out == nullptr) {
    std::perror(outPath);
    return 1;
  }
  // As a browser sends it: the address and the port it connected to.
  const std::string request =
      "GET /readCard HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
  std::string pending;
  bool ok = true;
  for (int r = 0; r < requests && ok; ++r) {
    ok = send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(request.size());
    std::string body;
    ok = ok && ReadResponse(fd, &pending, &body);
    if (ok) {
      std::fwrite(body.data(), 1, body.size(), out);
      if (requests > 1) std::fputc('\n', out);
    }
  }
  close(fd);
  if (out != stdout) std::fclose(out);
  return ok ? 0 : 1;
}
