#include "platform/text/text.h"

#include <clocale>
#include <cerrno>
#include <iconv.h>
#include <langinfo.h>
#include <mutex>
#include <vector>

namespace platform {

size_t DecodeUtf8(const char* bytes, size_t count, wchar_t* out) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  size_t i = 0;
  size_t n = 0;
  auto put = [&](wchar_t c) {
    if (out) out[n] = c;
    ++n;
  };
  while (i < count) {
    unsigned char lead = p[i];
    if (lead == 0) break;
    if (lead < 0x80) {
      put(static_cast<wchar_t>(lead));
      ++i;
      continue;
    }
    int more;
    char32_t cp;
    if ((lead & 0xE0) == 0xC0) {
      more = 1;
      cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      more = 2;
      cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      more = 3;
      cp = lead & 0x07;
    } else {
      // A continuation byte out of place or a lead byte 11111xxx.
      put(L'?');
      ++i;
      continue;
    }
    if (i + static_cast<size_t>(more) >= count) {
      // The sequence would run past the end of the input: conversion ends.
      break;
    }
    size_t j = i + 1;
    int got = 0;
    while (got < more && (p[j] & 0x80) != 0) {
      cp = (cp << 6) | (p[j] & 0x3F);
      ++j;
      ++got;
    }
    if (got < more) {
      // Ended early: "?" and the byte that ended it is read again.
      put(L'?');
      i = j;
      continue;
    }
    put(cp > 0x10FFFF ? L'?' : static_cast<wchar_t>(cp));
    i = j;
  }
  return n;
}

namespace {
int Utf8Length(char32_t cp) {
  if (cp < 0x80) return 1;
  if (cp < 0x800) return 2;
  if (cp < 0x10000) return 3;
  return 4;
}
}  // namespace

size_t EncodeUtf8(const wchar_t* text, size_t count, char* out, size_t capacity) {
  size_t n = 0;
  for (size_t i = 0; i < count; ++i) {
    char32_t cp = static_cast<char32_t>(text[i]);
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      char32_t next = i + 1 < count ? static_cast<char32_t>(text[i + 1]) : 0;
      if (cp <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (next - 0xDC00);
        ++i;
      } else {
        cp = U'?';
      }
    } else if (cp > 0x10FFFF) {
      cp = U'?';
    }
    int len = Utf8Length(cp);
    if (out) {
      if (n + len > capacity) break;
      unsigned char* o = reinterpret_cast<unsigned char*>(out + n);
      switch (len) {
        case 1: o[0] = static_cast<unsigned char>(cp); break;
        case 2:
          o[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
          o[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
          break;
        case 3:
          o[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
          o[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
          o[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
          break;
        default:
          o[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
          o[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
          o[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
          o[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
          break;
      }
    }
    n += len;
  }
  return n;
}

std::wstring Utf8ToWideString(std::string_view utf8) {
  size_t n = DecodeUtf8(utf8.data(), utf8.size(), nullptr);
  std::wstring out(n, L'\0');
  DecodeUtf8(utf8.data(), utf8.size(), out.data());
  return out;
}

std::string WideToUtf8String(std::wstring_view wide) {
  size_t n = EncodeUtf8(wide.data(), wide.size(), nullptr, 0);
  std::string out(n, '\0');
  EncodeUtf8(wide.data(), wide.size(), out.data(), n);
  return out;
}

namespace {
std::once_flag g_locale_once;

const char* LocaleCharset() {
  const char* cs = nl_langinfo(CODESET);
  return (cs && *cs) ? cs : "ANSI_X3.4-1968";
}

// Converts through iconv; on a character the target cannot hold, writes
// `replacement` and skips `skip` input bytes.
std::string Convert(const char* to, const char* from, const char* in, size_t in_len,
                    std::string_view replacement, size_t skip) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string();
  std::string out;
  std::vector<char> buf(256);
  char* src = const_cast<char*>(in);
  size_t left = in_len;
  while (left > 0) {
    char* dst = buf.data();
    size_t room = buf.size();
    size_t r = iconv(cd, &src, &left, &dst, &room);
    out.append(buf.data(), dst - buf.data());
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL: the current character cannot be converted.
      out.append(replacement);
      size_t step = skip < left ? skip : left;
      src += step;
      left -= step;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}
}  // namespace

void InitLocale() {
  std::call_once(g_locale_once, [] { setlocale(LC_ALL, ""); });
}

std::string WideToAnsi(std::wstring_view wide) {
  return Convert(LocaleCharset(), "WCHAR_T", reinterpret_cast<const char*>(wide.data()),
                 wide.size() * sizeof(wchar_t), "?", sizeof(wchar_t));
}

std::wstring AnsiToWide(std::string_view ansi) {
  wchar_t q = L'?';
  std::string raw = Convert("WCHAR_T", LocaleCharset(), ansi.data(), ansi.size(),
                            std::string_view(reinterpret_cast<const char*>(&q), sizeof q), 1);
  return std::wstring(reinterpret_cast<const wchar_t*>(raw.data()), raw.size() / sizeof(wchar_t));
}

}  // namespace platform
