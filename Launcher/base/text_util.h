// Text helpers shared by every part of the launcher: conversions between UTF-8,
// the system code pages and UTF-16, printf-style formatting into wide strings,
// trimming, splitting and replacing.
//
// Thread rules: every function here is stateless and touches only its own
// arguments, so any thread may call them at any time. Two threads must not pass
// the same output string at once, as with any std::string.
//
// Bad input never crashes: a null pointer gives false or an empty result, and
// malformed text converts as described below.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstddef>
#include <list>
#include <string>

namespace TextUtil {

// How malformed text converts (the same on every Windows version, because
// UTF-8 is converted here rather than by the system):
// - Invalid UTF-8 never fails. Each maximal ill-formed subsequence becomes one
//   U+FFFD and decoding resumes at the next byte, as the Unicode standard
//   recommends: a stray continuation byte, a byte that can never occur (C0,
//   C1, F5 to FF) or a sequence cut short ("\xF0\x9Fx" gives U+FFFD "x").
//   Overlong forms, encoded surrogates and values above U+10FFFF are
//   ill-formed; "\xED\xA0\x80" gives three U+FFFD.
// - An unpaired UTF-16 surrogate becomes U+FFFD (EF BF BD) in UTF-8.
// - Zero characters are text like any other in the std::string variants.

// Converts zero-terminated UTF-8 to UTF-16. `out` is always emptied first.
// Returns false (with `out` empty) only for a null `text`.
bool Utf8ToWide(const char* text, std::wstring& out);

// Converts zero-terminated UTF-16 to UTF-8. `out` is always emptied first.
// Returns false (with `out` empty) only for a null `text`.
bool WideToUtf8(const wchar_t* text, std::string& out);

// Converts the whole of `text` (embedded zero bytes included) from
// `code_page` (CP_UTF8 for most data, CP_ACP for text the system hands us in
// the ANSI code page) to UTF-16. `out` is emptied first. Always returns true:
// callers treat conversion as best effort, so a failure of the system
// converter (an unknown code page, a text over INT_MAX bytes) shows only as an
// empty `out`. Code pages other than CP_UTF8 replace what they cannot map as
// the system's converter does.
bool MultiByteToWide(const std::string& text, std::wstring& out, UINT code_page);

// The counterpart of MultiByteToWide; the same rules, always true. Characters
// a code page cannot represent become that code page's default character.
bool WideToMultiByte(const std::wstring& text, std::string& out, UINT code_page);

// Returns the text that the C runtime's wide printf family makes of `format`
// and the arguments (Microsoft conventions: %s and %c take wide arguments,
// %S and %C narrow ones). A null `format`, or a text that cannot be formatted
// in 0x2000000 characters, gives an empty string.
// The compiler cannot check wide format strings, so keep arguments and
// conversions matched by hand.
std::wstring Format(const wchar_t* format, ...);

// Appends the formatted text to `out`; `args` is left untouched for the
// caller's va_end. Nothing is appended (and `out` keeps its content) for a
// null `format`, when the C runtime reports an error, or when the text needs
// 0x2000000 characters or more with its terminator. A result is appended only
// whole, never cut short.
void FormatV(const wchar_t* format, va_list args, std::wstring& out);

// Removes trailing spaces and control characters 0 to 29 (tab, line feed,
// carriage return among them) in place and returns `text`. Characters 30 and
// 31 (the record and unit separators) are not trimmed.
std::wstring& TrimRight(std::wstring& text);

// Returns the non-empty pieces of `text` between delimiters, in order. Every
// character of `delimiters` ends a piece; runs of delimiters and delimiters at
// either end yield no empty pieces. An empty text gives an empty list; an
// empty delimiter set gives the whole (non-empty) text as one piece.
std::list<std::wstring> Split(const std::wstring& text, const std::wstring& delimiters);

// Replaces every occurrence of `find` in `target` with `replacement` and
// returns how many were replaced. Occurrences are taken from left to right
// without overlap ("aa" in "aaa" is replaced once), and text put in by a
// replacement is never searched again. An empty `find` replaces nothing.
// `find` and `replacement` may be the very string passed as `target`.
size_t ReplaceAllA(const std::string& find, const std::string& replacement, std::string& target);
size_t ReplaceAllW(const std::wstring& find, const std::wstring& replacement, std::wstring& target);

// Returns `path` with every "/" turned into "\" and then every pair of
// backslashes, taken from left to right, collapsed into one: "a//b" becomes
// "a\b", three backslashes become two. Note that this also turns a network
// path "\\server\share" into "\server\share"; only use it on local paths.
std::wstring NormalizeFilePath(const std::wstring& path);

}  // namespace TextUtil
