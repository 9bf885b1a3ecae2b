#include "update/state.h"

#include "app/launcher_manager.h"

State::State() : State(kGameMode) {}

State::State(UpdateMode mode) : mode_(mode) { LauncherManager::Instance().updateFailed = false; }
