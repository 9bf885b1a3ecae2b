#include "update/check_version_state.h"

#include <memory>

#include "app/file_util.h"
#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "update/download_files_state.h"
#include "update/enter_game_state.h"
#include "update/exception_state.h"
#include "update/request_patch_state.h"
#include "update/version_map.h"

namespace {

const wchar_t kApplyList[] = L".\\update\\apply_list.txt";

}  // namespace

std::unique_ptr<State> MakeFetchState(UpdateMode mode, const std::string& installed_version) {
  if (LauncherManager::Instance().patchOption > 0 && !installed_version.empty()) {
    return std::make_unique<RequestPatchState>(mode);
  }
  return std::make_unique<DownloadFilesState>(mode);
}

void CheckVersionState::Enter(State* /*previous*/) {
  LauncherManager& manager = LauncherManager::Instance();
  manager.PostToMainWindow(kMsgSettingsChanged, 0, 0);
  if (mode_ == kGameMode) {
    local_key_ = VersionTable::kLocalGameVersion;
    remote_key_ = VersionTable::kRemoteGameVersion;
    update_key_ = VersionTable::kUpdateGameVersion;
    tmp_map_path_ = manager.GameFolder() + L"tmp_version_map.txt";
    map_path_ = manager.GameFolder() + L"version_map.txt";
  } else {
    local_key_ = VersionTable::kLocalLauncherVersion;
    remote_key_ = VersionTable::kRemoteLauncherVersion;
    update_key_ = VersionTable::kUpdateLauncherVersion;
    tmp_map_path_ = L".\\tmp_launcher_version_map.txt";
    map_path_ = L".\\launcher_version_map.txt";
  }
  local_only_.clear();
  VersionTable& table = manager.version_table();
  const VersionMap remote = table[remote_key_];
  DiffVersionMaps(table[local_key_], remote, table[update_key_], local_only_);
  manager.PostToMainWindow(kMsgCheckProgress, 0, 100);
  result_ = 1;
}

void CheckVersionState::Update() {
  if (result_ == 0) return;
  LauncherManager& manager = LauncherManager::Instance();
  VersionMap& update = manager.version_table()[update_key_];

  if (mode_ == kGameMode) {
    ApplyList applied;
    if (ReadApplyList(kApplyList, applied)) {
      if (applied.version != manager.known_game_version()) {
        DeleteFileW(kApplyList);
      } else {
        for (const std::string& path : applied.fileList) update.erase(path);
      }
    }
  } else {
    for (auto it = local_only_.begin(); it != local_only_.end(); ++it) {
      if (*it != "resources.zip") continue;
      local_only_.erase(it);
      if (OpensForReadingW(L".\\resources.zip")) {
        DeleteFileW(L".\\resources.zip");
        manager.resourcesChanged = -1;
      }
      break;
    }
  }

  if (!update.empty()) {
    const std::string version =
        mode_ == kGameMode ? manager.local_game_version() : manager.launcher_version();
    manager
        .version_table()[mode_ == kGameMode ? VersionTable::kGamePatchVersion
                                            : VersionTable::kLauncherPatchVersion]
        .clear();
    if (mode_ == kGameMode && !manager.CheckUpdateSpace(MakeDiskSpaceChoice(version))) {
      manager.SetState(
          std::make_unique<ExceptionState>(error_code_, error_text_, error_detail_, false));
      return;
    }
    manager.SetState(MakeFetchState(mode_, version));
    return;
  }

  if (OpensForReadingW(tmp_map_path_)) {
    // Kept when it cannot be made the installed map: the next check then
    // still sees the update as unfinished.
    if (PromoteTmpMap(tmp_map_path_, map_path_)) {
      if (mode_ == kGameMode) {
        manager.LoadGameVersion();
        if (OpensForReadingW(kApplyList)) DeleteFileW(kApplyList);
      } else {
        manager.LoadLauncherVersion();
      }
    }
  }
  if (manager.resourcesChanged != 0) {
    result_ = 0;
    manager.ReloadUiResources(&EnterGameAfterReload);
    return;
  }
  manager.SetState(std::make_unique<EnterGameState>());
}

void CheckVersionState::Exit(State* /*next*/) { local_only_.clear(); }
