#include "app/path_rules.h"

#include <cstddef>
#include <cstdint>

#include "app/file_util.h"

namespace {

// The longest path the system takes in any form.
constexpr size_t kLongestPath = 32767;
// The longest name of one file or folder, in UTF-16 code units.
constexpr size_t kLongestName = 255;

template <typename Char>
bool IsAsciiNameChar(Char c, char upper) {
  return c == static_cast<Char>(upper) ||
         (upper >= 'A' && upper <= 'Z' && c == static_cast<Char>(upper - 'A' + 'a'));
}

// Whether [begin, end) spells `word` (upper-case ASCII) without regard to case.
template <typename Char>
bool SpellsWord(const Char* begin, const Char* end, const char* word) {
  for (; begin != end; ++begin, ++word) {
    if (*word == '\0' || !IsAsciiNameChar(*begin, *word)) return false;
  }
  return *word == '\0';
}

// The names Windows opens as devices wherever they appear, with or without an
// extension ("nul", "NUL.txt", "com1.dat").
template <typename Char>
bool IsDeviceName(const Char* begin, const Char* end) {
  const Char* stem_end = begin;
  while (stem_end != end && *stem_end != static_cast<Char>('.')) ++stem_end;
  while (stem_end != begin && stem_end[-1] == static_cast<Char>(' ')) --stem_end;
  static const char* const kPlain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* word : kPlain) {
    if (SpellsWord(begin, stem_end, word)) return true;
  }
  if (stem_end - begin == 4 &&
      (SpellsWord(begin, begin + 3, "COM") || SpellsWord(begin, begin + 3, "LPT"))) {
    const uint32_t digit = static_cast<uint32_t>(begin[3]);
    // Windows counts the superscript digits as port numbers too.
    return (digit >= '0' && digit <= '9') || digit == 0xb9 || digit == 0xb2 || digit == 0xb3;
  }
  return false;
}

template <typename Char>
bool IsPlainSegment(const Char* begin, const Char* end) {
  if (begin == nullptr || end <= begin) return false;
  const size_t length = static_cast<size_t>(end - begin);
  if (length > kLongestName) return false;
  for (const Char* p = begin; p != end; ++p) {
    const uint32_t c = static_cast<uint32_t>(*p);
    if (c < 0x20 || c == 0x7f) return false;
    switch (c) {
      case '\\':
      case '/':
      case ':':
      case '*':
      case '?':
      case '"':
      case '<':
      case '>':
      case '|':
        return false;
      default:
        break;
    }
  }
  const uint32_t last = static_cast<uint32_t>(end[-1]);
  if (last == '.' || last == ' ') return false;
  return !IsDeviceName(begin, end);
}

// Decodes one strictly valid UTF-8 sequence at text[i]; false when there is
// none. `length` receives its byte count.
bool DecodeUtf8(const std::string& text, size_t i, uint32_t& value, size_t& length) {
  const size_t n = text.size();
  const unsigned char c = static_cast<unsigned char>(text[i]);
  if (c < 0x80) {
    value = c;
    length = 1;
    return true;
  }
  size_t extra;
  uint32_t minimum;
  if ((c & 0xe0) == 0xc0) {
    extra = 1;
    value = c & 0x1f;
    minimum = 0x80;
  } else if ((c & 0xf0) == 0xe0) {
    extra = 2;
    value = c & 0x0f;
    minimum = 0x800;
  } else if ((c & 0xf8) == 0xf0) {
    extra = 3;
    value = c & 0x07;
    minimum = 0x10000;
  } else {
    return false;
  }
  if (n - i <= extra) return false;
  for (size_t k = 1; k <= extra; ++k) {
    const unsigned char next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xc0) != 0x80) return false;
    value = (value << 6) | (next & 0x3f);
  }
  if (value < minimum || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) return false;
  length = extra + 1;
  return true;
}

}  // namespace

bool IsPlainPathSegment(const char16_t* begin, const char16_t* end) {
  return IsPlainSegment(begin, end);
}

bool IsPlainPathSegment(const wchar_t* begin, const wchar_t* end) {
  return IsPlainSegment(begin, end);
}

bool IsValidUtf8(const std::string& text) {
  uint32_t value = 0;
  size_t length = 0;
  for (size_t i = 0; i < text.size(); i += length) {
    if (!DecodeUtf8(text, i, value, length)) return false;
  }
  return true;
}

bool Utf8ToUtf16(const std::string& text, std::u16string& out) {
  out.clear();
  std::u16string wide;
  wide.reserve(text.size());
  uint32_t value = 0;
  size_t length = 0;
  for (size_t i = 0; i < text.size(); i += length) {
    if (!DecodeUtf8(text, i, value, length)) return false;
    if (value >= 0x10000) {
      value -= 0x10000;
      wide.push_back(static_cast<char16_t>(0xd800 + (value >> 10)));
      wide.push_back(static_cast<char16_t>(0xdc00 + (value & 0x3ff)));
    } else {
      wide.push_back(static_cast<char16_t>(value));
    }
  }
  out.swap(wide);
  return true;
}

bool IsSafeRelativePath(const std::string& utf8_relative) {
  const std::string& text = utf8_relative;
  if (text.empty() || text.size() > kLongestPath) return false;
  if (text.front() == '/' || text.front() == '\\') return false;
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || c == '\\' || c == ':') return false;
  }
  std::u16string wide;
  if (!Utf8ToUtf16(text, wide) || wide.empty()) return false;
  size_t begin = 0;
  for (;;) {
    size_t stop = wide.find(u'/', begin);
    if (stop == std::u16string::npos) stop = wide.size();
    if (!IsPlainPathSegment(wide.data() + begin, wide.data() + stop)) return false;
    if (stop == wide.size()) return true;
    begin = stop + 1;
  }
}
