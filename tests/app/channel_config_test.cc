#include "app/channel_config.h"

#include <windows.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/file_util.h"
#include "test_dir.h"
#include "ui/resource_package_handle.h"
#include "ui/zip_test_util.h"

namespace {

using testsupport::TestDir;
using Urls = std::map<std::string, std::string>;

const char kFullConfig[] = R"({
  "OverwriteStrings": [
    {"key": "STRING_GAME_TITLE", "value": "VEXA VN"},
    {"key": "STRING_NUMBER", "value": 5},
    {"key": 7, "value": "seven"},
    {"value": "no key"},
    "not an object",
    {"key": "STRING_TWICE", "value": "first"},
    {"key": "STRING_TWICE", "value": "second"},
    {"key": "STRING_START_GAME", "value": "B\u1eaft \u0111\u1ea7u"}
  ],
  "Titles": {
    "en": {"title_main": "Main EN", "title_sub": "Sub EN"},
    "vi": {"title_main": "Ch\u00ednh", "title_sub": 5}
  },
  "Privacy": {"en": "https://p.example.test/en", "ko": "https://p.example.test/ko"},
  "Service": {"en": "https://s.example.test/en", "vi": "https://s.example.test/vi"},
  "Forum": {
    "en": [
      {"name": "Facebook", "url": "https://fb.example.test/en", "NormalImage": "fb_n",
       "HotImage": "fb_h", "Tooltips": "STRING_TIP_FACEBOOK"}
    ],
    "vi": [
      {"name": "Facebook", "url": "https://fb.example.test/vi", "NormalImage": "fb_n",
       "HotImage": "fb_h", "Tooltips": "STRING_TIP_FACEBOOK"},
      {"name": "Discord", "url": "https://dc.example.test/", "NormalImage": "dc_n",
       "HotImage": "dc_h"},
      {"name": "YouTube", "url": "https://yt.example.test/", "NormalImage": "yt_n",
       "Tooltips": "STRING_TIP_YOUTUBE"},
      {"name": "Zalo", "NormalImage": "za_n", "HotImage": "za_h", "Tooltips": 12},
      {"url": "https://nameless.example.test/", "NormalImage": "x_n", "HotImage": "x_h"},
      {"name": "", "NormalImage": "y_n", "HotImage": "y_h"},
      5
    ]
  },
  "FAQ": {
    "NormalImage": "faq_n",
    "HotImage": "faq_h",
    "en": {"url": "https://faq.example.test/en", "Tooltips": "STRING_TIP_FAQ"},
    "vi": {"url": "https://faq.example.test/vi", "Tooltips": "STRING_TIP_FAQ_VI"}
  }
})";

void ExpectLink(const JumpLink& link, const char* normal, const char* hot, const char* tooltip,
                const char* name) {
  EXPECT_EQ(link.normalImage, normal);
  EXPECT_EQ(link.hotImage, hot);
  EXPECT_EQ(link.tooltip, tooltip);
  EXPECT_EQ(link.name, name);
}

TEST(ChannelConfigTest, VietnameseTakesItsSectionsAndEnglishWhereItHasNone) {
  ChannelUiConfig c;
  ASSERT_TRUE(ParseChannelUiConfig(kFullConfig, "vi", c));

  EXPECT_EQ(c.titleTable, (std::map<std::string, std::wstring>{{"title_main", L"Ch\u00ednh"}}));
  EXPECT_EQ(c.urlTable, (Urls{
                            {"Privacy", "https://p.example.test/en"},
                            {"Service", "https://s.example.test/vi"},
                            {"Forum_Facebook", "https://fb.example.test/vi"},
                            {"Forum_Discord", "https://dc.example.test/"},
                            {"Forum_Zalo", ""},
                            {"FAQ", "https://faq.example.test/vi"},
                        }));
  // Three complete entries (a missing tooltip or URL is no obstacle), then the
  // FAQ; fields never carry over from the entry before.
  ASSERT_EQ(c.jumpLinks.size(), 4u);
  ExpectLink(c.jumpLinks[0], "fb_n", "fb_h", "STRING_TIP_FACEBOOK", "Forum_Facebook");
  ExpectLink(c.jumpLinks[1], "dc_n", "dc_h", "", "Forum_Discord");
  ExpectLink(c.jumpLinks[2], "za_n", "za_h", "", "Forum_Zalo");
  ExpectLink(c.jumpLinks[3], "faq_n", "faq_h", "STRING_TIP_FAQ_VI", "FAQ");

  EXPECT_EQ(c.stringOverrides, (std::map<std::wstring, std::wstring>{
                                   {L"STRING_GAME_TITLE", L"VEXA VN"},
                                   {L"STRING_TWICE", L"second"},
                                   {L"STRING_START_GAME", L"B\u1eaft \u0111\u1ea7u"},
                               }));
}

TEST(ChannelConfigTest, LanguagesWithoutSectionsFallBackToEnglish) {
  for (const char* code : {"en", "fr", "", "EN"}) {
    SCOPED_TRACE(code);
    ChannelUiConfig c;
    ASSERT_TRUE(ParseChannelUiConfig(kFullConfig, code, c));
    EXPECT_EQ(c.titleTable, (std::map<std::string, std::wstring>{{"title_main", L"Main EN"},
                                                                 {"title_sub", L"Sub EN"}}));
    EXPECT_EQ(c.urlTable.at("Privacy"), "https://p.example.test/en");
    EXPECT_EQ(c.urlTable.at("Service"), "https://s.example.test/en");
    ASSERT_EQ(c.jumpLinks.size(), 2u);
    ExpectLink(c.jumpLinks[0], "fb_n", "fb_h", "STRING_TIP_FACEBOOK", "Forum_Facebook");
    ExpectLink(c.jumpLinks[1], "faq_n", "faq_h", "STRING_TIP_FAQ", "FAQ");
    EXPECT_EQ(c.urlTable.at("FAQ"), "https://faq.example.test/en");
  }
  ChannelUiConfig korean;
  ASSERT_TRUE(ParseChannelUiConfig(kFullConfig, "ko", korean));
  EXPECT_EQ(korean.urlTable.at("Privacy"), "https://p.example.test/ko");
}

TEST(ChannelConfigTest, SectionsWithoutLanguagesAreTakenWhole) {
  const char* text = R"({
    "Privacy": "https://plain.example.test/privacy",
    "Titles": {"title_main": "One title"},
    "Forum": [{"name": "Site", "url": "https://site.example.test/", "NormalImage": "n",
               "HotImage": "h"}],
    "FAQ": {"NormalImage": "fn", "HotImage": "fh", "url": "https://faq.example.test/",
            "Tooltips": "T"}
  })";
  ChannelUiConfig c;
  ASSERT_TRUE(ParseChannelUiConfig(text, "vi", c));
  EXPECT_EQ(c.titleTable, (std::map<std::string, std::wstring>{{"title_main", L"One title"}}));
  EXPECT_EQ(c.urlTable, (Urls{{"Privacy", "https://plain.example.test/privacy"},
                              {"Forum_Site", "https://site.example.test/"},
                              {"FAQ", "https://faq.example.test/"}}));
  ASSERT_EQ(c.jumpLinks.size(), 2u);
  ExpectLink(c.jumpLinks[1], "fn", "fh", "T", "FAQ");
}

TEST(ChannelConfigTest, MissingOrOddSectionsReadAsEmpty) {
  const std::vector<const char*> texts = {
      "{}",
      R"({"Titles": [1, 2], "Privacy": 5, "Service": {"vi": ["x"]}, "Forum": "none",
          "FAQ": 3, "OverwriteStrings": {"key": "STRING_X", "value": "y"}})",
      R"({"Titles": {"vi": "flat"}, "Forum": {"vi": {"name": "x"}}, "FAQ": {"vi": []}})",
      // Only another language: the section's own members are searched, and
      // it has none of the fields.
      R"({"Titles": {"fr": {"title_main": "Fr"}}, "Privacy": {"fr": "https://fr.example.test/"}})",
      // A FAQ with one image makes no button.
      R"({"FAQ": {"NormalImage": "n", "en": {"url": "https://faq.example.test/"}}})",
      "[1, 2, 3]",
      "\"text\"",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    ChannelUiConfig c;
    c.titleTable["stale"] = L"x";
    c.urlTable["stale"] = "x";
    c.jumpLinks.push_back(JumpLink{"a", "b", "c", "d"});
    c.stringOverrides[L"stale"] = L"x";
    ASSERT_TRUE(ParseChannelUiConfig(text, "vi", c));
    EXPECT_TRUE(c.titleTable.empty());
    EXPECT_TRUE(c.urlTable.empty());
    EXPECT_TRUE(c.jumpLinks.empty());
    EXPECT_TRUE(c.stringOverrides.empty());
  }
}

TEST(ChannelConfigTest, TextThatDoesNotParseLeavesTheRecord) {
  for (const std::string& text :
       {std::string(""), std::string("{"), std::string("{\"Titles\": {\"en\": "),
        std::string("\x89PNG\r\n\x1a\n\0\0", 10)}) {
    ChannelUiConfig c;
    c.urlTable["FAQ"] = "https://kept.example.test/";
    EXPECT_FALSE(ParseChannelUiConfig(text, "en", c));
    EXPECT_EQ(c.urlTable, (Urls{{"FAQ", "https://kept.example.test/"}}));
  }
}

// A reader over an in-memory folder, recording the names asked for.
struct FakeTheme {
  std::map<std::wstring, std::string> files;
  std::vector<std::wstring> asked;
  ThemeFileReader Reader() {
    return [this](const std::wstring& name, std::string& bytes) {
      asked.push_back(name);
      auto it = files.find(name);
      if (it == files.end()) return false;
      bytes = it->second;
      return true;
    };
  }
};

TEST(ChannelConfigTest, TheChannelVariantComesFirst) {
  EXPECT_EQ(ChannelConfigFileName(kChannelConfigVariant), L"common_config_CHANNEL_VN.json");
  const std::string variant = R"({"Privacy": "https://vn.example.test/"})";
  const std::string general = R"({"Privacy": "https://general.example.test/"})";

  FakeTheme both;
  both.files[L"common_config_CHANNEL_VN.json"] = variant;
  both.files[L"common_config.json"] = general;
  ChannelUiConfig c;
  ASSERT_TRUE(LoadChannelUiConfig(both.Reader(), "vi", c));
  EXPECT_EQ(c.urlTable.at("Privacy"), "https://vn.example.test/");
  EXPECT_EQ(both.asked, std::vector<std::wstring>{L"common_config_CHANNEL_VN.json"});

  FakeTheme general_only;
  general_only.files[L"common_config.json"] = general;
  ASSERT_TRUE(LoadChannelUiConfig(general_only.Reader(), "vi", c));
  EXPECT_EQ(c.urlTable.at("Privacy"), "https://general.example.test/");

  // Nothing to read, or a variant that does not parse: the record stays.
  FakeTheme none;
  EXPECT_FALSE(LoadChannelUiConfig(none.Reader(), "vi", c));
  FakeTheme broken;
  broken.files[L"common_config_CHANNEL_VN.json"] = "{ broken";
  broken.files[L"common_config.json"] = variant;
  EXPECT_FALSE(LoadChannelUiConfig(broken.Reader(), "vi", c));
  EXPECT_FALSE(LoadChannelUiConfig(ThemeFileReader(), "vi", c));
  EXPECT_EQ(c.urlTable.at("Privacy"), "https://general.example.test/");
}

class ChannelConfigFilesTest : public ::testing::Test {
 protected:
  void TearDown() override { ui::CloseResourcePackage(); }

  // Installs a package read from memory; the bytes live as long as the test.
  void InstallPackage(const std::vector<ziptest::Entry>& entries) {
    ui::CloseResourcePackage();  // it reads bytes_ in place
    bytes_ = ziptest::MakeZip(TestDir() + L"package.zip", entries);
    ui::SetResourcePackage(ui::ZipArchive::OpenMemory(bytes_.data(), bytes_.size()));
    ASSERT_NE(ui::GetResourcePackage(), nullptr);
  }

  void WriteDiskConfig(const char* name, const std::string& text) {
    ASSERT_TRUE(MakeDirsW(TestDir() + L"resources\\themes\\default"));
    std::wstring wide(name, name + strlen(name));
    ASSERT_TRUE(WriteFileTextW(TestDir() + L"resources\\themes\\default\\" + wide, text));
  }

  std::string bytes_;
};

TEST_F(ChannelConfigFilesTest, ReadsThePackageFirstThenTheDisk) {
  WriteDiskConfig("common_config.json", R"({"Privacy": "https://disk.example.test/"})");

  // No package: the disk (the current directory is the launcher's folder).
  ChannelUiConfig c;
  ASSERT_TRUE(LoadChannelUiConfig("en", c));
  EXPECT_EQ(c.urlTable.at("Privacy"), "https://disk.example.test/");

  // A package with the variant wins over the disk.
  InstallPackage({ziptest::File("resources/themes/default/common_config_CHANNEL_VN.json",
                                R"({"Privacy": {"en": "https://package.example.test/"}})")});
  ASSERT_TRUE(LoadChannelUiConfig("en", c));
  EXPECT_EQ(c.urlTable.at("Privacy"), "https://package.example.test/");

  // A package without either file: each name falls back to the disk.
  InstallPackage({ziptest::File("resources/themes/default/global.xml", "<Global/>")});
  ASSERT_TRUE(LoadChannelUiConfig("en", c));
  EXPECT_EQ(c.urlTable.at("Privacy"), "https://disk.example.test/");

  std::string bytes;
  EXPECT_TRUE(ReadThemeFile(L"global.xml", bytes));
  EXPECT_EQ(bytes, "<Global/>");
  EXPECT_FALSE(ReadThemeFile(L"missing.json", bytes));
  EXPECT_TRUE(bytes.empty());
}

}  // namespace
