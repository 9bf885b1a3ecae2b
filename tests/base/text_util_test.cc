#include "base/text_util.h"

#include <cstdarg>
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using TextUtil::Format;
using TextUtil::FormatV;

// U+1F600, outside the basic plane: four UTF-8 bytes, a surrogate pair in UTF-16.
const char kEmojiUtf8[] = "\xF0\x9F\x98\x80";
const wchar_t kEmojiUtf16[] = L"\xD83D\xDE00";

void AppendFormat(std::wstring& out, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  FormatV(format, args, out);
  va_end(args);
}

TEST(TextUtilConversionTest, Utf8ToWide) {
  struct Case {
    const char* text;
    bool ok;
    std::wstring expected;
  };
  const std::vector<Case> cases = {
      {"", true, L""},
      {"plain", true, L"plain"},
      {"caf\xC3\xA9 \xE2\x82\xAC", true, L"caf\x00E9 \x20AC"},
      {"a\xF0\x9F\x98\x80z", true, std::wstring(L"a") + kEmojiUtf16 + L"z"},
      // A lone invalid byte becomes one replacement character; the rest stays.
      {"a\xFFz", true, L"a\xFFFDz"},
      {"\x80", true, L"\xFFFD"},
      {nullptr, false, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    std::wstring out = L"previous";
    EXPECT_EQ(c.ok, TextUtil::Utf8ToWide(c.text, out));
    EXPECT_EQ(c.expected, out);
  }
}

TEST(TextUtilConversionTest, InvalidUtf8BecomesOneReplacementPerMaximalBadSequence) {
  const wchar_t r = 0xFFFD;
  struct Case {
    const char* text;
    std::wstring expected;
  };
  const std::vector<Case> cases = {
      {"ab\xE2\x82", {L'a', L'b', r}},  // Cut off by the end.
      {"\xF0\x9Fx", {r, L'x'}},         // Cut off by a plain character.
      {"\xF0\x9F\x98xy", {r, L'x', L'y'}},
      {"\xE2\x28\xA1", {r, L'(', r}},
      {"\x80\xBF", {r, r}},                // Continuations without a lead.
      {"\xC0\xAF", {r, r}},                // Overlong "/".
      {"\xE0\x80\xAF", {r, r, r}},         // Overlong "/" in three bytes.
      {"\xF0\x80\x80\xAF", {r, r, r, r}},  // And in four.
      {"\xED\xA0\x80", {r, r, r}},         // An encoded surrogate.
      {"\xF4\x90\x80\x80", {r, r, r, r}},  // Above U+10FFFF.
      {"\xF5\xFE\xFF", {r, r, r}},
      {"\xC3\xC3\xA9", {r, 0x00E9}},           // A lead interrupts a sequence.
      {"\xEF\xBF\xBD", {r}},                   // U+FFFD itself is valid.
      {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},  // U+10FFFF is the last valid one.
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::wstring out;
    EXPECT_TRUE(TextUtil::Utf8ToWide(c.text, out));
    EXPECT_EQ(c.expected, out);
    EXPECT_TRUE(TextUtil::MultiByteToWide(c.text, out, CP_UTF8));
    EXPECT_EQ(c.expected, out);
  }
}

TEST(TextUtilConversionTest, ValidTextMatchesTheSystemConverter) {
  // Every BMP character but the surrogates, then a spread of supplementary ones.
  std::wstring wide;
  for (unsigned c = 1; c <= 0xFFFF; ++c) {
    if (c < 0xD800 || c > 0xDFFF) wide.push_back(static_cast<wchar_t>(c));
  }
  for (unsigned c = 0x10000; c <= 0x10FFFF; c += 0x3FF) {
    wide.push_back(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)));
    wide.push_back(static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
  }
  const int size = static_cast<int>(wide.size());
  std::string system_utf8(static_cast<size_t>(size) * 4, '\0');
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, &system_utf8[0],
                                        static_cast<int>(system_utf8.size()), nullptr, nullptr);
  ASSERT_GT(bytes, 0);
  system_utf8.resize(static_cast<size_t>(bytes));

  std::string utf8;
  ASSERT_TRUE(TextUtil::WideToUtf8(wide.c_str(), utf8));
  EXPECT_TRUE(utf8 == system_utf8);
  std::wstring back;
  ASSERT_TRUE(TextUtil::Utf8ToWide(utf8.c_str(), back));
  EXPECT_TRUE(back == wide);
}

TEST(TextUtilConversionTest, WideToUtf8) {
  struct Case {
    const wchar_t* text;
    bool ok;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {L"", true, ""},
      {L"plain", true, "plain"},
      {L"caf\x00E9 \x20AC", true, "caf\xC3\xA9 \xE2\x82\xAC"},
      {kEmojiUtf16, true, kEmojiUtf8},
      // Unpaired surrogates, high and low, become U+FFFD.
      {L"a\xD800z", true, "a\xEF\xBF\xBDz"},
      {L"a\xDC00", true, "a\xEF\xBF\xBD"},
      {nullptr, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text ? c.text : L"(null)");
    std::string out = "previous";
    EXPECT_EQ(c.ok, TextUtil::WideToUtf8(c.text, out));
    EXPECT_EQ(c.expected, out);
  }
}

TEST(TextUtilConversionTest, MultiByteToWide) {
  struct Case {
    std::string text;
    UINT code_page;
    std::wstring expected;
  };
  const std::vector<Case> cases = {
      {"", CP_UTF8, L""},
      {"", CP_ACP, L""},
      {std::string("a\0b", 3), CP_UTF8, std::wstring(L"a\0b", 3)},
      {std::string("\0", 1), CP_UTF8, std::wstring(L"\0", 1)},
      {std::string("x\0y\0", 4), CP_ACP, std::wstring(L"x\0y\0", 4)},
      {"caf\xC3\xA9", 65001, L"caf\x00E9"},
      {kEmojiUtf8, CP_UTF8, kEmojiUtf16},
      {"a\xFFz", CP_UTF8, L"a\xFFFDz"},
      {"ascii text", CP_ACP, L"ascii text"},
      // An unknown code page is not an error for the caller, just no text.
      {"abc", 12345, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "code page " << c.code_page << ", text " << c.text);
    std::wstring out = L"previous";
    EXPECT_TRUE(TextUtil::MultiByteToWide(c.text, out, c.code_page));
    EXPECT_EQ(c.expected, out);
  }
}

TEST(TextUtilConversionTest, WideToMultiByte) {
  struct Case {
    std::wstring text;
    UINT code_page;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {L"", CP_UTF8, ""},
      {L"", CP_ACP, ""},
      {std::wstring(L"a\0b", 3), CP_UTF8, std::string("a\0b", 3)},
      {std::wstring(L"x\0y\0", 4), CP_ACP, std::string("x\0y\0", 4)},
      {L"caf\x00E9", 65001, "caf\xC3\xA9"},
      {kEmojiUtf16, CP_UTF8, kEmojiUtf8},
      {L"\xD800", CP_UTF8, "\xEF\xBF\xBD"},
      {L"ascii text", CP_ACP, "ascii text"},
      {L"abc", 12345, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "code page " << c.code_page << ", text " << c.text);
    std::string out = "previous";
    EXPECT_TRUE(TextUtil::WideToMultiByte(c.text, out, c.code_page));
    EXPECT_EQ(c.expected, out);
  }
}

TEST(TextUtilConversionTest, Utf8RoundTripOfEveryPlane) {
  std::wstring wide;
  for (wchar_t c : {L'\x0001', L'\x007F', L'\x0080', L'\x07FF', L'\x0800', L'\xFFFD', L'\xFFFF'}) {
    wide.push_back(c);
  }
  wide += L"\xD800\xDC00\xDBFF\xDFFF";  // U+10000 and U+10FFFF.
  std::string utf8;
  ASSERT_TRUE(TextUtil::WideToUtf8(wide.c_str(), utf8));
  EXPECT_EQ(1 + 1 + 2 + 2 + 3 + 3 + 3 + 4 + 4u, utf8.size());
  std::wstring back;
  ASSERT_TRUE(TextUtil::Utf8ToWide(utf8.c_str(), back));
  EXPECT_EQ(wide, back);
}

TEST(TextUtilFormatTest, FormatsWithWideConventions) {
  struct Case {
    std::wstring actual;
    std::wstring expected;
  };
  const std::vector<Case> cases = {
      {Format(L""), L""},
      {Format(L"plain"), L"plain"},
      {Format(L"%d-%s-%c", 42, L"wide", L'w'), L"42-wide-w"},
      {Format(L"%S", "narrow"), L"narrow"},
      {Format(L"%05.2f|%-3d|%x", 1.5, 7, 255u), L"01.50|7  |ff"},
      {Format(L"%s", L"caf\x00E9 \xD83D\xDE00"), L"caf\x00E9 \xD83D\xDE00"},
      {Format(L"100%%"), L"100%"},
      {Format(nullptr), L""},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "case " << i);
    EXPECT_EQ(cases[i].expected, cases[i].actual);
  }
}

TEST(TextUtilFormatTest, LongTextsAreAppendedWhole) {
  // 1023 fits the first buffer with its terminator, 1024 fills it exactly and
  // 1025 overflows it; larger ones need several doublings.
  for (size_t length : {size_t{1}, size_t{1022}, size_t{1023}, size_t{1024}, size_t{1025},
                        size_t{2047}, size_t{2048}, size_t{5000}, size_t{100000}}) {
    SCOPED_TRACE(testing::Message() << "length " << length);
    std::wstring text(length, L'x');
    text.front() = L'<';
    text.back() = L'>';
    EXPECT_EQ(text, Format(L"%s", text.c_str()));
    // Produced by the format itself rather than copied from an argument.
    std::wstring padded = Format(L"%*d", static_cast<int>(length), 7);
    EXPECT_EQ(std::wstring(length - 1, L' ') + L"7", padded);
  }
}

TEST(TextUtilFormatTest, AppendsToExistingText) {
  std::wstring out = L"head:";
  AppendFormat(out, L"%d", 1);
  AppendFormat(out, L"|%s", L"two");
  EXPECT_EQ(L"head:1|two", out);

  const std::wstring long_text(3000, L'z');
  AppendFormat(out, L"|%s|", long_text.c_str());
  EXPECT_EQ(L"head:1|two|" + long_text + L"|", out);

  AppendFormat(out, nullptr);
  EXPECT_EQ(L"head:1|two|" + long_text + L"|", out);
}

TEST(TextUtilFormatTest, TextsThatNeverFitLeaveOutUnchanged) {
  // 0x2000000 characters need one more for the terminator than the largest
  // buffer holds; one fewer is the longest text that can be formatted.
  const std::wstring half(0x1000000, L'h');
  std::wstring out = L"kept";
  AppendFormat(out, L"%s%s", half.c_str(), half.c_str());
  EXPECT_EQ(L"kept", out);

  AppendFormat(out, L"%s%.*s", half.c_str(), static_cast<int>(half.size() - 1), half.c_str());
  ASSERT_EQ(4u + 0x2000000 - 1, out.size());
  EXPECT_EQ(L"kepth", out.substr(0, 5));
  EXPECT_EQ(L'h', out.back());
}

TEST(TextUtilTrimTest, TrimRight) {
  struct Case {
    std::wstring text;
    std::wstring expected;
  };
  const std::vector<Case> cases = {
      {L"", L""},
      {L"abc", L"abc"},
      {L"abc \t\r\n", L"abc"},
      {L"  a b  ", L"  a b"},
      {L" \t\r\n ", L""},
      {std::wstring(L"a\0\0", 3), L"a"},
      {L"a\x01\x1D", L"a"},
      {L"a\x1E", L"a\x1E"},
      {L"a\x1F", L"a\x1F"},
      {L"a\x1F \t", L"a\x1F"},
      {L"a\x00A0", L"a\x00A0"},  // No-break space is text, not padding.
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "text " << c.text);
    std::wstring text = c.text;
    std::wstring& result = TextUtil::TrimRight(text);
    EXPECT_EQ(&text, &result);
    EXPECT_EQ(c.expected, text);
  }
}

TEST(TextUtilSplitTest, Split) {
  struct Case {
    std::wstring text;
    std::wstring delimiters;
    std::list<std::wstring> expected;
  };
  const std::vector<Case> cases = {
      {L",,a,,b,", L",", {L"a", L"b"}},
      {L"one;two, three  four", L";, ", {L"one", L"two", L"three", L"four"}},
      {L"", L",", {}},
      {L",,,", L",", {}},
      {L"whole", L",", {L"whole"}},
      {L"whole", L"", {L"whole"}},
      {L"a\tb\r\nc", L"\r\n\t", {L"a", L"b", L"c"}},
      {std::wstring(L"x\0y", 3), std::wstring(L"\0", 1), {L"x", L"y"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "text " << c.text << ", delimiters " << c.delimiters);
    const std::wstring text_before = c.text;
    EXPECT_EQ(c.expected, TextUtil::Split(c.text, c.delimiters));
    EXPECT_EQ(text_before, c.text);
  }
}

template <typename String, typename Replace>
void CheckReplaceAll(Replace replace) {
  struct Case {
    String target;
    String find;
    String replacement;
    size_t count;
    String expected;
  };
  auto s = [](const char* text) {
    return String(text, text + std::char_traits<char>::length(text));
  };
  const std::vector<Case> cases = {
      {s("aaa"), s("aa"), s("a"), 1, s("aa")},
      {s("aaaa"), s("aa"), s("a"), 2, s("aa")},
      {s("a.b.c"), s("."), s("::"), 2, s("a::b::c")},
      {s(".x."), s("."), s("[-]"), 2, s("[-]x[-]")},
      {s("xxabcxxabc"), s("abc"), s("z"), 2, s("xxzxxz")},
      {s("abab"), s("ab"), s(""), 2, s("")},
      {s("same"), s("m"), s("n"), 1, s("sane")},
      {s("aXa"), s("a"), s("aa"), 2, s("aaXaa")},
      {s("ab"), s("b"), s("bbb"), 1, s("abbb")},
      {s("abc"), s(""), s("x"), 0, s("abc")},
      {s(""), s("a"), s("b"), 0, s("")},
      {s(""), s(""), s("b"), 0, s("")},
      {s("nothing"), s("x"), s("y"), 0, s("nothing")},
      {s("ab"), s("abc"), s("y"), 0, s("ab")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "target '" << c.target << "', find '" << c.find
                                    << "', replacement '" << c.replacement << "'");
    String target = c.target;
    EXPECT_EQ(c.count, replace(c.find, c.replacement, target));
    EXPECT_EQ(c.expected, target);
  }
}

TEST(TextUtilReplaceTest, ReplaceAllA) { CheckReplaceAll<std::string>(TextUtil::ReplaceAllA); }

TEST(TextUtilReplaceTest, ReplaceAllW) { CheckReplaceAll<std::wstring>(TextUtil::ReplaceAllW); }

TEST(TextUtilReplaceTest, FindOrReplacementMayBeTheTargetItself) {
  std::wstring target = L"abc";
  EXPECT_EQ(1u, TextUtil::ReplaceAllW(target, L"[]", target));
  EXPECT_EQ(L"[]", target);

  std::string narrow = "ab";
  EXPECT_EQ(1u, TextUtil::ReplaceAllA("a", narrow, narrow));
  EXPECT_EQ("abb", narrow);
}

TEST(TextUtilReplaceTest, NonAsciiAndLongTargets) {
  std::wstring target = L"\x00E9t\x00E9";
  EXPECT_EQ(2u, TextUtil::ReplaceAllW(L"\x00E9", kEmojiUtf16, target));
  EXPECT_EQ(std::wstring(kEmojiUtf16) + L"t" + kEmojiUtf16, target);

  std::string big;
  for (int i = 0; i < 10000; ++i) big += "ab";
  EXPECT_EQ(10000u, TextUtil::ReplaceAllA("b", "ccc", big));
  EXPECT_EQ(40000u, big.size());
  EXPECT_EQ(10000u, TextUtil::ReplaceAllA("accc", "", big));
  EXPECT_TRUE(big.empty());
}

TEST(TextUtilPathTest, NormalizeFilePath) {
  struct Case {
    std::wstring path;
    std::wstring expected;
  };
  const std::vector<Case> cases = {
      {L"", L""},
      {L"a//b", L"a\\b"},
      {L"\\\\server\\share", L"\\server\\share"},
      {L"a\\\\\\b", L"a\\\\b"},
      {L"a\\\\\\\\b", L"a\\\\b"},
      {L"C:/games/x.exe", L"C:\\games\\x.exe"},
      {L"a/\\b\\/c", L"a\\b\\c"},
      {L"/", L"\\"},
      {L"//", L"\\"},
      {L"dir/", L"dir\\"},
      {L"no separators", L"no separators"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "path " << c.path);
    EXPECT_EQ(c.expected, TextUtil::NormalizeFilePath(c.path));
  }
}

}  // namespace
