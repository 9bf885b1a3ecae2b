#include "update/update_engine.h"

#include <memory>

#include "app/launcher_manager.h"
#include "update/launcher_fonts.h"
#include "update/pre_download_state.h"
#include "update/prepare_state.h"

void InstallUpdateEngine() {
  LauncherManager& manager = LauncherManager::Instance();
  LauncherManager::Hooks hooks = manager.hooks();
  hooks.make_check_state = [](int mode) -> std::unique_ptr<State> {
    return std::make_unique<PrepareState>(mode == kLauncherMode ? kLauncherMode : kGameMode);
  };
  hooks.install_fonts = &InstallBundledFonts;
  hooks.uninstall_fonts = &UninstallBundledFonts;
  hooks.set_ui_font_names = &SetUiFontNames;
  hooks.make_pre_download_state = [] { return std::unique_ptr<State>(new PreDownloadState()); };
  manager.SetHooks(hooks);
}
