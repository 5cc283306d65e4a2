// CCustomizeSocket: the download engine's own TCP client.
//
// One IPv4 connection with a bounded connect (5 waits of 5 s), a bounded wait
// before every receive (60 s) and every send (30 s), and one log line for
// every failure. It speaks no protocol: callers hand it bytes or a text and
// read raw bytes back.
//
// An instance belongs to one thread at a time. The one exception is
// Shutdown(), which any thread may call to wake the owner out of a connect,
// receive or send wait (there is no forced thread termination: a stopping
// worker is woken this way). The socket handle is guarded by a small lock so
// that Shutdown() never touches a handle that Close() has already given back.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

struct SocketLimits {
  int connect_wait_ms = 5000;  // one wait for the connect to finish
  int connect_waits = 5;       // waits before the connect is given up
  int receive_wait_ms = 60000;
  int send_wait_ms = 30000;
};

class CCustomizeSocket {
 public:
  explicit CCustomizeSocket(const SocketLimits& limits = SocketLimits());
  // Does not close an open socket: owners call Close() first.
  virtual ~CCustomizeSocket();
  CCustomizeSocket(const CCustomizeSocket&) = delete;
  CCustomizeSocket& operator=(const CCustomizeSocket&) = delete;

  // 1 connected, 0 failed. `host` may be null.
  int Connect(const wchar_t* host, uint16_t port);
  int ConnectIp(uint32_t ip, uint16_t port);  // ip in network order
  // Bytes received (>0); 0 when the peer closed (the instance is closed);
  // -1 on error or time-out (the connection stays as it is).
  int Receive(char* buffer, int size);
  // 1 when all bytes were handed to the system in one call, else 0.
  int Send(const char* data, int length);
  // The text in the ANSI code page, without terminator.
  int SendText(const wchar_t* text);
  void Close();
  // Wakes a connect, receive or send wait of the owning thread (any thread).
  void Shutdown();

  std::wstring GetIpText() const;
  static uint32_t ResolveHost(const wchar_t* host);

  int connected() const { return connected_; }
  uint16_t port() const { return port_; }
  uint32_t ip() const { return ip_; }
  const SocketLimits& limits() const { return limits_; }

 protected:
  SocketLimits limits_;

 private:
  void CloseHandle();

  mutable std::mutex handle_lock_;  // guards socket_ against Shutdown() from other threads
  int socket_ = -1;
  int connected_ = 0;
  uint16_t port_ = 0;
  uint32_t ip_ = 0;
  std::wstring ip_text_;
};
