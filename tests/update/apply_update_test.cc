// The apply state on the test's own thread: the launcher apply with its
// pending lists and flags, the game apply in slices with a checkpoint after
// each, patched files checked against the published md5, the alias of a
// renamed file, and the refusal while the game client runs.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/file_util.h"
#include "app/launcher_manager.h"
#include "update/apply_test_util.h"
#include "update/apply_update_state.h"
#include "update/download_files_state.h"
#include "update/fixture_files.h"
#include "update/game_repair.h"
#include "update/pending_file_list.h"
#include "update/version_map.h"

namespace {

using applytest::Exists;
using applytest::GetFile;
using applytest::Md5Of;
using applytest::NotRunning;
using applytest::PutFile;
using testsupport::FileExists;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

const wchar_t kUpdate[] = L".\\update";

class ApplyUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LauncherManager& m = manager();
    m.ResetForTesting();
    m.version_table().ResetAll();
    m.patchOption = 0;
    m.launcherUpdatePending = false;
    m.launcherUpdateFresh = false;
    m.cefUpdatePending = false;
    m.fontUpdatePending = false;
    m.resourcesChanged = 0;
    // Cases in a loop run SetUp again: each starts from empty folders.
    game_ = testsupport::TestDir() + L"Game Folder";
    RemoveTreeW(game_);
    RemoveTreeW(kUpdate);
    MakeDirsW(game_);
    MakeDirsW(kUpdate);
    ASSERT_TRUE(PutFile(game_, "tmp_version_map.txt", "{\"list\":null,\"version\":\"3_0_5\"}"));
    LauncherSettings settings = m.settings();
    settings.gamePath = game_;
    m.set_settings(settings);
    ClearFetchWholeMarks();
    SetPatchSuffixFlag(false);
    ApplyUpdateState::SetClockForTesting(nullptr);
    ApplyUpdateState::SetSliceMsForTesting(1000);
    SetGameRunningTest(NotRunning);
  }
  void TearDown() override {
    ApplyUpdateState::SetClockForTesting(nullptr);
    ApplyUpdateState::SetSliceMsForTesting(1000);
    SetGameRunningTest(NotRunning);
    ClearFetchWholeMarks();
    manager().version_table().Clear();
    manager().ResetForTesting();
  }

  static LauncherManager& manager() { return LauncherManager::Instance(); }
  static VersionMap& Table(const char* key) { return manager().version_table()[key]; }

  // A file fetched into .\update and listed in the update map `key`.
  static void Fetched(const char* key, const std::string& path, const std::string& bytes) {
    ASSERT_TRUE(PutFile(kUpdate, path, bytes));
    Table(key)[path] = VersionEntry{Md5Of(bytes), static_cast<int32_t>(bytes.size())};
  }

  // Runs a game apply to its end; the number of slices it took.
  static int RunGameApply(ApplyUpdateState& state, int max_slices = 10000) {
    state.Enter(nullptr);
    int slices = 0;
    while (state.result() == 0 && slices < max_slices) {
      state.ApplyGameUpdateSlice();
      ++slices;
    }
    return slices;
  }

  std::wstring game_;
};

// ------------------------------------------------------------ launcher apply

TEST_F(ApplyUpdateTest, LauncherApplyLeavesProgramRuntimeAndFontsPendingWithTheirLists) {
  const char* key = VersionTable::kUpdateLauncherVersion;
  Fetched(key, "launcher.exe", "new program");
  Fetched(key, "cef/sub/libcef.dll", "runtime");
  Fetched(key, "SourceHanSansCNBold.ttf", "font");
  Fetched(key, "resources.zip", "package");
  Fetched(key, "docs/readme.txt", "readme");
  ASSERT_TRUE(
      WriteWholeFile(L".\\launcher_version_map.txt", "{\"list\":null,\"version\":\"1.0.0\"}"));
  const std::string fetched_map = "{\"list\":null,\"version\":\"2.3.1\"}";
  ASSERT_TRUE(WriteWholeFile(L".\\tmp_launcher_version_map.txt", fetched_map));

  ApplyUpdateState state(kLauncherMode);
  state.Enter(nullptr);
  ASSERT_EQ(state.result(), 1) << state.error_detail();

  EXPECT_EQ(ReadWholeFile(L".\\resources.zip"), "package");
  EXPECT_EQ(ReadWholeFile(L".\\docs\\readme.txt"), "readme");
  EXPECT_FALSE(FileExists(L".\\update\\resources.zip"));
  EXPECT_FALSE(FileExists(L".\\update\\docs\\readme.txt"));
  for (const char* waiting : {"launcher.exe", "cef/sub/libcef.dll", "SourceHanSansCNBold.ttf"}) {
    EXPECT_TRUE(Exists(kUpdate, waiting)) << waiting;
  }
  EXPECT_FALSE(FileExists(L".\\cef\\sub\\libcef.dll"));
  std::vector<std::string> cef, fonts;
  ASSERT_TRUE(ReadStringListFile(L".\\update\\cef_update.txt", cef));
  ASSERT_TRUE(ReadStringListFile(L".\\update\\font_update.txt", fonts));
  EXPECT_EQ(cef, (std::vector<std::string>{"cef/sub/libcef.dll"}));
  EXPECT_EQ(fonts, (std::vector<std::string>{"SourceHanSansCNBold.ttf"}));
  LauncherManager& m = manager();
  EXPECT_TRUE(m.launcherUpdatePending);
  EXPECT_TRUE(m.launcherUpdateFresh);
  EXPECT_TRUE(m.cefUpdatePending);
  EXPECT_TRUE(m.fontUpdatePending);
  EXPECT_EQ(m.resourcesChanged, 1);
  EXPECT_EQ(ReadWholeFile(L".\\launcher_version_map.txt"), fetched_map);
  EXPECT_FALSE(FileExists(L".\\tmp_launcher_version_map.txt"));
  EXPECT_EQ(m.launcher_version(), "2.3.1");
}

TEST_F(ApplyUpdateTest, AFailedLauncherApplyRaisesNoPendingFlagAndKeepsTheOldMap) {
  const char* key = VersionTable::kUpdateLauncherVersion;
  Fetched(key, "launcher.exe", "new program");
  Fetched(key, "cef/a.dll", "runtime");
  Fetched(key, "LomaB.ttf", "font");
  Fetched(key, "blocked.txt", "cannot land");
  ASSERT_TRUE(CreateDirectoryW(L".\\blocked.txt", nullptr));  // the copy fails
  const std::string old_map = "{\"list\":null,\"version\":\"1.0.0\"}";
  ASSERT_TRUE(WriteWholeFile(L".\\launcher_version_map.txt", old_map));
  ASSERT_TRUE(
      WriteWholeFile(L".\\tmp_launcher_version_map.txt", "{\"list\":null,\"version\":\"2\"}"));

  ApplyUpdateState state(kLauncherMode);
  state.Enter(nullptr);
  EXPECT_EQ(state.result(), -1);
  EXPECT_EQ(state.error_text(), "Apply Failed");
  EXPECT_EQ(state.error_detail(), " blocked.txt");
  LauncherManager& m = manager();
  EXPECT_FALSE(m.launcherUpdatePending);
  EXPECT_FALSE(m.cefUpdatePending);
  EXPECT_FALSE(m.fontUpdatePending);
  EXPECT_FALSE(FileExists(L".\\update\\cef_update.txt"));
  EXPECT_FALSE(FileExists(L".\\update\\font_update.txt"));
  EXPECT_EQ(ReadWholeFile(L".\\launcher_version_map.txt"), old_map);
  EXPECT_TRUE(FileExists(L".\\tmp_launcher_version_map.txt"));
}

TEST_F(ApplyUpdateTest, RuntimeFilesLeftWaitingByAnEarlierApplyStayListed) {
  const char* key = VersionTable::kUpdateLauncherVersion;
  Fetched(key, "cef/first.dll", "1");
  ApplyUpdateState first(kLauncherMode);
  first.Enter(nullptr);
  ASSERT_EQ(first.result(), 1);
  Table(key).clear();
  Fetched(key, "cef/second.dll", "2");
  ApplyUpdateState second(kLauncherMode);
  second.Enter(nullptr);
  ASSERT_EQ(second.result(), 1);
  std::vector<std::string> cef;
  ASSERT_TRUE(ReadStringListFile(L".\\update\\cef_update.txt", cef));
  EXPECT_EQ(cef, (std::vector<std::string>{"cef/first.dll", "cef/second.dll"}));
}

TEST_F(ApplyUpdateTest, ALauncherPatchMustGiveThePublishedFile) {
  const Json::Value manifest = fixtures::ReadJson("patches/manifest.json");
  ASSERT_TRUE(manifest.isArray() && manifest.size() > 0);
  const Json::Value& c = manifest[0];
  const std::string old_bytes = fixtures::Read("patches/" + c["old"].asString());
  const std::string new_bytes = fixtures::Read("patches/" + c["new"].asString());
  const std::string patch = fixtures::Read("patches/" + c["patch"].asString());
  struct Case {
    int option;
    bool right_md5;
    const char* detail;
  } cases[] = {{2, true, ""}, {1, true, ""}, {2, false, " tool.bin(md5)"}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.option);
    SetUp();
    manager().patchOption = k.option;
    ASSERT_TRUE(WriteWholeFile(L".\\tool.bin", old_bytes));
    ASSERT_TRUE(PutFile(kUpdate, "tool.bin.patch", patch));
    const std::string published = k.right_md5 ? new_bytes : new_bytes + "x";
    Table(VersionTable::kUpdateLauncherVersion)["tool.bin"] =
        VersionEntry{Md5Of(published), static_cast<int32_t>(published.size())};
    Table(VersionTable::kLauncherPatchVersion)["tool.bin"] =
        VersionEntry{Md5Of(patch), static_cast<int32_t>(patch.size())};
    ApplyUpdateState state(kLauncherMode);
    state.Enter(nullptr);
    EXPECT_EQ(state.result(), k.right_md5 ? 1 : -1);
    EXPECT_EQ(state.error_detail(), k.detail);
    EXPECT_EQ(ReadWholeFile(L".\\tool.bin"), k.right_md5 ? new_bytes : old_bytes);
    EXPECT_FALSE(Exists(kUpdate, "tool.bin.patch"));  // used, or useless
    EXPECT_FALSE(Exists(kUpdate, "tool.bin"));
    EXPECT_EQ(IsMarkedFetchWhole(kLauncherMode, "tool.bin"), !k.right_md5);
  }
}

// ---------------------------------------------------------------- game apply

TEST_F(ApplyUpdateTest, AGameApplyRunsInSlicesWithACheckpointAfterEach) {
  // 300 files whose moves "take" 10 ms each on the stepping clock: about
  // a hundred per one-second slice.
  applytest::SteppingClock::step = 10;
  nbase::TickClock clock(&applytest::SteppingClock::Read);
  ApplyUpdateState::SetClockForTesting(&clock);
  const char* key = VersionTable::kUpdateGameVersion;
  for (int i = 0; i < 300; ++i) {
    char name[32];
    snprintf(name, sizeof(name), "data/f%03d.bin", i);
    Fetched(key, name, "content " + std::to_string(i));
  }
  manager().set_known_game_version("3_0_5");
  const std::string fetched_map = "{\"list\":null,\"version\":\"3_0_5\"}";
  ASSERT_TRUE(PutFile(game_, "tmp_version_map.txt", fetched_map));

  ApplyUpdateState state(kGameMode);
  state.Enter(nullptr);
  EXPECT_EQ(state.total(), 300);
  std::vector<size_t> checkpoints;
  while (state.result() == 0) {
    state.ApplyGameUpdateSlice();
    ApplyList list;
    if (state.result() == 0) {
      ASSERT_TRUE(ReadApplyList(kApplyListPath, list));
      EXPECT_EQ(list.version, "3_0_5");
      EXPECT_EQ(list.fileList, state.applied().fileList);
      checkpoints.push_back(list.fileList.size());
    }
    ASSERT_LT(checkpoints.size(), 10u);
  }
  ASSERT_EQ(state.result(), 1) << state.error_detail();
  EXPECT_GE(state.slices(), 3);
  EXPECT_LE(state.slices(), 4);
  ASSERT_GE(checkpoints.size(), 2u);
  EXPECT_GE(checkpoints[0], 90u);
  EXPECT_LE(checkpoints[0], 110u);
  EXPECT_EQ(applytest::DifferingFiles(kUpdate, game_).size(), 0u);
  EXPECT_EQ(GetFile(game_, "data/f299.bin"), "content 299");
  EXPECT_FALSE(Exists(kUpdate, "data/f000.bin"));
  EXPECT_FALSE(FileExists(kApplyListPath));
  EXPECT_EQ(GetFile(game_, "version_map.txt"), fetched_map);
  EXPECT_FALSE(Exists(game_, "tmp_version_map.txt"));
  EXPECT_EQ(manager().local_game_version(), "3_0_5");
}

TEST_F(ApplyUpdateTest, AnEmptySliceBudgetStillAppliesOneFilePerSlice) {
  ApplyUpdateState::SetSliceMsForTesting(0);
  for (const char* path : {"a", "b", "c"}) Fetched(VersionTable::kUpdateGameVersion, path, path);
  manager().set_known_game_version("3_0_5");
  ApplyUpdateState state(kGameMode);
  EXPECT_EQ(RunGameApply(state), 3);
  EXPECT_EQ(state.result(), 1);
}

TEST_F(ApplyUpdateTest, AGameUpdateNeverPutsTheLauncherProgramInTheGameFolder) {
  Fetched(VersionTable::kUpdateGameVersion, "launcher.exe", "launcher");
  Fetched(VersionTable::kUpdateGameVersion, "VEXA.exe", "game");
  manager().set_known_game_version("3_0_5");
  ApplyUpdateState state(kGameMode);
  RunGameApply(state);
  EXPECT_EQ(state.result(), 1);
  EXPECT_EQ(state.total(), 1);  // the game files only
  EXPECT_FALSE(Exists(game_, "launcher.exe"));
  EXPECT_EQ(GetFile(game_, "VEXA.exe"), "game");
}

TEST_F(ApplyUpdateTest, PatchesFromBothAppliersAreCheckedAndARenamedFileIsPatchedFromItsAlias) {
  const Json::Value manifest = fixtures::ReadJson("patches/manifest.json");
  ASSERT_TRUE(manifest.isArray() && manifest.size() >= 2);
  for (int option : {1, 2}) {
    SCOPED_TRACE(option);
    SetUp();
    manager().patchOption = option;
    manager().set_known_game_version("3_0_5");
    manager().SetRenamedFilesForTesting({{L"Data/published_name", L"Data/alias name"}});
    SetPatchSuffixFlag(option == 1);  // ".qvdiff" for the in-memory run
    const std::string suffix = PatchSuffix();
    std::vector<std::string> expected;
    for (Json::ArrayIndex i = 0; i < 2; ++i) {
      const Json::Value& c = manifest[i];
      const std::string path = i == 0 ? "Data/published_name" : "Data/" + c["name"].asString();
      const std::string old_bytes = fixtures::Read("patches/" + c["old"].asString());
      const std::string new_bytes = fixtures::Read("patches/" + c["new"].asString());
      const std::string patch = fixtures::Read("patches/" + c["patch"].asString());
      if (i == 0) {
        // The published file is damaged; its alias keeps the installed bytes.
        ASSERT_TRUE(PutFile(game_, path, "damaged"));
        ASSERT_TRUE(PutFile(game_, "Data/alias name", old_bytes));
      } else {
        ASSERT_TRUE(PutFile(game_, path, old_bytes));
      }
      ASSERT_TRUE(PutFile(kUpdate, path + suffix, patch));
      Table(VersionTable::kUpdateGameVersion)[path] =
          VersionEntry{Md5Of(new_bytes), static_cast<int32_t>(new_bytes.size())};
      Table(VersionTable::kGamePatchVersion)[path] =
          VersionEntry{Md5Of(patch), static_cast<int32_t>(patch.size())};
      expected.push_back(new_bytes);
    }
    ApplyUpdateState state(kGameMode);
    RunGameApply(state);
    ASSERT_EQ(state.result(), 1) << state.error_detail();
    EXPECT_EQ(state.patches_applied(), 2);
    EXPECT_EQ(GetFile(game_, "Data/published_name"), expected[0]);
    EXPECT_EQ(GetFile(game_, "Data/alias name"), expected[0]);
    EXPECT_EQ(GetFile(game_, "Data/" + manifest[1]["name"].asString()), expected[1]);
    EXPECT_TRUE(applytest::TreeFiles(kUpdate).empty());  // patches and results gone
  }
}

TEST_F(ApplyUpdateTest, APatchThatFailsOrGivesAnotherFileFailsAndIsFetchedWholeNextTime) {
  const Json::Value manifest = fixtures::ReadJson("patches/manifest.json");
  const Json::Value& c = manifest[0];
  const std::string old_bytes = fixtures::Read("patches/" + c["old"].asString());
  const std::string new_bytes = fixtures::Read("patches/" + c["new"].asString());
  const std::string patch = fixtures::Read("patches/" + c["patch"].asString());
  struct Case {
    int option;
    std::string patch;
    std::string published;
    const char* detail;
  } cases[] = {
      {2, patch, new_bytes + "!", " f.bin(md5) "},      // applies, other bytes
      {1, "not a patch", new_bytes, " f.bin(10000) "},  // in-memory applier fails
      {2, "not a patch", new_bytes, " f.bin(0) "},      // streamed: container unreadable
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.detail);
    SetUp();
    manager().patchOption = k.option;
    manager().set_known_game_version("3_0_5");
    ASSERT_TRUE(PutFile(game_, "f.bin", old_bytes));
    ASSERT_TRUE(PutFile(kUpdate, "f.bin.patch", k.patch));
    Fetched(VersionTable::kUpdateGameVersion, "ok.bin", "fine");
    Table(VersionTable::kUpdateGameVersion)["f.bin"] =
        VersionEntry{Md5Of(k.published), static_cast<int32_t>(k.published.size())};
    Table(VersionTable::kGamePatchVersion)["f.bin"] =
        VersionEntry{Md5Of(k.patch), static_cast<int32_t>(k.patch.size())};
    ASSERT_TRUE(PutFile(game_, "tmp_version_map.txt", "{\"list\":null,\"version\":\"3_0_5\"}"));
    ApplyUpdateState state(kGameMode);
    RunGameApply(state);
    EXPECT_EQ(state.result(), -1);
    EXPECT_EQ(state.error_text(), "Apply Failed");
    EXPECT_EQ(state.error_detail(), k.detail);
    EXPECT_EQ(GetFile(game_, "f.bin"), old_bytes);  // the installed file is untouched
    EXPECT_EQ(GetFile(game_, "ok.bin"), "fine");
    EXPECT_FALSE(Exists(kUpdate, "f.bin"));
    EXPECT_FALSE(Exists(kUpdate, "f.bin.patch"));
    EXPECT_TRUE(IsMarkedFetchWhole(kGameMode, "f.bin"));
    ApplyList list;
    ASSERT_TRUE(ReadApplyList(kApplyListPath, list));
    EXPECT_EQ(list.fileList, (std::vector<std::string>{"ok.bin"}));
    EXPECT_TRUE(Exists(game_, "tmp_version_map.txt"));  // the update is unfinished
    EXPECT_FALSE(Exists(game_, "version_map.txt"));
  }
}

TEST_F(ApplyUpdateTest, AFilePutInPlaceBeforeACrashIsNotPatchedAgain) {
  const Json::Value manifest = fixtures::ReadJson("patches/manifest.json");
  const Json::Value& c = manifest[0];
  const std::string new_bytes = fixtures::Read("patches/" + c["new"].asString());
  const std::string patch = fixtures::Read("patches/" + c["patch"].asString());
  manager().patchOption = 2;
  manager().set_known_game_version("3_0_5");
  ASSERT_TRUE(PutFile(game_, "f.bin", new_bytes));  // moved, but not checkpointed
  ASSERT_TRUE(PutFile(kUpdate, "f.bin.patch", patch));
  Table(VersionTable::kUpdateGameVersion)["f.bin"] =
      VersionEntry{Md5Of(new_bytes), static_cast<int32_t>(new_bytes.size())};
  Table(VersionTable::kGamePatchVersion)["f.bin"] =
      VersionEntry{Md5Of(patch), static_cast<int32_t>(patch.size())};
  ApplyUpdateState state(kGameMode);
  RunGameApply(state);
  EXPECT_EQ(state.result(), 1) << state.error_detail();
  EXPECT_EQ(state.patches_applied(), 0);
  EXPECT_EQ(GetFile(game_, "f.bin"), new_bytes);
  EXPECT_TRUE(applytest::TreeFiles(kUpdate).empty());
}

TEST_F(ApplyUpdateTest, AGameApplyIsRefusedWhileTheGameRuns) {
  Fetched(VersionTable::kUpdateGameVersion, "VEXA.exe", "new");
  ASSERT_TRUE(PutFile(game_, "VEXA.exe", "old"));
  manager().set_known_game_version("3_0_5");
  SetGameRunningTest([] { return true; });
  ApplyUpdateState state(kGameMode);
  RunGameApply(state);
  EXPECT_EQ(state.result(), -1);
  EXPECT_EQ(state.error_text(), "Apply Failed");
  EXPECT_EQ(GetFile(game_, "VEXA.exe"), "old");
  EXPECT_TRUE(Exists(kUpdate, "VEXA.exe"));
}

TEST_F(ApplyUpdateTest, ACheckpointOfAnotherVersionIsNotCarriedOver) {
  MakeDirsW(kUpdate);
  ASSERT_TRUE(WriteWholeFile(kApplyListPath, "{\"fileList\":[\"old.bin\"],\"version\":\"3_0_3\"}"));
  Fetched(VersionTable::kUpdateGameVersion, "a.bin", "a");
  manager().set_known_game_version("3_0_5");
  ApplyUpdateState state(kGameMode);
  state.Enter(nullptr);
  EXPECT_EQ(state.applied().version, "3_0_5");
  EXPECT_TRUE(state.applied().fileList.empty());
}

}  // namespace
