#include "update/request_patch_state.h"

#include <memory>

#include "app/launcher_manager.h"
#include "download/download_manager.h"
#include "update/download_files_state.h"
#include "update/version_map.h"

void RequestPatchState::Enter(State* /*previous*/) {
  LauncherManager& manager = LauncherManager::Instance();
  patch_key_ =
      mode_ == kGameMode ? VersionTable::kGamePatchVersion : VersionTable::kLauncherPatchVersion;
  manager.version_table().Reset(patch_key_);
  result_ = 0;
  DownloadManager& engine = DownloadManager::Instance();
  engine.UseResourceUrls();
  // Without a base URL there is no answer; whole files are fetched then.
  if (!engine.DownloadMemory(BuildPatchUrl("patch_list.txt"), std::string(), &OnDownloaderResponse,
                             kStateRequestPatch)) {
    result_ = -1;
  }
}

void RequestPatchState::OnResponse(int code, const std::string& /*url*/, const char* body,
                                   int length, const std::string& /*error*/) {
  result_ = -1;
  if (code < 0) return;
  const std::string text = body != nullptr && length > 0
                               ? std::string(body, static_cast<size_t>(length))
                               : std::string();
  VersionMap& patches = LauncherManager::Instance().version_table()[patch_key_];
  std::string parse_error;
  if (!ParseVersionMap(text, patches, parse_error)) patches.clear();
  // A flat list carries its version as a pseudo-entry; no file has that name.
  patches.erase(kMapVersionEntry);
  result_ = 1;
}

void RequestPatchState::Update() {
  if (result_ == 0) return;
  LauncherManager::Instance().SetState(std::make_unique<DownloadFilesState>(mode_));
}
