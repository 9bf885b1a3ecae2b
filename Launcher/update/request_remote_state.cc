#include "update/request_remote_state.h"

#include <memory>
#include <utility>

#include <json/json.h>

#include "app/file_util.h"
#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "app/system_util.h"
#include "download/download_manager.h"
#include "update/check_version_state.h"
#include "update/enter_game_state.h"
#include "update/exception_state.h"
#include "update/version_map.h"

void RequestRemoteState::Enter(State* /*previous*/) {
  LauncherManager& manager = LauncherManager::Instance();
  manager.PostToMainWindow(kMsgSettingsChanged, 0, 0);
  if (mode_ == kGameMode) {
    remote_key_ = VersionTable::kRemoteGameVersion;
    tmp_map_path_ = manager.GameFolder() + L"tmp_version_map.txt";
  } else {
    remote_key_ = VersionTable::kRemoteLauncherVersion;
    tmp_map_path_ = L".\\tmp_launcher_version_map.txt";
  }
  result_ = 0;
  DownloadManager& engine = DownloadManager::Instance();
  engine.UseResourceUrls();
  (void)engine.DownloadMemory(mode_ == kGameMode ? "version_map.txt" : "launcher_version_map.txt",
                              std::string(), &OnDownloaderResponse, kStateRequestRemote);
  manager.PostToMainWindow(kMsgCheckProgress, 0, 95);
}

void RequestRemoteState::OnResponse(int code, const std::string& url, const char* body, int length,
                                    const std::string& error) {
  LauncherManager& manager = LauncherManager::Instance();
  result_ = -1;
  if (code < 0) {
    SetRequestFailure(code, url, error);
    return;
  }
  const std::string text = body != nullptr && length > 0
                               ? std::string(body, static_cast<size_t>(length))
                               : std::string();
  VersionMap remote;
  std::string parse_error;
  if (!ParseVersionMap(text, remote, parse_error)) {
    error_text_ = "Load Failed:" + parse_error;
    error_detail_ = text;
    return;
  }
  // A first install has no game folder yet.
  std::wstring folder, name;
  if (SplitPathW(tmp_map_path_, folder, name)) MakeDirsW(folder);
  if (!WriteFileTextW(tmp_map_path_, text)) {
    // Without the tmp map the fetched files could never be made the
    // installed version; fail now rather than download for nothing.
    error_text_ = "Load Failed:cannot write the fetched version map";
    error_detail_ = url;
    return;
  }
  manager.version_table()[remote_key_] = remote;
  if (mode_ == kGameMode) manager.set_known_game_version(GetMapVersion(remote));
  Json::Value root, version;
  std::string written, json_error;
  if (ReadFileTextW(tmp_map_path_, written) && ParseJson(written, root, json_error) &&
      FindJsonMember(root, "version", version)) {
    if (version.isString()) {
      manager.set_download_game_version(version.asString());
    } else if (version.isObject() && version["md5"].isString()) {
      manager.set_download_game_version(version["md5"].asString());
    }
  }
  result_ = 1;
}

void RequestRemoteState::Update() {
  LauncherManager& manager = LauncherManager::Instance();
  if (result_ > 0) {
    manager.SetState(std::make_unique<CheckVersionState>(mode_));
  } else if (result_ < 0) {
    RestAfterFailure();
  }
}
