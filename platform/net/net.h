// TCP sockets and name resolution over POSIX.
//
// The thin layer the download engine's socket client stands on: IPv4 only,
// blocking name resolution through getaddrinfo(AF_INET), a connect that is
// started non-blocking and awaited with poll(), readiness waits with a time
// limit, and the "last error" of a failed call is errno.
//
// Addresses travel as 32-bit values in network byte order, exactly as the
// resolver delivers them in sin_addr.
//
// Sends never raise SIGPIPE (MSG_NOSIGNAL): a peer that went away shows up as
// an error result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform::net {

constexpr int kInvalidSocket = -1;

// errno of the last failed call on this thread.
int LastError();

// Every IPv4 address of `host` in the resolver's order (duplicates removed,
// first one kept). An empty list when the name does not resolve.
std::vector<uint32_t> ResolveIPv4(const std::string& host);

// "a.b.c.d" of an address in network order.
std::string IpToText(uint32_t ip);
// The address of a dotted-quad text, 0 when it is not one.
uint32_t TextToIp(const std::string& text);

// A new TCP stream socket (close-on-exec), or kInvalidSocket.
int CreateTcpSocket();
// 0 on success, -1 with LastError() set.
int SetNonBlocking(int socket, bool non_blocking);
// Starts (or, on a blocking socket, makes) a connect. 0 when connected at
// once; -1 with LastError() set otherwise (EINPROGRESS: still going on).
int StartConnect(int socket, uint32_t ip, uint16_t port);
bool IsConnectPending(int error);
// The pending error of the socket (SO_ERROR), 0 when none.
int SocketError(int socket);

// Readiness waits: 1 ready, 0 time-out, -1 failure (LastError() set).
// A socket with an error or a hang-up counts as ready: the next call on it
// reports what happened.
int WaitReadable(int socket, int timeout_ms);
int WaitWritable(int socket, int timeout_ms);

// One send() / recv() call. Results as those calls.
ssize_t SendBytes(int socket, const void* data, size_t size);
ssize_t ReceiveBytes(int socket, void* buffer, size_t size);

// shutdown(SHUT_RDWR): wakes any thread waiting on the socket, including
// one waiting for a connect to finish.
void ShutdownSocket(int socket);
void CloseSocket(int socket);

// A listening TCP socket on `ip`:`port` (port 0: any free one), for tests
// and test servers. kInvalidSocket on failure.
int Listen(uint32_t ip, uint16_t port, int backlog);
// The local port a socket is bound to, 0 on failure.
uint16_t LocalPort(int socket);
// accept() with close-on-exec; kInvalidSocket on failure.
int Accept(int listener);

}  // namespace platform::net
