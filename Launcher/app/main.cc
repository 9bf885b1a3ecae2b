// Process entry: fixes the current directory, handles the command-line modes,
// keeps a single instance, starts the browser runtime when its folder is
// present, runs the UI thread until the main window closes, then shuts the
// runtime down.
#include <ole2.h>
#include <windows.h>

#include <cstdio>

#include "app/command_line.h"
#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "app/main_thread.h"
#include "app/single_instance.h"
#include "base/path_helpers.h"
#include "download/download_manager.h"
#include "update/self_update.h"
#include "update/update_engine.h"
#include "update/version_map_writer.h"
#include "webview/cef_manager.h"

namespace {

// The download engine's reports reach the main window as private messages.
class MainWindowSink : public DownloadSink {
 public:
  void OnDownloadSize(int64_t total, int64_t done) override {
    LauncherManager::Instance().PostToMainWindow(kMsgDownloadSize, static_cast<WPARAM>(total),
                                                 static_cast<LPARAM>(done));
  }
  void OnDownloadSpeed(int64_t remaining, int64_t bytes_per_second) override {
    LauncherManager::Instance().PostToMainWindow(kMsgDownloadSpeed, static_cast<WPARAM>(remaining),
                                                 static_cast<LPARAM>(bytes_per_second));
  }
  void OnDownloadPaused(bool paused) override {
    LauncherManager::Instance().PostToMainWindow(kMsgDownloadPaused, 0, paused ? 1 : 0);
  }
};

SpeedLimitSetting LimitOf(bool enabled, int kilobytes_per_second) {
  SpeedLimitSetting limit;
  limit.enabled = enabled;
  limit.kilobytesPerSecond = kilobytes_per_second;
  return limit;
}

// Plugs the download engine into the launcher's threads.
void InstallEngineHooks() {
  static MainWindowSink sink;
  LauncherManager& manager = LauncherManager::Instance();
  LauncherManager::Hooks hooks = manager.hooks();
  hooks.download_init = [&manager] {
    const GateSettings& gate = manager.gate_settings();
    const LauncherSettings s = manager.settings();
    DownloadSettings settings;
    settings.gateUrls = gate.gateUrls;
    settings.dlcUrls = gate.dlcUrls;
    settings.trackUrl = gate.trackUrl;
    settings.ipEchoUrl = gate.ipEchoUrl;
    settings.caBundle = gate.caBundle;
    settings.downloadLimit = LimitOf(s.downloadLimit, s.downloadSpeed);
    settings.preDownloadLimit = LimitOf(s.predlcLimit, s.predlcSpeed);
    DownloadManager::Instance().SetSink(&sink);
    DownloadManager::Instance().Init(settings);
  };
  hooks.download_shutdown = [] { DownloadManager::Instance().Shutdown(); };
  hooks.download_stop_running = [] { DownloadManager::Instance().StopRunning(); };
  hooks.download_poll = [] { DownloadManager::Instance().Poll(); };
  hooks.toggle_download_pause = [] { DownloadManager::Instance().TogglePause(); };
  hooks.apply_speed_limit = [&manager](int mode) {
    const LauncherSettings s = manager.settings();
    DownloadManager::Instance().ApplySpeedLimit(
        mode, mode == 0 ? LimitOf(s.downloadLimit, s.downloadSpeed)
                        : LimitOf(s.predlcLimit, s.predlcSpeed));
  };
  manager.SetHooks(hooks);
}

int RunNormally() {
  SingleInstanceGuard instance;
  if (instance.another_instance_running()) {
    // A first instance without its window yet is simply left alone.
    BringInstanceForward(FindInstanceWindow());
    return 0;
  }

  qln_comp::CefManager& cef = qln_comp::CefManager::GetInstance();
  const bool have_runtime = cef.AddRuntimeFolderToPath();
  if (have_runtime) {
    OleInitialize(nullptr);
    qln_comp::CefSettings settings;
    // Without a working runtime the launcher runs on without web views.
    (void)cef.Initialize(PathHelpers::CurrentModuleDirectory() + L"cef_temp\\", settings);
  }

  InstallEngineHooks();
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
