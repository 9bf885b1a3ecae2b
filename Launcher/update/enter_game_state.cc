#include "update/enter_game_state.h"

#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "update/exception_state.h"

void EnterGameState::Enter(State* /*previous*/) {
  LauncherManager& manager = LauncherManager::Instance();
  manager.PostToMainWindow(kMsgSettingsChanged, 0, 0);
  result_ = 0;
  const bool pending =
      manager.launcherUpdatePending || manager.cefUpdatePending || manager.fontUpdatePending;
  if (pending && manager.launcherUpdateFresh) {
    manager.launcherUpdateFresh = false;
    manager.PostToMainWindow(kMsgShowWindow, 0, 0);
    if (manager.forceLauncherUpdate) {
      manager.RequestMessageBox(nullptr, L"STRING_UPDATE_NOTICE", L"STRING_UPDATE_LAUNCHER",
                                std::wstring(), L"STRING_CONFIRM", &OnLauncherRestartForced,
                                false);
    } else {
      manager.RequestMessageBox(nullptr, L"STRING_UPDATE_NOTICE", L"STRING_UPDATE_LAUNCHER",
                                L"STRING_CANCEL", L"STRING_CONFIRM", &OnLauncherRestartChoice,
                                false);
    }
    return;
  }
  // Starting the game and the timers belong to the game-start work.
}

void EnterGameState::Update() {}
