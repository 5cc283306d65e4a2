#include "support/utf8.h"

#include <cwchar>

#include "platform/text/text.h"

namespace support {

size_t Utf8ToWide(wchar_t* out, const char* bytes, size_t count) {
  if (!bytes) count = 0;
  size_t n = count ? platform::DecodeUtf8(bytes, count, out) : 0;
  if (out) out[n] = L'\0';
  return n;
}

size_t WideToUtf8(const wchar_t* text, char* out, size_t capacity) {
  size_t len = text ? std::wcslen(text) : 0;
  if (!out) return platform::EncodeUtf8(text, len, nullptr, 0);
  size_t n = len ? platform::EncodeUtf8(text, len, out, capacity) : 0;
  if (n < capacity) out[n] = '\0';
  return n;
}

}  // namespace support
