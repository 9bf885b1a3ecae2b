// A game apply killed at a checkpoint: a child process applies the fixture's
// update one file per slice and is killed once the second checkpoint is
// written; a second run, which skips the checkpointed files as the next
// check does, finishes the update with every file equal to the new version
// and runs only the patches of the files not yet in place.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/file_util.h"
#include "app/launcher_manager.h"
#include "test_dir.h"
#include "test_process.h"
#include "update/apply_test_util.h"
#include "update/apply_update_state.h"
#include "update/fixture_files.h"
#include "update/game_repair.h"
#include "update/version_map.h"

namespace {

using applytest::GetFile;
using applytest::NotRunning;
using applytest::PutFile;

std::wstring Env(const wchar_t* name) {
  wchar_t value[2048] = {};
  const DWORD n = GetEnvironmentVariableW(name, value, 2048);
  return n > 0 && n < 2048 ? std::wstring(value, n) : std::wstring();
}

VersionMap LoadMap(const std::wstring& path) {
  VersionMap map;
  std::string error;
  EXPECT_TRUE(LoadVersionMapFile(path, map, error)) << error;
  map.erase(kMapVersionEntry);
  return map;
}

// What the check before an apply leaves in the table: the files to fetch
// (old installed map against the published one, minus the checkpoint) and
// the patch list.
void PrepareTable() {
  LauncherManager& m = LauncherManager::Instance();
  VersionTable& table = m.version_table();
  table.ResetAll();
  VersionMap local = applytest::MapOfTree(fixtures::Path("sample/old"));
  const VersionMap remote = LoadMap(fixtures::Path("content/version_map.txt"));
  std::vector<std::string> local_only;
  DiffVersionMaps(local, remote, table[VersionTable::kUpdateGameVersion], local_only);
  ApplyList applied;
  if (ReadApplyList(kApplyListPath, applied) && applied.version == "3_0_5") {
    for (const std::string& path : applied.fileList) {
      table[VersionTable::kUpdateGameVersion].erase(path);
    }
  }
  table[VersionTable::kGamePatchVersion] =
      LoadMap(fixtures::Path("content/patchs/3_0_4/patch_list.txt"));
}

// The run that gets killed, and the run that finishes: started by the test
// below as child processes.
TEST(ApplyChild, DISABLED_ApplyOneFilePerSlice) {
  const std::wstring dir = Env(L"APPLYTEST_DIR");
  if (dir.empty()) GTEST_SKIP() << "only run as the child of ApplyAfterKill";
  ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
  const int stop_after = _wtoi(Env(L"APPLYTEST_STOP_AFTER").c_str());
  LauncherManager& m = LauncherManager::Instance();
  m.ResetForTesting();
  LauncherSettings settings = m.settings();
  settings.gamePath = dir + L"\\Game";
  m.set_settings(settings);
  m.set_known_game_version("3_0_5");
  m.patchOption = 2;
  SetGameRunningTest(NotRunning);
  PrepareTable();
  ApplyUpdateState::SetSliceMsForTesting(0);
  ApplyUpdateState state(kGameMode);
  state.Enter(nullptr);
  int slices = 0;
  while (state.result() == 0) {
    state.ApplyGameUpdateSlice();
    ++slices;
    if (slices == stop_after) {
      ASSERT_TRUE(WriteFileTextW(L".\\report.txt", "checkpoint"));
      Sleep(120000);  // killed here
      return;
    }
  }
  std::string report = std::to_string(state.result()) + " " +
                       std::to_string(state.patches_applied()) + " " +
                       std::to_string(state.total()) + " " + state.error_detail();
  ASSERT_TRUE(WriteFileTextW(L".\\report.txt", report));
}

class ApplyAfterKill : public ::testing::Test {
 protected:
  void TearDown() override { SetEnvironmentVariableW(L"APPLYTEST_DIR", nullptr); }

  // Runs the child; with stop_after it is killed once its checkpoint of
  // that slice is written. The child's report.
  std::string RunChild(int stop_after) {
    DeleteFileW(L".\\report.txt");
    SetEnvironmentVariableW(L"APPLYTEST_DIR", testsupport::TestDir().c_str());
    SetEnvironmentVariableW(L"APPLYTEST_STOP_AFTER", std::to_wstring(stop_after).c_str());
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    testsupport::TestProcess child(
        self,
        L"--gtest_filter=ApplyChild.DISABLED_ApplyOneFilePerSlice --gtest_also_run_disabled_tests");
    EXPECT_TRUE(child.started());
    EXPECT_TRUE(
        testsupport::WaitUntil([] { return testsupport::FileExists(L".\\report.txt"); }, 120000));
    if (stop_after > 0) {
      child.Kill();
    } else {
      EXPECT_TRUE(child.WaitForExit(60000));
    }
    return testsupport::ReadWholeFile(L".\\report.txt");
  }
};

TEST_F(ApplyAfterKill, TheNextRunFinishesWithoutPatchingAnyFileTwice) {
  // The old version installed, the fetched map beside it, and every file of
  // the update fetched into .\update (patches where the list has them).
  const std::wstring game = testsupport::TestDir() + L"Game";
  ASSERT_TRUE(applytest::CopyTree(fixtures::Path("sample/old"), game));
  std::string error;
  ASSERT_TRUE(WriteVersionMapFile(game + L"\\version_map.txt",
                                  applytest::MapOfTree(fixtures::Path("sample/old")), "3_0_4",
                                  error));
  const std::string published = fixtures::Read("content/version_map.txt");
  ASSERT_TRUE(PutFile(game, "tmp_version_map.txt", published));
  PrepareTable();
  VersionTable& table = LauncherManager::Instance().version_table();
  const VersionMap files = table[VersionTable::kUpdateGameVersion];
  const VersionMap patches = table[VersionTable::kGamePatchVersion];
  ASSERT_EQ(files.size(), 6u);
  int patched = 0;
  for (const auto& f : files) {
    if (patches.count(f.first) != 0) {
      ++patched;
      ASSERT_TRUE(PutFile(L".\\update", f.first + ".patch",
                          fixtures::Read("content/patchs/3_0_4/" + f.first + ".patch")));
    } else {
      ASSERT_TRUE(PutFile(L".\\update", f.first, fixtures::Read("content/" + f.first)));
    }
  }
  ASSERT_EQ(patched, 4);

  EXPECT_EQ(RunChild(2), "checkpoint");
  ApplyList list;
  ASSERT_TRUE(ReadApplyList(kApplyListPath, list));
  EXPECT_EQ(list.version, "3_0_5");
  ASSERT_EQ(list.fileList, (std::vector<std::string>{"VEXA.exe", "data/a.pak"}));
  for (const std::string& path : list.fileList) {
    EXPECT_EQ(GetFile(game, path), fixtures::Read("sample/new/" + path)) << path;
  }
  EXPECT_EQ(GetFile(game, "data/b.txt"), fixtures::Read("sample/old/data/b.txt"));
  EXPECT_EQ(GetFile(game, "version_map.txt").find("3_0_4") != std::string::npos, true);

  // Two of the four patches ran before the kill; the second run runs the
  // other two only, and applies the four files left.
  EXPECT_EQ(RunChild(0), "1 2 4 ");
  EXPECT_EQ(applytest::DifferingFiles(fixtures::Path("sample/new"), game),
            std::vector<std::string>{});
  EXPECT_EQ(GetFile(game, "version_map.txt"), published);
  EXPECT_FALSE(applytest::Exists(game, "tmp_version_map.txt"));
  EXPECT_FALSE(testsupport::FileExists(kApplyListPath));
  EXPECT_TRUE(applytest::TreeFiles(L".\\update").empty());
}

}  // namespace
