// The resting state: its periods from the gate override, its timers on the
// tick seam (content refresh, launcher re-check, one report per tick), the
// game start with the hand-over files and its failures, the launcher
// restart prompt, and the pre-download probe against the local gate and
// content server.
#include "update/enter_game_state.h"

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/file_util.h"
#include "app/game_start.h"
#include "download/download_manager.h"
#include "manual_worker.h"
#include "test_process.h"
#include "update/version_map.h"

namespace {

using statetest::Answer;
using statetest::FakeTick;
using statetest::Files;
using statetest::FlatMapText;
using statetest::ManualWorker;
using statetest::MapText;
using statetest::Md5Of;
using statetest::Message;
using statetest::StateHarness;
using testsupport::FileExists;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

constexpr uint32_t kHour = 3600000;

EnterGameState* Current() {
  State* state = LauncherManager::Instance().current_state();
  return state != nullptr && state->TypeId() == kStateEnterGame
             ? static_cast<EnterGameState*>(state)
             : nullptr;
}

size_t CountOf(UINT msg) { return StateHarness::Messages(msg).size(); }

std::vector<std::pair<WPARAM, LPARAM>> Panels() {
  std::vector<std::pair<WPARAM, LPARAM>> out;
  for (const Message& m : StateHarness::Messages(kMsgPreDownloadPanel)) {
    out.push_back({m.wparam, m.lparam});
  }
  return out;
}

class RecordingStarter : public GameProcessStarter {
 public:
  bool Start(const GameLaunch& launch) override {
    launches.push_back(launch);
    return succeed;
  }
  std::vector<GameLaunch> launches;
  bool succeed = true;
};

class EnterGameStateTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(StateHarness::StartSuite()); }
  static void TearDownTestSuite() { StateHarness::StopSuite(); }

  void SetUp() override {
    StateHarness::ResetServer();
    previous_starter_ = SetGameProcessStarterForTesting(&starter_);
    FakeTick() = 10 * kHour;
  }
  void TearDown() override {
    worker_.Stop();
    SetGameProcessStarterForTesting(previous_starter_);
  }

  std::wstring Game(const wchar_t* name) const { return worker_.game_folder() + L"\\" + name; }

  ManualWorker worker_;
  RecordingStarter starter_;
  GameProcessStarter* previous_starter_ = nullptr;
};

// ------------------------------------------------------------------ periods

TEST_F(EnterGameStateTest, PeriodsFollowTheGateIntervals) {
  struct Case {
    int refresh, update;
    uint32_t refresh_ms, update_ms, probe_ms;
  };
  const std::vector<Case> cases = {
      {0, 0, 28800000, 43200000, 1860000},    {100, 5, 28800000, 300000, 360000},
      {1, 1, 60000, 60000, 120000},           {99, 99, 5940000, 5940000, 6000000},
      {-3, 100, 28800000, 43200000, 1860000},
  };
  worker_.Start();
  LauncherManager& manager = LauncherManager::Instance();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.refresh) + "/" + std::to_string(c.update));
    Json::Value gate(Json::objectValue);
    gate["GateURLs"].append(StateHarness::GateUrl());
    gate["RefreshInterval"] = c.refresh;
    gate["UpdateInterval"] = c.update;
    ASSERT_TRUE(WriteJsonFile(".\\save\\setting.json", gate));
    manager.LoadGateOverride();
    ManualWorker::OnWorker([] { LauncherManager::Instance().SetState(nullptr); });
    ManualWorker::EnterGame();
    ManualWorker::OnWorker([&] {
      ASSERT_NE(Current(), nullptr);
      EXPECT_EQ(Current()->refresh_period(), c.refresh_ms);
      EXPECT_EQ(Current()->update_period(), c.update_ms);
      EXPECT_EQ(Current()->probe_period(), c.probe_ms);
    });
  }
}

// ------------------------------------------------------------------- timers

TEST_F(EnterGameStateTest, TimersRunOnTheClockAndReportsGoOnePerTick) {
  worker_.Start();
  // The content base starts at 0: a machine up for longer than the refresh
  // period refreshes at the first tick.
  FakeTick() = 9 * kHour;
  ManualWorker::EnterGame();
  EXPECT_EQ(CountOf(kMsgSettingsChanged), 1u);
  ManualWorker::Tick();
  EXPECT_EQ(CountOf(kMsgContentChanged), 1u);
  ManualWorker::Tick(3);
  EXPECT_EQ(CountOf(kMsgContentChanged), 1u);
  FakeTick() = 9 * kHour + 8 * kHour - 1;
  ManualWorker::Tick();
  EXPECT_EQ(CountOf(kMsgContentChanged), 1u);
  FakeTick() = 17 * kHour;
  ManualWorker::Tick();
  EXPECT_EQ(CountOf(kMsgContentChanged), 2u);
  // Not installed: the probe never went out.
  EXPECT_TRUE(StateHarness::server().RequestsFor("/gate/pre_download").empty());

  // A re-check's new resting state keeps the content base.
  ManualWorker::OnWorker([] { LauncherManager::Instance().SetState(nullptr); });
  FakeTick() = 20 * kHour;
  ManualWorker::EnterGame();
  ManualWorker::Tick();
  EXPECT_EQ(CountOf(kMsgContentChanged), 2u);

  // Queued reports leave one per tick.
  ManualWorker::OnWorker([] {
    DownloadManager& engine = DownloadManager::Instance();
    for (int i = 0; i < 3; ++i) {
      engine.Report("{\"n\":" + std::to_string(i) + "}", StateHarness::server().Url("/track"),
                    false);
    }
  });
  size_t queued = 0;
  ManualWorker::OnWorker([&] { queued = DownloadManager::Instance().QueuedReportCount(); });
  EXPECT_EQ(queued, 3u);
  ManualWorker::Tick();
  ManualWorker::OnWorker([&] { queued = DownloadManager::Instance().QueuedReportCount(); });
  EXPECT_EQ(queued, 2u);
  ManualWorker::Tick(2);
  EXPECT_EQ(StateHarness::server().RequestsFor("/track").size(), 3u);

  // The launcher re-check 12 hours after Enter.
  EXPECT_EQ(worker_.launcher_rechecks(), 0);
  FakeTick() = 32 * kHour - 1;
  ManualWorker::Tick();
  EXPECT_EQ(worker_.launcher_rechecks(), 0);
  FakeTick() = 32 * kHour;
  ManualWorker::Tick();
  EXPECT_EQ(worker_.launcher_rechecks(), 1);
}

// ----------------------------------------------------------------- game start

TEST_F(EnterGameStateTest, StartsTheGameWithTheHandOverFiles) {
  statetest::InstallGame(worker_.game_folder(), "10080_3_2", {{"VEXA.exe", "game"}});
  MakeDirsW(L".\\save");
  ASSERT_TRUE(WriteWholeFile(L".\\save\\gid.txt", "gid-1"));
  ASSERT_TRUE(WriteWholeFile(L".\\save\\TransToGame", "{\"a\":1}"));
  worker_.Start();
  LauncherManager& manager = LauncherManager::Instance();
  DownloadStats stats = manager.stats();
  stats.firstInstall = true;
  stats.downloadSize = 5;
  stats.downloadSpeed = 6;
  stats.downloadTime = 7;
  manager.set_stats(stats);
  manager.enterGameAfterCheck = true;
  ManualWorker::EnterGame();
  ManualWorker::Settle();

  ASSERT_EQ(starter_.launches.size(), 1u);
  const std::string md5 = Md5Of(ReadWholeFile(Game(L"version_map.txt")));
  std::wstring wide_md5(md5.begin(), md5.end());
  EXPECT_EQ(starter_.launches[0].command_line,
            L"\"" + worker_.game_folder() + L"\\VEXA.exe\" " + wide_md5 + L" win 0|1");
  EXPECT_EQ(ReadWholeFile(Game(L"save\\gid.txt")), "gid-1");
  EXPECT_EQ(ReadWholeFile(Game(L"save\\TransToGame")), "{\"a\":1}");
  EXPECT_FALSE(FileExists(L".\\save\\gid.txt"));
  EXPECT_FALSE(FileExists(L".\\save\\TransToGame"));
  EXPECT_EQ(CountOf(kMsgHideToTray), 1u);
  stats = manager.stats();
  EXPECT_FALSE(stats.firstInstall);
  EXPECT_EQ(stats.downloadSize, 0u);
  EXPECT_EQ(stats.downloadSpeed, 0u);
  EXPECT_EQ(stats.downloadTime, 0u);
  EXPECT_NE(ReadWholeFile(LauncherManager::StatsPath()).find("\"firstInstall\" : false"),
            std::string::npos);
  EXPECT_TRUE(StateHarness::Boxes().empty());
}

TEST_F(EnterGameStateTest, GameStartFailuresTellTheUser) {
  struct Case {
    const char* name;
    bool installed;
    bool running;
    bool start_works;
    const wchar_t* box;
    bool files_moved;
  };
  const std::vector<Case> cases = {
      {"no version map", false, false, true, L"STRING_ERROR_CHECK_GAME_FAILED", false},
      {"a game runs", true, true, true, L"STRING_ERROR_EXCEED_MAX_GAME_INSTANCE", true},
      {"the program does not start", true, false, false, L"STRING_ERROR_START_GAME_FAILED", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RemoveTreeW(worker_.game_folder());
    MakeDirsW(worker_.game_folder());
    if (c.installed)
      statetest::InstallGame(worker_.game_folder(), "10080_3_2", {{"VEXA.exe", "g"}});
    MakeDirsW(L".\\save");
    ASSERT_TRUE(WriteWholeFile(L".\\save\\gid.txt", "gid-1"));
    starter_.launches.clear();
    starter_.succeed = c.start_works;
    HANDLE mutex = c.running ? CreateMutexW(nullptr, FALSE, kGameInstanceMutex) : nullptr;
    worker_.Start();
    LauncherManager::Instance().enterGameAfterCheck = true;
    ManualWorker::EnterGame();
    ManualWorker::Settle();
    if (mutex) CloseHandle(mutex);

    const std::vector<statetest::Box> boxes = StateHarness::Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].spec.title.value, L"STRING_ERROR_NOTICE");
    EXPECT_EQ(boxes[0].spec.content.value, c.box);
    EXPECT_TRUE(boxes[0].spec.first_button.value.empty());
    EXPECT_EQ(boxes[0].spec.second_button.value, L"STRING_CONFIRM");
    EXPECT_EQ(FileExists(Game(L"save\\gid.txt")), c.files_moved);
    EXPECT_EQ(starter_.launches.size(), c.installed && !c.running ? 1u : 0u);
    // The launcher stays in view and no start is counted.
    EXPECT_EQ(CountOf(kMsgHideToTray), 0u);
    EXPECT_TRUE(LauncherManager::Instance().stats().firstInstall);
    worker_.Stop();
  }
}

TEST_F(EnterGameStateTest, LauncherRestartPromptComesOnceAndThenTheGameStarts) {
  statetest::InstallGame(worker_.game_folder(), "10080_3_2", {{"VEXA.exe", "g"}});
  for (const bool forced : {false, true}) {
    SCOPED_TRACE(forced ? "forced" : "choice");
    starter_.launches.clear();
    worker_.Start();
    LauncherManager& manager = LauncherManager::Instance();
    manager.fontUpdatePending = true;
    manager.forceLauncherUpdate = forced;
    manager.enterGameAfterCheck = true;
    ManualWorker::EnterGame();
    ManualWorker::Settle();
    std::vector<statetest::Box> boxes = StateHarness::Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].spec.title.value, L"STRING_UPDATE_NOTICE");
    EXPECT_EQ(boxes[0].spec.content.value, L"STRING_UPDATE_LAUNCHER");
    EXPECT_EQ(boxes[0].spec.first_button.value, forced ? L"" : L"STRING_CANCEL");
    EXPECT_EQ(boxes[0].spec.second_button.value, L"STRING_CONFIRM");
    EXPECT_EQ(CountOf(kMsgShowWindow), 1u);
    EXPECT_TRUE(starter_.launches.empty());
    EXPECT_FALSE(manager.launcherUpdateFresh);

    // Announced already in this run: the next rest starts the game.
    ManualWorker::OnWorker([] { LauncherManager::Instance().SetState(nullptr); });
    ManualWorker::EnterGame();
    ManualWorker::Settle();
    EXPECT_EQ(StateHarness::Boxes().size(), 1u);
    EXPECT_EQ(starter_.launches.size(), 1u);
    worker_.Stop();
  }
}

// ---------------------------------------------------------------- the probe

class ProbeTest : public EnterGameStateTest {
 protected:
  // Installed 3_0_4 (also the published version); the next version 3_0_5 on
  // the pre-download hosts changes one file, adds one and lists one content
  // under two paths; the patch list patches the changed file.
  void ServeVersions(bool hosts_from_host_answer) {
    statetest::InstallGame(worker_.game_folder(), "3_0_4",
                           {{"VEXA.exe", "exe-old"}, {"data/a.bin", "aaaa"}});
    ASSERT_TRUE(StateHarness::PutCdnFile(
        "game/version_map.txt",
        FlatMapText("3_0_4", {{"VEXA.exe", "exe-old"}, {"data/a.bin", "aaaa"}})));
    next_ = {{"VEXA.exe", "exe-new-longer"},
             {"data/a.bin", "aaaa"},
             {"data/new.bin", std::string(3000, 'n')},
             {"data/twin_a.bin", std::string(1000, 't')},
             {"data/twins/twin_b.bin", std::string(1000, 't')}};
    ASSERT_TRUE(StateHarness::PutCdnFile("pre/version_map.txt", FlatMapText("3_0_5", next_)));
    patch_ = "patch-bytes";
    Json::Value patches(Json::objectValue);
    patches["version"] = "3_0_5";
    patches["list"]["VEXA.exe"]["md5"] = Md5Of(patch_);
    patches["list"]["VEXA.exe"]["size"] = static_cast<int>(patch_.size());
    ASSERT_TRUE(
        StateHarness::PutCdnFile("pre/patchs/3_0_4/patch_list.txt", dltest::Compact(patches)));

    Json::Value gate(Json::objectValue);
    gate["DlcAddr"].append(StateHarness::CdnUrl() + "game/");
    std::string others = "{\"DlcAddr\":\"" + StateHarness::CdnUrl() + "game/\"";
    if (!hosts_from_host_answer)
      others += ",\"PreDlcAddr\":[\"" + StateHarness::CdnUrl() + "pre/\"]";
    gate["Others"] = others + "}";
    Json::Value rules(Json::arrayValue);
    rules.append(Answer("/gate/get/urls", gate));
    if (hosts_from_host_answer) {
      Json::Value hosts(Json::objectValue);
      hosts["info"].append("{\"VN_pc_addr\":[\"" + StateHarness::CdnUrl() + "pre/\"]}");
      rules.append(Answer("/gate/pre_download", hosts));
    } else {
      rules.append(Answer("/gate/pre_download", "gone", 404));
    }
    ASSERT_TRUE(StateHarness::server().InstallFaults(rules));
  }

  std::vector<std::string> ProbePaths() {
    std::vector<std::string> out;
    for (const Json::Value& e : StateHarness::server().Requests())
      out.push_back(e["path"].asString());
    return out;
  }

  Files next_;
  std::string patch_;
};

TEST_F(ProbeTest, FindsTheNextVersionAndOffersItWithItsSize) {
  for (const bool from_host_answer : {false, true}) {
    SCOPED_TRACE(from_host_answer ? "hosts from the host answer" : "hosts from the gate");
    StateHarness::server().ClearRequests();
    ServeVersions(from_host_answer);
    worker_.Start();
    FakeTick() = 1000;  // the probe period has not passed since 0
    ManualWorker::EnterGame();
    ManualWorker::Tick();
    EXPECT_TRUE(ProbePaths().empty());

    FakeTick() = 1860000;
    ManualWorker::Tick();
    std::vector<std::string> expected = {"/gate/pre_download", "/gate/get/urls",
                                         "/cdn/game/version_map.txt", "/cdn/pre/version_map.txt",
                                         "/cdn/pre/patchs/3_0_4/patch_list.txt"};
    // A refused host request is tried three times by the engine.
    if (!from_host_answer) expected.insert(expected.begin(), 2, "/gate/pre_download");
    EXPECT_EQ(ProbePaths(), expected);
    LauncherManager& manager = LauncherManager::Instance();
    EXPECT_EQ(manager.known_game_version(), "3_0_4");
    EXPECT_EQ(manager.pre_download_version(), "3_0_5");
    EXPECT_EQ(Panels(), (std::vector<std::pair<WPARAM, LPARAM>>{{1, 0}}));
    // The patch instead of the changed program, the new file, and the twin
    // content once.
    EXPECT_EQ(manager.pre_download_size(), patch_.size() + 3000u + 1000u);
    EXPECT_EQ(CountOf(kMsgGameButtonRefresh), 0u);
    ManualWorker::OnWorker([] {
      EXPECT_EQ(Current()->probe_step(), 0);
      EXPECT_EQ(Current()->pre_download_hosts(),
                std::vector<std::string>{StateHarness::CdnUrl() + "pre/"});
    });
    // One probe per period.
    ManualWorker::Tick(3);
    EXPECT_EQ(ProbePaths().size(), expected.size());
    worker_.Stop();
  }
}

TEST_F(ProbeTest, ANewerPublishedVersionRefreshesTheButtonAndPatchOptionZeroSkipsTheList) {
  ServeVersions(false);
  // Published 3_0_5 too: the pre-download of it is still usable.
  ASSERT_TRUE(StateHarness::PutCdnFile("game/version_map.txt", FlatMapText("3_0_5", next_)));
  worker_.Start();
  LauncherManager::Instance().patchOption = 0;
  FakeTick() = 1860000;
  ManualWorker::EnterGame();
  ManualWorker::Tick();
  EXPECT_EQ(LauncherManager::Instance().known_game_version(), "3_0_5");
  EXPECT_EQ(CountOf(kMsgGameButtonRefresh), 1u);
  EXPECT_TRUE(StateHarness::server().RequestsFor("/cdn/pre/patchs/3_0_4/patch_list.txt").empty());
  EXPECT_EQ(Panels(), (std::vector<std::pair<WPARAM, LPARAM>>{{1, 0}}));
  // Whole files: the changed program, the new file, the twin content once.
  EXPECT_EQ(LauncherManager::Instance().pre_download_size(), 14u + 3000u + 1000u);
}

TEST_F(ProbeTest, AFailingGateEndsTheProbeQuietly) {
  ServeVersions(false);
  Json::Value rules(Json::arrayValue);
  rules.append(Answer("/gate/get/urls", "busy", 503));
  rules.append(Answer("/gate/pre_download", "busy", 503));
  ASSERT_TRUE(StateHarness::server().InstallFaults(rules));
  worker_.Start();
  FakeTick() = 1860000;
  ManualWorker::EnterGame();
  ManualWorker::Tick();
  ManualWorker::OnWorker([] { EXPECT_EQ(Current()->probe_step(), 0); });
  EXPECT_FALSE(StateHarness::server().RequestsFor("/gate/get/urls").empty());
  EXPECT_TRUE(StateHarness::server().RequestsFor("/cdn/game/version_map.txt").empty());
  EXPECT_TRUE(Panels().empty());
  EXPECT_TRUE(StateHarness::Boxes().empty());
}

}  // namespace
