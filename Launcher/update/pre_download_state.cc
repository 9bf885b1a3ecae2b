#include "update/pre_download_state.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <utility>

#include "app/file_util.h"
#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "base/text_util.h"
#include "download/download_manager.h"
#include "update/enter_game_state.h"
#include "update/exception_state.h"
#include "update/prepare_state.h"
#include "update/version_map.h"

namespace {

constexpr char kRequestFailed[] = "PreDlc Request:7 Failed:";

std::wstring PreDownloadRoot() {
  std::wstring root;
  TextUtil::MultiByteToWide(PreDownloadDir(), root, CP_ACP);
  return root;
}

std::string Narrow(const std::wstring& path) {
  std::string out;
  TextUtil::WideToMultiByte(path, out, CP_ACP);
  return out;
}

// The current language's text of a language id, as UTF-8.
std::string LanguageText(const wchar_t* id) {
  const LauncherManager::Hooks& hooks = LauncherManager::Instance().hooks();
  const std::wstring text = hooks.language_text ? hooks.language_text(id) : std::wstring(id);
  std::string out;
  TextUtil::WideToUtf8(text.c_str(), out);
  return out;
}

State* PreDownload() { return LauncherManager::Instance().pre_download_state(); }

}  // namespace

void OnPreDownloadFileDone(int /*user*/, int code, std::string url, std::string error) {
  if (State* state = PreDownload()) state->OnFileDone(code, url, error);
}

void OnPreDownloadResponse(int /*user*/, int code, std::string url, const char* body, int length,
                           std::string error) {
  if (State* state = PreDownload()) state->OnResponse(code, url, body, length, error);
}

void OnPreDownloadProgress(int /*user*/, double bytes_per_second) {
  if (State* state = PreDownload()) state->OnProgress(bytes_per_second);
}

void OnPreDownloadFileCheck(int /*user*/, int code, std::string url, bool exists,
                            std::string error) {
  if (State* state = PreDownload()) state->OnFileCheck(code, url, exists, error);
}

void PreDownloadState::Enter(State* /*previous*/) {
  const std::wstring root = PreDownloadRoot();
  if (!IsDirW(root)) MakeDirsW(root);
  has_files_ = false;
  step_ = kHostRequest;
  result_ = kHostRequest;
  LauncherManager::Instance().PostToMainWindow(kMsgPreDownloadPanel, 2, 0);
}

void PreDownloadState::Update() {
  LauncherManager& manager = LauncherManager::Instance();
  if (result_ == 0) {
    if (step_ == kDownloads) Finish();
    return;
  }
  if (result_ < 0) {
    if (step_ != kError) return;  // waiting for the error dialog to close
    step_ = kIdle;
    // The other transfers stop with the failure (what they fetched stays),
    // not only once the dialog is closed.
    if (downloading_) {
      DownloadManager::Instance().CancelAll(kSpeedLimitPreDownload);
      downloading_ = false;
    }
    manager.PostToMainWindow(kMsgPreDownloadPanel, 0, 0);
    manager.preDownloadStarted = false;
    if (!error_text_.empty()) {
      ShowError(std::wstring(), L"STRING_CONFIRM", &OnPreDownloadErrorClosed);
      return;
    }
    // The servers offer nothing: stop without a word.
    Exit(nullptr);
    manager.SetPreDownloadState(nullptr);  // this object is gone from here on
    return;
  }
  DownloadManager& engine = DownloadManager::Instance();
  switch (step_) {
    case kHostRequest:
      result_ = 0;
      engine.UseGateUrls();
      Request(BuildPreDownloadUrl());
      break;
    case kGateRequest:
      result_ = 0;
      engine.UseGateUrls();
      Request(BuildGateUrl());
      break;
    case kRemoteMap:
      result_ = 0;
      UseOwnHosts();
      Request("version_map.txt");
      break;
    case kPatchList:
      result_ = 0;
      UseOwnHosts();
      Request(BuildPatchUrl("patch_list.txt"));
      break;
    case kDownloads: {
      UseOwnHosts();
      const std::string probe = BuildPatchUrl("VEXA.exe.patch");
      // An empty host list gives no answer; without this the probe would be
      // asked again on every tick.
      if (!engine.CheckFile(probe, std::string(), &OnPreDownloadFileCheck, kStatePreDownload)) {
        Fail(kDownloadFailed, "no host", probe);
      }
      break;
    }
    case kClose:
      Close();
      break;
    default:
      break;
  }
}

void PreDownloadState::Exit(State* /*next*/) {
  // A game check that stops us has cancelled the transfers already and put
  // the game's speed limit in force; cancelling again would bring back the
  // pre-download's limit for the whole game update.
  DownloadManager& engine = DownloadManager::Instance();
  if (downloading_ && engine.queuedFileCount() > 0) engine.CancelAll(kSpeedLimitPreDownload);
  downloading_ = false;
  step_ = kIdle;
  files_left_ = 0;
  result_ = 0;
}

void PreDownloadState::UseOwnHosts() {
  DownloadManager& engine = DownloadManager::Instance();
  if (!hosts_.empty()) engine.SetResourceUrls(hosts_);
  engine.UseResourceUrls();
}

void PreDownloadState::Request(const std::string& path) {
  if (!DownloadManager::Instance().DownloadMemory(path, std::string(), &OnPreDownloadResponse,
                                                  kStatePreDownload)) {
    OnResponse(kDownloadFailed, path, nullptr, 0, "no host");
  }
}

void PreDownloadState::Fail(int code, const std::string& text, const std::string& detail) {
  result_ = -1;
  step_ = kError;
  error_code_ = code;
  error_text_ = text;
  error_detail_ = detail;
}

void PreDownloadState::OnResponse(int code, const std::string& url, const char* body, int length,
                                  const std::string& error) {
  result_ = -1;
  if (code < 0) {
    if (step_ == kHostRequest) {
      step_ = result_ = kGateRequest;
    } else if (step_ == kPatchList) {
      step_ = result_ = kDownloads;
    } else {
      Fail(code, kRequestFailed + error, url);
    }
    return;
  }
  const std::string text = body != nullptr && length > 0
                               ? std::string(body, static_cast<size_t>(length))
                               : std::string();
  switch (step_) {
    case kHostRequest: {
      std::vector<std::string> hosts;
      std::string parse_error;
      if (ParseRegionAddresses(text, hosts, parse_error)) {
        hosts_ = hosts;
        DownloadManager::Instance().SetResourceUrls(hosts_);
        step_ = result_ = kRemoteMap;
      } else {
        step_ = result_ = kGateRequest;
      }
      break;
    }
    case kGateRequest:
      OnGateReply(text);
      break;
    case kRemoteMap:
      OnRemoteMap(text);
      break;
    case kPatchList: {
      VersionMap patches;
      std::string parse_error;
      if (ParseVersionMap(text, patches, parse_error)) {
        LauncherManager::Instance().version_table()[VersionTable::kPreDownloadPatchVersion] =
            std::move(patches);
      }
      step_ = result_ = kDownloads;
      break;
    }
    default:
      Fail(0, std::string(kRequestFailed) + " unknown", url);
      break;
  }
}

void PreDownloadState::OnGateReply(const std::string& body) {
  std::vector<std::string> dlc, pre;
  std::string error;
  if (!ParseGateAddresses(body, dlc, pre, error, true)) {
    Fail(0, "PreDlc parse gate dlcAddr Failed:" + error, body);
    return;
  }
  if (pre.empty()) {
    Fail(0, std::string(), std::string());  // no pre-download offered: a silent stop
    return;
  }
  hosts_ = pre;
  DownloadManager::Instance().SetResourceUrls(hosts_);
  step_ = result_ = kRemoteMap;
}

void PreDownloadState::OnRemoteMap(const std::string& body) {
  LauncherManager& manager = LauncherManager::Instance();
  VersionTable& table = manager.version_table();
  VersionMap remote;
  std::string error;
  if (!ParseVersionMap(body, remote, error)) {
    Fail(0, "PreDlc parse remote Failed: :" + error, body);
    return;
  }
  const std::string version = GetMapVersion(remote);
  table[VersionTable::kRemotePreDownloadVersion] = std::move(remote);
  int check =
      CheckPreDownloadVersion(version, manager.local_game_version(), manager.known_game_version());
  // The version names a folder of ours: only a plain A_B_C may do that.
  GameVersion parsed;
  std::wstring wide_version, folder;
  TextUtil::Utf8ToWide(version.c_str(), wide_version);
  if (check == 1 &&
      (!ParseGameVersion(version, parsed) || !BuildPathUnder(PreDownloadRoot(), version, folder))) {
    check = -2;
  }
  if (check != 1) {
    std::string text;
    switch (check) {
      case -7:
        text = LanguageText(L"STRING_ERROR_DLC_OUTDATED");
        break;
      case -6:
        text = LanguageText(L"STRING_ERROR_DLC_LAST");
        break;
      case -5:
        text = LanguageText(L"STRING_ERROR_DLC_FIRST");
        break;
      default:
        text = "PreDlc check failed:" + std::to_string(check);
        break;
    }
    Fail(0, text, std::string());
    return;
  }
  version_ = version;
  version_dir_ = folder;
  manager.set_pre_download_version(version);
  if (!IsDirW(version_dir_)) MakeDirsW(version_dir_);
  if (manager.preDownloadStarted) {
    (void)WriteFileTextW(version_dir_ + L"\\tmp_predownload_version_map.txt", body);
  }
  VersionMap& update = table.Reset(VersionTable::kUpdatePreDownloadVersion);
  if (manager.LoadLocalGameMap()) {
    std::vector<std::string> scratch;
    DiffVersionMaps(table[VersionTable::kLocalGameVersion],
                    table[VersionTable::kRemotePreDownloadVersion], update, scratch);
  }
  if (update.empty()) {
    step_ = result_ = kClose;
    return;
  }
  has_files_ = true;
  if (!manager.preDownloadStarted) {
    step_ = result_ = kClose;
    return;
  }
  table.Reset(VersionTable::kPreDownloadPatchVersion);
  const bool patches = manager.patchOption > 0 && !manager.local_game_version().empty();
  step_ = result_ = patches ? kPatchList : kDownloads;
}

void PreDownloadState::OnFileCheck(int code, const std::string& url, bool exists,
                                   const std::string& error) {
  if (code >= 0) {
    SetPatchSuffixFlag(!exists);
    StartDownloads();
  } else if (result_ >= 0) {
    Fail(code, error, url);
  }
}

void PreDownloadState::StartDownloads() {
  LauncherManager& manager = LauncherManager::Instance();
  DownloadManager& engine = DownloadManager::Instance();
  UseOwnHosts();
  engine.CancelAll(kSpeedLimitPreDownload);
  result_ = 0;
  engine.ResetSpeedStats();

  VersionTable& table = manager.version_table();
  const VersionMap& update = table[VersionTable::kUpdatePreDownloadVersion];
  const VersionMap& patches = table[VersionTable::kPreDownloadPatchVersion];
  const bool use_patches = manager.patchOption > 0 && !patches.empty();

  struct Job {
    std::string remote;
    std::string md5;
    int size;
  };
  // Keyed by the local file: content listed under several paths is one file
  // here, fetched and counted once.
  std::map<std::string, Job> jobs;
  for (const auto& entry : update) {
    Job job{entry.first, entry.second.md5, entry.second.size};
    if (use_patches) {
      auto patch = patches.find(entry.first);
      if (patch != patches.end()) {
        job =
            Job{BuildPatchUrl(entry.first + PatchSuffix()), patch->second.md5, patch->second.size};
      }
    }
    const std::string local = Narrow(version_dir_ + L"\\") + job.md5;
    jobs.emplace(local, std::move(job));
  }
  // A file already complete reports at once, possibly inside the queuing
  // call, so the count is set first.
  files_left_ = static_cast<int>(jobs.size());
  downloading_ = true;
  int64_t total = 0;
  for (const auto& job : jobs) {
    total += job.second.size;
    engine.DownloadFile(job.second.remote, job.first, job.second.md5, job.second.size,
                        &OnPreDownloadFileDone, &OnPreDownloadProgress, kStatePreDownload, 0, 0);
  }
  engine.SetTotalBytes(total);
  manager.PostToMainWindow(kMsgPreDownloadPanel, 2, 1);
  manager.PostToGameWindows(kMsgPreDownloadStatus, 0, 3);
}

void PreDownloadState::OnFileDone(int code, const std::string& url, const std::string& error) {
  if (code >= 0) {
    --files_left_;
  } else if (result_ >= 0) {
    Fail(code, error, url);
  }
}

void PreDownloadState::OnProgress(double bytes_per_second) {
  DownloadManager::Instance().AddSpeedSample(bytes_per_second);
}

void PreDownloadState::Finish() {
  if (files_left_ > 0) return;
  const std::wstring tmp = version_dir_ + L"\\tmp_predownload_version_map.txt";
  if (OpensForReadingW(tmp)) {
    MoveFileExW(SystemPathW(tmp).c_str(),
                SystemPathW(version_dir_ + L"\\predownload_version_map.txt").c_str(),
                MOVEFILE_REPLACE_EXISTING);
  }
  has_files_ = false;
  downloading_ = false;
  step_ = result_ = kClose;
  DownloadManager::Instance().ReportSpeedStats("done");
}

void PreDownloadState::Close() {
  LauncherManager& manager = LauncherManager::Instance();
  step_ = kIdle;
  result_ = 0;
  if (has_files_) {
    manager.PostToMainWindow(kMsgPreDownloadPanel, 1, 0);
  } else {
    if (!version_.empty()) manager.AddPreDownloadDir(version_);
    manager.PostToMainWindow(kMsgPreDownloadPanel, 3, 0);
    manager.PostToGameWindows(kMsgPreDownloadStatus, 0, 4);
  }
  manager.preDownloadStarted = false;
  Exit(nullptr);
  manager.SetPreDownloadState(nullptr);  // this object is gone from here on
}
