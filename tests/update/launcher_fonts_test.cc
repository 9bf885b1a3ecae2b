// The launcher's four fonts in the Wine prefix's fonts folder and registry:
// installed with their values at start, a pending font update applied, and
// taken out again before a font update without touching fonts that are not
// ours. The test changes the system folder and HKLM of the run's prefix, so
// it runs alone (RUN_SERIAL) and puts both back afterwards.
#include <windows.h>

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "app/command_line.h"
#include "test_process.h"
#include "update/launcher_fonts.h"

namespace {

using testsupport::FileExists;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

std::string OurBytes(int index) { return "our font " + std::to_string(index) + " bytes"; }

class FakeFontSource : public BundledFontSource {
 public:
  bool Read(const BundledFont& font, std::string& bytes) override {
    for (int i = 0; i < kBundledFontCount; ++i) {
      if (font.resource_id != kBundledFonts[i].resource_id) continue;
      if (missing.count(i) != 0) return false;
      bytes = OurBytes(i);
      return true;
    }
    return false;
  }
  std::map<int, bool> missing;
};

std::wstring Installed(int index) {
  return SystemFontsFolder() + L"\\" + kBundledFonts[index].file_name;
}

bool ReadValue(const wchar_t* name, std::wstring& out) {
  wchar_t data[512] = {};
  DWORD size = sizeof(data);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kFontsRegistryKey, name, RRF_RT_REG_SZ, nullptr, data,
                   &size) != ERROR_SUCCESS) {
    return false;
  }
  out = data;
  return true;
}

void WriteValue(const wchar_t* name, const std::wstring& text) {
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, kFontsRegistryKey, name, REG_SZ, text.c_str(),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
}

void RemoveValue(const wchar_t* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFontsRegistryKey, 0, KEY_SET_VALUE, &key) ==
      ERROR_SUCCESS) {
    RegDeleteValueW(key, name);
    RegCloseKey(key);
  }
}

class LauncherFontsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = SetBundledFontSourceForTesting(&source_);
    ResetUiFontChoiceForTesting();
    TextAntiAliasOverride().Clear();
    // What the prefix had, to be put back.
    for (int i = 0; i < kBundledFontCount; ++i) {
      had_file_[i] = FileExists(Installed(i));
      if (had_file_[i]) saved_file_[i] = ReadWholeFile(Installed(i));
      had_value_[i] = ReadValue(kBundledFonts[i].registry_value, saved_value_[i]);
      DeleteFileW(Installed(i).c_str());
      RemoveValue(kBundledFonts[i].registry_value);
    }
  }
  void TearDown() override {
    for (int i = 0; i < kBundledFontCount; ++i) {
      DeleteFileW(Installed(i).c_str());
      RemoveValue(kBundledFonts[i].registry_value);
      if (had_file_[i]) WriteWholeFile(Installed(i), saved_file_[i]);
      if (had_value_[i]) WriteValue(kBundledFonts[i].registry_value, saved_value_[i]);
    }
    SetBundledFontSourceForTesting(previous_);
    ResetUiFontChoiceForTesting();
    TextAntiAliasOverride().Clear();
  }

  FakeFontSource source_;
  BundledFontSource* previous_ = nullptr;
  bool had_file_[kBundledFontCount] = {};
  bool had_value_[kBundledFontCount] = {};
  std::string saved_file_[kBundledFontCount];
  std::wstring saved_value_[kBundledFontCount];
};

TEST_F(LauncherFontsTest, InstallsTheFourFontsWithTheirRegistryValues) {
  EXPECT_EQ(InstallBundledFonts(), 1);
  for (int i = 0; i < kBundledFontCount; ++i) {
    EXPECT_EQ(ReadWholeFile(Installed(i)), OurBytes(i)) << i;
    std::wstring value;
    ASSERT_TRUE(ReadValue(kBundledFonts[i].registry_value, value)) << i;
    EXPECT_EQ(value, kBundledFonts[i].file_name);
  }
  EXPECT_EQ(std::wstring(kBundledFonts[0].registry_value), L"Loma (TrueType)");
  EXPECT_EQ(std::wstring(kBundledFonts[3].registry_value),
            L"\u601d\u6e90\u9ed1\u4f53 CN Bold (TrueType)");

  const UiFontChoice choice = CurrentUiFontChoice();
  ASSERT_TRUE(choice.chosen);
  const std::wstring regular = L"\u601d\u6e90\u9ed1\u4f53 CN Regular";
  const std::wstring bold = L"\u601d\u6e90\u9ed1\u4f53 CN Bold";
  const std::wstring expected[6] = {regular, bold, regular, regular, bold, regular};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(choice.faces[i], expected[i]) << i;
  EXPECT_TRUE(choice.anti_alias);
}

TEST_F(LauncherFontsTest, PresentFontIsKeptButItsValueIsPutRight) {
  ASSERT_TRUE(WriteWholeFile(Installed(1), "a newer Loma Bold"));
  WriteValue(kBundledFonts[1].registry_value, L"Other.ttf");
  EXPECT_EQ(InstallBundledFonts(), 1);
  EXPECT_EQ(ReadWholeFile(Installed(1)), "a newer Loma Bold");
  std::wstring value;
  ASSERT_TRUE(ReadValue(kBundledFonts[1].registry_value, value));
  EXPECT_EQ(value, L"LomaB.ttf");
}

TEST_F(LauncherFontsTest, MissingFontStopsAndKeepsTheDefaultsAndThePendingList) {
  CreateDirectoryW(L"update", nullptr);
  ASSERT_TRUE(WriteWholeFile(L"update\\font_update.txt", "[\"LomaN.ttf\"]"));
  ASSERT_TRUE(WriteWholeFile(L"update\\LomaN.ttf", "pending"));
  source_.missing[2] = true;
  EXPECT_EQ(InstallBundledFonts(), 0);
  EXPECT_EQ(ReadWholeFile(Installed(0)), OurBytes(0));
  EXPECT_EQ(ReadWholeFile(Installed(1)), OurBytes(1));
  EXPECT_FALSE(FileExists(Installed(2)));
  EXPECT_FALSE(FileExists(Installed(3)));
  std::wstring value;
  EXPECT_FALSE(ReadValue(kBundledFonts[2].registry_value, value));
  EXPECT_FALSE(CurrentUiFontChoice().chosen);
  EXPECT_TRUE(FileExists(L"update\\font_update.txt"));
  EXPECT_TRUE(FileExists(L"update\\LomaN.ttf"));
}

TEST_F(LauncherFontsTest, PendingFontUpdateIsAppliedAtStart) {
  CreateDirectoryW(L"update", nullptr);
  ASSERT_TRUE(WriteWholeFile(L"update\\font_update.txt", "[\"SourceHanSansCNBold.ttf\"]"));
  ASSERT_TRUE(WriteWholeFile(L"update\\SourceHanSansCNBold.ttf", "new bold"));
  EXPECT_EQ(InstallBundledFonts(), 1);
  EXPECT_EQ(ReadWholeFile(Installed(3)), "new bold");
  EXPECT_EQ(ReadWholeFile(L"SourceHanSansCNBold.ttf"), "new bold");
  EXPECT_FALSE(FileExists(L"update\\SourceHanSansCNBold.ttf"));
  EXPECT_FALSE(FileExists(L"update\\font_update.txt"));
}

TEST_F(LauncherFontsTest, TextAntiAliasingFollowsTheLanguageOption) {
  const struct {
    const wchar_t* option;  // null: set_language without a third word
    bool anti_alias;
  } cases[] = {
      {nullptr, true}, {L"taa", true}, {L"text_anti_alias", true}, {L"TAA", false}, {L"off", false},
  };
  for (const auto& c : cases) {
    TextAntiAliasOverride().Clear();
    if (c.option) {
      ASSERT_TRUE(TextAntiAliasOverride().Set(c.option));
    }
    ResetUiFontChoiceForTesting();
    ASSERT_EQ(InstallBundledFonts(), 1);
    EXPECT_EQ(CurrentUiFontChoice().anti_alias, c.anti_alias) << (c.option ? "option" : "none");
  }
}

TEST_F(LauncherFontsTest, UninstallRemovesOnlyOurOwnFonts) {
  ASSERT_EQ(InstallBundledFonts(), 1);
  // Font 1 was updated earlier: the fonts folder and the launcher folder hold
  // the same newer bytes. Font 2 was replaced by someone else's font of the
  // same name. Font 3's value names another file.
  ASSERT_TRUE(WriteWholeFile(Installed(1), "updated Loma Bold"));
  ASSERT_TRUE(WriteWholeFile(L"LomaB.ttf", "updated Loma Bold"));
  ASSERT_TRUE(WriteWholeFile(Installed(2), "someone else's font"));
  WriteValue(kBundledFonts[3].registry_value, L"Elsewhere.ttf");

  UninstallBundledFonts();

  std::wstring value;
  EXPECT_FALSE(FileExists(Installed(0)));
  EXPECT_FALSE(ReadValue(kBundledFonts[0].registry_value, value));
  EXPECT_FALSE(FileExists(Installed(1)));
  EXPECT_FALSE(ReadValue(kBundledFonts[1].registry_value, value));
  EXPECT_EQ(ReadWholeFile(Installed(2)), "someone else's font");
  ASSERT_TRUE(ReadValue(kBundledFonts[2].registry_value, value));
  EXPECT_EQ(value, kBundledFonts[2].file_name);
  EXPECT_FALSE(FileExists(Installed(3)));
  ASSERT_TRUE(ReadValue(kBundledFonts[3].registry_value, value));
  EXPECT_EQ(value, L"Elsewhere.ttf");
  EXPECT_TRUE(FileExists(L"LomaB.ttf"));  // the launcher folder's copy stays

  // The next start puts ours back beside the foreign one.
  EXPECT_EQ(InstallBundledFonts(), 1);
  EXPECT_EQ(ReadWholeFile(Installed(0)), OurBytes(0));
  EXPECT_EQ(ReadWholeFile(Installed(2)), "someone else's font");
}

TEST_F(LauncherFontsTest, UninstallWithoutFontsRemovesOnlyDanglingValues) {
  WriteValue(kBundledFonts[0].registry_value, L"LomaN.ttf");
  WriteValue(kBundledFonts[1].registry_value, L"NotOurs.ttf");
  UninstallBundledFonts();
  std::wstring value;
  EXPECT_FALSE(ReadValue(kBundledFonts[0].registry_value, value));
  ASSERT_TRUE(ReadValue(kBundledFonts[1].registry_value, value));
  EXPECT_EQ(value, L"NotOurs.ttf");
}

TEST(LauncherFontsRealSourceTest, ThisProgramCarriesNoFontsSoNothingIsWritten) {
  // A test program has no "FONTS" resources: the real source finds none.
  BundledFontSource* previous = SetBundledFontSourceForTesting(nullptr);
  const std::wstring name = SystemFontsFolder() + L"\\" + kBundledFonts[0].file_name;
  if (!FileExists(name)) {
    EXPECT_EQ(InstallBundledFonts(), 0);
    EXPECT_FALSE(FileExists(name));
  }
  SetBundledFontSourceForTesting(previous);
}

}  // namespace
