// libFuzzer target: the URL, response and status-line parsers of the small
// HTTP client must never crash or read out of bounds on any input.
// The first byte picks the parser; the rest is the text, one character per
// byte (so NUL and high bytes reach the parsers as they would from a socket).
#include <cstddef>
#include <cstdint>
#include <string>

#include "download/address_registry.h"
#include "download/http_text.h"
#include "download/simple_http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::wstring text;
  text.reserve(size - 1);
  for (size_t i = 1; i < size; ++i) text.push_back(static_cast<wchar_t>(data[i]));
  switch (data[0] % 4) {
    case 0: {
      CSimpleHttp http;
      http.url = text;
      if (http.ParseUrl(UrlDecode(text))) http.BuildRequest(L"post", text);
      std::wstring scheme, host, path;
      uint16_t port = 0;
      CrackUrl(text, &scheme, &host, &port, &path);
      break;
    }
    case 1: {
      CSimpleHttp http;
      http.url = L"http://h:81/a/b/c.xml";
      http.ParseUrl(http.url);
      bool redirect = false;
      if (http.ParseResponse(text, &redirect) && redirect) http.BuildRequest(L"get", L"");
      break;
    }
    case 2:
      ParseStatusCode(text);
      break;
    default:
      HeaderValue(text, L"location:");
      UrlFolder(text);
      break;
  }
  return 0;
}
