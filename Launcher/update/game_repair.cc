#include "update/game_repair.h"

#include <windows.h>

#include <string>
#include <utility>

#include "app/file_util.h"
#include "app/game_start.h"
#include "app/launcher_manager.h"
#include "base/lock.h"
#include "base/text_util.h"
#include "update/state.h"

namespace {

nbase::Lock& TestLock() {
  static nbase::Lock lock;
  return lock;
}

std::function<bool()>& RunningTest() {
  static std::function<bool()> test;
  return test;
}

std::string Utf8(const std::wstring& wide) {
  std::string out;
  TextUtil::WideToUtf8(wide.c_str(), out);
  return out;
}

}  // namespace

bool IsGameClientRunning() {
  std::function<bool()> test;
  {
    nbase::AutoLock hold(TestLock());
    test = RunningTest();
  }
  return test ? test() : IsGameRunning();
}

void SetGameRunningTest(std::function<bool()> test) {
  nbase::AutoLock hold(TestLock());
  RunningTest() = std::move(test);
}

bool LauncherManager::HasPartialGameDownload() const {
  const std::wstring folder = GameFolder();
  return !folder.empty() && OpensForReadingW(folder + L"tmp_version_map.txt");
}

bool LauncherManager::RepairGame() {
  // Deleting the map under a running client or a running game update would
  // let either trust files that are being replaced.
  if (IsGameClientRunning()) return false;
  const StateSnapshot state = CurrentState();
  if (state.mode == kGameMode && state.type >= kStatePrepare && state.type <= kStateApplyUpdate) {
    return false;
  }
  const std::wstring folder = GameFolder();
  const std::wstring root = NormalizeDirW(folder, false);
  if (!root.empty()) {
    for (const auto& renamed : RenamedFiles()) {
      std::wstring alias;
      if (BuildPathUnder(root, Utf8(renamed.second), alias) && OpensForReadingW(alias)) {
        DeleteFileW(SystemPathW(alias).c_str());
      }
    }
    const std::wstring map = folder + L"version_map.txt";
    if (OpensForReadingW(map)) DeleteFileW(SystemPathW(map).c_str());
  }
  wchar_t profile[MAX_PATH * 2] = {};
  const DWORD n = GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH * 2);
  if (n > 0 && n < MAX_PATH * 2) {
    const std::wstring profile_dir = NormalizeDirW(profile, false);
    std::wstring game_profile;
    if (!profile_dir.empty() && BuildPathUnder(profile_dir, ".qvmpc", game_profile) &&
        IsDirW(game_profile)) {
      RemoveTreeW(game_profile);
    }
  }
  RestartGameCheck(0, true);
  return true;
}
