// CSimpleHttp: the program's own plain-HTTP client on top of CCustomizeSocket.
//
// One hand-built request per connection ("Connection: Close"), the whole
// answer read until the server closes, redirects followed. It posts the
// tracking records. HTTPS is not served by this client.
#pragma once

#include <cstdint>
#include <string>

#include "download/customize_socket.h"

class CSimpleHttp : public CCustomizeSocket {
 public:
  static constexpr int kResponseBufferSize = 204800;
  static constexpr int kBodyBufferSize = 20480;
  // Redirects followed by one PostXml before it gives up.
  static constexpr int kMaxRedirects = 10;

  explicit CSimpleHttp(const SocketLimits& limits = SocketLimits()) : CCustomizeSocket(limits) {}

  // 0 when the final answer is 2xx, -1 otherwise.
  int PostXml(const std::wstring& url, const std::wstring& body);

  // 1 and host, port and path set; 0 when the URL is not a plain-HTTP URL
  // with a host, a path and (if any) a port in 1..65535.
  int ParseUrl(const std::wstring& url);
  // `method` is "get" or "post".
  std::wstring BuildRequest(const std::wstring& method, const std::wstring& body);
  // Sends `request` on a new connection and reads the answer until the
  // server closes. 1 and `response` set, or 0. When `body` and a positive
  // `*size` are given, the bytes after the blank line are copied there (at
  // most *size) and *size becomes the count.
  int Execute(const std::wstring& request, std::wstring* response, char* body = nullptr, int* size = nullptr);
  // 1 (with `*redirect` telling whether host, port and path now name the
  // redirect's target) or 0.
  int ParseResponse(const std::wstring& response, bool* redirect);

  std::wstring host;
  std::wstring path;
  std::wstring referer;
  std::wstring url;
  uint16_t port = 80;
};
