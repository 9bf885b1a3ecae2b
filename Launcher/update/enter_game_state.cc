#include "update/enter_game_state.h"

#include <windows.h>

#include <fstream>
#include <set>
#include <utility>

#include <json/json.h>

#include "app/file_util.h"
#include "app/game_start.h"
#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "app/system_util.h"
#include "download/download_manager.h"
#include "download/md5.h"
#include "update/exception_state.h"
#include "update/prepare_state.h"
#include "update/version_map.h"

namespace {

constexpr uint32_t kTickModulus = 2147483647u;

uint32_t SystemTick() { return GetTickCount(); }

EnterGameState::TickSource g_tick_source = &SystemTick;

// Shared by every EnterGameState of the run: a new state must not refresh
// the content again just because a launcher re-check replaced the old one.
uint32_t g_last_content_refresh = 0;
uint32_t g_last_launcher_check = 0;
uint32_t g_last_probe = 0;

uint32_t Now() { return g_tick_source() % kTickModulus; }

bool Elapsed(uint32_t now, uint32_t base, uint32_t period) { return now - base >= period; }

uint32_t MinutesOr(int32_t minutes, uint32_t offset_minutes, uint32_t fallback_ms) {
  if (minutes >= 1 && minutes <= 99) {
    return (static_cast<uint32_t>(minutes) + offset_minutes) * 60000u;
  }
  return fallback_ms;
}

bool Md5OfFile(const std::wstring& path, std::string& md5) {
  std::ifstream stream(SystemPathW(path).c_str(), std::ios::in | std::ios::binary);
  if (!stream.is_open()) return false;
  int64_t size = 0;
  return Md5OfStream(&stream, md5, size);
}

// A hand-over file of the launcher becomes the game's; a failed copy leaves
// it where it was for the next start.
void HandOver(const std::wstring& name, const std::wstring& game_save) {
  const std::wstring source = NormalizeDirW(SaveDirW(), true) + name;
  if (!OpensForReadingW(source)) return;
  const std::wstring target = game_save + name;
  if (CopyFileW(SystemPathW(source).c_str(), SystemPathW(target).c_str(), FALSE)) {
    DeleteFileW(SystemPathW(source).c_str());
  }
}

void ConfirmBox(const wchar_t* content_id) {
  LauncherManager::Instance().RequestMessageBox(nullptr, L"STRING_ERROR_NOTICE", content_id,
                                                std::wstring(), L"STRING_CONFIRM", nullptr, false);
}

void PostPanel(WPARAM page, LPARAM value) {
  LauncherManager::Instance().PostToMainWindow(kMsgPreDownloadPanel, page, value);
}

}  // namespace

void EnterGameState::SetTickSourceForTesting(TickSource source) {
  g_tick_source = source != nullptr ? source : &SystemTick;
}

void EnterGameState::ResetTimersForTesting() {
  g_last_content_refresh = 0;
  g_last_launcher_check = 0;
  g_last_probe = 0;
}

void EnterGameState::Enter(State* /*previous*/) {
  LauncherManager& manager = LauncherManager::Instance();
  manager.PostToMainWindow(kMsgSettingsChanged, 0, 0);
  result_ = 0;
  probe_step_ = 0;
  dlc_hosts_.clear();
  pre_download_hosts_.clear();

  const GateSettings gate = manager.gate_settings();
  refresh_period_ = MinutesOr(gate.refreshInterval, 0, 28800000u);
  update_period_ = MinutesOr(gate.updateInterval, 0, 43200000u);
  probe_period_ = MinutesOr(gate.updateInterval, 1, 1860000u);
  g_last_launcher_check = Now();
  g_last_probe = 0;

  const bool pending =
      manager.launcherUpdatePending || manager.cefUpdatePending || manager.fontUpdatePending;
  if (pending && manager.launcherUpdateFresh) {
    manager.launcherUpdateFresh = false;
    manager.PostToMainWindow(kMsgShowWindow, 0, 0);
    if (manager.forceLauncherUpdate) {
      manager.RequestMessageBox(nullptr, L"STRING_UPDATE_NOTICE", L"STRING_UPDATE_LAUNCHER",
                                std::wstring(), L"STRING_CONFIRM", &OnLauncherRestartForced, false);
    } else {
      manager.RequestMessageBox(nullptr, L"STRING_UPDATE_NOTICE", L"STRING_UPDATE_LAUNCHER",
                                L"STRING_CANCEL", L"STRING_CONFIRM", &OnLauncherRestartChoice,
                                false);
    }
    return;
  }
  if (manager.enterGameAfterCheck) StartGame();
}

void EnterGameState::StartGame() {
  LauncherManager& manager = LauncherManager::Instance();
  const std::wstring folder = manager.GameFolder();
  std::string md5;
  if (folder.empty() || !Md5OfFile(folder + L"version_map.txt", md5)) {
    ConfirmBox(L"STRING_ERROR_CHECK_GAME_FAILED");
    return;
  }
  DownloadStats stats = manager.stats();
  stats.downloadSize = 0;
  stats.downloadSpeed = 0;
  stats.downloadTime = 0;
  manager.set_stats(stats);

  const std::wstring game_save = folder + L"save\\";
  if (!IsDirW(folder + L"save")) MakeDirsW(folder + L"save");
  HandOver(L"gid.txt", game_save);
  HandOver(L"TransToGame", game_save);

  std::vector<int> free_slots;
  CountRunningGames(free_slots);
  if (free_slots.empty()) {
    ConfirmBox(L"STRING_ERROR_EXCEED_MAX_GAME_INSTANCE");
    return;
  }
  // The launcher hides only once the game runs: a game that did not start
  // leaves it in view with the error notice StartGame asked for.
  if (!manager.StartGame("version_map.txt", md5, free_slots.front())) return;
  manager.PostToMainWindow(kMsgHideToTray, 0, 0);
  stats = manager.stats();
  if (stats.firstInstall) {
    stats.firstInstall = false;
    manager.set_stats(stats);
    manager.SaveDownloadStats();
  }
}

void EnterGameState::Update() {
  LauncherManager& manager = LauncherManager::Instance();
  const uint32_t now = Now();
  if (Elapsed(now, g_last_content_refresh, refresh_period_)) {
    g_last_content_refresh = now;
    manager.PostToMainWindow(kMsgContentChanged, 0, 0);
  }
  if (probe_step_ != 0) return;
  DownloadManager::Instance().SendNextReport();
  if (Elapsed(now, g_last_launcher_check, update_period_)) {
    g_last_launcher_check = now;
    manager.RestartLauncherCheck();
    return;
  }
  if (Elapsed(now, g_last_probe, probe_period_) && !manager.local_game_version().empty()) {
    g_last_probe = now;
    probe_step_ = 1;
    DownloadManager::Instance().UseGateUrls();
    Request(BuildPreDownloadUrl());
  }
}

void EnterGameState::Request(const std::string& path) {
  // An empty host list gives no answer at all; taken as a failed request, so
  // the probe cannot wait for ever (which would also stop reports and the
  // launcher re-check).
  if (!DownloadManager::Instance().DownloadMemory(path, std::string(), &OnDownloaderResponse,
                                                  kStateEnterGame)) {
    OnResponse(kDownloadFailed, path, nullptr, 0, "no host");
  }
}

void EnterGameState::OnResponse(int code, const std::string& /*url*/, const char* body, int length,
                                const std::string& /*error*/) {
  const int step = probe_step_;
  if (code < 0) {
    if (step == 1) {
      OnPreDownloadHosts("{}");
    } else if (step == 5) {
      OnPreDownloadPatchList("{}");
    } else {
      probe_step_ = 0;
    }
    return;
  }
  const std::string text = body != nullptr && length > 0
                               ? std::string(body, static_cast<size_t>(length))
                               : std::string();
  switch (step) {
    case 1:
      OnPreDownloadHosts(text);
      break;
    case 2:
      OnGateAnswer(text);
      break;
    case 3:
      OnRemoteVersion(text);
      break;
    case 4:
      OnPreDownloadMap(text);
      break;
    case 5:
      OnPreDownloadPatchList(text);
      break;
    default:
      probe_step_ = 0;
      break;
  }
}

void EnterGameState::OnPreDownloadHosts(const std::string& body) {
  probe_step_ = 0;
  std::string error;
  (void)ParseRegionAddresses(body, pre_download_hosts_, error);
  probe_step_ = 2;
  DownloadManager::Instance().UseGateUrls();
  Request(BuildGateUrl());
}

void EnterGameState::OnGateAnswer(const std::string& body) {
  probe_step_ = 0;
  std::string error;
  const bool want_others = pre_download_hosts_.empty();
  std::vector<std::string> others;
  if (!ParseGateAddresses(body, dlc_hosts_, others, error, want_others)) return;
  if (want_others) pre_download_hosts_ = others;
  DownloadManager& engine = DownloadManager::Instance();
  engine.SetResourceUrls(dlc_hosts_);
  probe_step_ = 3;
  engine.UseResourceUrls();
  Request("version_map.txt");
}

void EnterGameState::OnRemoteVersion(const std::string& body) {
  probe_step_ = 0;
  LauncherManager& manager = LauncherManager::Instance();
  Json::Value root, version;
  std::string error, remote;
  if (ParseJson(body, root, error) && root.isObject() && root.isMember("version")) {
    version = root["version"];
    if (version.isObject() && version["md5"].isString()) {
      remote = version["md5"].asString();
    } else if (version.isString()) {
      remote = version.asString();
    }
  }
  GameVersion parsed;
  if (remote.empty() || !ParseGameVersion(remote, parsed)) return;
  manager.set_known_game_version(remote);
  if (manager.IsGameUpdateAvailable()) manager.PostToMainWindow(kMsgGameButtonRefresh, 0, 0);

  if (manager.HasPreDownloadState() || manager.preDownloadPaused) return;
  if (!manager.pre_download_dirs().empty() && manager.PrunePreDownloadDirs() <= 0) {
    PostPanel(0, 0);
  }
  if (pre_download_hosts_.empty()) {
    PostPanel(0, 0);
    return;
  }
  DownloadManager& engine = DownloadManager::Instance();
  engine.SetResourceUrls(pre_download_hosts_);
  probe_step_ = 4;
  engine.UseResourceUrls();
  Request("version_map.txt");
}

void EnterGameState::OnPreDownloadMap(const std::string& body) {
  probe_step_ = 0;
  LauncherManager& manager = LauncherManager::Instance();
  VersionMap parsed;
  std::string error;
  if (!ParseVersionMap(body, parsed, error)) return;
  const std::string version = GetMapVersion(parsed);
  if (version.empty()) return;
  manager.version_table()[VersionTable::kRemotePreDownloadVersion] = std::move(parsed);
  manager.set_pre_download_version(version);
  if (CheckPreDownloadVersion(version, manager.local_game_version(),
                              manager.known_game_version()) != 1) {
    PostPanel(0, 0);
    return;
  }
  if (manager.patchOption > 0) {
    DownloadManager& engine = DownloadManager::Instance();
    engine.SetResourceUrls(pre_download_hosts_);
    probe_step_ = 5;
    engine.UseResourceUrls();
    Request(BuildPatchUrl("patch_list.txt"));
  } else {
    SummarizePreDownload();
  }
}

void EnterGameState::OnPreDownloadPatchList(const std::string& body) {
  probe_step_ = 0;
  VersionMap parsed;
  std::string error;
  if (ParseVersionMap(body, parsed, error)) {
    LauncherManager::Instance().version_table()[VersionTable::kPreDownloadPatchVersion] =
        std::move(parsed);
  }
  SummarizePreDownload();
}

void SummarizePreDownload() {
  LauncherManager& manager = LauncherManager::Instance();
  const int status = manager.GetPreDownloadStatus();
  if (status < 0) {
    PostPanel(0, 0);
    return;
  }
  if (status == 0) {
    PostPanel(3, 0);
    return;
  }
  if (manager.preDownloadStarted) {
    manager.StartPreDownload();
    return;
  }
  if (!manager.LoadLocalGameMap()) {
    PostPanel(0, 0);
    return;
  }
  VersionTable& table = manager.version_table();
  std::vector<std::string> scratch;
  VersionMap& update = table[VersionTable::kUpdatePreDownloadVersion];
  update.clear();
  DiffVersionMaps(table[VersionTable::kLocalGameVersion],
                  table[VersionTable::kRemotePreDownloadVersion], update, scratch);
  if (update.empty()) {
    PostPanel(3, 0);
    return;
  }
  const VersionMap& patches = table[VersionTable::kPreDownloadPatchVersion];
  const bool use_patches = manager.patchOption > 0 && !patches.empty();
  // What is fetched is stored by its md5: content listed under several paths
  // is fetched, and so counted, once.
  std::set<std::string> counted;
  uint64_t total = 0;
  for (const auto& entry : update) {
    const VersionEntry* fetched = &entry.second;
    if (use_patches) {
      auto patch = patches.find(entry.first);
      if (patch != patches.end()) fetched = &patch->second;
    }
    if (!counted.insert(fetched->md5).second) continue;
    total += static_cast<uint64_t>(fetched->size);
  }
  manager.set_pre_download_size(total);
  PostPanel(1, 0);
}

bool ParseGateAddresses(const std::string& answer, std::vector<std::string>& dlc_hosts,
                        std::vector<std::string>& pre_download_hosts, std::string& error,
                        bool want_others) {
  dlc_hosts.clear();
  if (want_others) pre_download_hosts.clear();
  Json::Value root;
  if (!ParseJson(answer, root, error)) return false;
  if (!root.isObject() || !ReadJsonStringList(root, "DlcAddr", dlc_hosts) ||
      !ValidBaseUrls(dlc_hosts)) {
    dlc_hosts.clear();
    error = "Get DlcAddr failed";
    return false;
  }
  Json::Value others_value;
  if (want_others && FindJsonMember(root, "Others", others_value) && others_value.isString()) {
    Json::Value others;
    std::string others_error;
    if (ParseJson(others_value.asString(), others, others_error) && others.isObject() &&
        ReadJsonStringList(others, "PreDlcAddr", pre_download_hosts) &&
        !ValidBaseUrls(pre_download_hosts)) {
      // Hosts we could not safely ask count as none offered.
      pre_download_hosts.clear();
    }
  }
  return true;
}

bool ParseRegionAddresses(const std::string& answer, std::vector<std::string>& hosts,
                          std::string& error) {
  hosts.clear();
  Json::Value root;
  if (!ParseJson(answer, root, error) || !root.isObject()) return false;
  std::vector<std::string> infos;
  if (!ReadJsonStringList(root, "info", infos) || infos.empty()) return false;
  Json::Value first;
  if (!ParseJson(infos.front(), first, error) || !first.isObject()) return false;
  if (!ReadJsonStringList(first, "VN_pc_addr", hosts) || !ValidBaseUrls(hosts)) {
    hosts.clear();
    return false;
  }
  return true;
}
