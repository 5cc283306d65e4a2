#include "download/simple_http.h"

#include <cstring>
#include <vector>

#include "app/simple_log.h"
#include "download/http_text.h"
#include "platform/text/text.h"

namespace {
const wchar_t kUserAgent[] = L"Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 6.1; Trident/4.0)";
}  // namespace

int CSimpleHttp::ParseUrl(const std::wstring& raw) {
  if (raw.empty()) return 0;
  std::wstring own = TrimBlanks(raw);
  for (wchar_t& c : own) {
    if (c == L'\\') c = L'/';
  }
  std::wstring work = LowerAscii(own);
  host.clear();
  path.clear();
  port = 0;
  if (work.find(L"://") == std::wstring::npos) {
    own = L"http://" + own;
    work = L"http://" + work;
  }
  size_t sep = work.find(L"://");
  std::wstring scheme = work.substr(0, sep);
  own.erase(0, sep + 3);
  work.erase(0, sep + 3);
  size_t slash = work.find(L'/');
  if (slash == std::wstring::npos) return 0;
  path = own.substr(slash);
  ReplaceAll(path, L" ", L"%20");
  ReplaceAll(path, L"+", L"%2B");
  std::wstring authority = work.substr(0, slash);
  size_t colon = authority.find(L':');
  if (colon == std::wstring::npos) {
    host = authority;
    port = 80;
  } else {
    host = authority.substr(0, colon);
    // A port must be 1 to 5 digits naming 1..65535: anything else would
    // connect to some other port than the URL means.
    std::wstring digits = authority.substr(colon + 1);
    long value = 0;
    bool ok = !digits.empty() && digits.size() <= 5;
    for (wchar_t c : digits) {
      ok = ok && c >= L'0' && c <= L'9';
      if (ok) value = value * 10 + (c - L'0');
    }
    if (!ok || value < 1 || value > 65535) return 0;
    port = static_cast<uint16_t>(value);
  }
  return scheme == L"http" && !host.empty() ? 1 : 0;
}

std::wstring CSimpleHttp::BuildRequest(const std::wstring& method, const std::wstring& body) {
  bool post = method == L"post";
  std::wstring r;
  r += post ? L"POST " : (method == L"get" ? L"GET " : L"");
  r += path + L" HTTP/1.1\r\n";
  r += L"Accept: */*\r\n";
  if (referer.empty()) referer = UrlFolder(url);
  r += L"Referer: " + referer + L"\r\n";
  r += std::wstring(L"User-Agent: ") + kUserAgent + L"\r\n";
  r += L"Host: " + host;
  if (port != 80) r += L":" + std::to_wstring(port);
  r += L"\r\n";
  if (post) {
    r += L"Content-Type: text/xml\r\n";
    r += L"Content-Length: " + std::to_wstring(platform::WideToAnsi(body).size()) + L"\r\n";
  }
  r += L"Connection: Close\r\n";
  r += L"\r\n";
  if (post) r += body;
  return r;
}

int CSimpleHttp::Execute(const std::wstring& request, std::wstring* response, char* body, int* size) {
  if (!Connect(host.c_str(), port)) return 0;
  if (!SendText(request.c_str())) {
    QLOG("[ERROR] %d - http request send failed!");
    Close();
    return 0;
  }
  std::vector<char> buffer(kResponseBufferSize, 0);
  int received = 0;
  while (received < kResponseBufferSize) {
    int n = Receive(buffer.data() + received, kResponseBufferSize - received);
    if (n == 0) break;
    if (n < 0) {
      QLOG("[INFO] %d - http request receive failed!");
      Close();
      return 0;
    }
    received += n;
  }
  Close();
  std::string_view bytes(buffer.data(), static_cast<size_t>(received));
  size_t blank = bytes.find("\r\n\r\n");
  if (blank == std::string_view::npos) {
    if (received >= kResponseBufferSize) {
      QLOG("[ERROR] %d - http response headers exceed %d bytes.", kResponseBufferSize);
    } else {
      QLOG("[ERROR] %d - http response without end of headers, size=[%d].", received);
    }
    return 0;
  }
  if (bytes.substr(0, blank).find('\0') != std::string_view::npos) {
    QLOG("[ERROR] %d - http response headers hold a NUL byte.");
    return 0;
  }
  if (received >= kResponseBufferSize) {
    QLOG("[WARN] %d - http response larger than %d bytes, the rest is ignored.", kResponseBufferSize);
  }
  if (response) *response = platform::AnsiToWide(bytes);
  if (body && size && *size > 0) {
    size_t start = blank + 4;
    size_t count = std::min(static_cast<size_t>(*size), bytes.size() - start);
    std::memcpy(body, bytes.data() + start, count);
    *size = static_cast<int>(count);
  }
  return 1;
}

int CSimpleHttp::ParseResponse(const std::wstring& response, bool* redirect) {
  if (redirect) *redirect = false;
  size_t line_end = response.find(L"\r\n");
  std::wstring status_line = response.substr(0, line_end);
  int code = ParseStatusCode(status_line);
  if (code == 0) {
    QLOG("[ERROR] %d - http response, bad status line.");
    return 0;
  }
  if (code >= 200 && code <= 299) return 1;
  if (code < 300 || code > 399) return 0;
  if (redirect) *redirect = true;
  LocationKind kind;
  std::wstring next = ResolveLocation(url, HeaderValue(response, L"location:"), &kind);
  if (next.empty()) {
    QLOG("[ERROR] %d - http response, redirect without location, code=[%d].", code);
    return 0;
  }
  referer = UrlFolder(url);
  if (kind == LocationKind::HostRelative) {
    // Host and port stay; the path is replaced as it stands.
    path = next.substr(UrlAuthorityEnd(url));
    url = next;
    return 1;
  }
  if (!ParseUrl(next)) return 0;
  url = next;
  return 1;
}

int CSimpleHttp::PostXml(const std::wstring& target, const std::wstring& body) {
  std::wstring decoded = UrlDecode(target);
  if (decoded.size() > kMaxDecodedUrl) {
    QLOG("[ERROR] %d - http post, url too long, length=[%d].", static_cast<int>(decoded.size()));
    return -1;
  }
  url = target;
  if (!ParseUrl(decoded)) return -1;
  for (int redirects = 0;; ++redirects) {
    if (redirects > kMaxRedirects) {
      QLOG("[ERROR] %d - http post, more than %d redirects.", kMaxRedirects);
      return -1;
    }
    std::wstring request = BuildRequest(L"post", body);
    std::wstring response;
    std::vector<char> answer(kBodyBufferSize);
    int size = kBodyBufferSize;
    if (!Execute(request, &response, answer.data(), &size)) return -1;
    bool redirect = false;
    if (!ParseResponse(response, &redirect)) return -1;
    if (!redirect) return 0;
  }
}
