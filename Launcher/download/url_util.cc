#include "download/url_util.h"

#include <cctype>
#include <cstring>
#include <limits>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

void AppendEscaped(unsigned char c, std::string& out) {
  out += '%';
  out += kHexDigits[c >> 4];
  out += kHexDigits[c & 0x0f];
}

// Appends `text` with every byte that is neither unreserved nor in `keep`
// percent-encoded.
void AppendEncoded(const std::string& text, size_t begin, size_t end, const char* keep,
                   std::string& out) {
  for (size_t i = begin; i < end; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (IsUnreserved(c) || (c != 0 && std::strchr(keep, c) != nullptr)) {
      out += static_cast<char>(c);
    } else {
      AppendEscaped(c, out);
    }
  }
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// Reads decimal digits at `pos` into `value`; false when there is none or the
// number does not fit.
bool ReadNumber(const std::string& text, size_t& pos, int64_t& value) {
  const size_t start = pos;
  value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    const int digit = text[pos] - '0';
    if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) return false;
    value = value * 10 + digit;
    ++pos;
  }
  return pos > start;
}

void SkipBlanks(const std::string& text, size_t& pos) {
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
}

}  // namespace

std::string JoinUrl(const std::string& base, const std::string& tail) {
  if (base.empty()) return tail;
  if (base.back() == '/') return base + tail;
  return base + "/" + tail;
}

std::string EncodeUrlTail(const std::string& tail) {
  std::string out;
  out.reserve(tail.size() + tail.size() / 4);
  const size_t query = tail.find('?');
  const size_t path_end = query == std::string::npos ? tail.size() : query;
  AppendEncoded(tail, 0, path_end, "/!$&'()*+,;=:@", out);
  if (query == std::string::npos) return out;
  out += '?';
  static const char kQueryKeep[] = "!$'()*,;:@/?";
  size_t pos = query + 1;
  while (pos <= tail.size()) {
    size_t amp = tail.find('&', pos);
    if (amp == std::string::npos) amp = tail.size();
    const size_t eq = tail.find('=', pos);
    if (eq != std::string::npos && eq < amp) {
      AppendEncoded(tail, pos, eq, kQueryKeep, out);
      out += '=';
      AppendEncoded(tail, eq + 1, amp, kQueryKeep, out);
    } else {
      AppendEncoded(tail, pos, amp, kQueryKeep, out);
    }
    if (amp == tail.size()) break;
    out += '&';
    pos = amp + 1;
  }
  return out;
}

std::string EncodeUrlText(const std::string& url) {
  std::string out;
  out.reserve(url.size());
  for (const char ch : url) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7f || std::strchr("\"<>\\^`{|}", c) != nullptr) {
      AppendEscaped(c, out);
    } else {
      out += ch;
    }
  }
  return out;
}

std::string BuildRequestUrl(const std::string& base, const std::string& tail) {
  return EncodeUrlText(JoinUrl(base, EncodeUrlTail(tail)));
}

bool IsHttpUrl(const std::string& url) {
  return StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://");
}

bool ParseContentRange(const std::string& value, int64_t& first, int64_t& last, int64_t& total) {
  size_t pos = 0;
  SkipBlanks(value, pos);
  if (!StartsWithNoCase(value.substr(pos), "bytes")) return false;
  pos += 5;
  const size_t after_unit = pos;
  SkipBlanks(value, pos);
  if (pos == after_unit) return false;
  if (!ReadNumber(value, pos, first)) return false;
  if (pos >= value.size() || value[pos] != '-') return false;
  ++pos;
  if (!ReadNumber(value, pos, last) || last < first) return false;
  if (pos >= value.size() || value[pos] != '/') return false;
  ++pos;
  if (pos < value.size() && value[pos] == '*') {
    total = -1;
    ++pos;
  } else if (!ReadNumber(value, pos, total)) {
    return false;
  }
  SkipBlanks(value, pos);
  return pos == value.size();
}
