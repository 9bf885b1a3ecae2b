// Checks the resource package as the build embeds it in a program: this test
// program links the same resource object as launcher.exe.
#include <windows.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "app/channel_config.h"
#include "app/languages.h"
#include "app/resource_package.h"
#include "test_dir.h"
#include "ui/resource_package_handle.h"
#include "ui/zip_reader.h"

namespace {

class EmbeddedResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The current directory (the test's folder) has no resources.zip.
    ASSERT_EQ(OpenResourcePackage(), ResourcePackageSource::kEmbedded);
  }
  void TearDown() override { ui::CloseResourcePackage(); }
};

TEST_F(EmbeddedResourcesTest, EveryEntryIsReadable) {
  auto package = ui::GetResourcePackage();
  ASSERT_NE(package, nullptr);
  ASSERT_GT(package->EntryCount(), 0);
  for (int i = 0; i < package->EntryCount(); ++i) {
    ui::ZipEntry entry;
    ASSERT_EQ(package->GetEntry(i, entry), ui::kZipOk) << i;
    EXPECT_EQ(entry.name.compare(0, 10, L"resources/"), 0) << i;
    std::string bytes;
    EXPECT_EQ(package->ReadEntryAt(i, bytes), ui::kZipOk) << i;
    EXPECT_EQ(bytes.size(), entry.uncompressedSize) << i;
  }
}

TEST_F(EmbeddedResourcesTest, EveryLanguageHasItsFile) {
  for (size_t i = 0; i < kLanguageCount; ++i) {
    std::wstring code(kLanguageCodes[i], kLanguageCodes[i] + strlen(kLanguageCodes[i]));
    SCOPED_TRACE(kLanguageCodes[i]);
    std::string text;
    ASSERT_TRUE(ui::ReadResourcePackageEntry(L"resources\\lang\\" + code + L".ini", text));
    EXPECT_EQ(text[0], ';');  // every language file opens with a comment line
    EXPECT_NE(text.find("\nSTRING_START_GAME = "), std::string::npos);
    EXPECT_NE(text.find("\nSTRING_GAME_TITLE = "), std::string::npos);
    for (size_t k = 0; k < kLanguageCount; ++k) {
      EXPECT_NE(text.find(std::string("\n") + kLanguageNameKeys[k] + " = "), std::string::npos)
          << kLanguageNameKeys[k];
    }
  }
}

TEST_F(EmbeddedResourcesTest, ThemeFilesAndChannelConfiguration) {
  std::string global;
  ASSERT_TRUE(ReadThemeFile(L"global.xml", global));
  EXPECT_NE(global.find("<Global"), std::string::npos);

  ChannelUiConfig vi;
  ASSERT_TRUE(LoadChannelUiConfig("vi", vi));
  ASSERT_FALSE(vi.jumpLinks.empty());
  EXPECT_EQ(vi.jumpLinks.back().name, "FAQ");
  for (const JumpLink& link : vi.jumpLinks) {
    EXPECT_FALSE(link.normalImage.empty());
    EXPECT_FALSE(link.hotImage.empty());
    EXPECT_EQ(vi.urlTable.count(link.name), 1u) << link.name;
  }
  EXPECT_EQ(vi.urlTable.count("Privacy"), 1u);
  EXPECT_EQ(vi.urlTable.count("Service"), 1u);
  EXPECT_EQ(vi.titleTable.count("title_main"), 1u);
  EXPECT_EQ(vi.titleTable.count("title_sub"), 1u);
  EXPECT_EQ(vi.stringOverrides.count(L"STRING_GAME_TITLE"), 1u);

  // The general configuration parses on its own too.
  std::string general;
  ASSERT_TRUE(ReadThemeFile(L"common_config.json", general));
  ChannelUiConfig en;
  ASSERT_TRUE(ParseChannelUiConfig(general, "en", en));
  ASSERT_FALSE(en.jumpLinks.empty());
  EXPECT_EQ(en.jumpLinks.back().name, "FAQ");
}

}  // namespace
