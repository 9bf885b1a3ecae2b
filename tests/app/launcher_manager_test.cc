// The state switch, the worker's begin and end, and the UI thread's view of
// the current state while the worker replaces it.
#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/launcher_manager.h"
#include "update/state.h"

namespace {

std::vector<std::string>* g_log = nullptr;

class TestState : public State {
 public:
  TestState(int type, UpdateMode mode, std::string name)
      : State(mode), type_(type), name_(std::move(name)) {}
  ~TestState() override { Log("delete " + name_); }
  int TypeId() const override { return type_; }
  void Enter(State* previous) override {
    Log("enter " + name_ + " from " +
        (previous ? static_cast<TestState*>(previous)->name_ : std::string("none")));
  }
  void Update() override {
    Log("update " + name_);
    if (on_update) on_update();
  }
  void Exit(State* next) override {
    Log("exit " + name_ + " to " +
        (next ? static_cast<TestState*>(next)->name_ : std::string("none")));
  }
  std::function<void()> on_update;

 private:
  static void Log(const std::string& s) {
    if (g_log) g_log->push_back(s);
  }
  int type_;
  std::string name_;
};

std::unique_ptr<State> Make(int type, UpdateMode mode, const char* name) {
  return std::make_unique<TestState>(type, mode, name);
}

class StateSwitchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LauncherManager::Instance().ResetForTesting();
    g_log = &log_;
  }
  void TearDown() override {
    LauncherManager::Instance().ResetForTesting();
    g_log = nullptr;
  }
  LauncherManager& manager() { return LauncherManager::Instance(); }
  std::vector<std::string> log_;
};

TEST_F(StateSwitchTest, TransitionsFollowTypeAndModeClass) {
  manager().SetState(Make(kStatePrepare, kLauncherMode, "launcher-check"));
  EXPECT_EQ(log_, std::vector<std::string>{"enter launcher-check from none"});
  EXPECT_EQ(manager().CurrentState().type, kStatePrepare);
  EXPECT_EQ(manager().CurrentState().mode, kLauncherMode);

  // Same type, same mode class: refused, destroyed unrun.
  log_.clear();
  manager().SetState(Make(kStatePrepare, kLauncherMode, "second-launcher-check"));
  EXPECT_EQ(log_, std::vector<std::string>{"delete second-launcher-check"});

  // Same type in the other mode replaces it: exit, enter, delete.
  log_.clear();
  manager().SetState(Make(kStatePrepare, kGameMode, "game-check"));
  EXPECT_EQ(log_, (std::vector<std::string>{"exit launcher-check to game-check",
                                            "enter game-check from launcher-check",
                                            "delete launcher-check"}));
  EXPECT_EQ(manager().CurrentState().mode, kGameMode);

  log_.clear();
  manager().SetState(Make(kStateDownloadFiles, kGameMode, "download"));
  EXPECT_EQ(log_,
            (std::vector<std::string>{"exit game-check to download",
                                      "enter download from game-check", "delete game-check"}));

  // Null ends the current state.
  log_.clear();
  manager().SetState(nullptr);
  EXPECT_EQ(log_, (std::vector<std::string>{"exit download to none", "delete download"}));
  EXPECT_TRUE(manager().CurrentState().idle());
  EXPECT_EQ(manager().CurrentState().mode, -1);

  // Null with no state: nothing at all.
  log_.clear();
  manager().SetState(nullptr);
  EXPECT_TRUE(log_.empty());
}

TEST_F(StateSwitchTest, AStateMayReplaceItselfFromItsOwnUpdate) {
  auto first = std::make_unique<TestState>(kStateRequestRemote, kGameMode, "remote");
  TestState* raw = first.get();
  raw->on_update = [this] {
    manager().SetState(Make(kStateCheckVersion, kGameMode, "check"));
    log_.push_back("update continues");  // still inside the old state's Update
  };
  manager().SetState(std::move(first));
  log_.clear();
  manager().WorkerTick();
  EXPECT_EQ(log_, (std::vector<std::string>{"update remote", "exit remote to check",
                                            "enter check from remote", "update continues",
                                            "delete remote"}));
  // The new state runs from the next tick on.
  log_.clear();
  manager().WorkerTick();
  EXPECT_EQ(log_, std::vector<std::string>{"update check"});
}

TEST_F(StateSwitchTest, FirstWorkerTickMakesTheLauncherCheckOnceThenTicksInOrder) {
  LauncherManager::Hooks hooks;
  int made = 0;
  hooks.make_check_state = [&made](int) {
    ++made;
    return Make(kStatePrepare, kLauncherMode, "first");
  };
  hooks.download_poll = [this] { log_.push_back("poll"); };
  manager().SetHooks(hooks);
  manager().SetPreDownloadState(Make(kStatePreDownload, kGameMode, "pre"));
  manager().WorkerTick();
  manager().WorkerTick();
  EXPECT_EQ(made, 1);
  EXPECT_EQ(log_, (std::vector<std::string>{"enter first from none", "update first", "update pre",
                                            "poll", "update first", "update pre", "poll"}));
  EXPECT_TRUE(manager().HasPreDownloadState());
}

TEST_F(StateSwitchTest, BeginAndEndWorkerInTheirOrder) {
  LauncherManager::Hooks hooks;
  hooks.download_init = [this] { log_.push_back("download init"); };
  hooks.reset_versions = [this] { log_.push_back("reset versions"); };
  hooks.load_versions = [this] { log_.push_back("load versions"); };
  hooks.download_shutdown = [this] { log_.push_back("download shutdown"); };
  hooks.erase_versions = [this] { log_.push_back("erase versions"); };
  manager().SetHooks(hooks);
  manager().launcherUpdatePending = true;
  manager().languageChanged = true;
  manager().BeginWorker();
  EXPECT_FALSE(manager().launcherUpdatePending);
  EXPECT_FALSE(manager().languageChanged);
  manager().SetState(Make(kStateDownloadFiles, kGameMode, "download"));
  manager().SetPreDownloadState(Make(kStatePreDownload, kGameMode, "pre"));
  manager().EndWorker();
  EXPECT_EQ(log_, (std::vector<std::string>{"download init", "reset versions", "load versions",
                                            "enter download from none", "download shutdown",
                                            "exit download to none", "delete download",
                                            "delete pre", "erase versions"}));
  EXPECT_TRUE(manager().CurrentState().idle());
  EXPECT_FALSE(manager().HasPreDownloadState());
}

// The worker replaces states as fast as it can while the UI thread reads the
// current state; every reading must be a pair that the worker really set.
TEST_F(StateSwitchTest, WorkerStartMakesTheTwelveVersionKeysAndReadsPreDownloadFolders) {
  CreateDirectoryW(L"update", nullptr);
  CreateDirectoryW(L"update\\predownload", nullptr);
  CreateDirectoryW(L"update\\predownload\\10080_0_1", nullptr);
  manager().BeginWorker();
  EXPECT_EQ(manager().version_table().size(), 12u);
  for (const char* key : VersionTable::Keys()) {
    EXPECT_TRUE(manager().version_table().Contains(key)) << key;
    EXPECT_TRUE(manager().version_table()[key].empty()) << key;
  }
  EXPECT_EQ(manager().pre_download_dirs(), std::vector<std::string>{"10080_0_1"});
  EXPECT_EQ(manager().launcher_version(), "1.0.0");
  manager().EndWorker();
  EXPECT_EQ(manager().version_table().size(), 0u);
}

TEST_F(StateSwitchTest, UiThreadReadsConsistentSnapshotsWhileTheWorkerSwitches) {
  g_log = nullptr;
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    const std::pair<int, UpdateMode> sequence[] = {{kStatePrepare, kLauncherMode},
                                                   {kStatePrepare, kGameMode},
                                                   {kStateRequestRemote, kGameMode},
                                                   {kStateEnterGame, kGameMode},
                                                   {kStateCheckVersion, kLauncherMode}};
    for (int i = 0; i < 200000 && !stop; ++i) {
      const auto& next = sequence[i % 5];
      LauncherManager::Instance().SetState(Make(next.first, next.second, "s"));
      if (i % 7 == 0) LauncherManager::Instance().SetState(nullptr);
    }
    stop = true;
  });
  int readings = 0, bad = 0;
  while (!stop) {
    const StateSnapshot s = LauncherManager::Instance().CurrentState();
    ++readings;
    const bool valid = (s.type == 0 && s.mode == -1) ||
                       (s.type == kStatePrepare && (s.mode == 0 || s.mode == 1)) ||
                       (s.type == kStateRequestRemote && s.mode == 1) ||
                       (s.type == kStateEnterGame && s.mode == 1) ||
                       (s.type == kStateCheckVersion && s.mode == 0);
    if (!valid) ++bad;
  }
  worker.join();
  EXPECT_GT(readings, 0);
  EXPECT_EQ(bad, 0);
}

}  // namespace
