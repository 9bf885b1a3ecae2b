// The one process-wide launcher object: settings and state files, the gate
// override, the channel tables, the main and game windows, the current update
// state and the pre-download state, and the flags other subsystems set and
// test.
//
// Threads. The UI thread (T0) runs Startup before the worker exists; the
// worker (T1) runs BeginWorker, EndWorker, the state switch and every state.
// What crosses between them is made safe here rather than by convention:
// - states are owned and touched by T1 only; T0 reads a snapshot of the
//   current state's type id and mode (one atomic word), never the object;
// - flags are atomics; the settings, statistics, version strings and game
//   window list are copied in and out under locks;
// - members filled by Startup (gate settings, renamed files, channel tables)
//   are written before the worker starts and read-only afterwards.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/channel_config.h"
#include "app/dialog_requests.h"
#include "app/gate_settings.h"
#include "app/launcher_settings.h"
#include "base/lock.h"
#include "update/version_map_core.h"

class State;

// The current state as the UI thread sees it: type 0 and mode -1 when there
// is none (idle).
struct StateSnapshot {
  int type = 0;
  int mode = -1;
  bool idle() const { return type == 0; }
};

// A text that one thread replaces while another reads it.
class LockedText {
 public:
  std::string Get() const {
    nbase::AutoLock hold(lock_);
    return value_;
  }
  void Set(const std::string& value) {
    nbase::AutoLock hold(lock_);
    value_ = value;
  }

 private:
  mutable nbase::Lock lock_;
  std::string value_;
};

class LauncherManager {
 public:
  // Work that belongs to subsystems which plug in here (download engine,
  // update states, telemetry, fonts); each defaults to nothing. Tests swap
  // them to observe the order of events.
  struct Hooks {
    std::function<void()> download_init;              // T1, BeginWorker
    std::function<void()> download_shutdown;          // T1, EndWorker
    std::function<void()> download_stop_running;      // T0, before the worker stops
    std::function<void()> download_poll;              // T1, every worker tick
    std::function<void(int mode)> apply_speed_limit;  // T0: 0 game/launcher, 1 pre-download
    std::function<void()> reset_versions;  // T1; default: the table's twelve keys, empty
    std::function<void()> erase_versions;  // T1; default: the table emptied
    // T1: launcher, then game version (default: LoadLauncherVersion and
    // LoadGameVersion).
    std::function<void()> load_versions;
    // T1: a new check (PrepareState) in the mode (0 launcher, 1 game).
    std::function<std::unique_ptr<State>(int mode)> make_check_state;
    std::function<std::unique_ptr<State>()> make_pre_download_state;  // T1
    // T1: a state became current (type 0, mode -1 when none); for tests and
    // traces.
    std::function<void(int type, int mode)> state_changed;
    std::function<void()> toggle_download_pause;                      // T1
    // T0: reopen the resource package, reload the UI; true from
    // load_ui_config when a channel configuration was found.
    std::function<void()> open_resource_package;
    std::function<void()> reload_ui;
    std::function<bool()> load_ui_config;
    std::function<void()> set_ui_font_names;
    // The text of a language id in the current language (default: the id).
    std::function<std::wstring(const std::wstring& id)> language_text;
    std::function<void(const std::string& if_autostart, const std::string& close_set,
                       int install_limit, int predownload_limit)>
        send_setting_event;
    std::function<int()> install_fonts;     // T0, Startup
    std::function<void()> uninstall_fonts;  // T0, at exit with fonts pending
    // T0, at exit with an update pending; default: the real hand-off.
    std::function<void(const std::wstring& run_after, bool new_exe)> start_self_update;
    // Any thread: one launcher telemetry event (print info, speed, size,
    // action type, step, send at once); default: nothing.
    std::function<void(const std::string& print_info, const std::string& speed,
                       const std::string& size, const std::string& action_type,
                       const std::string& step, bool now)>
        send_launcher_event;
  };

  static LauncherManager& Instance();

  void SetHooks(Hooks hooks) { hooks_ = std::move(hooks); }
  const Hooks& hooks() const { return hooks_; }

  // ------------------------------------------------------------ start-up (T0)
  void Startup();
  bool LoadExtraConfig();
  bool LoadSettings();
  void SaveSettings();
  bool LoadDownloadStats();
  void SaveDownloadStats();
  void LoadGid();
  void LoadGateOverride();
  // Makes the settings equal to wanted, with the side effects of each change
  // (Run value, speed limits, language switch, telemetry); saves once.
  void ApplySettings(const LauncherSettings& wanted);

  // ------------------------------------------------------------- worker (T1)
  void BeginWorker();
  void EndWorker();
  // Takes ownership of next (may be null). A state of the same type and mode
  // class as the current one is refused and destroyed unrun; otherwise the
  // current state's Exit(next), next's Enter(previous), then the previous
  // state is destroyed (once no state operation is running any more).
  void SetState(std::unique_ptr<State> next);
  State* current_state() const { return current_state_.get(); }  // T1 only
  void SetPreDownloadState(std::unique_ptr<State> state);
  State* pre_download_state() const { return pre_download_state_.get(); }  // T1 only
  VersionTable& version_table() { return version_table_; }                // T1 only
  // Sub-folder names of .\update\predownload, read at worker start (T1 only).
  const std::vector<std::string>& pre_download_dirs() const { return pre_download_dirs_; }
  // T1: lists a pre-download folder (once).
  void AddPreDownloadDir(const std::string& name);
  // T1: the installed game map into "_local_game_version_".
  bool LoadLocalGameMap();
  // T1: whether the pre-download of preDownloadVersion is finished (0), not
  // (1), or there is no such version (-1); see GetPreDownloadStatus in
  // update/version_map.h.
  int GetPreDownloadStatus();
  // T1: drops the listed pre-download folders that the installed game has
  // caught up with; see PrunePreDownloadDirs in update/version_map.h.
  int PrunePreDownloadDirs();
  // One worker tick: the first tick makes the launcher check; then the
  // current state, the pre-download state and the download poll, in order.
  void WorkerTick();

  // ---------------------------------------------------------------- any thread
  StateSnapshot CurrentState() const;
  bool HasPreDownloadState() const { return pre_download_present_; }

  LauncherSettings settings() const;
  void set_settings(const LauncherSettings& settings);  // T0
  DownloadStats stats() const;
  void set_stats(const DownloadStats& stats);

  HWND main_window() const { return main_window_; }
  void set_main_window(HWND hwnd) { main_window_ = hwnd; }
  std::vector<HWND> game_windows() const;
  void set_game_windows(std::vector<HWND> windows);

  std::string launcher_version() const;
  void set_launcher_version(const std::string& v);
  std::string local_game_version() const;
  void set_local_game_version(const std::string& v);
  // The game version as the update engine sees it: the installed one at
  // load, later the published one.
  std::string known_game_version() const { return known_game_version_.Get(); }
  void set_known_game_version(const std::string& v) { known_game_version_.Set(v); }
  // The version being downloaded (from the fetched map).
  std::string download_game_version() const { return download_game_version_.Get(); }
  void set_download_game_version(const std::string& v) { download_game_version_.Set(v); }
  std::string game_version_text() const { return game_version_text_.Get(); }
  // The public address found at the first launcher check (empty: not asked).
  std::string public_ip() const { return public_ip_.Get(); }
  void set_public_ip(const std::string& v) { public_ip_.Set(v); }
  // The main web page named by the gate answer.
  std::string activity_addr() const { return activity_addr_.Get(); }
  void set_activity_addr(const std::string& v) { activity_addr_.Set(v); }
  // The next game version offered for pre-download (written by T1).
  std::string pre_download_version() const { return pre_download_version_.Get(); }
  void set_pre_download_version(const std::string& v) { pre_download_version_.Set(v); }
  // Bytes the pre-download of that version needs (written by T1).
  uint64_t pre_download_size() const { return pre_download_size_; }
  void set_pre_download_size(uint64_t bytes) { pre_download_size_ = bytes; }

  // The game folder from the settings, ending in "\" (empty when unset).
  std::wstring GameFolder() const;
  // launcherVersion from .\launcher_version_map.txt ("1.0.0" when missing).
  void LoadLauncherVersion();
  // The installed game version from <game folder>\version_map.txt; the known
  // version and its display text follow it. Any thread.
  void LoadGameVersion();
  // Known and installed game versions both set and different.
  bool IsGameUpdateAvailable() const;

  // Posts msg to the registered main window from any thread, as a task on
  // the UI thread; dropped while no main window is registered.
  void PostToMainWindow(UINT msg, WPARAM wparam, LPARAM lparam);

  // ------------------------------------------------- requests between threads
  // Sends msg to the game client's windows from the worker (any caller).
  void PostToGameWindows(UINT msg, WPARAM wparam, LPARAM lparam);
  void RestartLauncherCheck();
  // enter: start the game when the check ends; honour_gate: the gate
  // override's auto-enter switch may veto it.
  void RestartGameCheck(int enter, bool honour_gate);
  void StartPreDownload();
  void StopPreDownload(bool now);
  void ToggleDownloadPause();
  // UI thread: reopen the resources and reload the UI, then run done on the
  // worker.
  void ReloadUiResources(std::function<void()> done);
  // UI thread: apply a changed language (nothing when it is already shown).
  void SwitchUiLanguage(const std::wstring& code);
  std::wstring current_ui_language() const { return current_ui_language_; }  // T0

  // --------------------------------------------------------- windows (2.115)
  // T0: registers (or with null, forgets) the main window and its instance
  // mark; dialogs that waited for it are shown.
  void SetMainWindow(HWND hwnd);
  // Rebuilds the game window list: top-level windows marked as game windows.
  void FindGameWindows();
  // A window the game client announced; taken only when it belongs to the
  // game program in the game folder.
  bool RegisterGameWindow(HWND hwnd);
  // Whether hwnd belongs to a process running VEXA.exe from the game folder.
  bool IsOurGameWindow(HWND hwnd) const;
  // Starts the game client for instance slot `slot` (only 0 starts
  // anything) with the md5 text of its version map; the first argument is
  // not used. False, with an error notice requested and no start counted,
  // when the client could not be started. Worker or UI thread.
  bool StartGame(const std::string& map_file_name, const std::string& md5, int slot);
  // How long a send to one game window may take before it counts as skipped.
  void set_game_send_timeout_ms(UINT ms) { game_send_timeout_ms_ = ms; }

  // ------------------------------------- repair (defined in update/game_repair.cc)
  // UI thread: the settings page's repair. Deletes the installed game map,
  // the alias copies of the renamed files and the game's profile folder
  // (%USERPROFILE%\.qvmpc), then starts a game check that rehashes the game
  // and fetches what differs, without starting the game. Refused (false,
  // nothing touched) while the game client runs or a game update is under
  // way.
  bool RepairGame();
  // UI thread: a game update was fetched but not completed
  // (<game folder>\tmp_version_map.txt opens for reading).
  bool HasPartialGameDownload() const;
  // Tests: the renamed-file pairs that Startup sets.
  void SetRenamedFilesForTesting(std::map<std::wstring, std::wstring> files) {
    renamed_files_ = std::move(files);
  }

  // ------------------------------------------------------------- disk space
  // Free space on the game drive (and the launcher drive) before downloads;
  // asks the player through a message box when it is short.
  [[nodiscard]] bool CheckUpdateSpace(const ModalResultCallback& result);
  [[nodiscard]] bool CheckInstallSpace(const ModalResultCallback& result);

  // ------------------------------------------------------------------ dialogs
  void SetDialogFactory(std::unique_ptr<DialogFactory> factory);  // T0
  void RequestMessageBox(HWND owner, const std::wstring& title_id, const std::wstring& content_id,
                         const std::wstring& first_button_id, const std::wstring& second_button_id,
                         ModalResultCallback result, bool swap_button_styles);
  void RequestMessageBoxEx(HWND owner, const std::wstring& title_id, const std::wstring& title_text,
                           const std::wstring& content_id, const std::wstring& content_text,
                           const std::wstring& first_button_id,
                           const std::wstring& second_button_id,
                           const std::wstring& first_button_text,
                           const std::wstring& second_button_text, ModalResultCallback result,
                           bool swap_button_styles);
  void RequestErrorBox(ErrorBoxRequest request);
  void RequestOptionsBox(const std::wstring& content_id, const std::wstring& group,
                         const std::vector<std::wstring>& option_ids, int unused,
                         const std::wstring& confirm_id, ModalResultCallback result);
  // T0, at shutdown: requests that never found a main window are dropped.
  void DiscardPendingDialogs();
  // Message boxes requested and not yet closed (several may be open).
  bool msgBoxOpen() const { return open_message_boxes_ > 0; }
  int open_message_boxes() const { return open_message_boxes_; }
  std::atomic<bool> msgBoxShown{false};

  // T0: rebuilds the channel tables (titles, links, jump links) for the
  // current language; false, tables unchanged, without a configuration.
  bool LoadUiConfig();
  const ChannelUiConfig& channel_ui() const { return channel_ui_; }  // T0

  // Read-only after Startup.
  const GateSettings& gate_settings() const { return gate_settings_; }
  const std::string& gid() const { return gid_; }
  const std::string& install_package_type() const { return install_package_type_; }
  std::map<std::wstring, std::wstring> RenamedFiles() const { return renamed_files_; }

  // Flags (names as the other subsystems know them).
  std::atomic<bool> workerStarted{false};
  std::atomic<bool> firstRun{false};
  std::atomic<bool> askCloseChoice{false};
  std::atomic<bool> launcherUpdatePending{false};
  std::atomic<bool> launcherUpdateFresh{true};
  std::atomic<bool> cefUpdatePending{false};
  std::atomic<bool> fontUpdatePending{false};
  std::atomic<bool> forceLauncherUpdate{false};
  std::atomic<int> resourcesChanged{0};
  std::atomic<bool> languageChanged{false};
  std::atomic<bool> enterGameAfterCheck{false};
  std::atomic<bool> preDownloadStarted{false};
  std::atomic<bool> preDownloadPaused{false};
  std::atomic<bool> preDlcCheck{false};
  std::atomic<int> patchOption{2};
  std::atomic<bool> useWebExtraParam{false};
  std::atomic<bool> updateFailed{false};
  std::atomic<bool> deleteLogTxt{false};
  std::atomic<bool> selfUpdateStarted{false};  // a restart handler started the updater

  // Back to the state of a new process (tests only; no worker may run).
  void ResetForTesting();

  // Paths of the state files (relative to the launcher folder).
  static std::wstring SettingsPath();
  static std::wstring StatsPath();

 private:
  struct PendingDialog {
    HWND owner;
    std::function<bool(HWND owner)> show;
    std::function<void()> discarded;
  };

  LauncherManager() = default;
  void PostDialog(ErrorBoxRequest request, bool counted);
  void ShowOrKeep(PendingDialog dialog);
  bool ShowMessageBoxNow(HWND owner, const ErrorBoxRequest& request, bool counted);
  static void PostResult(const ModalResultCallback& callback, int result);
  void FlushPendingDialogs();
  void SendToGameWindows(UINT msg, WPARAM wparam, LPARAM lparam);  // T1
  bool ReloadUiConfig();                                           // T0
  void PublishState();
  void RetireState(std::unique_ptr<State> state);
  void EndStateOperation();

  Hooks hooks_;
  JsonFileStatus settings_file_status_ = JsonFileStatus::kMissing;
  GateSettings gate_settings_;
  std::string gid_;
  std::string install_package_type_;
  std::map<std::wstring, std::wstring> renamed_files_;

  mutable nbase::Lock data_lock_;  // settings_, stats_, versions, game windows
  LauncherSettings settings_;
  DownloadStats stats_;
  std::string launcher_version_ = "1.0.0";
  std::string local_game_version_;
  std::vector<HWND> game_windows_;
  LockedText known_game_version_;
  LockedText download_game_version_;
  LockedText game_version_text_;
  LockedText public_ip_;
  LockedText activity_addr_;
  LockedText pre_download_version_;
  std::atomic<uint64_t> pre_download_size_{0};

  std::atomic<HWND> main_window_{nullptr};
  std::atomic<UINT> game_send_timeout_ms_{2000};

  // T0 only.
  std::unique_ptr<DialogFactory> dialog_factory_;
  std::vector<PendingDialog> pending_dialogs_;
  std::wstring current_ui_language_;
  ChannelUiConfig channel_ui_;
  std::atomic<int> open_message_boxes_{0};

  // T1 only.
  std::unique_ptr<State> current_state_;
  std::unique_ptr<State> pre_download_state_;
  std::vector<std::unique_ptr<State>> retired_states_;
  VersionTable version_table_;
  std::vector<std::string> pre_download_dirs_;
  int state_operation_depth_ = 0;

  std::atomic<uint32_t> state_word_{0};  // type | (mode + 1) << 8
  std::atomic<bool> pre_download_present_{false};
};
