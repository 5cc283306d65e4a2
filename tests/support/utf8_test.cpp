#include "support/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace support {
namespace {

// Count, allocate count + 1, convert, and build a string of count units.
std::wstring Decode(const std::string& bytes) {
  size_t n = Utf8ToWide(nullptr, bytes.data(), bytes.size());
  std::vector<wchar_t> buf(n + 2, L'#');
  EXPECT_EQ(Utf8ToWide(buf.data(), bytes.data(), bytes.size()), n);
  EXPECT_EQ(buf[n], L'\0');
  EXPECT_EQ(buf[n + 1], L'#');  // nothing past the terminator
  return std::wstring(buf.data(), n);
}

TEST(Utf8ToWide, DecodingRules) {
  struct Case {
    std::string bytes;
    std::wstring wide;
  };
  const Case cases[] = {
      {"A", L"A"},
      {"\xC3\xA9", L"\u00e9"},
      {"\xE2\x82\xAC", L"\u20ac"},
      {"\xF0\x9F\x98\x80", L"\U0001F600"},  // one unit: wide text is UTF-32 here
      {"\xEF\xBB\xBF<", L"\uFEFF<"},        // a byte-order mark is just a character
      {"\xC3" "A", L"?A"},                   // ended early: the ending byte is read again
      {"\xE2\x82" "A", L"?A"},
      {"\xF8" "A", L"?A"},  // lead byte 11111xxx
      {"\xFF\xFE", L"??"},
      {"\x80" "A", L"?A"},  // continuation byte without a lead byte
      {std::string("A\0B", 3), L"A"},            // a zero byte ends the conversion
      {std::string("\xC3\0B", 3), L"?"},         // also inside a sequence
      {"A\xE2\x82", L"A"},                       // would run past the byte count
      {"\xF7\xBF\xBF\xBF", L"?"},                // beyond U+10FFFF
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(Decode(c.bytes), c.wide);
  }
}

TEST(Utf8ToWide, StopsAtTheGivenCount) {
  const char bytes[] = "abc\xC3\xA9xyz";
  EXPECT_EQ(Utf8ToWide(nullptr, bytes, 5), 4u);
  EXPECT_EQ(Utf8ToWide(nullptr, bytes, 4), 3u);  // the split sequence ends it
  EXPECT_EQ(Utf8ToWide(nullptr, bytes, 0), 0u);
  wchar_t out[1] = {L'#'};
  EXPECT_EQ(Utf8ToWide(out, nullptr, 10), 0u);
  EXPECT_EQ(out[0], L'\0');
}

// Continuation bytes are taken as "every following byte with the top bit
// set", so a lead byte in continuation position is swallowed into the
// sequence.
TEST(Utf8ToWide, AnyHighByteContinuesASequence) {
  EXPECT_EQ(Decode("\xE2\xC3\xA9"), std::wstring(1, wchar_t{0x20E9}));
}

TEST(WideToUtf8, CountsAndConverts) {
  EXPECT_EQ(WideToUtf8(L"a\u00e9\u20ac\U0001F600", nullptr, 0), 10u);
  char out[16];
  std::fill(std::begin(out), std::end(out), '#');
  EXPECT_EQ(WideToUtf8(L"a\u00e9\u20ac\U0001F600", out, sizeof out), 10u);
  EXPECT_EQ(std::string(out), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(WideToUtf8(L"", out, sizeof out), 0u);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(WideToUtf8(nullptr, nullptr, 0), 0u);
}

TEST(WideToUtf8, StopsBeforeACharacterThatDoesNotFit) {
  struct Case {
    size_t capacity;
    size_t written;
    std::string bytes;  // what the buffer holds afterwards, up to the guard
  };
  // "a" then the euro sign (three bytes).
  const Case cases[] = {
      {0, 0, "####"},
      {1, 1, "a###"},            // no room for the terminator
      {2, 1, std::string("a\0##", 4)},
      {3, 1, std::string("a\0##", 4)},
      {4, 4, "a\xE2\x82\xAC"},   // fits exactly, no terminator
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capacity);
    char out[5] = {'#', '#', '#', '#', '#'};
    EXPECT_EQ(WideToUtf8(L"a\u20ac", out, c.capacity), c.written);
    EXPECT_EQ(std::string(out, 4), c.bytes);
    EXPECT_EQ(out[4], '#');
  }
}

TEST(WideToUtf8, SurrogatesFromUtf16Sources) {
  const wchar_t pair[] = {0xD83D, 0xDE00, 0};
  const wchar_t lone_end[] = {L'x', 0xD83D, 0};
  char out[8];
  EXPECT_EQ(WideToUtf8(pair, out, sizeof out), 4u);
  EXPECT_EQ(std::string(out), "\xF0\x9F\x98\x80");
  EXPECT_EQ(WideToUtf8(lone_end, out, sizeof out), 2u);
  EXPECT_EQ(std::string(out), "x?");
}

}  // namespace
}  // namespace support
