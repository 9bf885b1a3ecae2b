#include "update/update_engine.h"

#include <memory>

#include "app/launcher_manager.h"
#include "update/prepare_state.h"

void InstallUpdateEngine() {
  LauncherManager& manager = LauncherManager::Instance();
  LauncherManager::Hooks hooks = manager.hooks();
  hooks.make_check_state = [](int mode) -> std::unique_ptr<State> {
    return std::make_unique<PrepareState>(mode == kLauncherMode ? kLauncherMode : kGameMode);
  };
  manager.SetHooks(hooks);
}
