// Game repair and the unfinished-update test: a repair of an intact game
// fetches nothing, one of a damaged game fetches only the damaged files;
// both rebuild the installed map and remove the game's profile folder and
// the aliases, and neither starts the game. A repair is refused while the
// game client runs.
#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/file_util.h"
#include "state_harness.h"
#include "test_process.h"
#include "update/apply_test_util.h"
#include "update/fixture_files.h"
#include "update/game_repair.h"
#include "update/version_map.h"

namespace {

using applytest::Exists;
using applytest::GetFile;
using applytest::NotRunning;
using applytest::PutFile;
using statetest::StateHarness;
using statetest::StateStep;

constexpr int G = kGameMode;

std::wstring CdnRoot() {
  std::wstring cdn = StateHarness::CdnFile("x");
  cdn.resize(cdn.size() - 2);
  return cdn;
}

// Game files the content host was asked for (maps, probes and the gate
// left out).
std::set<std::string> FetchedGameFiles() {
  std::set<std::string> out;
  const Json::Value requests = StateHarness::server().Requests();
  for (const Json::Value& r : requests) {
    const std::string path = r["path"].asString();
    if (path.compare(0, 5, "/cdn/") != 0) continue;
    const std::string rel = path.substr(5);
    if (rel == "version_map.txt" || rel == "launcher_version_map.txt" ||
        rel.compare(0, 7, "patchs/") == 0) {
      continue;
    }
    out.insert(rel);
  }
  return out;
}

class GameRepairTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(StateHarness::StartSuite()); }
  static void TearDownTestSuite() { StateHarness::StopSuite(); }

  void SetUp() override {
    wchar_t saved[1024] = {};
    const DWORD n = GetEnvironmentVariableW(L"USERPROFILE", saved, 1024);
    had_profile_ = n > 0 && n < 1024;
    saved_profile_ = had_profile_ ? saved : L"";
    profile_ = testsupport::TestDir() + L"profile";
    MakeDirsW(profile_ + L"\\.qvmpc\\cache");
    ASSERT_TRUE(testsupport::WriteWholeFile(profile_ + L"\\.qvmpc\\cache\\x.dat", "x"));
    SetEnvironmentVariableW(L"USERPROFILE", profile_.c_str());
    SetGameRunningTest(NotRunning);
  }
  void TearDown() override {
    harness_.Stop();
    SetEnvironmentVariableW(L"USERPROFILE", had_profile_ ? saved_profile_.c_str() : nullptr);
    SetGameRunningTest(NotRunning);
  }

  // The fixture's new version installed with the published map, served by
  // the content host; the launcher check at start has rested.
  void InstallAndStart() {
    StateHarness::ClearCdn();
    ASSERT_TRUE(applytest::CopyTree(fixtures::Path("content"), CdnRoot()));
    StateHarness::PutQuietLauncherMaps();
    const std::wstring game = harness_.game_folder();
    ASSERT_TRUE(applytest::CopyTree(fixtures::Path("sample/new"), game));
    ASSERT_TRUE(PutFile(game, "version_map.txt", GetFile(CdnRoot(), "version_map.txt")));
    ASSERT_TRUE(PutFile(game, "data/a alias.pak", GetFile(game, "data/a.pak")));
    ASSERT_TRUE(StateHarness::ServeGate(StateHarness::BothAnswers(",\"PatchOption\":0")));
    harness_.Start([](LauncherManager::Hooks&) {
      LauncherManager::Instance().SetRenamedFilesForTesting({{L"data/a.pak", L"data/a alias.pak"}});
    });
    ASSERT_TRUE(harness_.WaitFor(kStateEnterGame));
    StateHarness::server().ClearRequests();
    StateHarness::ClearTrail();
  }

  void RepairAndWait() {
    ASSERT_TRUE(LauncherManager::Instance().RepairGame());
    ASSERT_TRUE(testsupport::WaitUntil(
        [] {
          const std::vector<StateStep> t = StateHarness::Trail();
          return !t.empty() &&
                 (t.back().type == kStateEnterGame || t.back().type == kStateException);
        },
        120000));
    harness_.Settle();
  }

  void ExpectRepaired() {
    const std::wstring game = harness_.game_folder();
    EXPECT_EQ(StateHarness::Trail().back(), (StateStep{kStateEnterGame, G}));
    EXPECT_EQ(applytest::DifferingFiles(fixtures::Path("sample/new"), game),
              std::vector<std::string>{});
    EXPECT_EQ(GetFile(game, "version_map.txt"), GetFile(CdnRoot(), "version_map.txt"));
    EXPECT_FALSE(Exists(game, "tmp_version_map.txt"));
    EXPECT_EQ(GetFile(game, "data/a alias.pak"), GetFile(game, "data/a.pak"));
    EXPECT_FALSE(IsDirW(profile_ + L"\\.qvmpc"));
    EXPECT_FALSE(LauncherManager::Instance().enterGameAfterCheck);
  }

  StateHarness harness_;
  std::wstring profile_, saved_profile_;
  bool had_profile_ = false;
};

TEST_F(GameRepairTest, RepairOfAnIntactGameFetchesNothing) {
  InstallAndStart();
  RepairAndWait();
  EXPECT_EQ(StateHarness::Trail(), (std::vector<StateStep>{{kStatePrepare, G},
                                                           {kStateRequestRemote, G},
                                                           {kStateCheckVersion, G},
                                                           {kStateEnterGame, G}}));
  EXPECT_EQ(FetchedGameFiles(), std::set<std::string>{});
  ExpectRepaired();
}

TEST_F(GameRepairTest, RepairOfADamagedGameFetchesOnlyTheDamagedFiles) {
  InstallAndStart();
  const std::wstring game = harness_.game_folder();
  ASSERT_TRUE(PutFile(game, "data/b.txt", "damaged"));
  ASSERT_TRUE(DeleteFileW((game + L"\\data\\new.bin").c_str()));
  RepairAndWait();
  EXPECT_EQ(FetchedGameFiles(), (std::set<std::string>{"data/b.txt", "data/new.bin"}));
  ExpectRepaired();
}

TEST_F(GameRepairTest, ARepairIsRefusedWhileTheGameRuns) {
  const std::wstring game = harness_.game_folder();
  ASSERT_TRUE(PutFile(game, "version_map.txt", "{}"));
  SetGameRunningTest([] { return true; });
  EXPECT_FALSE(LauncherManager::Instance().RepairGame());
  EXPECT_TRUE(Exists(game, "version_map.txt"));
  EXPECT_TRUE(IsDirW(profile_ + L"\\.qvmpc"));
}

TEST(PartialGameDownloadTest, AFetchedButUnappliedMapMarksAnUnfinishedUpdate) {
  LauncherManager& manager = LauncherManager::Instance();
  manager.ResetForTesting();
  const std::wstring game = testsupport::TestDir() + L"Game";
  MakeDirsW(game);
  LauncherSettings settings = manager.settings();
  settings.gamePath = game;  // no trailing separator: one is put in between
  manager.set_settings(settings);
  EXPECT_FALSE(manager.HasPartialGameDownload());
  ASSERT_TRUE(PutFile(game, "tmp_version_map.txt", "{}"));
  EXPECT_TRUE(manager.HasPartialGameDownload());
  settings.gamePath.clear();
  manager.set_settings(settings);
  EXPECT_FALSE(manager.HasPartialGameDownload());
  manager.ResetForTesting();
}

}  // namespace
