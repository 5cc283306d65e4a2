#include "platform/net/head_probe.h"

#include <cstdlib>
#include <curl/curl.h>
#include <mutex>

#include "platform/net/net.h"

namespace platform::net {

void CurlGlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void ApplyTrustStore(CURL* handle) {
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  const char* file = std::getenv("SSL_CERT_FILE");
  const char* dir = std::getenv("SSL_CERT_DIR");
  if (file && *file) curl_easy_setopt(handle, CURLOPT_CAINFO, file);
  if (dir && *dir) {
    curl_easy_setopt(handle, CURLOPT_CAPATH, dir);
    if (!(file && *file)) curl_easy_setopt(handle, CURLOPT_CAINFO, nullptr);
  }
}

namespace {
size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }
}  // namespace

HeadProbeResult HeadProbe(const std::string& scheme, const std::string& host, uint16_t port,
                          const std::string& path, uint32_t ip, const HeadProbeTimeouts& timeouts) {
  HeadProbeResult result;
  CurlGlobalInit();
  CURL* h = curl_easy_init();
  if (!h) {
    result.stage = HeadProbeStage::kOpen;
    return result;
  }
  std::string url = scheme + "://" + host + ":" + std::to_string(port) + path;
  std::string pin = host + ":" + std::to_string(port) + ":" + IpToText(ip);
  curl_slist* resolve = curl_slist_append(nullptr, pin.c_str());
  curl_slist* headers = curl_slist_append(nullptr, "Pragma: no-cache");
  if (!resolve || !headers) {
    result.stage = HeadProbeStage::kAddHeaders;
  } else if (curl_easy_setopt(h, CURLOPT_URL, url.c_str()) != CURLE_OK) {
    result.stage = HeadProbeStage::kOpenRequest;
  } else {
    curl_easy_setopt(h, CURLOPT_RESOLVE, resolve);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(h, CURLOPT_PROXY, "");  // direct access
    curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(h, CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V4);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Discard);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeouts.resolve_ms + timeouts.connect_ms);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS,
                     timeouts.resolve_ms + timeouts.connect_ms + timeouts.send_ms + timeouts.receive_ms);
    ApplyTrustStore(h);
    CURLcode rc = curl_easy_perform(h);
    result.error = static_cast<int>(rc);
    curl_off_t connect_time = 0;
    curl_easy_getinfo(h, CURLINFO_CONNECT_TIME_T, &connect_time);
    if (rc != CURLE_OK) {
      switch (rc) {
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
          result.stage = HeadProbeStage::kOpenRequest;
          break;
        case CURLE_SEND_ERROR:
          result.stage = HeadProbeStage::kSend;
          break;
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
          result.stage = HeadProbeStage::kConnect;
          break;
        default:
          result.stage = connect_time > 0 ? HeadProbeStage::kReceive : HeadProbeStage::kConnect;
          break;
      }
    } else {
      curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.status);
      curl_off_t length = -1;
      curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
      result.content_length = length;
      result.stage = length > 0 ? HeadProbeStage::kOk : HeadProbeStage::kQuery;
    }
  }
  curl_slist_free_all(resolve);
  curl_slist_free_all(headers);
  curl_easy_cleanup(h);
  return result;
}

}  // namespace platform::net
