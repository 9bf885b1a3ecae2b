// URL texts of the download engine: joining a base URL and a request path,
// percent-encoding what the update states and the telemetry hand over as raw
// text, the scheme test that keeps every request on http and https, and the
// reading of a Content-Range answer header.
//
// Thread rules: pure functions without state; any thread.
#pragma once

#include <cstdint>
#include <string>

// base empty gives tail; base ending in "/" gives base + tail; otherwise
// base + "/" + tail. Nothing is encoded: the engine also uses this to name a
// request in its callbacks ("url" = JoinUrl(path, postBody)).
std::string JoinUrl(const std::string& base, const std::string& tail);

// Percent-encodes a request path with an optional query, given as raw text
// (UTF-8): the path before the first "?" keeps letters, digits, "-._~", "/"
// and the path characters "!$&'()*+,;=:@"; the query keeps its "&" and first
// "=" of each parameter as separators and, inside names and values, letters,
// digits and "-._~!$'()*,;:@/?". Every other byte, "%" included, becomes
// "%XX" with upper-case hex digits. ASCII-safe names come out unchanged.
std::string EncodeUrlTail(const std::string& tail);

// Makes an assembled URL safe to send without changing its structure: bytes
// from 0x80 up, control characters, blanks and the characters "\"<>\\^`{|}"
// become "%XX"; everything else, "%" included, is kept. Used on base URLs and
// absolute URLs, which arrive already structured.
std::string EncodeUrlText(const std::string& url);

// The URL the engine requests: EncodeUrlText(JoinUrl(base, EncodeUrlTail(tail))).
std::string BuildRequestUrl(const std::string& base, const std::string& tail);

// True when the text starts with "http://" or "https://" (scheme in any letter
// case). The engine refuses every other scheme, for requests and redirects.
bool IsHttpUrl(const std::string& url);

// Reads a Content-Range header value of the form "bytes FIRST-LAST/TOTAL"
// (TOTAL may be "*", given back as -1). False for any other form, for
// LAST < FIRST, and for numbers that do not fit.
bool ParseContentRange(const std::string& value, int64_t& first, int64_t& last, int64_t& total);
