// Wide text, UTF-8 and the ANSI code page.
//
// The program's wide text is std::wstring, which holds UTF-32 on Linux: one
// wchar_t per code point, so no surrogate pairs are ever produced here. Text
// arriving from a UTF-16 source may still carry surrogate pairs; the encoder
// joins a high/low pair into one code point and turns a lone surrogate into
// "?".
//
// The "ANSI code page" is the charset of the locale chosen at start-up with
// InitLocale() (UTF-8 under a UTF-8 locale); characters it cannot hold
// become "?".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Decodes UTF-8. A byte below 0x80 is a character; otherwise the lead byte
// gives the number of continuation bytes (110: one, 1110: two, 11110: three;
// 11111 and a stray continuation byte are invalid); every following byte
// with the top bit set counts as a continuation, up to that number. A sequence that ends
// early or an invalid lead byte gives "?" and the byte that ended it starts
// the next character. A zero byte ends the conversion, and so does a
// sequence that would run past `count`. With `out` null only counts.
// Returns the number of wide characters.
size_t DecodeUtf8(const char* bytes, size_t count, wchar_t* out);

// Encodes wide text as UTF-8 in the shortest form. With `out` null returns
// the bytes needed; otherwise writes at most `capacity` bytes, never a
// partial character, and returns the bytes written (no terminator).
size_t EncodeUtf8(const wchar_t* text, size_t count, char* out, size_t capacity);

std::wstring Utf8ToWideString(std::string_view utf8);
std::string WideToUtf8String(std::wstring_view wide);

// Sets the process locale from the environment (setlocale(LC_ALL, "")).
// Called once at start; the converters below use that locale's charset.
void InitLocale();

// Wide text to the locale charset; unmappable characters become "?".
std::string WideToAnsi(std::wstring_view wide);
// Locale charset to wide text; undecodable bytes become "?".
std::wstring AnsiToWide(std::string_view ansi);

}  // namespace platform
