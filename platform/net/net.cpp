#include "platform/net/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform::net {

int LastError() { return errno; }

std::vector<uint32_t> ResolveIPv4(const std::string& host) {
  std::vector<uint32_t> out;
  if (host.empty()) return out;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) return out;
  for (addrinfo* a = list; a; a = a->ai_next) {
    if (a->ai_family != AF_INET || !a->ai_addr) continue;
    uint32_t ip = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
    bool seen = false;
    for (uint32_t o : out) seen = seen || o == ip;
    if (!seen) out.push_back(ip);
  }
  ::freeaddrinfo(list);
  return out;
}

std::string IpToText(uint32_t ip) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = ip;
  ::inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

uint32_t TextToIp(const std::string& text) {
  in_addr a{};
  if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return 0;
  return a.s_addr;
}

int CreateTcpSocket() {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return s < 0 ? kInvalidSocket : s;
}

int SetNonBlocking(int socket, bool non_blocking) {
  int flags = ::fcntl(socket, F_GETFL);
  if (flags < 0) return -1;
  flags = non_blocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(socket, F_SETFL, flags) < 0 ? -1 : 0;
}

int StartConnect(int socket, uint32_t ip, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = ip;
  return ::connect(socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

bool IsConnectPending(int error) { return error == EINPROGRESS || error == EWOULDBLOCK || error == EAGAIN; }

int SocketError(int socket) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

namespace {
int WaitFor(int socket, short events, int timeout_ms) {
  pollfd p{};
  p.fd = socket;
  p.events = events;
  for (;;) {
    int r = ::poll(&p, 1, timeout_ms < 0 ? -1 : timeout_ms);
    if (r < 0 && errno == EINTR) continue;  // a signal is no reason to give up early
    if (r < 0) return -1;
    if (r == 0) return 0;
    if (p.revents & POLLNVAL) {
      errno = EBADF;
      return -1;
    }
    return 1;
  }
}
}  // namespace

int WaitReadable(int socket, int timeout_ms) { return WaitFor(socket, POLLIN, timeout_ms); }
int WaitWritable(int socket, int timeout_ms) { return WaitFor(socket, POLLOUT, timeout_ms); }

ssize_t SendBytes(int socket, const void* data, size_t size) {
  ssize_t n;
  do {
    n = ::send(socket, data, size, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t ReceiveBytes(int socket, void* buffer, size_t size) {
  ssize_t n;
  do {
    n = ::recv(socket, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

void ShutdownSocket(int socket) {
  if (socket >= 0) ::shutdown(socket, SHUT_RDWR);
}

void CloseSocket(int socket) {
  if (socket >= 0) ::close(socket);
}

int Listen(uint32_t ip, uint16_t port, int backlog) {
  int s = CreateTcpSocket();
  if (s < 0) return kInvalidSocket;
  int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = ip;
  if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(s, backlog) != 0) {
    int e = errno;
    ::close(s);
    errno = e;
    return kInvalidSocket;
  }
  return s;
}

uint16_t LocalPort(int socket) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

int Accept(int listener) {
  int s;
  do {
    s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  } while (s < 0 && errno == EINTR);
  return s < 0 ? kInvalidSocket : s;
}

}  // namespace platform::net
