// One HEAD request over libcurl, pinned to one address of a host.
//
// The host name stays in the URL (so Host and TLS names are the host's own)
// while CURLOPT_RESOLVE makes the connection go to the given address. Used to
// ask each CDN address for a file's size. Failures are reported with the
// stage they happened in, so callers can log them like the exchange steps
// they stand for (open, connect, request, headers, send, receive, query).
#pragma once

#include <cstdint>
#include <string>

typedef void CURL;

namespace platform::net {

// Once per process, before any libcurl handle is made (thread-safe).
void CurlGlobalInit();

// Peer verification for HTTPS stays on. When the standard OpenSSL variables
// SSL_CERT_FILE / SSL_CERT_DIR are set, they name the trusted certificates
// (libcurl does not read them by itself); otherwise the system's store.
void ApplyTrustStore(CURL* handle);

struct HeadProbeTimeouts {
  long resolve_ms = 10;
  long connect_ms = 6;
  long send_ms = 6;
  long receive_ms = 10;
};

enum class HeadProbeStage {
  kOk,
  kOpen,         // no libcurl handle
  kConnect,      // TCP (or TLS) connection not made
  kOpenRequest,  // the request could not be set up (bad URL)
  kAddHeaders,   // the header list could not be built
  kSend,         // the request could not be sent
  kReceive,      // no (complete) response
  kQuery,        // a response without a usable Content-Length
};

struct HeadProbeResult {
  HeadProbeStage stage = HeadProbeStage::kOpen;
  int error = 0;               // libcurl's code of the failure
  int64_t content_length = -1; // -1 when the response had none
  long status = 0;
};

// HEAD `scheme`://`host`:`port``path` on `ip` (network order).
HeadProbeResult HeadProbe(const std::string& scheme, const std::string& host, uint16_t port,
                          const std::string& path, uint32_t ip, const HeadProbeTimeouts& timeouts);

}  // namespace platform::net
