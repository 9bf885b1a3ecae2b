// Requests between the UI thread and the worker. Every request is a task
// posted by thread id; a request for a thread that is not running is lost.
#include <utility>

#include "app/disk_space.h"
#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "app/resource_package.h"
#include "base/thread_registry.h"
#include "update/state.h"

bool LauncherManager::ReloadUiConfig() {
  return hooks_.load_ui_config ? hooks_.load_ui_config() : LoadUiConfig();
}

void LauncherManager::PostToMainWindow(UINT msg, WPARAM wparam, LPARAM lparam) {
  // The handle is read when the task runs: a window registered meanwhile gets
  // the message, one destroyed meanwhile does not.
  nbase::ThreadRegistry::PostTo(nbase::kMainThreadId, [this, msg, wparam, lparam] {
    if (HWND window = main_window_) SendMessageW(window, msg, wparam, lparam);
  });
}

void LauncherManager::PostToGameWindows(UINT msg, WPARAM wparam, LPARAM lparam) {
  nbase::ThreadRegistry::PostTo(nbase::kMiscThreadId, [this, msg, wparam, lparam] {
    SendToGameWindows(msg, wparam, lparam);
  });
}

void LauncherManager::RestartLauncherCheck() {
  enterGameAfterCheck = false;
  nbase::ThreadRegistry::PostTo(nbase::kMiscThreadId, [this] {
    if (hooks_.make_check_state) SetState(hooks_.make_check_state(kLauncherMode));
  });
}

void LauncherManager::RestartGameCheck(int enter, bool honour_gate) {
  enterGameAfterCheck = enter != 0 && !(honour_gate && gate_settings_.disableAutoEnterGame);
  nbase::ThreadRegistry::PostTo(nbase::kMiscThreadId, [this] {
    if (hooks_.make_check_state) SetState(hooks_.make_check_state(kGameMode));
  });
}

void LauncherManager::StartPreDownload() {
  nbase::ThreadRegistry::PostTo(nbase::kMiscThreadId, [this] {
    if (pre_download_state_ || !hooks_.make_pre_download_state) return;
    std::unique_ptr<State> state = hooks_.make_pre_download_state();
    if (!state) return;
    ++state_operation_depth_;
    pre_download_state_ = std::move(state);
    pre_download_present_ = true;
    pre_download_state_->Enter(nullptr);
    EndStateOperation();
  });
}

void LauncherManager::StopPreDownload(bool now) {
  auto stop = [this] {
    if (!pre_download_state_) return;
    ++state_operation_depth_;
    pre_download_state_->Exit(nullptr);
    RetireState(std::move(pre_download_state_));
    pre_download_present_ = false;
    EndStateOperation();
  };
  // Only the worker may stop it in place.
  if (now && nbase::ThreadRegistry::CurrentThreadId() == nbase::kMiscThreadId) {
    stop();
  } else {
    nbase::ThreadRegistry::PostTo(nbase::kMiscThreadId, stop);
  }
}

void LauncherManager::ToggleDownloadPause() {
  nbase::ThreadRegistry::PostTo(nbase::kMiscThreadId, [this] {
    if (hooks_.toggle_download_pause) hooks_.toggle_download_pause();
  });
}

void LauncherManager::ReloadUiResources(std::function<void()> done) {
  nbase::ThreadRegistry::PostTo(nbase::kMainThreadId, [this, done] {
    if (hooks_.open_resource_package) {
      hooks_.open_resource_package();
    } else {
      OpenResourcePackage();
    }
    if (hooks_.reload_ui) hooks_.reload_ui();
    resourcesChanged = 0;
    if (ReloadUiConfig()) PostToMainWindow(kMsgConfigLoaded, 0, 0);
    if (done) nbase::ThreadRegistry::PostTo(nbase::kMiscThreadId, done);
  });
}

void LauncherManager::SwitchUiLanguage(const std::wstring& code) {
  nbase::ThreadRegistry::PostTo(nbase::kMainThreadId, [this, code] {
    if (code == current_ui_language_) return;
    current_ui_language_ = code;
    if (hooks_.set_ui_font_names) hooks_.set_ui_font_names();
    if (hooks_.reload_ui) hooks_.reload_ui();
    if (ReloadUiConfig()) PostToMainWindow(kMsgConfigLoaded, 0, 0);
  });
}

bool LauncherManager::CheckUpdateSpace(const ModalResultCallback& result) {
  return ::CheckUpdateSpace(MakeDiskSpaceEnv(hooks_.language_text), result);
}

bool LauncherManager::CheckInstallSpace(const ModalResultCallback& result) {
  return ::CheckInstallSpace(MakeDiskSpaceEnv(hooks_.language_text), result);
}
