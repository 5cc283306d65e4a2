#include "platform/text/text.h"

#include <gtest/gtest.h>

#include <clocale>

namespace {

TEST(Utf8Decode, Cases) {
  struct Case {
    std::string in;
    std::wstring out;
  } cases[] = {
      {"plain", L"plain"},
      {"\xC3\xA9t\xC3\xA9", L"\u00E9t\u00E9"},
      {"\xE2\x82\xAC", L"\u20AC"},
      {"\xF0\x9F\x98\x80", std::wstring(1, static_cast<wchar_t>(0x1F600))},  // one unit, no surrogates
      {"a\xC3(b", L"a?(b"},            // ended early: the ending byte is read again
      {"\xE2\x82X", L"?X"},
      {"\xFF" "a", L"?a"},             // invalid lead byte
      {"\x80" "a", L"?a"},             // stray continuation byte
      {std::string("ab\0cd", 5), L"ab"},  // zero byte ends the conversion
      {"ab\xE2\x82", L"ab"},           // runs past the end: conversion ends
      {"\xEF\xBB\xBFx", L"\uFEFFx"},   // byte-order mark is kept
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(platform::DecodeUtf8(c.in.data(), c.in.size(), nullptr), c.out.size());
    EXPECT_EQ(platform::Utf8ToWideString(c.in), c.out);
  }
}

TEST(Utf8Encode, ShortestFormsSurrogatesAndCapacity) {
  std::wstring text = L"A\u00E9\u20AC";
  text.push_back(static_cast<wchar_t>(0x1F600));
  EXPECT_EQ(platform::WideToUtf8String(text), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  // A UTF-16 pair that came from outside joins into one character; a lone one is "?".
  std::wstring pair = {static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00), static_cast<wchar_t>(0xD800)};
  EXPECT_EQ(platform::WideToUtf8String(pair), "\xF0\x9F\x98\x80?");
  // Never a partial character when the room runs out.
  char buf[4];
  EXPECT_EQ(platform::EncodeUtf8(L"a\u20AC", 2, buf, 3), 1u);
  EXPECT_EQ(platform::EncodeUtf8(L"a\u20AC", 2, buf, 4), 4u);
  EXPECT_EQ(platform::EncodeUtf8(L"a\u20AC", 2, nullptr, 0), 4u);
}

TEST(Ansi, Utf8LocaleRoundTripsAndCLocaleReplaces) {
  ASSERT_NE(setlocale(LC_ALL, "C.UTF-8"), nullptr);
  EXPECT_EQ(platform::WideToAnsi(L"caf\u00E9"), "caf\xC3\xA9");
  EXPECT_EQ(platform::AnsiToWide("caf\xC3\xA9"), L"caf\u00E9");
  ASSERT_NE(setlocale(LC_ALL, "C"), nullptr);
  EXPECT_EQ(platform::WideToAnsi(L"caf\u00E9!"), "caf?!");
  EXPECT_EQ(platform::AnsiToWide("ab\xE9" "c"), L"ab?c");
  setlocale(LC_ALL, "C.UTF-8");
}

}  // namespace
