#include "update/exception_state.h"

#include <memory>

#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "base/thread_registry.h"
#include "update/check_version_state.h"
#include "update/enter_game_state.h"
#include "update/self_update.h"

ExceptionState::ExceptionState(int code, const std::string& text, const std::string& detail,
                               bool retry)
    : State(), retry_(retry) {
  error_code_ = code;
  error_text_ = text;
  error_detail_ = detail;
}

void ExceptionState::Enter(State* /*previous*/) {
  LauncherManager& manager = LauncherManager::Instance();
  manager.PostToMainWindow(kMsgSettingsChanged, 0, 0);
  manager.updateFailed = true;
  if (retry_) ShowError(L"STRING_CANCEL", L"STRING_ERROR_RETRY", &OnUpdateErrorRetry);
}

void OnUpdateErrorRetry(bool retry) {
  if (retry) LauncherManager::Instance().RestartGameCheck(1, true);
}

namespace {

void RestartLauncher() {
  LauncherManager& manager = LauncherManager::Instance();
  const HWND main = manager.main_window();
  if (main == nullptr || !IsWindow(main)) return;
  const bool new_exe = manager.launcherUpdatePending.exchange(false);
  // Closing the main window ends the UI loop and the process by the normal
  // exit path, which then leaves the updater alone.
  manager.selfUpdateStarted = true;
  PostMessageW(main, WM_CLOSE, 0, 0);
  if (manager.hooks().start_self_update) {
    manager.hooks().start_self_update(L".\\launcher.exe", new_exe);
  } else {
    (void)StartSelfUpdate(L".\\launcher.exe", new_exe);
  }
}

}  // namespace

void OnLauncherRestartChoice(int result) {
  if (result != 0) RestartLauncher();
}

void OnLauncherRestartForced(int /*result*/) { RestartLauncher(); }

ModalResultCallback MakeDiskSpaceChoice(const std::string& installed_version) {
  return [installed_version](int result) { OnDiskSpaceChoice(result, installed_version); };
}

void OnDiskSpaceChoice(int result, const std::string& installed_version) {
  if (result == 0) return;
  nbase::ThreadRegistry::PostTo(nbase::kMiscThreadId,
                                [installed_version] { ContinueAfterDiskSpace(installed_version); });
}

void ContinueAfterDiskSpace(const std::string& installed_version) {
  LauncherManager& manager = LauncherManager::Instance();
  manager.updateFailed = false;
  manager.SetState(MakeFetchState(kGameMode, installed_version));
}

void EnterGameAfterReload() {
  LauncherManager::Instance().SetState(std::make_unique<EnterGameState>());
}

void OnPreDownloadCloseNotice(int /*result*/) {
  LauncherManager::Instance().PostToMainWindow(kMsgPreDownloadPanel, 0, 0);
}

void OnPreDownloadErrorClosed(bool /*result*/) {
  LauncherManager::Instance().StopPreDownload(false);
}
