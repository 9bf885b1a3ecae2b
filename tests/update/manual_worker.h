// A worker that ticks only when the test says so: the real download and
// update engines, the real LauncherManager worker start and end, and a UI
// thread with the state harness's recording main window and dialogs, but the
// worker's tick (current state, pre-download state, download poll) runs once
// per Tick(). With the enter-game state's tick seam this orders timers,
// probes and pre-download steps exactly, without sleeping. The launcher
// check of the first tick is skipped; launcher re-checks are recorded
// instead of run.
//
// Threads: the test thread drives; the tick and every state operation run on
// the worker (thread 1), dialogs and messages on the UI thread (thread 0).
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "download/md5.h"
#include "state_harness.h"
#include "update/enter_game_state.h"

namespace statetest {

// The enter-game state's clock: what the test sets.
inline std::atomic<uint32_t>& FakeTick() {
  static std::atomic<uint32_t> tick{0};
  return tick;
}
inline uint32_t ReadFakeTick() { return FakeTick(); }

class ManualWorker {
 public:
  ManualWorker() { game_folder_ = testsupport::TestDir() + L"Game Folder"; }
  ~ManualWorker() { Stop(); }

  const std::wstring& game_folder() const { return game_folder_; }
  int launcher_rechecks() const { return rechecks_; }

  // `gate` adds members to save\setting.json (intervals, switches).
  void Start(const Json::Value& gate = Json::Value(Json::objectValue)) {
    Recorder::Get().Clear();
    LauncherManager& manager = LauncherManager::Instance();
    manager.ResetForTesting();
    EnterGameState::ResetTimersForTesting();
    EnterGameState::SetTickSourceForTesting(&ReadFakeTick);
    MakeDirsW(L".\\save");
    Json::Value setting = gate;
    setting["GateURLs"].append(StateHarness::GateUrl());
    setting["IpEchoURL"] = StateHarness::IpUrl();
    setting["ca_bundle"] = StateHarness::ca().CaPathUtf8();
    ASSERT_TRUE(WriteJsonFile(".\\save\\setting.json", setting));
    manager.LoadGateOverride();
    LauncherSettings settings = manager.settings();
    settings.gamePath = game_folder_;
    manager.set_settings(settings);

    InstallDownloadEngine();
    InstallUpdateEngine();
    LauncherManager::Hooks hooks = manager.hooks();
    hooks.make_check_state = [this](int /*mode*/) -> std::unique_ptr<State> {
      ++rechecks_;
      return nullptr;
    };
    hooks.state_changed = [](int type, int mode) {
      Recorder& r = Recorder::Get();
      std::lock_guard<std::mutex> hold(r.mutex);
      r.trail.push_back({type, mode});
    };
    manager.SetHooks(hooks);

    ui_ = StartRecordingUi(L"ManualWorkerMain", &window_);
    worker_ = std::make_unique<testsupport::BoundThread>(
        nbase::kMiscThreadId, nbase::MessageLoop::Kind::kDefault,
        [] {
          LauncherManager& m = LauncherManager::Instance();
          m.BeginWorker();
          m.workerStarted = true;  // no launcher check at the first tick
        },
        [] { LauncherManager::Instance().EndWorker(); });
  }

  void Stop() {
    if (!ui_) return;
    LauncherManager& manager = LauncherManager::Instance();
    if (manager.hooks().download_stop_running) manager.hooks().download_stop_running();
    worker_.reset();
    StopRecordingUi(ui_, window_);
    EnterGameState::SetTickSourceForTesting(nullptr);
    EnterGameState::ResetTimersForTesting();
    manager.ResetForTesting();
  }

  // Runs fn on the worker and waits for it.
  static void OnWorker(std::function<void()> fn) {
    ASSERT_TRUE(testsupport::RunOn(nbase::kMiscThreadId, std::move(fn)));
  }
  // Makes an EnterGameState current (its Enter runs).
  static void EnterGame() {
    OnWorker([] { LauncherManager::Instance().SetState(std::make_unique<EnterGameState>()); });
    Settle();
  }
  // One worker tick, then the UI thread catches up.
  static void Tick(int count = 1) {
    for (int i = 0; i < count; ++i) {
      OnWorker([] { LauncherManager::Instance().WorkerTick(); });
    }
    Settle();
  }
  // Ticks until `done` holds (checked on the worker after each tick).
  static bool TickUntil(std::function<bool()> done, DWORD timeout_ms = 60000) {
    const ULONGLONG end = GetTickCount64() + timeout_ms;
    for (;;) {
      bool reached = false;
      if (!testsupport::RunOn(nbase::kMiscThreadId, [&] {
            LauncherManager::Instance().WorkerTick();
            reached = done();
          })) {
        return false;
      }
      if (reached) {
        Settle();
        return true;
      }
      if (GetTickCount64() >= end) return false;
    }
  }
  static void Settle() {
    for (int i = 0; i < 3; ++i) {
      testsupport::RunOn(nbase::kMiscThreadId);
      testsupport::RunOn(nbase::kMainThreadId);
    }
  }

 private:
  std::wstring game_folder_;
  std::atomic<int> rechecks_{0};
  HWND window_ = nullptr;
  std::unique_ptr<testsupport::BoundThread> ui_;
  std::unique_ptr<testsupport::BoundThread> worker_;
};

}  // namespace statetest
