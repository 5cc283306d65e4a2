#include "download/customize_socket.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "app/simple_log.h"
#include "platform/net/net.h"
#include "platform/text/text.h"

namespace net = platform::net;

CCustomizeSocket::CCustomizeSocket(const SocketLimits& limits) : limits_(limits) {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
}

CCustomizeSocket::~CCustomizeSocket() {
  // Owners close first; a handle left open here would leak, so give it back.
  CloseHandle();
}

uint32_t CCustomizeSocket::ResolveHost(const wchar_t* host) {
  if (!host) return 0;
  std::vector<uint32_t> ips = net::ResolveIPv4(platform::WideToAnsi(host));
  return ips.empty() ? 0 : ips.front();
}

int CCustomizeSocket::Connect(const wchar_t* host, uint16_t port) {
  if (!host) {
    QLOG("[WARN] %d - socket, host is empty.");
    return 0;
  }
  uint32_t ip = ResolveHost(host);
  if (ip == 0) {
    QLOG("[ERROR] %d - socket, no find host.");
    return 0;
  }
  return ConnectIp(ip, port);
}

int CCustomizeSocket::ConnectIp(uint32_t ip, uint16_t port) {
  Close();
  std::string text = net::IpToText(ip);
  int s = net::CreateTcpSocket();
  if (s < 0) {
    QLOG("[ERROR] %d - socket, create failed!, err=[%d]", net::LastError());
    return 0;
  }
  {
    std::lock_guard<std::mutex> guard(handle_lock_);
    socket_ = s;  // visible to Shutdown() while the connect is waited for
  }
  if (net::SetNonBlocking(s, true) != 0) {
    QLOG("[ERROR] %d - socket, ioctl failed, ret=[%d], err=[%d]", -1, net::LastError());
    CloseHandle();
    return 0;
  }
  int ret = net::StartConnect(s, ip, port);
  if (ret != 0) {
    int err = net::LastError();
    if (!net::IsConnectPending(err)) {
      QLOG("[WARN] %d - socket, connect failed! ip=[%s], ret=[%d], err=[%d]", text.c_str(), ret, err);
      CloseHandle();
      return 0;
    }
    bool ready = false;
    for (int i = 0; i < limits_.connect_waits && !ready; ++i) {
      ready = net::WaitWritable(s, limits_.connect_wait_ms) > 0;
    }
    if (!ready) {
      QLOG("[ERROR] %d - socket, ip=[%s], fd count 0, err=[%d]", text.c_str(), net::SocketError(s));
      CloseHandle();
      return 0;
    }
    // Unlike select() on Windows, poll() also reports a connect that failed
    // (refused, reset, shut down) as writable: the pending error tells.
    int pending = net::SocketError(s);
    if (pending != 0) {
      QLOG("[WARN] %d - socket, connect failed! ip=[%s], ret=[%d], err=[%d]", text.c_str(), -1, pending);
      CloseHandle();
      return 0;
    }
  }
  if (net::SetNonBlocking(s, false) != 0) {
    QLOG("[ERROR] %d - socket, ioctl failed, ip=[%s], ret=[%d], err=[%d]", text.c_str(), -1, net::LastError());
    CloseHandle();
    return 0;
  }
  ip_ = ip;
  port_ = port;
  ip_text_ = platform::AnsiToWide(text);
  connected_ = 1;
  QLOG("[INFO] %d - socket, connect ok, ip=[%s]", text.c_str());
  return 1;
}

int CCustomizeSocket::Receive(char* buffer, int size) {
  if (!buffer || size < 0) return -1;
  if (!connected_) {
    QLOG("[ERROR] %d - socket, receive failed! no connected.");
    return -1;
  }
  int s = socket_;
  int w = net::WaitReadable(s, limits_.receive_wait_ms);
  if (w < 0) {
    QLOG("[ERROR] %d - socket, receive failed! select err=[%d].", net::LastError());
    return -1;
  }
  if (w == 0) {
    QLOG("[WARN] %d - socket, receive failed! select ret=[0], err=[%d].", net::SocketError(s));
    return -1;
  }
  ssize_t n = net::ReceiveBytes(s, buffer, static_cast<size_t>(size));
  if (n == 0) {
    QLOG("[WARN] %d - socket, receive failed! size=[0].");
    Close();
    return 0;
  }
  if (n < 0) {
    QLOG("[ERROR] %d - socket, receive failed! err=[%d]", net::LastError());
    return -1;
  }
  return static_cast<int>(n);
}

int CCustomizeSocket::Send(const char* data, int length) {
  if (!data || length <= 0 || !connected_) return 0;
  int s = socket_;
  if (net::WaitWritable(s, limits_.send_wait_ms) <= 0) return 0;
  return net::SendBytes(s, data, static_cast<size_t>(length)) < 0 ? 0 : 1;
}

int CCustomizeSocket::SendText(const wchar_t* text) {
  if (!text) return 0;
  std::string bytes = platform::WideToAnsi(text);
  if (bytes.size() > 0x7FFFFFFF) return 0;
  return Send(bytes.data(), static_cast<int>(bytes.size()));
}

void CCustomizeSocket::CloseHandle() {
  std::lock_guard<std::mutex> guard(handle_lock_);
  if (socket_ >= 0) net::CloseSocket(socket_);
  socket_ = -1;
}

void CCustomizeSocket::Close() {
  connected_ = 0;
  CloseHandle();
  ip_ = 0;
}

void CCustomizeSocket::Shutdown() {
  std::lock_guard<std::mutex> guard(handle_lock_);
  if (socket_ >= 0) net::ShutdownSocket(socket_);
}

std::wstring CCustomizeSocket::GetIpText() const { return ip_text_; }
