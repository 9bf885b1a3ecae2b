#include "app/launcher_manager.h"

#include <utility>

#include "app/command_line.h"
#include "app/file_util.h"
#include "app/languages.h"
#include "base/path_helpers.h"
#include "base/text_util.h"
#include "base/thread_registry.h"
#include "update/self_update.h"
#include "update/state.h"
#include "update/version_map.h"

namespace {

template <typename F>
void Call(const F& hook) {
  if (hook) hook();
}

std::wstring SavePath(const wchar_t* name) { return NormalizeDirW(SaveDirW(), true) + name; }

// True when the file can be opened for reading (sharing read and write).
bool ReadWhole(const std::wstring& path, std::string& out) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return ReadFileTextW(path, out);
}

}  // namespace

LauncherManager& LauncherManager::Instance() {
  static LauncherManager manager;
  return manager;
}

std::wstring LauncherManager::SettingsPath() { return SavePath(L"EnvConfig.json"); }
std::wstring LauncherManager::StatsPath() { return SavePath(L"Log.json"); }

// ------------------------------------------------------------------- start-up

void LauncherManager::Startup() {
  if (!IsDirW(SaveDirW())) MakeDirsW(SaveDirW());
  firstRun = false;
  askCloseChoice = false;

  if (!LoadExtraConfig()) install_package_type_.clear();

  if (!LoadSettings()) {
    firstRun = true;
    askCloseChoice = true;
    LauncherSettings s = settings();
    s.languageType = LanguageForLocale(GetUserDefaultLCID());
    const std::wstring program_dir = NormalizeDirW(PathHelpers::CurrentModuleDirectory(), false);
    HANDLE game = CreateFileW((NormalizeDirW(program_dir, true) + L"VEXA.exe").c_str(),
                              GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (game != INVALID_HANDLE_VALUE) {
      CloseHandle(game);
      s.gamePath = program_dir;
    } else {
      s.gamePath = DefaultInstallDir();
    }
    set_settings(s);
    // A file that exists but cannot be read (held by another program) is not
    // replaced by defaults.
    if (settings_file_status_ != JsonFileStatus::kUnreadable) SaveSettings();
  }

  if (!LoadDownloadStats()) {
    set_stats(DownloadStats());
    SaveDownloadStats();
  }
  LoadGid();

  LauncherSettings s = settings();
  if (s.gamePath.empty()) s.gamePath = DefaultInstallDir();  // not saved
  if (LanguageOverride().is_set()) {
    std::string code;
    TextUtil::WideToMultiByte(LanguageOverride().value(), code, CP_UTF8);
    const int index = LanguageIndexOf(code);
    if (index >= 0) s.languageType = index;
  }
  // Japanese is no longer offered; its players get Vietnamese.
  if (s.languageType == 2) s.languageType = 5;
  s.languageCode = LanguageCodeFor(s.languageType);
  set_settings(s);

  LoadGateOverride();
  if (hooks_.install_fonts) hooks_.install_fonts();

  renamed_files_[L"VEXA_Data/Resources/unity_default_resources"] =
      L"VEXA_Data/Resources/unity default resources";
  renamed_files_[L"VEXA_Data/Plugins/x86_64/VuplexWebViewChromium/Vuplex_WebView.vuplex"] =
      L"VEXA_Data/Plugins/x86_64/VuplexWebViewChromium/Vuplex WebView.vuplex";
}

bool LauncherManager::LoadExtraConfig() {
  Json::Value root;
  if (LoadJsonFile(SavePath(L"extra_config.txt"), root) != JsonFileStatus::kParsed) return false;
  if (root.isObject() && root["install_package_type"].isString()) {
    install_package_type_ = root["install_package_type"].asString();
  }
  return true;
}

bool LauncherManager::LoadSettings() {
  const std::wstring path = SettingsPath();
  Json::Value root;
  settings_file_status_ = LoadJsonFile(path, root);
  switch (settings_file_status_) {
    case JsonFileStatus::kParsed: {
      LauncherSettings s = settings();
      ReadSettingsJson(root, s);
      set_settings(s);
      return true;
    }
    case JsonFileStatus::kUnparsable:
      // Kept aside, so the player's game folder can still be found by hand
      // once first-run defaults take the file's place.
      MoveFileExW(path.c_str(), (path + L".bad").c_str(), MOVEFILE_REPLACE_EXISTING);
      return false;
    case JsonFileStatus::kMissing:
    case JsonFileStatus::kUnreadable:
      return false;
  }
  return false;
}

void LauncherManager::SaveSettings() {
  (void)SaveJsonFile(SettingsPath(), SettingsToJson(settings()));
}

bool LauncherManager::LoadDownloadStats() {
  Json::Value root;
  if (LoadJsonFile(StatsPath(), root) != JsonFileStatus::kParsed) return false;
  DownloadStats s = stats();
  ReadStatsJson(root, s);
  set_stats(s);
  return true;
}

void LauncherManager::SaveDownloadStats() { (void)SaveJsonFile(StatsPath(), StatsToJson(stats())); }

void LauncherManager::LoadGid() {
  gid_.clear();
  std::string text;
  if (ReadWhole(SavePath(L"gid.txt"), text)) {
    gid_ = text;
    return;
  }
  const std::wstring game_save = NormalizeDirW(settings().gamePath, true) + L"save\\gid.txt";
  if (ReadWhole(game_save, text)) gid_ = text;
}

void LauncherManager::LoadGateOverride() {
  gate_settings_ = GateSettings();
  LoadGateSettings(SavePath(L"setting.json"), gate_settings_);
}

bool LauncherManager::LoadUiConfig() {
  ChannelUiConfig config;
  if (!LoadChannelUiConfig(settings().languageCode, config)) return false;
  channel_ui_ = std::move(config);
  return true;
}

void LauncherManager::ApplySettings(const LauncherSettings& wanted) {
  LauncherSettings s = settings();
  std::string autostart_text, close_text;
  bool changed = false, download_limit_changed = false, predlc_limit_changed = false;
  bool language_switched = false;

  if (wanted.languageType != s.languageType) {
    s.languageType = wanted.languageType;
    s.languageCode = LanguageCodeFor(s.languageType);
    language_switched = changed = true;
  }
  if (wanted.gamePath != s.gamePath) {
    s.gamePath = wanted.gamePath;
    changed = true;
  }
  if (wanted.closeToHide != s.closeToHide) {
    s.closeToHide = wanted.closeToHide;
    close_text = s.closeToHide ? "1" : "2";
    changed = true;
  }
  if (wanted.downloadSpeed != s.downloadSpeed || wanted.downloadLimit != s.downloadLimit) {
    s.downloadSpeed = wanted.downloadSpeed;
    s.downloadLimit = wanted.downloadLimit;
    download_limit_changed = changed = true;
  }
  if (wanted.predlcSpeed != s.predlcSpeed || wanted.predlcLimit != s.predlcLimit) {
    s.predlcSpeed = wanted.predlcSpeed;
    s.predlcLimit = wanted.predlcLimit;
    predlc_limit_changed = changed = true;
  }
  if (wanted.automaticStart != s.automaticStart) {
    // What the registry holds afterwards decides, whichever way it went.
    s.automaticStart =
        SetStartWithWindows(wanted.automaticStart, PathHelpers::ModuleFileName(nullptr));
    autostart_text = s.automaticStart ? "1" : "0";
    changed = true;
  }
  if (wanted.autoUpdate != s.autoUpdate) {
    s.autoUpdate = wanted.autoUpdate;
    changed = true;
  }

  set_settings(s);
  if (changed) SaveSettings();
  if (download_limit_changed && hooks_.apply_speed_limit) hooks_.apply_speed_limit(0);
  if (predlc_limit_changed && hooks_.apply_speed_limit) hooks_.apply_speed_limit(1);
  if (language_switched) languageChanged = true;
  if (changed && hooks_.send_setting_event) {
    hooks_.send_setting_event(autostart_text, close_text, s.downloadLimit ? s.downloadSpeed : 0,
                              s.predlcLimit ? s.predlcSpeed : 0);
  }
}

// --------------------------------------------------------------------- worker

void LauncherManager::BeginWorker() {
  Call(hooks_.download_init);
  launcherUpdatePending = false;
  launcherUpdateFresh = true;
  cefUpdatePending = false;
  fontUpdatePending = false;
  {
    // A run killed between its launcher apply and its hand-off, or an
    // updater that could not finish, left files in .\update: they are due at
    // this run's exit (the font list has had its try in Startup already).
    const PendingUpdates leftover = FindLeftoverUpdates();
    launcherUpdatePending = leftover.launcher;
    cefUpdatePending = leftover.cef;
    fontUpdatePending = leftover.font;
  }
  resourcesChanged = 0;
  languageChanged = false;
  enterGameAfterCheck = false;
  if (hooks_.reset_versions) {
    hooks_.reset_versions();
  } else {
    version_table_.ResetAll();
  }
  pre_download_dirs_.clear();
  std::string predownload = PreDownloadDir();
  if (ListSubfolders(predownload, pre_download_dirs_) < 0) pre_download_dirs_.clear();
  if (hooks_.load_versions) {
    hooks_.load_versions();
  } else {
    LoadLauncherVersion();
    LoadGameVersion();
  }
}

void LauncherManager::EndWorker() {
  Call(hooks_.download_shutdown);
  ++state_operation_depth_;
  if (current_state_) current_state_->Exit(nullptr);
  RetireState(std::move(current_state_));
  RetireState(std::move(pre_download_state_));
  pre_download_present_ = false;
  PublishState();
  EndStateOperation();
  if (hooks_.erase_versions) {
    hooks_.erase_versions();
  } else {
    version_table_.Clear();
  }
}

void LauncherManager::SetState(std::unique_ptr<State> next) {
  const int current_type = current_state_ ? current_state_->TypeId() : -1;
  const int next_type = next ? next->TypeId() : -1;
  if (current_type == next_type) {
    const bool same_class =
        !current_state_ || !next ||
        ((current_state_->mode() == kLauncherMode) == (next->mode() == kLauncherMode));
    if (same_class) return;  // next is destroyed unrun
  }
  ++state_operation_depth_;
  if (current_state_) current_state_->Exit(next.get());
  std::unique_ptr<State> previous = std::move(current_state_);
  current_state_ = std::move(next);
  PublishState();
  if (hooks_.state_changed) {
    hooks_.state_changed(current_state_ ? current_state_->TypeId() : 0,
                         current_state_ ? static_cast<int>(current_state_->mode()) : -1);
  }
  if (current_state_) current_state_->Enter(previous.get());
  RetireState(std::move(previous));
  EndStateOperation();
}

void LauncherManager::SetPreDownloadState(std::unique_ptr<State> state) {
  ++state_operation_depth_;
  RetireState(std::move(pre_download_state_));
  pre_download_state_ = std::move(state);
  pre_download_present_ = pre_download_state_ != nullptr;
  EndStateOperation();
}

void LauncherManager::WorkerTick() {
  ++state_operation_depth_;
  if (!workerStarted) {
    workerStarted = true;
    // Every run first checks the launcher itself.
    if (hooks_.make_check_state) SetState(hooks_.make_check_state(kLauncherMode));
  }
  if (current_state_) current_state_->Update();
  if (pre_download_state_) pre_download_state_->Update();
  EndStateOperation();
  Call(hooks_.download_poll);
}

// A state may switch states from inside its own operation (its Update asks
// for the next state); it is destroyed only once that operation returned.
void LauncherManager::RetireState(std::unique_ptr<State> state) {
  if (state) retired_states_.push_back(std::move(state));
}

void LauncherManager::EndStateOperation() {
  if (--state_operation_depth_ > 0) return;
  while (!retired_states_.empty()) {
    std::vector<std::unique_ptr<State>> dying;
    dying.swap(retired_states_);
    dying.clear();  // a destructor may retire more
  }
}

void LauncherManager::PublishState() {
  const uint32_t type = current_state_ ? static_cast<uint32_t>(current_state_->TypeId()) : 0;
  const uint32_t mode = current_state_ ? static_cast<uint32_t>(current_state_->mode()) + 1 : 0;
  state_word_ = type | (mode << 8);
}

StateSnapshot LauncherManager::CurrentState() const {
  const uint32_t word = state_word_;
  StateSnapshot snapshot;
  snapshot.type = static_cast<int>(word & 0xFF);
  snapshot.mode = static_cast<int>(word >> 8) - 1;
  return snapshot;
}

void LauncherManager::ResetForTesting() {
  hooks_ = Hooks();
  settings_file_status_ = JsonFileStatus::kMissing;
  gate_settings_ = GateSettings();
  gid_.clear();
  install_package_type_.clear();
  renamed_files_.clear();
  set_settings(LauncherSettings());
  set_stats(DownloadStats());
  set_launcher_version("1.0.0");
  set_local_game_version(std::string());
  for (LockedText* text : {&known_game_version_, &download_game_version_, &game_version_text_,
                           &public_ip_, &activity_addr_, &pre_download_version_}) {
    text->Set(std::string());
  }
  set_game_windows({});
  main_window_ = nullptr;
  game_send_timeout_ms_ = 2000;
  dialog_factory_.reset();
  pending_dialogs_.clear();
  current_ui_language_.clear();
  channel_ui_ = ChannelUiConfig();
  open_message_boxes_ = 0;
  msgBoxShown = false;
  current_state_.reset();
  pre_download_state_.reset();
  retired_states_.clear();
  version_table_.Clear();
  pre_download_dirs_.clear();
  pre_download_size_ = 0;
  state_operation_depth_ = 0;
  pre_download_present_ = false;
  PublishState();
  for (std::atomic<bool>* flag :
       {&workerStarted, &firstRun, &askCloseChoice, &launcherUpdatePending, &cefUpdatePending,
        &fontUpdatePending, &forceLauncherUpdate, &languageChanged, &enterGameAfterCheck,
        &preDownloadStarted, &preDownloadPaused, &preDlcCheck, &useWebExtraParam, &updateFailed,
        &deleteLogTxt, &selfUpdateStarted}) {
    *flag = false;
  }
  launcherUpdateFresh = true;
  resourcesChanged = 0;
  patchOption = 2;
}

// ----------------------------------------------------------------- accessors

LauncherSettings LauncherManager::settings() const {
  nbase::AutoLock hold(data_lock_);
  return settings_;
}

void LauncherManager::set_settings(const LauncherSettings& settings) {
  nbase::AutoLock hold(data_lock_);
  settings_ = settings;
}

DownloadStats LauncherManager::stats() const {
  nbase::AutoLock hold(data_lock_);
  return stats_;
}

void LauncherManager::set_stats(const DownloadStats& stats) {
  nbase::AutoLock hold(data_lock_);
  stats_ = stats;
}

std::vector<HWND> LauncherManager::game_windows() const {
  nbase::AutoLock hold(data_lock_);
  return game_windows_;
}

void LauncherManager::set_game_windows(std::vector<HWND> windows) {
  nbase::AutoLock hold(data_lock_);
  game_windows_ = std::move(windows);
}

std::string LauncherManager::launcher_version() const {
  nbase::AutoLock hold(data_lock_);
  return launcher_version_;
}

void LauncherManager::set_launcher_version(const std::string& v) {
  nbase::AutoLock hold(data_lock_);
  launcher_version_ = v;
}

std::string LauncherManager::local_game_version() const {
  nbase::AutoLock hold(data_lock_);
  return local_game_version_;
}

void LauncherManager::set_local_game_version(const std::string& v) {
  nbase::AutoLock hold(data_lock_);
  local_game_version_ = v;
}

std::wstring LauncherManager::GameFolder() const {
  const std::wstring path = settings().gamePath;
  if (path.empty()) return path;
  return NormalizeDirW(path, true);
}

void LauncherManager::LoadLauncherVersion() {
  std::string version;
  ReadMapVersion(L".\\launcher_version_map.txt", version, "1.0.0");
  set_launcher_version(version);
}

void LauncherManager::LoadGameVersion() {
  std::string version;
  const std::wstring folder = GameFolder();
  if (!folder.empty()) ReadMapVersion(folder + L"version_map.txt", version, std::string());
  set_local_game_version(version);
  known_game_version_.Set(version);
  std::string text;
  if (!version.empty()) FormatVersion(version, text);
  game_version_text_.Set(text);
}

bool LauncherManager::IsGameUpdateAvailable() const {
  const std::string known = known_game_version();
  const std::string local = local_game_version();
  return !known.empty() && !local.empty() && known != local;
}

// ------------------------------------------------------- pre-download folders

namespace {

std::wstring PreDownloadRoot() {
  std::wstring root;
  TextUtil::MultiByteToWide(PreDownloadDir(), root, CP_ACP);
  return root;
}

}  // namespace

void LauncherManager::AddPreDownloadDir(const std::string& name) {
  for (const std::string& dir : pre_download_dirs_) {
    if (dir == name) return;
  }
  pre_download_dirs_.push_back(name);
}

bool LauncherManager::LoadLocalGameMap() {
  const std::wstring folder = GameFolder();
  VersionMap& map = version_table_[VersionTable::kLocalGameVersion];
  if (folder.empty()) {
    map.clear();
    return false;
  }
  std::string error;
  return LoadVersionMapFile(folder + L"version_map.txt", map, error);
}

int LauncherManager::GetPreDownloadStatus() {
  return ::GetPreDownloadStatus(PreDownloadRoot(), pre_download_version(), pre_download_dirs_,
                                version_table_[VersionTable::kLocalPreDownloadVersion]);
}

int LauncherManager::PrunePreDownloadDirs() {
  return ::PrunePreDownloadDirs(PreDownloadRoot(), local_game_version(), pre_download_dirs_);
}
