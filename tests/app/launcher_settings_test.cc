// Settings and state files: first run, member-by-member loading, bad input,
// applying a changed record, and the version-text helpers.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "app/command_line.h"
#include "app/launcher_manager.h"
#include "app/launcher_settings.h"
#include "app/system_util.h"
#include "base/path_helpers.h"
#include "test_dir.h"
#include "test_process.h"

namespace {

using testsupport::FileExists;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

Json::Value ParseFile(const std::wstring& path) {
  Json::Value root;
  std::string error;
  EXPECT_TRUE(ParseJson(ReadWholeFile(path), root, error)) << error;
  return root;
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LauncherManager::Instance().ResetForTesting();
    LanguageOverride().Clear();
    CreateDirectoryW(L"save", nullptr);
  }
  void TearDown() override {
    LauncherManager::Instance().ResetForTesting();
    LanguageOverride().Clear();
  }
  LauncherManager& manager() { return LauncherManager::Instance(); }
};

TEST_F(SettingsTest, FirstRunWritesDefaultsWithExactKeysAndTypes) {
  RemoveDirectoryW(L"save");
  manager().Startup();
  EXPECT_TRUE(manager().firstRun);
  EXPECT_TRUE(manager().askCloseChoice);

  const Json::Value env = ParseFile(L"save\\EnvConfig.json");
  EXPECT_EQ(env.getMemberNames(),
            (std::vector<std::string>{"autoUpdate", "automaticStart", "closeToHide",
                                      "downloadLimit", "downloadSpeed", "gamePath", "languageType",
                                      "predlcLimit", "predlcSpeed"}));
  EXPECT_TRUE(env["autoUpdate"].isBool() && env["autoUpdate"].asBool());
  EXPECT_TRUE(env["automaticStart"].isBool() && !env["automaticStart"].asBool());
  EXPECT_TRUE(env["closeToHide"].isBool() && !env["closeToHide"].asBool());
  EXPECT_TRUE(env["downloadLimit"].isBool() && !env["downloadLimit"].asBool());
  EXPECT_TRUE(env["predlcLimit"].isBool() && !env["predlcLimit"].asBool());
  EXPECT_TRUE(env["downloadSpeed"].isInt() && env["downloadSpeed"].asInt() == 4096);
  EXPECT_TRUE(env["predlcSpeed"].isInt() && env["predlcSpeed"].asInt() == 4096);
  EXPECT_EQ(env["languageType"].asInt(), LanguageForLocale(GetUserDefaultLCID()));
  // No VEXA.exe beside the program: the default install folder.
  EXPECT_FALSE(env["gamePath"].asString().empty());
  EXPECT_EQ(ReadWholeFile(L"save\\EnvConfig.json").find("\n\t\"autoUpdate\""), 1u);

  const Json::Value log = ParseFile(L"save\\Log.json");
  EXPECT_EQ(log.getMemberNames(),
            (std::vector<std::string>{"downloadSize", "downloadSpeed", "downloadTime",
                                      "downloadVersion", "firstInstall"}));
  EXPECT_TRUE(log["firstInstall"].asBool());
  EXPECT_TRUE(log["downloadSize"].isIntegral() && log["downloadSize"].asInt64() == 0);
  EXPECT_TRUE(log["downloadVersion"].isString());

  // The second run loads what the first wrote.
  manager().ResetForTesting();
  manager().Startup();
  EXPECT_FALSE(manager().firstRun);
}

TEST_F(SettingsTest, GameFolderIsTheProgramFolderWhenItHoldsTheGame) {
  const std::wstring program_dir = PathHelpers::CurrentModuleDirectory();
  const std::wstring game = program_dir + L"VEXA.exe";
  ASSERT_TRUE(WriteWholeFile(game, "game"));
  manager().Startup();
  DeleteFileW(game.c_str());
  EXPECT_EQ(manager().settings().gamePath + L"\\", program_dir);
}

TEST_F(SettingsTest, MembersAreTakenOnlyWhenTheirTypeFits) {
  struct Case {
    const char* json;
    int download_speed;
    bool auto_update;
    int language_type;
    const char* code;
  };
  const Case cases[] = {
      {R"({"downloadSpeed": "512"})", 4096, true, 0, "en"},
      {R"({"downloadSpeed": 512.0})", 512, true, 0, "en"},
      {R"({"downloadSpeed": 512.5})", 4096, true, 0, "en"},
      {R"({"downloadSpeed": 4294967296})", 4096, true, 0, "en"},
      {R"({"autoUpdate": 0})", 4096, true, 0, "en"},
      {R"({"autoUpdate": false})", 4096, false, 0, "en"},
      {R"({"languageType": 2})", 4096, true, 5, "vi"},  // Japanese becomes Vietnamese
      {R"({"languageType": 99})", 4096, true, 99, "en"},
      {R"({"languageType": 14, "gamePath": 7})", 4096, true, 14, "ru"},
      {R"([1, 2, 3])", 4096, true, 0, "en"},
      {R"("just a string")", 4096, true, 0, "en"},
  };
  for (const Case& c : cases) {
    manager().ResetForTesting();
    ASSERT_TRUE(WriteWholeFile(L"save\\EnvConfig.json", c.json));
    manager().Startup();
    const LauncherSettings s = manager().settings();
    EXPECT_FALSE(manager().firstRun) << c.json;
    EXPECT_EQ(s.downloadSpeed, c.download_speed) << c.json;
    EXPECT_EQ(s.autoUpdate, c.auto_update) << c.json;
    EXPECT_EQ(s.languageType, c.language_type) << c.json;
    EXPECT_EQ(s.languageCode, c.code) << c.json;
    // A parsed file is not rewritten at start-up.
    EXPECT_EQ(ReadWholeFile(L"save\\EnvConfig.json"), c.json);
  }
}

TEST_F(SettingsTest, LanguageOverrideFromTheCommandLine) {
  struct Case {
    const wchar_t* code;
    int stored;
    int expected;
  };
  const Case cases[] = {{L"ja", 0, 5}, {L"ru", 3, 14}, {L"xx", 3, 3}, {L"EN", 6, 6}};
  for (const Case& c : cases) {
    manager().ResetForTesting();
    ASSERT_TRUE(WriteWholeFile(L"save\\EnvConfig.json",
                               "{\"languageType\": " + std::to_string(c.stored) + "}"));
    LanguageOverride().Clear();
    LanguageOverride().Set(c.code);
    manager().Startup();
    EXPECT_EQ(manager().settings().languageType, c.expected);
    // Not saved.
    EXPECT_EQ(ParseFile(L"save\\EnvConfig.json")["languageType"].asInt(), c.stored);
  }
}

TEST_F(SettingsTest, UnparsableSettingsAreKeptAsideBeforeDefaultsReplaceThem) {
  const std::string broken = "{\"gamePath\": \"D:\\\\Games\\\\VEXA\", \"languageType\": ";
  ASSERT_TRUE(WriteWholeFile(L"save\\EnvConfig.json", broken));
  manager().Startup();
  EXPECT_TRUE(manager().firstRun);
  EXPECT_EQ(ReadWholeFile(L"save\\EnvConfig.json.bad"), broken);
  EXPECT_TRUE(ParseFile(L"save\\EnvConfig.json").isObject());
}

TEST_F(SettingsTest, BadStateFilesNeverCrashAndKeepWhatCanBeRead) {
  const std::vector<std::string> bad = {"",
                                        "{",
                                        "\x01\x02\xff\xfe",
                                        "[]",
                                        "null",
                                        "{\"a\":}",
                                        std::string("{\"x\":1}\0garbage", 15),
                                        "123"};
  for (const std::string& text : bad) {
    manager().ResetForTesting();
    ASSERT_TRUE(WriteWholeFile(L"save\\Log.json", text));
    ASSERT_TRUE(WriteWholeFile(L"save\\extra_config.txt", text));
    ASSERT_TRUE(WriteWholeFile(L"save\\setting.json", text));
    ASSERT_TRUE(WriteWholeFile(L"save\\EnvConfig.json",
                               R"({"gamePath": "D:\\Games", "downloadSpeed": "x"})"));
    manager().Startup();
    EXPECT_EQ(manager().settings().gamePath, L"D:\\Games");
    EXPECT_EQ(manager().settings().downloadSpeed, 4096);
    EXPECT_TRUE(manager().install_package_type().empty());
    EXPECT_TRUE(manager().stats().firstInstall);
  }
}

TEST_F(SettingsTest, StatisticsCountersTakeOnlyNonNegativeIntegers) {
  ASSERT_TRUE(WriteWholeFile(
      L"save\\Log.json",
      R"({"firstInstall": false, "downloadSize": 18446744073709551615, "downloadSpeed": 1.0e3,)"
      R"( "downloadTime": -5, "downloadVersion": "10076_1_0"})"));
  ASSERT_TRUE(WriteWholeFile(L"save\\EnvConfig.json", "{}"));
  manager().Startup();
  const DownloadStats s = manager().stats();
  EXPECT_FALSE(s.firstInstall);
  EXPECT_EQ(s.downloadSize, 18446744073709551615ull);
  EXPECT_EQ(s.downloadSpeed, 1000u);
  EXPECT_EQ(s.downloadTime, 0u);
  EXPECT_EQ(s.downloadVersion, "10076_1_0");
}

TEST_F(SettingsTest, GidAndExtraConfig) {
  ASSERT_TRUE(WriteWholeFile(L"save\\EnvConfig.json", R"({"gamePath": "game"})"));
  CreateDirectoryW(L"game", nullptr);
  CreateDirectoryW(L"game\\save", nullptr);
  ASSERT_TRUE(WriteWholeFile(L"game\\save\\gid.txt", "from game\r\n"));
  ASSERT_TRUE(WriteWholeFile(L"save\\extra_config.txt", R"({"install_package_type": "full"})"));
  manager().Startup();
  EXPECT_EQ(manager().gid(), "from game\r\n");  // byte for byte
  EXPECT_EQ(manager().install_package_type(), "full");

  ASSERT_TRUE(WriteWholeFile(L"save\\gid.txt", "mine"));
  manager().LoadGid();
  EXPECT_EQ(manager().gid(), "mine");
}

TEST(LanguageForLocaleTest, Table) {
  const std::pair<LCID, int> cases[] = {{1025, 0},  {1033, 0},   {2052, 1},   {133124, 1},
                                        {1041, 2},  {4100, 4},   {197636, 4}, {1066, 5},
                                        {20490, 9}, {15361, 13}, {66567, 15}, {2110, 17}};
  for (const auto& c : cases) EXPECT_EQ(LanguageForLocale(c.first), c.second) << c.first;
}

TEST(VersionTextTest, FormatVersion) {
  const std::pair<const char*, const char*> cases[] = {
      {"10076_5_3", "1.0.76.3.5"},
      {"10100_0_1", "1.1.0.1.0"},
      {"10000_2_1", "1.0.0.1.2"},
      {"1_2", "1_2"},
      {"5_1_2", "0.0.5.2.1"},
      {"2030405_6_7", "2.3.4.5.7.6"},
      {"x_1_2", "x_1_2"},
      {"", ""},
      {"99999999999_1_2", "99999999999_1_2"},
  };
  for (const auto& c : cases) {
    std::string out;
    FormatVersion(c.first, out);
    EXPECT_EQ(out, c.second) << c.first;
  }
}

TEST(VersionTextTest, ReadMapVersion) {
  struct Case {
    const char* text;  // null: no file
    const char* expected;
  };
  const Case cases[] = {
      {R"({"version": "10076_1_0", "list": {}})", "10076_1_0"},
      {R"({"version": {"md5": "abc"}})", "abc"},
      {R"({"version": {"size": 1}})", ""},
      {R"({"version": null})", "fallback"},
      {R"({"version": 12})", "fallback"},
      {R"({"list": {}})", "fallback"},
      {"not json", "fallback"},
      {nullptr, "fallback"},
  };
  for (const Case& c : cases) {
    DeleteFileW(L"map.txt");
    if (c.text) {
      ASSERT_TRUE(WriteWholeFile(L"map.txt", c.text));
    }
    std::string out;
    ReadMapVersion(L"map.txt", out, "fallback");
    EXPECT_EQ(out, c.expected) << (c.text ? c.text : "(none)");
  }
}

// ---------------------------------------------------------- ApplySettings

struct Recorded {
  std::vector<int> speed_limits;
  std::vector<std::string> events;
};

class ApplySettingsTest : public SettingsTest {
 protected:
  void SetUp() override {
    SettingsTest::SetUp();
    ASSERT_TRUE(WriteWholeFile(L"save\\EnvConfig.json", "{}"));
    manager().Startup();
    LauncherManager::Hooks hooks;
    hooks.apply_speed_limit = [this](int mode) { recorded_.speed_limits.push_back(mode); };
    hooks.send_setting_event = [this](const std::string& a, const std::string& c, int d, int p) {
      recorded_.events.push_back(a + "|" + c + "|" + std::to_string(d) + "|" + std::to_string(p));
    };
    manager().SetHooks(hooks);
    SetStartWithWindows(false, L"");
  }
  void TearDown() override {
    SetStartWithWindows(false, L"");
    SettingsTest::TearDown();
  }
  Recorded recorded_;
};

TEST_F(ApplySettingsTest, UnchangedRecordWritesNothing) {
  DeleteFileW(L"save\\EnvConfig.json");
  manager().ApplySettings(manager().settings());
  EXPECT_FALSE(FileExists(L"save\\EnvConfig.json"));
  EXPECT_TRUE(recorded_.events.empty());
  EXPECT_TRUE(recorded_.speed_limits.empty());
}

TEST_F(ApplySettingsTest, ChangesAreSavedOnceWithTheirSideEffects) {
  LauncherSettings wanted = manager().settings();
  wanted.closeToHide = true;
  wanted.downloadLimit = true;
  wanted.downloadSpeed = 512;
  wanted.predlcSpeed = 100;  // limit stays off
  wanted.languageType = 14;
  manager().ApplySettings(wanted);
  const LauncherSettings s = manager().settings();
  EXPECT_EQ(s.languageCode, "ru");
  EXPECT_TRUE(manager().languageChanged);
  EXPECT_EQ(recorded_.speed_limits, (std::vector<int>{0, 1}));
  EXPECT_EQ(recorded_.events, std::vector<std::string>{"|1|512|0"});
  const Json::Value file = ParseFile(L"save\\EnvConfig.json");
  EXPECT_EQ(file["downloadSpeed"].asInt(), 512);
  EXPECT_TRUE(file["closeToHide"].asBool());
  EXPECT_EQ(file["languageType"].asInt(), 14);
}

TEST_F(ApplySettingsTest, StartWithWindowsReportsWhatTheRegistryHolds) {
  LauncherSettings wanted = manager().settings();
  wanted.automaticStart = true;
  manager().ApplySettings(wanted);
  EXPECT_TRUE(manager().settings().automaticStart);
  // Written under the 32-bit Run key, or the plain one where that is missing.
  std::wstring value;
  ASSERT_TRUE(ReadRegistryString(HKEY_LOCAL_MACHINE,
                                 L"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Run",
                                 L"ZEPLauncher", 0, value) ||
              ReadRegistryString(HKEY_LOCAL_MACHINE,
                                 L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
                                 L"ZEPLauncher", 0, value));
  EXPECT_EQ(value, L"\"" + PathHelpers::ModuleFileName(nullptr) + L"\"");
  EXPECT_EQ(recorded_.events.back().substr(0, 2), "1|");

  wanted.automaticStart = false;
  manager().ApplySettings(wanted);
  EXPECT_FALSE(manager().settings().automaticStart);
  EXPECT_FALSE(StartWithWindowsPresent());
  EXPECT_EQ(recorded_.events.back().substr(0, 2), "0|");
  EXPECT_FALSE(ParseFile(L"save\\EnvConfig.json")["automaticStart"].asBool());
}

}  // namespace
