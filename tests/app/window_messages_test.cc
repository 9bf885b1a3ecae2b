// Messages from the worker to the main window, and to the game client's
// windows (a real stand-in client process, one that hangs, and other programs
// of the same window class).
#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "bound_thread.h"
#include "test_dir.h"
#include "test_process.h"

namespace {

using testsupport::BoundThread;
using testsupport::RunOn;
using testsupport::TestDir;

struct Received {
  UINT msg;
  WPARAM wp;
  LPARAM lp;
  bool operator==(const Received& o) const { return msg == o.msg && wp == o.wp && lp == o.lp; }
};
std::mutex g_mutex;
std::vector<Received> g_received;

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg >= 2025 && msg <= 3025) {
    std::lock_guard<std::mutex> hold(g_mutex);
    g_received.push_back({msg, wp, lp});
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

class WindowMessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LauncherManager::Instance().ResetForTesting();
    g_received.clear();
    ui_ = std::make_unique<BoundThread>(
        nbase::kMainThreadId, nbase::MessageLoop::Kind::kUI,
        [this] {
          WNDCLASSEXW wc = {};
          wc.cbSize = sizeof(wc);
          wc.lpfnWndProc = &RecordingProc;
          wc.hInstance = GetModuleHandleW(nullptr);
          wc.lpszClassName = L"RecordingMainWindow";
          RegisterClassExW(&wc);
          window_ = CreateWindowExW(0, wc.lpszClassName, L"main", WS_OVERLAPPED, 0, 0, 10, 10,
                                    nullptr, nullptr, wc.hInstance, nullptr);
        },
        [this] { DestroyWindow(window_); });
    worker_ =
        std::make_unique<BoundThread>(nbase::kMiscThreadId, nbase::MessageLoop::Kind::kDefault);
  }
  void TearDown() override {
    worker_.reset();
    ui_.reset();
    LauncherManager::Instance().ResetForTesting();
  }
  std::vector<Received> received() {
    std::lock_guard<std::mutex> hold(g_mutex);
    return g_received;
  }
  LauncherManager& manager() { return LauncherManager::Instance(); }

  HWND window_ = nullptr;
  std::unique_ptr<BoundThread> ui_;
  std::unique_ptr<BoundThread> worker_;
};

TEST_F(WindowMessagesTest, WorkerReportsReachOnlyARegisteredMainWindow) {
  // Before the main window registers: dropped.
  ASSERT_TRUE(
      RunOn(nbase::kMiscThreadId, [&] { manager().PostToMainWindow(kMsgDownloadSize, 100, 10); }));
  ASSERT_TRUE(RunOn(nbase::kMainThreadId));
  EXPECT_TRUE(received().empty());

  ASSERT_TRUE(RunOn(nbase::kMainThreadId, [&] { manager().SetMainWindow(window_); }));
  const std::vector<Received> sent = {
      {kMsgSettingsChanged, 0, 0},
      {kMsgCheckProgress, 0, 57},
      {kMsgDownloadSpeed, 90, 1048576},
      {kMsgDownloadSize, 4000, 1000},
      {kMsgDownloadPaused, 0, 1},
      {kMsgConfigLoaded, 0, 0},
      {kMsgContentChanged, 0, 0},
      {kMsgGameButtonRefresh, 0, 0},
      {kMsgPreDownloadPanel, static_cast<WPARAM>(-1), 5},
      {kMsgHideToTray, 0, 0},
      {kMsgShowWindow, 1, 1},
  };
  ASSERT_TRUE(RunOn(nbase::kMiscThreadId, [&] {
    for (const Received& r : sent) manager().PostToMainWindow(r.msg, r.wp, r.lp);
  }));
  ASSERT_TRUE(RunOn(nbase::kMainThreadId));
  EXPECT_EQ(received(), sent);  // in posting order, parameters unchanged

  // After the window unregisters: dropped again.
  ASSERT_TRUE(RunOn(nbase::kMainThreadId, [&] { manager().SetMainWindow(nullptr); }));
  manager().PostToMainWindow(kMsgUiTick, 0, 0);
  ASSERT_TRUE(RunOn(nbase::kMainThreadId));
  EXPECT_EQ(received().size(), sent.size());
}

// ------------------------------------------------------------ game windows

class FakeGame {
 public:
  FakeGame(const std::wstring& exe, const wchar_t* mode, const std::wstring& log)
      : log_(log), process_(exe, std::wstring(mode) + L" \"" + log + L"\"") {
    // The client writes its window handle as its first line.
    testsupport::WaitUntil([&] { return !testsupport::ReadWholeFile(log_).empty(); }, 20000);
    const std::string first = testsupport::ReadWholeFile(log_);
    unsigned long long handle = 0;
    long long ignored = 0;
    unsigned msg = 0;
    if (sscanf(first.c_str(), "%u %llu %lld", &msg, &handle, &ignored) == 3) {
      hwnd_ = reinterpret_cast<HWND>(static_cast<uintptr_t>(handle));
    }
  }
  HWND hwnd() const { return hwnd_; }
  // The messages logged after the first line.
  std::string messages() const {
    const std::string all = testsupport::ReadWholeFile(log_);
    const size_t eol = all.find('\n');
    return eol == std::string::npos ? std::string() : all.substr(eol + 1);
  }

 private:
  std::wstring log_;
  testsupport::TestProcess process_;
  HWND hwnd_ = nullptr;
};

std::wstring InstallFakeGame(const std::wstring& folder, const wchar_t* name) {
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring exe = folder + L"\\" + name;
  EXPECT_TRUE(CopyFileW(testsupport::BuiltTestTool(L"fake_game.exe").c_str(), exe.c_str(), FALSE));
  return exe;
}

class GameWindowsTest : public WindowMessagesTest {
 protected:
  void SetUp() override {
    WindowMessagesTest::SetUp();
    LauncherSettings s = manager().settings();
    s.gamePath = TestDir() + L"game with blanks";
    manager().set_settings(s);
    game_exe_ = InstallFakeGame(s.gamePath, L"VEXA.exe");
  }
  std::wstring game_exe_;
};

TEST_F(GameWindowsTest, MessagesReachTheMarkedGameWindows) {
  FakeGame first(game_exe_, L"register", TestDir() + L"first.log");
  FakeGame second(game_exe_, L"register", TestDir() + L"second.log");
  ASSERT_NE(first.hwnd(), nullptr);
  ASSERT_NE(second.hwnd(), nullptr);
  manager().PostToGameWindows(kMsgPreDownloadStatus, 0, 3);
  manager().PostToGameWindows(kMsgPreDownloadProgress, 5000, 1200);
  ASSERT_TRUE(RunOn(nbase::kMiscThreadId));
  EXPECT_EQ(first.messages(), "2527 0 3\n2529 5000 1200\n");
  EXPECT_EQ(second.messages(), "2527 0 3\n2529 5000 1200\n");
  EXPECT_EQ(manager().game_windows().size(), 2u);
}

TEST_F(GameWindowsTest, AHungGameWindowDoesNotFreezeTheWorker) {
  manager().set_game_send_timeout_ms(300);
  FakeGame hung(game_exe_, L"hang", TestDir() + L"hung.log");
  FakeGame alive(game_exe_, L"register", TestDir() + L"alive.log");
  ASSERT_NE(hung.hwnd(), nullptr);
  const ULONGLONG start = GetTickCount64();
  manager().PostToGameWindows(kMsgPreDownloadSpeed, 30, 4096);
  manager().PostToGameWindows(kMsgPreDownloadSpeed, 20, 8192);
  ASSERT_TRUE(RunOn(nbase::kMiscThreadId, nullptr, 20000));
  // Two skipped sends of at most the timeout each, far from the hang's minute.
  EXPECT_LT(GetTickCount64() - start, 15000u);
  EXPECT_EQ(alive.messages(), "2531 30 4096\n2531 20 8192\n");
}

TEST_F(GameWindowsTest, ClassFallbackTakesOnlyTheGameProgram) {
  // Another program of the same engine, started first.
  const std::wstring other = InstallFakeGame(TestDir() + L"other", L"VEXA.exe");
  FakeGame stranger(other, L"unity", TestDir() + L"stranger.log");
  FakeGame game(game_exe_, L"unity", TestDir() + L"game.log");
  ASSERT_NE(stranger.hwnd(), nullptr);
  ASSERT_NE(game.hwnd(), nullptr);
  manager().PostToGameWindows(kMsgPreDownloadStatus, 0, 1);
  ASSERT_TRUE(RunOn(nbase::kMiscThreadId));
  EXPECT_EQ(game.messages(), "2527 0 1\n");
  EXPECT_EQ(stranger.messages(), "");
}

TEST_F(GameWindowsTest, OnlyTheGameMayRegisterAWindow) {
  FakeGame stranger(InstallFakeGame(TestDir() + L"other", L"VEXA.exe"), L"unity",
                    TestDir() + L"stranger.log");
  FakeGame game(game_exe_, L"unity", TestDir() + L"game.log");
  EXPECT_FALSE(manager().RegisterGameWindow(stranger.hwnd()));
  EXPECT_FALSE(manager().RegisterGameWindow(window_));  // our own window
  EXPECT_FALSE(manager().RegisterGameWindow(reinterpret_cast<HWND>(0x12345678)));
  EXPECT_FALSE(manager().RegisterGameWindow(nullptr));
  EXPECT_TRUE(manager().RegisterGameWindow(game.hwnd()));
  EXPECT_TRUE(manager().RegisterGameWindow(game.hwnd()));  // once in the list
  EXPECT_EQ(manager().game_windows(), std::vector<HWND>{game.hwnd()});
}

}  // namespace
