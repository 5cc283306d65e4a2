// Small requests through libcurl: the server configuration, the track-id
// request and HEAD size probes. A short retry loop, no state between calls.
//
// HTTPS peers are verified (certificate chain and host name) against the
// system's trusted certificates, or against SSL_CERT_FILE / SSL_CERT_DIR
// when those are set: the runtime configuration fetched here decides which
// installers run as root, so an unverified peer is never accepted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CurlLimits {
  long connect_timeout_ms = 1000;
  long transfer_timeout_ms = 1000;
  int attempts = 3;
  int retry_pause_ms = 100;
};

// The body with every "\r\n" removed, followed by the response headers of
// every response of the exchange when `capture_headers` is set. Empty when
// nothing arrived.
std::string CurlRequest(const std::wstring& url, bool head_only, const std::vector<std::string>& headers,
                        bool force_http10, bool capture_headers, const CurlLimits& limits = CurlLimits());

// The Content-Length of a HEAD answer; 0 when no size came back. Only the
// final response of a redirect chain counts, and only when it is a 2xx.
int64_t GetRemoteFileSize(const std::wstring& url, const std::wstring& host_header,
                          const CurlLimits& limits = CurlLimits());
