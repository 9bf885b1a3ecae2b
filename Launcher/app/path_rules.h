// The naming rules behind the containment checks of file_util.h, kept free of
// any system header so that code which validates data from the network (the
// version-map reader among it) also builds as a native fuzz target.
//
// Thread rules: pure functions without state; any thread.
#pragma once

#include <string>

// True when [begin, end) is one segment of a relative path that names exactly
// the file it spells in the folder it is joined to: 1 to 255 UTF-16 code
// units, no control character, none of \ / : * ? " < > |, no trailing dot or
// blank (which Windows strips, so "x." would name "x" and ".." the parent),
// and no device name such as "CON" or "nul.txt". The wchar_t form is for the
// system's UTF-16 paths.
[[nodiscard]] bool IsPlainPathSegment(const char16_t* begin, const char16_t* end);
[[nodiscard]] bool IsPlainPathSegment(const wchar_t* begin, const wchar_t* end);

// Strict UTF-8: no overlong form (which could hide a "/" or "."), no encoded
// surrogate, nothing above U+10FFFF, no sequence cut short.
[[nodiscard]] bool IsValidUtf8(const std::string& text);

// UTF-8 to UTF-16 (surrogate pairs above U+FFFF). False, with `out` emptied,
// for text that IsValidUtf8 refuses.
[[nodiscard]] bool Utf8ToUtf16(const std::string& text, std::u16string& out);
