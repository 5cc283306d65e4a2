// Text routines shared by the small HTTP clients and the segment worker:
// percent decoding, status codes, header values and URL folders.
#pragma once

#include <string>

// "%" followed by 0-9, A-F or a-f takes the next two characters as a
// hexadecimal number and emits that character (only the first character
// after "%" is tested; the number ends at the first non-hex digit). Every
// other character is copied.
std::wstring UrlDecode(const std::wstring& text);

// The code after the first blank of a status line (or a whole response),
// 0 when there is none or it is not a number in 0..999999.
int ParseStatusCode(const std::wstring& text);

// The decoded URL must fit the engine's 1,024-character URL buffer.
constexpr size_t kMaxDecodedUrl = 1023;

// Helpers.
std::wstring TrimBlanks(const std::wstring& text);
std::wstring LowerAscii(std::wstring text);
void ReplaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to);
// The URL cut at its first "?", then cut before its last "/"; empty when
// there is no "/".
std::wstring UrlFolder(const std::wstring& url);
// Where a redirect's Location header leads from `url`. "%3A" and "%2F" in
// the location are read as ":" and "/". An absolute location ("://") is
// taken as it stands; otherwise backslashes become "/", a location starting
// with "/" keeps the scheme, host and port of `url`, and any other is taken
// relative to url's folder, each "../" climbing one segment more but never
// above the host. Empty when the location is empty.
// End of "scheme://host:port" in `url` (or of "host:port" without a
// scheme): the first "/" after it, or the end of the text.
size_t UrlAuthorityEnd(const std::wstring& url);

enum class LocationKind { Absolute, HostRelative, Relative };
std::wstring ResolveLocation(const std::wstring& url, std::wstring location, LocationKind* kind = nullptr);

// The value after `name` (lower case, found anywhere in a lower-cased copy)
// up to the next "\r\n", trimmed; empty when absent or without line end.
std::wstring HeaderValue(const std::wstring& response, const std::wstring& name);
