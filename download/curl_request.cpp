#include "download/curl_request.h"

#include <chrono>
#include <curl/curl.h>
#include <thread>

#include "app/simple_log.h"
#include "download/http_text.h"
#include "platform/net/head_probe.h"
#include "platform/text/text.h"

namespace {
size_t Append(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}
}  // namespace

std::string CurlRequest(const std::wstring& url, bool head_only, const std::vector<std::string>& headers,
                        bool force_http10, bool capture_headers, const CurlLimits& limits) {
  platform::net::CurlGlobalInit();
  CURL* h = curl_easy_init();
  if (!h) {
    QLOG("[ERROR] %d - curl request, curl init failed!");
    return std::string();
  }
  std::string body;
  std::string header_text;
  curl_slist* list = nullptr;
  for (const std::string& line : headers) {
    curl_slist* next = curl_slist_append(list, line.c_str());
    if (next) list = next;
  }
  // Peers are always verified, for "https://" in any spelling.
  platform::net::ApplyTrustStore(h);
  if (list) curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);
  if (force_http10) curl_easy_setopt(h, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
  if (capture_headers) {
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Append);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &header_text);
  }
  if (head_only) curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  std::string narrow_url = platform::WideToAnsi(url);
  curl_easy_setopt(h, CURLOPT_URL, narrow_url.c_str());
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Append);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(h, CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V4);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, limits.connect_timeout_ms);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, limits.transfer_timeout_ms);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);

  for (int attempt = 1; attempt <= limits.attempts; ++attempt) {
    CURLcode rc = curl_easy_perform(h);
    long code = 0;
    if (rc != CURLE_OK) {
      QLOG("[ERROR] %d - curl request, curl easy perform failed, code=[%d].", static_cast<int>(rc));
    } else {
      CURLcode info = curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
      if (info != CURLE_OK) {
        QLOG("[ERROR] %d - curl request, curl easy getinfo failed, code=[%d].", static_cast<int>(info));
        code = 0;
      }
    }
    if (code != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(limits.retry_pause_ms));
    QLOG("[WARN] %d - curl easy perform nHttpCode=[%d], retry=[%d].", static_cast<int>(code), attempt);
  }
  curl_slist_free_all(list);
  curl_easy_cleanup(h);

  std::string result;
  result.reserve(body.size() + header_text.size());
  for (size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') {
      ++i;
      continue;
    }
    result.push_back(body[i]);
  }
  result += header_text;
  return result;
}

int64_t GetRemoteFileSize(const std::wstring& url, const std::wstring& host_header, const CurlLimits& limits) {
  std::vector<std::string> headers = {"connection: close", "Cache-Control: no-cache", "Pragma: no-cache"};
  if (!host_header.empty()) headers.push_back("Host:" + platform::WideToAnsi(host_header));
  std::string text = CurlRequest(url, true, headers, false, true, limits);
  // A redirect chain captures the headers of every hop: only the last
  // response describes the file, and only a 2xx one.
  size_t last = std::string::npos;
  for (size_t p = text.find("HTTP/"); p != std::string::npos; p = text.find("HTTP/", p + 1)) {
    if (p == 0 || text[p - 1] == '\n') last = p;
  }
  if (last == std::string::npos) return 0;
  std::string response = text.substr(last);
  size_t line_end = response.find("\r\n");
  int code = ParseStatusCode(platform::AnsiToWide(response.substr(0, line_end)));
  if (code < 200 || code > 299) return 0;
  size_t at = response.find("Content-Length:");
  if (at == std::string::npos) return 0;
  size_t end = response.find("\r\n", at + 15);
  if (end == std::string::npos) return 0;
  std::string digits;
  for (size_t i = at + 15; i < end; ++i) {
    if (response[i] != ' ') digits.push_back(response[i]);
  }
  // A 64-bit decimal number; anything else gives 0.
  if (digits.empty() || digits.size() > 18) return 0;
  int64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}
