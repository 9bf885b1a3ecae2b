#include "base/text_util.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

namespace TextUtil {
namespace {

// Most formatted texts are short, so the first attempt uses the stack.
constexpr size_t kFirstFormatBuffer = 1024;
// Beyond this a formatted text is a bug rather than data; give up quietly.
constexpr size_t kMaxFormatBuffer = 0x2000000;

constexpr wchar_t kReplacementCharacter = 0xFFFD;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Decodes UTF-8 ourselves rather than through the system, whose handling of
// malformed input differs between Windows versions (and Wine). Each maximal
// ill-formed subsequence becomes one U+FFFD, as the Unicode standard
// recommends, so the result is the same everywhere.
void DecodeUtf8(const char* text, size_t length, std::wstring& out) {
  out.clear();
  out.reserve(length);
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < length) {
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      out.push_back(static_cast<wchar_t>(lead));
      ++i;
      continue;
    }
    size_t needed = 0;  // Continuation bytes after the lead.
    unsigned char second_min = 0x80;
    unsigned char second_max = 0xBF;
    char32_t code_point = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      needed = 1;
      code_point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      needed = 2;
      code_point = lead & 0x0F;
      if (lead == 0xE0) second_min = 0xA0;  // Overlong below U+0800.
      if (lead == 0xED) second_max = 0x9F;  // Surrogates U+D800..U+DFFF.
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      needed = 3;
      code_point = lead & 0x07;
      if (lead == 0xF0) second_min = 0x90;  // Overlong below U+10000.
      if (lead == 0xF4) second_max = 0x8F;  // Above U+10FFFF.
    } else {
      out.push_back(kReplacementCharacter);  // C0, C1, F5..FF, or a stray continuation.
      ++i;
      continue;
    }
    size_t used = 1;
    while (used <= needed && i + used < length) {
      const unsigned char byte = bytes[i + used];
      const bool valid =
          used == 1 ? (byte >= second_min && byte <= second_max) : IsContinuation(byte);
      if (!valid) break;
      code_point = (code_point << 6) | (byte & 0x3F);
      ++used;
    }
    if (used <= needed) {
      // Cut short: the lead and the continuations seen so far are one error,
      // and decoding resumes at the byte that broke the sequence.
      out.push_back(kReplacementCharacter);
      i += used;
      continue;
    }
    if (code_point >= 0x10000) {
      code_point -= 0x10000;
      out.push_back(static_cast<wchar_t>(0xD800 + (code_point >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + (code_point & 0x3FF)));
    } else {
      out.push_back(static_cast<wchar_t>(code_point));
    }
    i += used;
  }
}

// The counterpart of DecodeUtf8: an unpaired surrogate is written as U+FFFD.
void EncodeUtf8(const wchar_t* text, size_t length, std::string& out) {
  out.clear();
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    char32_t code_point = text[i];
    if (code_point >= 0xD800 && code_point <= 0xDFFF) {
      if (code_point <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
          text[i + 1] <= 0xDFFF) {
        code_point = 0x10000 + ((code_point - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        ++i;
      } else {
        code_point = kReplacementCharacter;
      }
    }
    if (code_point < 0x80) {
      out.push_back(static_cast<char>(code_point));
    } else if (code_point < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
      out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else if (code_point < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    }
  }
}

// Other code pages go through the system, whose converters take int lengths,
// so longer texts count as failures.
bool NarrowToWide(const char* text, size_t length, UINT code_page, std::wstring& out) {
  out.clear();
  if (length == 0) return true;
  if (code_page == CP_UTF8) {
    DecodeUtf8(text, length, out);
    return true;
  }
  if (length > static_cast<size_t>(INT_MAX)) return false;
  const int in_length = static_cast<int>(length);
  const int needed = MultiByteToWideChar(code_page, 0, text, in_length, nullptr, 0);
  if (needed <= 0) return false;
  out.resize(static_cast<size_t>(needed));
  const int written = MultiByteToWideChar(code_page, 0, text, in_length, &out[0], needed);
  if (written <= 0) {
    out.clear();
    return false;
  }
  out.resize(static_cast<size_t>(written));
  return true;
}

bool WideToNarrow(const wchar_t* text, size_t length, UINT code_page, std::string& out) {
  out.clear();
  if (length == 0) return true;
  if (code_page == CP_UTF8) {
    EncodeUtf8(text, length, out);
    return true;
  }
  if (length > static_cast<size_t>(INT_MAX)) return false;
  const int in_length = static_cast<int>(length);
  const int needed =
      WideCharToMultiByte(code_page, 0, text, in_length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return false;
  out.resize(static_cast<size_t>(needed));
  const int written =
      WideCharToMultiByte(code_page, 0, text, in_length, &out[0], needed, nullptr, nullptr);
  if (written <= 0) {
    out.clear();
    return false;
  }
  out.resize(static_cast<size_t>(written));
  return true;
}

template <typename String>
size_t ReplaceAllImpl(const String& find, const String& replacement, String& target) {
  if (find.empty()) return 0;
  // The rebuild below reads `find` and `replacement` while `target` changes.
  if (&find == &target || &replacement == &target) {
    const String find_copy(find);
    const String replacement_copy(replacement);
    return ReplaceAllImpl(find_copy, replacement_copy, target);
  }

  size_t count = 0;
  for (size_t pos = target.find(find); pos != String::npos;
       pos = target.find(find, pos + find.size())) {
    ++count;
  }
  if (count == 0) return 0;

  String result;
  result.reserve(target.size() - count * find.size() + count * replacement.size());
  size_t start = 0;
  for (size_t pos = target.find(find); pos != String::npos; pos = target.find(find, start)) {
    result.append(target, start, pos - start);
    result.append(replacement);
    start = pos + find.size();
  }
  result.append(target, start, String::npos);
  target.swap(result);
  return count;
}

}  // namespace

bool Utf8ToWide(const char* text, std::wstring& out) {
  out.clear();
  if (text == nullptr) return false;
  return NarrowToWide(text, std::strlen(text), CP_UTF8, out);
}

bool WideToUtf8(const wchar_t* text, std::string& out) {
  out.clear();
  if (text == nullptr) return false;
  return WideToNarrow(text, std::wcslen(text), CP_UTF8, out);
}

bool MultiByteToWide(const std::string& text, std::wstring& out, UINT code_page) {
  NarrowToWide(text.data(), text.size(), code_page, out);
  return true;
}

bool WideToMultiByte(const std::wstring& text, std::string& out, UINT code_page) {
  WideToNarrow(text.data(), text.size(), code_page, out);
  return true;
}

std::wstring Format(const wchar_t* format, ...) {
  std::wstring out;
  va_list args;
  va_start(args, format);
  FormatV(format, args, out);
  va_end(args);
  return out;
}

void FormatV(const wchar_t* format, va_list args, std::wstring& out) {
  if (format == nullptr) return;
  wchar_t stack_buffer[kFirstFormatBuffer];
  std::unique_ptr<wchar_t[]> heap_buffer;
  wchar_t* buffer = stack_buffer;
  size_t size = kFirstFormatBuffer;
  for (;;) {
    // A va_list is consumed by use, so every attempt needs its own copy.
    va_list attempt_args;
    va_copy(attempt_args, args);
    const int written = _vsnwprintf(buffer, size, format, attempt_args);
    va_end(attempt_args);
    if (written >= 0 && static_cast<size_t>(written) < size) {
      out.append(buffer, static_cast<size_t>(written));
      return;
    }
    // -1 means the text was cut (or the runtime failed, which looks the same).
    // A count equal to the buffer size means the text filled it exactly and
    // was left without its terminator, so it still counts as not fitting; a
    // larger count is the length the text needs.
    size_t next = size * 2;
    if (written >= 0 && static_cast<size_t>(written) >= next) {
      next = static_cast<size_t>(written) + 1;
    }
    if (next > kMaxFormatBuffer) return;
    heap_buffer.reset(new (std::nothrow) wchar_t[next]);
    if (!heap_buffer) return;
    buffer = heap_buffer.get();
    size = next;
  }
}

std::wstring& TrimRight(std::wstring& text) {
  size_t end = text.size();
  while (end > 0 && (text[end - 1] == L' ' || text[end - 1] < 30)) --end;
  text.erase(end);
  return text;
}

std::list<std::wstring> Split(const std::wstring& text, const std::wstring& delimiters) {
  std::list<std::wstring> pieces;
  size_t start = text.find_first_not_of(delimiters);
  while (start != std::wstring::npos) {
    const size_t end = text.find_first_of(delimiters, start);
    if (end == std::wstring::npos) {
      pieces.push_back(text.substr(start));
      break;
    }
    pieces.push_back(text.substr(start, end - start));
    start = text.find_first_not_of(delimiters, end);
  }
  return pieces;
}

size_t ReplaceAllA(const std::string& find, const std::string& replacement, std::string& target) {
  return ReplaceAllImpl(find, replacement, target);
}

size_t ReplaceAllW(const std::wstring& find, const std::wstring& replacement,
                   std::wstring& target) {
  return ReplaceAllImpl(find, replacement, target);
}

std::wstring NormalizeFilePath(const std::wstring& path) {
  std::wstring result;
  result.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    const wchar_t c = path[i] == L'/' ? L'\\' : path[i];
    result.push_back(c);
    if (c == L'\\' && i + 1 < path.size() && (path[i + 1] == L'\\' || path[i + 1] == L'/')) {
      ++i;  // The second of a pair is dropped; a third starts a new pair.
    }
  }
  return result;
}

}  // namespace TextUtil
