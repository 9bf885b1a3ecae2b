// Process entry: fixes the current directory, handles the command-line modes,
// keeps a single instance, starts the browser runtime when its folder is
// present, runs the UI thread until the main window closes, then shuts the
// runtime down.
#include <ole2.h>
#include <windows.h>

#include <cstdio>

#include "app/command_line.h"
#include "app/game_start.h"
#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "app/main_thread.h"
#include "app/single_instance.h"
#include "base/path_helpers.h"
#include "download/engine_hooks.h"
#include "update/self_update.h"
#include "update/update_engine.h"
#include "update/version_map_writer.h"
#include "webview/cef_manager.h"

namespace {

int RunNormally() {
  SingleInstanceGuard instance;
  if (instance.another_instance_running()) {
    // A first instance without its window yet is simply left alone.
    BringInstanceForward(FindInstanceWindow());
    return 0;
  }

  CaptureStartupEnvironment();  // before the web runtime changes PATH
  qln_comp::CefManager& cef = qln_comp::CefManager::GetInstance();
  const bool have_runtime = cef.AddRuntimeFolderToPath();
  if (have_runtime) {
    OleInitialize(nullptr);
    qln_comp::CefSettings settings;
    // Without a working runtime the launcher runs on without web views.
    (void)cef.Initialize(PathHelpers::CurrentModuleDirectory() + L"cef_temp\\", settings);
  }

  InstallDownloadEngine();
  InstallUpdateEngine();
  {
    MainThread main_thread;
    main_thread.RunOnCallingThread(nbase::MessageLoop::Kind::kUI);
  }

  if (have_runtime) {
    qln_comp::CefManager::GetInstance().Shutdown();
    OleUninitialize();
  }
  return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Every relative path (save, update, exception, cef_temp, resources.zip)
  // means the launcher's own folder from here on.
  SetCurrentDirectoryW(PathHelpers::CurrentModuleDirectory().c_str());

  const LaunchCommand command = ParseLaunchCommand(SplitCommandLine(GetCommandLineW()));
  switch (command.mode) {
    case LaunchMode::kReplace: {
      const bool replaced = RunReplaceMode(command.args[0], command.args[1], command.args[2]);
      DeleteSelfAndExit(replaced ? 0 : 1);
    }
    case LaunchMode::kMakeVersion:
      return WriteLauncherVersionMap(command.args[0]) ? 0 : 1;
    case LaunchMode::kMakeDependenceVersion:
      return WriteDependenceVersionMap(command.args[0]) ? 0 : 1;
    case LaunchMode::kNormal:
      break;
  }
  return RunNormally();
}
