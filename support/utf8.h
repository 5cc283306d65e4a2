// UTF-8 <-> wide text with a count-then-convert buffer interface, for callers
// that hold UTF-8 bytes (resources, downloaded texts) and for MarkupDoc's
// file reading and writing.
//
// Wide text is wchar_t, one code point per unit (UTF-32 on Linux), so a code
// point above U+FFFF is one unit. Decoding rules: a byte below 0x80 is a
// character; a lead byte 110xxxxx, 1110xxxx or 11110xxx announces one, two or
// three continuation bytes; a sequence that ends early or an invalid lead
// byte gives "?" and the byte that ended it starts the next character; a zero
// byte ends the conversion, and so does a sequence that would run past the
// byte count. The decoding and encoding themselves live in platform/text.
#pragma once

#include <cstddef>

namespace support {

// With `out` null: returns the number of wide units that the first `count`
// bytes convert to. With `out`: converts, writes a terminating zero after
// the converted units (so `out` must hold the counted units + 1) and returns
// the number of units written, not counting the terminator.
//
// Usage: n = Utf8ToWide(nullptr, b, c); buf(n + 1); Utf8ToWide(buf, b, c);
// then build a string of exactly n units.
size_t Utf8ToWide(wchar_t* out, const char* bytes, size_t count);

// `text` is zero-terminated. With `out` null: returns the number of UTF-8
// bytes the text needs (without a terminator). With `out`: writes at most
// `capacity` bytes, stopping before a character whose bytes would not fit,
// adds a terminating zero byte when there is room for it, and returns the
// number of bytes written, not counting the terminator.
size_t WideToUtf8(const wchar_t* text, char* out, size_t capacity);

}  // namespace support
