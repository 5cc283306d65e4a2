#include "download/http_text.h"

#include <cwctype>

namespace {
bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f'; }
int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}
}  // namespace

std::wstring UrlDecode(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    wchar_t c = text[i];
    if (c == L'%' && i + 1 < text.size() && HexValue(text[i + 1]) >= 0) {
      int value = HexValue(text[i + 1]);
      if (i + 2 < text.size() && HexValue(text[i + 2]) >= 0) value = value * 16 + HexValue(text[i + 2]);
      out.push_back(static_cast<wchar_t>(value));
      i += 2;  // both characters are consumed, hex or not
      continue;
    }
    out.push_back(c);
  }
  return out;
}

std::wstring TrimBlanks(const std::wstring& text) {
  size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  return text.substr(b, e - b);
}

std::wstring LowerAscii(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return text;
}

int ParseStatusCode(const std::wstring& text) {
  std::wstring low = LowerAscii(text);
  size_t blank = low.find(L' ');
  if (blank == std::wstring::npos) return 0;
  std::wstring rest = TrimBlanks(low.substr(blank + 1));
  size_t next = rest.find(L' ');
  if (next != std::wstring::npos) rest.resize(next);
  // Leading decimal digits, like the C library's conversion; a number that
  // cannot be a status code gives 0.
  size_t i = 0;
  while (i < rest.size() && IsBlank(rest[i])) ++i;
  bool negative = false;
  if (i < rest.size() && (rest[i] == L'+' || rest[i] == L'-')) negative = rest[i++] == L'-';
  long value = 0;
  size_t digits = 0;
  for (; i < rest.size() && rest[i] >= L'0' && rest[i] <= L'9'; ++i, ++digits) {
    if (digits >= 6) return 0;
    value = value * 10 + (rest[i] - L'0');
  }
  return static_cast<int>(negative ? -value : value);
}

void ReplaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to) {
  if (from.empty()) return;
  size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::wstring::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
}

std::wstring UrlFolder(const std::wstring& url) {
  std::wstring u = url.substr(0, url.find(L'?'));
  size_t slash = u.rfind(L'/');
  if (slash == std::wstring::npos) return std::wstring();
  return u.substr(0, slash);
}

std::wstring HeaderValue(const std::wstring& response, const std::wstring& name) {
  std::wstring low = LowerAscii(response);
  size_t at = low.find(name);
  if (at == std::wstring::npos) return std::wstring();
  size_t start = at + name.size();
  size_t end = response.find(L"\r\n", start);
  if (end == std::wstring::npos) return std::wstring();
  return TrimBlanks(response.substr(start, end - start));
}

size_t UrlAuthorityEnd(const std::wstring& url) {
  size_t scheme = url.find(L"://");
  size_t from = scheme == std::wstring::npos ? 0 : scheme + 3;
  size_t slash = url.find(L'/', from);
  return slash == std::wstring::npos ? url.size() : slash;
}

std::wstring ResolveLocation(const std::wstring& url, std::wstring location, LocationKind* kind) {
  LocationKind ignored;
  if (!kind) kind = &ignored;
  ReplaceAll(location, L"%3A", L":");
  ReplaceAll(location, L"%2F", L"/");
  *kind = LocationKind::Absolute;
  if (location.empty()) return location;
  if (location.find(L"://") != std::wstring::npos) return location;
  for (wchar_t& c : location) {
    if (c == L'\\') c = L'/';
  }
  *kind = LocationKind::HostRelative;
  if (location[0] == L'/') return url.substr(0, UrlAuthorityEnd(url)) + location;
  *kind = LocationKind::Relative;
  int ups = 0;
  for (size_t at; (at = location.find(L"../")) != std::wstring::npos; ++ups) location.erase(0, at + 3);
  // The url loses its last segment once more than the "../" count, but
  // never its scheme and host: climbing above the root stays at the root.
  std::wstring base = url;
  size_t floor = UrlAuthorityEnd(base);
  for (int i = 0; i <= ups; ++i) {
    size_t slash = base.rfind(L'/');
    if (slash == std::wstring::npos || slash < floor) break;
    base.resize(slash);
  }
  if (location.rfind(L"./", 0) == 0) location.erase(0, 2);
  return base + L"/" + location;
}
