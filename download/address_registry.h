// The CDN address registry: which addresses of a host serve the file, and
// how many connections each carries.
//
// A host is probed once per process: every address is asked for the file's
// size and only the addresses that agree with the majority are kept. Segment
// workers then take the least-used kept address for each connection and give
// it back afterwards. One lock guards everything; it is held across the
// probes of RegisterHost, so a second registration of the same host waits
// and then finds it registered.
//
// Addresses are IPv4 values in network order, as name resolution delivers
// them; a host's table is ordered by that 32-bit value.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "download/curl_request.h"
#include "platform/net/head_probe.h"

class CAddressRegistry {
 public:
  static CAddressRegistry& Get();

  // 1 when the URL's host has at least one address after probing, else 0.
  int RegisterHost(const wchar_t* url);
  // Replaces the host's table with its resolved addresses (use counts 0).
  int QueryHost(const std::wstring& host);
  // The least-used address (its use count raised), or 0.
  uint32_t PickAddress(const std::wstring& host);
  void ReleaseAddress(uint32_t ip, const std::wstring& host);

  // The host's table (address -> use count); empty when not registered.
  std::map<uint32_t, int> Addresses(const std::wstring& host);
  // The limits of the size probes RegisterHost makes (tests may widen them).
  void SetProbeLimits(const CurlLimits& limits);
  void ResetForTesting();

 private:
  CAddressRegistry() = default;
  int QueryHostLocked(const std::wstring& host);

  std::mutex lock_;
  std::map<std::wstring, std::map<uint32_t, int>> hosts_;
  CurlLimits probe_limits_;
};

int RegisterHost(const wchar_t* url);
int QueryHost(const std::wstring& host);
uint32_t PickAddress(const std::wstring& host);
void ReleaseAddress(uint32_t ip, const std::wstring& host);

// The size most of the host's addresses report for the URL (a HEAD request
// pinned to each address), its low 32 bits; 0 when no address answered.
uint32_t GetCdnFileSize(const wchar_t* url,
                        const platform::net::HeadProbeTimeouts& timeouts = platform::net::HeadProbeTimeouts());

// Parts of an absolute URL: scheme and host in lower case, the port (the
// scheme's default when none is named: 80, or 443 for https) and the path
// without query ("/" when empty). False when there is no "scheme://host".
bool CrackUrl(const std::wstring& url, std::wstring* scheme, std::wstring* host, uint16_t* port,
              std::wstring* path);
