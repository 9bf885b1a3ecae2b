#include "download/engine_hooks.h"

#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "download/download_manager.h"

namespace {

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

}  // namespace

void InstallDownloadEngine() {
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
