// The resting state after a failed game check or update, and the handlers of
// the update engine's dialogs.
//
// ExceptionState carries the failing state's error and, with retry, shows the
// update error dialog whose retry starts a new game check. The handlers run
// on the UI thread when a dialog closes (ContinueAfterDiskSpace and
// EnterGameAfterReload on the worker); they touch only the LauncherManager's
// flags, close the main window or start the updater, and post state switches
// to the worker. None of them refers to the state that showed the dialog,
// which may be gone by then.
#pragma once

#include <string>

#include "app/dialog_requests.h"
#include "update/state.h"

class ExceptionState : public State {
 public:
  ExceptionState(int code, const std::string& text, const std::string& detail, bool retry);

  int TypeId() const override { return kStateException; }
  void Enter(State* previous) override;
  void Update() override {}
  void Exit(State* /*next*/) override {}

 private:
  bool retry_;
};

// UI thread: the error dialog's answer; retry starts a game check that enters
// the game when it ends.
void OnUpdateErrorRetry(bool retry);
// UI thread: the launcher restart prompts. A confirmed (or, forced, any)
// answer closes the main window and starts the updater once.
void OnLauncherRestartChoice(int result);
void OnLauncherRestartForced(int result);
// The disk-space dialog's answer of a game check; continue posts
// ContinueAfterDiskSpace with the installed version of that check.
ModalResultCallback MakeDiskSpaceChoice(const std::string& installed_version);
void OnDiskSpaceChoice(int result, const std::string& installed_version);
// Worker: goes on with the fetch after the user chose to continue.
void ContinueAfterDiskSpace(const std::string& installed_version);
// Worker: the UI resources were reloaded; the check rests.
void EnterGameAfterReload();
// UI thread: the pre-download notices.
void OnPreDownloadCloseNotice(int result);
void OnPreDownloadErrorClosed(bool result);
