#include "download/address_registry.h"

#include <set>
#include <vector>

#include "app/simple_log.h"
#include "download/http_text.h"
#include "platform/net/net.h"
#include "platform/text/text.h"

namespace net = platform::net;

namespace {
constexpr size_t kCrackBuffer = 512;  // the URL parts must fit the cracking buffers

// Walks the groups in ascending size; the first group with more addresses
// than every group before it leads. Returns the leading size (0: none).
template <typename LogLeader>
uint32_t ChooseLeader(const std::map<uint32_t, std::vector<uint32_t>>& groups, LogLeader log_leader) {
  uint32_t best = 0;
  size_t best_count = 0;
  for (const auto& [size, ips] : groups) {
    if (ips.size() > best_count) {
      best = size;
      best_count = ips.size();
      log_leader(size, static_cast<int>(ips.size()));
    }
  }
  return best;
}
}  // namespace

bool CrackUrl(const std::wstring& url, std::wstring* scheme, std::wstring* host, uint16_t* port,
              std::wstring* path) {
  size_t sep = url.find(L"://");
  if (sep == std::wstring::npos || sep == 0) return false;
  std::wstring s = LowerAscii(url.substr(0, sep));
  size_t start = sep + 3;
  size_t end = url.find_first_of(L"/?#", start);
  if (end == std::wstring::npos) end = url.size();
  std::wstring authority = url.substr(start, end - start);
  size_t colon = authority.rfind(L':');
  uint16_t p = s == L"https" ? 443 : 80;
  std::wstring h = authority;
  if (colon != std::wstring::npos) {
    h = authority.substr(0, colon);
    std::wstring digits = authority.substr(colon + 1);
    long value = 0;
    if (digits.empty() || digits.size() > 5) return false;
    for (wchar_t c : digits) {
      if (c < L'0' || c > L'9') return false;
      value = value * 10 + (c - L'0');
    }
    if (value < 1 || value > 65535) return false;
    p = static_cast<uint16_t>(value);
  }
  std::wstring rest = url.substr(end);
  std::wstring pa = rest.substr(0, rest.find_first_of(L"?#"));
  if (pa.empty()) pa = L"/";
  if (h.size() >= kCrackBuffer || pa.size() >= kCrackBuffer || s.size() >= kCrackBuffer) return false;
  *scheme = s;
  *host = LowerAscii(h);
  *port = p;
  *path = pa;
  return true;
}

CAddressRegistry& CAddressRegistry::Get() {
  static CAddressRegistry* registry = new CAddressRegistry;  // lives to the end of the process
  return *registry;
}

int CAddressRegistry::QueryHostLocked(const std::wstring& host) {
  std::string name = platform::WideToAnsi(host);
  std::vector<uint32_t> ips = net::ResolveIPv4(name);
  std::map<uint32_t, int>& table = hosts_[host];
  table.clear();
  for (uint32_t ip : ips) table[ip] = 0;
  QLOG("[INFO] %d - query host=[%s], ip count=[%d]", name.c_str(), static_cast<int>(table.size()));
  return table.empty() ? 0 : 1;
}

int CAddressRegistry::QueryHost(const std::wstring& host) {
  std::lock_guard<std::mutex> guard(lock_);
  return QueryHostLocked(host);
}

int CAddressRegistry::RegisterHost(const wchar_t* url) {
  if (!url) {
    QLOG("[ERROR] %d - init host url is empty.");
    return 0;
  }
  std::wstring scheme, host, path;
  uint16_t port = 0;
  if (!CrackUrl(url, &scheme, &host, &port, &path)) host.clear();
  if (host.empty()) {
    QLOG("[ERROR] %d - init host name is empty.");
    return 0;
  }
  std::lock_guard<std::mutex> guard(lock_);
  auto it = hosts_.find(host);
  if (it != hosts_.end() && !it->second.empty()) return 1;
  if (!QueryHostLocked(host)) {
    QLOG("[ERROR] %d - query host failed!");
    return 0;
  }
  std::map<uint32_t, int>& table = hosts_[host];
  uint16_t default_port = scheme == L"https" ? 443 : 80;
  std::map<uint32_t, std::vector<uint32_t>> groups;
  for (const auto& [ip, uses] : table) {
    std::string dotted = net::IpToText(ip);
    QLOG("[INFO] %d - host ip=[%s]", dotted.c_str());
    // The probe keeps the URL's port: an address is asked on the port the
    // download will use.
    std::wstring probe = scheme + L"://" + platform::AnsiToWide(dotted);
    if (port != default_port) probe += L":" + std::to_wstring(port);
    probe += path;
    int64_t size = GetRemoteFileSize(probe, host, probe_limits_);
    if (size != 0) groups[static_cast<uint32_t>(size)].push_back(ip);
  }
  uint32_t winner = ChooseLeader(groups, [](uint32_t size, int count) {
    QLOG("[INFO] %d - ulfs_max=[%ld], count=[%d]", static_cast<long>(size), count);
  });
  if (!groups.empty()) {
    const std::vector<uint32_t>& keep = groups[winner];
    for (auto t = table.begin(); t != table.end();) {
      bool kept = false;
      for (uint32_t k : keep) kept = kept || k == t->first;
      if (kept) {
        ++t;
      } else {
        QLOG("[WARN] %d - remove host ip=[%s]", net::IpToText(t->first).c_str());
        t = table.erase(t);
      }
    }
  }
  QLOG("[INFO] %d - init host, vaild ip count=[%d]", static_cast<int>(table.size()));
  return table.empty() ? 0 : 1;
}

uint32_t CAddressRegistry::PickAddress(const std::wstring& host) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = hosts_.find(host);
  if (it == hosts_.end() || it->second.empty()) return 0;
  auto best = it->second.end();
  for (auto t = it->second.begin(); t != it->second.end(); ++t) {
    if (t->second == 0) {
      best = t;
      break;
    }
    if (best == it->second.end() || t->second < best->second) best = t;
  }
  ++best->second;
  return best->first;
}

void CAddressRegistry::ReleaseAddress(uint32_t ip, const std::wstring& host) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = hosts_.find(host);
  if (it == hosts_.end()) return;
  auto t = it->second.find(ip);
  if (t == it->second.end()) return;
  if (t->second > 0) --t->second;
}

std::map<uint32_t, int> CAddressRegistry::Addresses(const std::wstring& host) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = hosts_.find(host);
  return it == hosts_.end() ? std::map<uint32_t, int>() : it->second;
}

void CAddressRegistry::SetProbeLimits(const CurlLimits& limits) {
  std::lock_guard<std::mutex> guard(lock_);
  probe_limits_ = limits;
}

void CAddressRegistry::ResetForTesting() {
  std::lock_guard<std::mutex> guard(lock_);
  hosts_.clear();
  probe_limits_ = CurlLimits();
}

int RegisterHost(const wchar_t* url) { return CAddressRegistry::Get().RegisterHost(url); }
int QueryHost(const std::wstring& host) { return CAddressRegistry::Get().QueryHost(host); }
uint32_t PickAddress(const std::wstring& host) { return CAddressRegistry::Get().PickAddress(host); }
void ReleaseAddress(uint32_t ip, const std::wstring& host) { CAddressRegistry::Get().ReleaseAddress(ip, host); }

uint32_t GetCdnFileSize(const wchar_t* url, const net::HeadProbeTimeouts& timeouts) {
  if (!url) {
    QLOG("[ERROR] %d - get cdn file size, url is empty.");
    return 0;
  }
  std::wstring scheme, host, path;
  uint16_t port = 0;
  if (!CrackUrl(url, &scheme, &host, &port, &path)) return 0;
  std::string name = platform::WideToAnsi(host);
  std::vector<uint32_t> resolved = net::ResolveIPv4(name);
  std::set<uint32_t> ips(resolved.begin(), resolved.end());
  std::map<uint32_t, std::vector<uint32_t>> groups;
  std::string narrow_path = platform::WideToAnsi(path);
  std::string narrow_scheme = platform::WideToAnsi(scheme);
  for (uint32_t ip : ips) {
    std::string dotted = net::IpToText(ip);
    const char* d = dotted.c_str();
    QLOG("[INFO] %d - get cdn file size, host ip=[%s]", d);
    net::HeadProbeResult r = net::HeadProbe(narrow_scheme, name, port, narrow_path, ip, timeouts);
    // The length of an error page is not the file's size.
    if (r.stage == net::HeadProbeStage::kOk && (r.status < 200 || r.status > 299)) {
      r.stage = net::HeadProbeStage::kQuery;
    }
    switch (r.stage) {
      case net::HeadProbeStage::kOk:
        groups[static_cast<uint32_t>(r.content_length)].push_back(ip);
        break;
      case net::HeadProbeStage::kOpen:
        QLOG("[ERROR] %d - get cdn file size, win http open failed! err=[%d].", r.error);
        break;
      case net::HeadProbeStage::kConnect:
        QLOG("[ERROR] %d - get cdn file size, win http connect failed! ip=[%s], err=[%d].", d, r.error);
        break;
      case net::HeadProbeStage::kOpenRequest:
        QLOG("[ERROR] %d - get cdn file size, win http open request failed! ip=[%s], err=[%d].", d, r.error);
        break;
      case net::HeadProbeStage::kAddHeaders:
        QLOG("[ERROR] %d - get cdn file size, win http add request headers failed! ip=[%s], err=[%d].", d,
             r.error);
        break;
      case net::HeadProbeStage::kSend:
        QLOG("[ERROR] %d - get cdn file size, win http send request failed! ip=[%s], err=[%d].", d, r.error);
        break;
      case net::HeadProbeStage::kReceive:
        QLOG("[ERROR] %d - get cdn file size, win http receive response failed! ip=[%s], err=[%d].", d, r.error);
        break;
      case net::HeadProbeStage::kQuery:
        QLOG("[ERROR] %d - get cdn file size, win http query headers failed! ip=[%s], size=[%d], index=[%d], "
             "err=[%d].",
             d, static_cast<int>(r.content_length < 0 ? 0 : r.content_length), 0, static_cast<int>(r.status));
        break;
    }
  }
  QLOG("[INFO] %d - get cdn file size, content size count=[%d]", static_cast<int>(groups.size()));
  return ChooseLeader(groups, [](uint32_t size, int count) {
    QLOG("[INFO] %d - get cdn file size, ulfs_max=[%ld], count=[%d]", static_cast<long>(size), count);
  });
}
