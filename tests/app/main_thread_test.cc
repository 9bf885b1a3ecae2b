// The two application threads end to end: start order, the worker's Init
// finishing before the UI goes on, both ticks, and the shutdown order.
#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "app/main_thread.h"
#include "test_process.h"
#include "update/state.h"

namespace {

std::mutex g_mutex;
std::vector<std::string> g_events;
std::atomic<int> g_worker_ticks{0};
std::atomic<int> g_ui_ticks{0};
DWORD g_ui_thread = 0;

void Record(const std::string& event) {
  std::lock_guard<std::mutex> hold(g_mutex);
  const char* where = GetCurrentThreadId() == g_ui_thread ? "T0 " : "T1 ";
  g_events.push_back(where + event);
}

class TickingState : public State {
 public:
  TickingState() : State(kLauncherMode) {}
  int TypeId() const override { return kStatePrepare; }
  void Enter(State*) override { Record("first state entered"); }
  void Update() override {
    if (++g_worker_ticks == 1) Record("state update");
    // An update of the fonts arrives while the launcher runs.
    LauncherManager::Instance().fontUpdatePending = true;
  }
  void Exit(State*) override { Record("state exit"); }
};

LRESULT CALLBACK TestWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == kMsgUiTick) {
    if (++g_ui_ticks == 1) Record("ui tick");
    // Close once both ticks have been seen a few times.
    if (g_ui_ticks >= 2 && g_worker_ticks >= 20) PostMessageW(hwnd, WM_CLOSE, 0, 0);
    return 0;
  }
  if (msg == WM_CLOSE) {
    Record("main window closed");
    LauncherManager::Instance().set_main_window(nullptr);
    DestroyWindow(hwnd);
    return 0;
  }
  if (msg == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

HWND MakeTestWindow() {
  Record("main window made");
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = &TestWindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"MainThreadTestWindow";
  RegisterClassExW(&wc);
  HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"test", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                              nullptr, wc.hInstance, nullptr);
  LauncherManager::Instance().set_main_window(hwnd);
  return hwnd;
}

TEST(MainThreadTest, StartTicksAndShutdownInTheirOrder) {
  g_ui_thread = GetCurrentThreadId();
  LauncherManager& manager = LauncherManager::Instance();
  manager.ResetForTesting();
  LauncherManager::Hooks hooks;
  hooks.install_fonts = [] {
    Record("startup");
    return 1;
  };
  hooks.download_init = [] {
    Sleep(100);  // the UI must wait for this
    Record("download init");
  };
  hooks.make_check_state = [](int) -> std::unique_ptr<State> {
    return std::make_unique<TickingState>();
  };
  hooks.download_poll = [] {
    static std::atomic<bool> once{false};
    if (!once.exchange(true)) Record("poll");
  };
  hooks.download_stop_running = [] { Record("stop running"); };
  hooks.download_shutdown = [] { Record("download shutdown"); };
  hooks.uninstall_fonts = [] { Record("uninstall fonts"); };
  hooks.start_self_update = [](const std::wstring& run_after, bool new_exe) {
    Record("self update run_after=" + std::string(run_after.begin(), run_after.end()) +
           " new_exe=" + (new_exe ? "1" : "0"));
  };
  manager.SetHooks(hooks);

  {
    MainThread main_thread(MainThreadOptions{&MakeTestWindow});
    main_thread.RunOnCallingThread(nbase::MessageLoop::Kind::kUI);
  }
  // The statistics are written after the worker has ended.
  EXPECT_TRUE(testsupport::FileExists(L"save\\Log.json"));

  std::vector<std::string> events;
  {
    std::lock_guard<std::mutex> hold(g_mutex);
    events = g_events;
  }
  const std::vector<std::string> expected = {"T0 startup",
                                             "T1 download init",
                                             "T0 main window made",
                                             "T1 first state entered",
                                             "T1 state update",
                                             "T1 poll",
                                             "T0 ui tick",
                                             "T0 main window closed",
                                             "T0 stop running",
                                             "T1 download shutdown",
                                             "T1 state exit",
                                             "T0 uninstall fonts",
                                             "T0 self update run_after= new_exe=0"};
  // The worker's first tick may come before or after the window is made; the
  // rest is in a fixed order.
  ASSERT_EQ(events.size(), expected.size()) << ::testing::PrintToString(events);
  EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 2),
            std::vector<std::string>(expected.begin(), expected.begin() + 2));
  EXPECT_EQ(std::vector<std::string>(events.end() - 7, events.end()),
            std::vector<std::string>(expected.end() - 7, expected.end()));
  EXPECT_GE(g_ui_ticks, 2);
  EXPECT_GE(g_worker_ticks, 20);
  // The worker tick made the launcher check exactly once.
  EXPECT_EQ(std::count(events.begin(), events.end(), "T1 first state entered"), 1);
  manager.ResetForTesting();
}

}  // namespace
