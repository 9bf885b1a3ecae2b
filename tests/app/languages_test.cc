#include "app/languages.h"

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(LanguagesTest, EighteenLanguagesInIndexOrder) {
  struct Row {
    const char* code;
    const char* key;
  };
  const std::vector<Row> rows = {
      {"en", "STRING_LANG_ENGLAND"},      {"zh_CN", "STRING_LANG_CHINA"},
      {"ja", "STRING_LANG_JAPANESE"},     {"ko", "STRING_LANG_KOREAN"},
      {"zh_TW", "STRING_LANG_TAIWAN"},    {"vi", "STRING_LANG_VIETNAMESE"},
      {"fr", "STRING_LANG_FRENCH"},       {"id", "STRING_LANG_INDONESIAN"},
      {"it", "STRING_LANG_ITALIAN"},      {"es", "STRING_LANG_SPAISH"},
      {"tr", "STRING_LANG_TURKIC"},       {"th", "STRING_LANG_THAI"},
      {"pt_BR", "STRING_LANG_PORTGUESE"}, {"ar", "STRING_LANG_ARABIC"},
      {"ru", "STRING_LANG_RUSSIAN"},      {"de", "STRING_LANG_GERMAN"},
      {"pl", "STRING_LANG_POLISH"},       {"ms", "STRING_LANG_MALAY"},
  };
  ASSERT_EQ(kLanguageCount, rows.size());
  std::set<std::string> codes;
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_STREQ(kLanguageCodes[i], rows[i].code);
    EXPECT_STREQ(kLanguageNameKeys[i], rows[i].key);
    EXPECT_STREQ(LanguageCodeAt(static_cast<int>(i)), rows[i].code);
    EXPECT_STREQ(LanguageNameKeyAt(static_cast<int>(i)), rows[i].key);
    EXPECT_EQ(LanguageIndexOf(rows[i].code), static_cast<int>(i));
    codes.insert(rows[i].code);
  }
  EXPECT_EQ(codes.size(), kLanguageCount);
}

TEST(LanguagesTest, LookUpsOutsideTheTableReadAsEnglish) {
  for (int index : {-1, -100, 18, 99, 1 << 30}) {
    EXPECT_STREQ(LanguageCodeAt(index), "en") << index;
    EXPECT_STREQ(LanguageNameKeyAt(index), "STRING_LANG_ENGLAND") << index;
  }
  for (const char* code : {"", "EN", "zh-CN", "zh", "pt", "vi ", "xx"}) {
    EXPECT_EQ(LanguageIndexOf(code), -1) << code;
  }
}

TEST(LanguagesTest, BundledFonts) {
  struct Row {
    const wchar_t* face;
    const wchar_t* value;
    const wchar_t* file;
  };
  const std::vector<Row> rows = {
      {L"Loma", L"Loma (TrueType)", L"LomaN.ttf"},
      {L"Loma Bold", L"Loma Bold (TrueType)", L"LomaB.ttf"},
      {L"\u601D\u6E90\u9ED1\u4F53 CN Regular", L"\u601D\u6E90\u9ED1\u4F53 CN Regular (TrueType)",
       L"SourceHanSansCNRegular.ttf"},
      {L"\u601D\u6E90\u9ED1\u4F53 CN Bold", L"\u601D\u6E90\u9ED1\u4F53 CN Bold (TrueType)",
       L"SourceHanSansCNBold.ttf"},
  };
  ASSERT_EQ(kBundledFontCount, rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(std::wstring(kBundledFontFaces[i]), rows[i].face);
    EXPECT_EQ(std::wstring(kBundledFontValueNames[i]), rows[i].value);
    EXPECT_EQ(std::wstring(kBundledFontFiles[i]), rows[i].file);
    // The registry value names the face it installs.
    EXPECT_EQ(std::wstring(kBundledFontValueNames[i]),
              std::wstring(kBundledFontFaces[i]) + L" (TrueType)");
  }
  // The Chinese face names as UTF-8, the form the UI shows them in.
  EXPECT_EQ(std::wstring(kBundledFontFaces[2]).substr(0, 4), L"思源黑体");
}

}  // namespace
