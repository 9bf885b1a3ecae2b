// The pre-download of the next version beside the installed one, against
// the local gate and content server, on a worker that ticks when the test
// says so: the whole run with its messages to the main window and to the
// stand-in game, pause and continue, the probe of the resting state running
// in between, content listed under two paths, and the error texts of every
// failure.
#include "update/pre_download_state.h"

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/file_util.h"
#include "download/download_manager.h"
#include "manual_worker.h"
#include "test_process.h"
#include "update/prepare_state.h"
#include "update/version_map.h"

namespace {

using statetest::Answer;
using statetest::FakeTick;
using statetest::Files;
using statetest::FlatMapText;
using statetest::ManualWorker;
using statetest::Md5Of;
using statetest::Message;
using statetest::StateHarness;
using testsupport::FileExists;
using testsupport::ReadWholeFile;
using testsupport::WaitUntil;
using testsupport::WriteWholeFile;

using Panel = std::pair<WPARAM, LPARAM>;

std::vector<Panel> Panels() {
  std::vector<Panel> out;
  for (const Message& m : StateHarness::Messages(kMsgPreDownloadPanel)) {
    out.push_back({m.wparam, m.lparam});
  }
  return out;
}

PreDownloadState* Pre() {
  return static_cast<PreDownloadState*>(LauncherManager::Instance().pre_download_state());
}

std::wstring PreFile(const std::string& name) {
  std::wstring wide;
  TextUtil::Utf8ToWide(name.c_str(), wide);
  return L".\\update\\predownload\\3_0_5\\" + wide;
}

const Files kInstalled = {{"VEXA.exe", "exe-old"}, {"data/a.bin", "aaaa"}};

class PreDownloadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(StateHarness::StartSuite()); }
  static void TearDownTestSuite() { StateHarness::StopSuite(); }

  void SetUp() override {
    StateHarness::ResetServer();
    FakeTick() = 1000;  // no probe until a test moves the clock
    SetNewFileSize(3000);
    patch_ = "patch-bytes";
  }

  // The next version, whose one new file has `size` bytes.
  void SetNewFileSize(int size) {
    new_size_ = size;
    next_ = {{"VEXA.exe", "exe-new-longer"},
             {"data/a.bin", "aaaa"},
             {"data/new.bin", std::string(new_size_, 'n')},
             {"data/twin_a.bin", std::string(1000, 't')},
             {"data/twins/twin_b.bin", std::string(1000, 't')}};
  }

  // A pre-download whose large new file comes slowly, started and asked for.
  void StartSlowPreDownload() {
    SetNewFileSize(400000);
    ServeContent();
    Json::Value slow(Json::arrayValue);
    Json::Value throttle(Json::objectValue);
    throttle["path"] = "/cdn/pre/data/new.bin";
    throttle["kind"] = "throttle";
    throttle["bytes_per_second"] = 40000;
    slow.append(throttle);
    ASSERT_TRUE(StateHarness::server().InstallFaults(Rules(true, false, slow)));
    StartAndAsk();
  }
  void TearDown() override { worker_.Stop(); }

  // Installed and published 3_0_4 on the game hosts ("/cdn/game/"); the
  // next version 3_0_5 with a patch for the changed program on the
  // pre-download hosts ("/cdn/pre/").
  void ServeContent() {
    statetest::InstallGame(worker_.game_folder(), "3_0_4", kInstalled);
    ASSERT_TRUE(StateHarness::PutCdnFile("game/version_map.txt", FlatMapText("3_0_4", kInstalled)));
    ASSERT_TRUE(StateHarness::PutCdnFile("pre/version_map.txt", FlatMapText("3_0_5", next_)));
    for (const auto& f : next_) {
      ASSERT_TRUE(StateHarness::PutCdnFile("pre/" + f.first, f.second));
    }
    Json::Value patches(Json::objectValue);
    patches["VEXA.exe"]["md5"] = Md5Of(patch_);
    patches["VEXA.exe"]["size"] = static_cast<int>(patch_.size());
    patches["version"]["md5"] = "3_0_5";
    ASSERT_TRUE(
        StateHarness::PutCdnFile("pre/patchs/3_0_4/patch_list.txt", dltest::Compact(patches)));
    ASSERT_TRUE(StateHarness::PutCdnFile("pre/patchs/3_0_4/VEXA.exe.patch", patch_));
  }

  // The gate names the game hosts (and, unless the host answer does, the
  // pre-download hosts); `extra` rules come first.
  static Json::Value Rules(bool host_answer, bool gate_offers, Json::Value extra = Json::Value()) {
    Json::Value rules = extra.isArray() ? extra : Json::Value(Json::arrayValue);
    Json::Value gate(Json::objectValue);
    gate["DlcAddr"].append(StateHarness::CdnUrl() + "game/");
    std::string others = "{\"DlcAddr\":\"" + StateHarness::CdnUrl() + "game/\"";
    if (gate_offers) others += ",\"PreDlcAddr\":[\"" + StateHarness::CdnUrl() + "pre/\"]";
    gate["Others"] = others + "}";
    rules.append(Answer("/gate/get/urls", gate));
    if (host_answer) {
      Json::Value hosts(Json::objectValue);
      hosts["info"].append("{\"VN_pc_addr\":[\"" + StateHarness::CdnUrl() + "pre/\"]}");
      rules.append(Answer("/gate/pre_download", hosts));
    } else {
      rules.append(Answer("/gate/pre_download", "gone", 404));
    }
    return rules;
  }

  // Starts the worker at rest and asks for the pre-download as the main
  // window does.
  void StartAndAsk() {
    worker_.Start();
    ManualWorker::EnterGame();
    LauncherManager::Instance().preDownloadStarted = true;
    LauncherManager::Instance().StartPreDownload();
    ManualWorker::Settle();
  }

  static bool RunToTheEnd() {
    return ManualWorker::TickUntil([] { return Pre() == nullptr; });
  }

  static std::vector<std::string> RequestedPaths() {
    std::vector<std::string> out;
    for (const Json::Value& e : StateHarness::server().Requests())
      out.push_back(e["path"].asString());
    return out;
  }

  static size_t CountRequests(const std::string& path) {
    return StateHarness::server().RequestsFor(path).size();
  }

  int new_size_ = 0;
  Files next_;
  std::string patch_;
  ManualWorker worker_;
};

TEST_F(PreDownloadTest, FetchesTheNextVersionAndTellsTheWindowAndTheGame) {
  ServeContent();
  ASSERT_TRUE(StateHarness::server().InstallFaults(Rules(true, false)));
  // The stand-in game runs from the game folder while the pre-download runs.
  const std::wstring game = worker_.game_folder() + L"\\VEXA.exe";
  ASSERT_TRUE(CopyFileW(testsupport::BuiltTestTool(L"VEXA.exe").c_str(), game.c_str(), FALSE));
  testsupport::TestProcess client(game, L"", worker_.game_folder());
  ASSERT_TRUE(client.started());
  const std::wstring started = worker_.game_folder() + L"\\vexa_start.txt";
  ASSERT_TRUE(WaitUntil([&] { return ReadWholeFile(started).find("window=") != std::string::npos; },
                        20000));

  StartAndAsk();
  ASSERT_TRUE(RunToTheEnd());

  EXPECT_EQ(Panels(), (std::vector<Panel>{{2, 0}, {2, 1}, {3, 0}}));
  const std::vector<Message> sizes = StateHarness::Messages(kMsgDownloadSize);
  ASSERT_FALSE(sizes.empty());
  // The patch, the new file and the twin content once.
  const WPARAM total = patch_.size() + 3000 + 1000;
  EXPECT_EQ(sizes.front().wparam, total);
  EXPECT_TRUE(StateHarness::Boxes().empty());

  EXPECT_EQ(ReadWholeFile(PreFile(Md5Of(patch_))), patch_);
  EXPECT_EQ(ReadWholeFile(PreFile(Md5Of(std::string(3000, 'n')))), std::string(3000, 'n'));
  EXPECT_EQ(ReadWholeFile(PreFile(Md5Of(std::string(1000, 't')))), std::string(1000, 't'));
  EXPECT_EQ(ReadWholeFile(PreFile("predownload_version_map.txt")), FlatMapText("3_0_5", next_));
  EXPECT_FALSE(FileExists(PreFile("tmp_predownload_version_map.txt")));
  EXPECT_FALSE(FileExists(PreFile(Md5Of("exe-new-longer"))));  // patched, not fetched whole

  // Only the pre-download hosts were asked, the twin content only once.
  for (const std::string& path : RequestedPaths()) {
    EXPECT_EQ(path.rfind("/cdn/game/", 0), std::string::npos) << path;
  }
  EXPECT_EQ(
      CountRequests("/cdn/pre/data/twin_a.bin") + CountRequests("/cdn/pre/data/twins/twin_b.bin"),
      1u);
  EXPECT_EQ(CountRequests("/cdn/pre/data/VEXA.exe"), 0u);

  LauncherManager& manager = LauncherManager::Instance();
  EXPECT_FALSE(manager.preDownloadStarted);
  EXPECT_EQ(manager.pre_download_version(), "3_0_5");
  ManualWorker::OnWorker([] {
    const auto& dirs = LauncherManager::Instance().pre_download_dirs();
    EXPECT_EQ(dirs, std::vector<std::string>{"3_0_5"});
  });

  // The game was told: downloading, then finished.
  const std::wstring messages = worker_.game_folder() + L"\\vexa_messages.txt";
  ASSERT_TRUE(WaitUntil(
      [&] { return ReadWholeFile(messages).find("2527 0 4") != std::string::npos; }, 20000));
  EXPECT_EQ(ReadWholeFile(messages), "2527 0 3\n2527 0 4\n");

  // The next probe finds the finished pre-download.
  StateHarness::ClearTrail();
  FakeTick() = 1860000;
  ManualWorker::Tick();
  EXPECT_EQ(Panels(), (std::vector<Panel>{{3, 0}}));
  ASSERT_TRUE(WriteWholeFile(worker_.game_folder() + L"\\vexa_quit", ""));
  EXPECT_TRUE(client.WaitForExit(20000));
}

TEST_F(PreDownloadTest, PauseAndContinueWithTheProbeRunningInBetween) {
  StartSlowPreDownload();

  // The host request; then the resting state's probe switches the engine to
  // the game hosts before the pre-download asks for the next version's map.
  ManualWorker::Tick();
  ManualWorker::OnWorker([] {
    ASSERT_NE(Pre(), nullptr);
    EXPECT_EQ(Pre()->step(), PreDownloadState::kRemoteMap);
  });
  FakeTick() = 1860000;
  ManualWorker::Tick();
  EXPECT_EQ(CountRequests("/cdn/game/version_map.txt"), 1u);  // the probe's
  EXPECT_EQ(CountRequests("/cdn/pre/version_map.txt"), 1u);   // the pre-download's
  ManualWorker::OnWorker([] {
    ASSERT_NE(Pre(), nullptr);
    EXPECT_EQ(Pre()->step(), PreDownloadState::kPatchList);
  });

  ASSERT_TRUE(ManualWorker::TickUntil([] { return Pre() != nullptr && Pre()->Downloading(); }));
  ManualWorker::Tick(3);
  ManualWorker::OnWorker([] {
    ASSERT_NE(Pre(), nullptr);
    EXPECT_GT(Pre()->files_left(), 0);
  });

  // Pause: the state goes, its transfers with it.
  LauncherManager& manager = LauncherManager::Instance();
  manager.preDownloadPaused = true;
  manager.StopPreDownload(false);
  ManualWorker::Settle();
  size_t queued = 1;
  ManualWorker::OnWorker([&] { queued = DownloadManager::Instance().queuedFileCount(); });
  EXPECT_EQ(queued, 0u);
  EXPECT_FALSE(manager.HasPreDownloadState());
  EXPECT_TRUE(FileExists(PreFile("tmp_predownload_version_map.txt")));
  EXPECT_FALSE(FileExists(PreFile("predownload_version_map.txt")));

  // Continue, now at full speed.
  ASSERT_TRUE(StateHarness::server().InstallFaults(Rules(true, false)));
  manager.preDownloadPaused = false;
  manager.preDownloadStarted = true;
  manager.StartPreDownload();
  ManualWorker::Settle();
  ASSERT_TRUE(RunToTheEnd());
  EXPECT_EQ(ReadWholeFile(PreFile(Md5Of(std::string(new_size_, 'n')))),
            std::string(new_size_, 'n'));
  EXPECT_TRUE(FileExists(PreFile("predownload_version_map.txt")));
  EXPECT_EQ(Panels().back(), Panel(3, 0));
  EXPECT_TRUE(StateHarness::Boxes().empty());
}

TEST_F(PreDownloadTest, AGameCheckStopsItAndKeepsTheGameSpeedLimit) {
  StartSlowPreDownload();
  ASSERT_TRUE(ManualWorker::TickUntil([] { return Pre() != nullptr && Pre()->Downloading(); }));
  int limit_mode = -1;
  ManualWorker::OnWorker([&] { limit_mode = DownloadManager::Instance().limitMode(); });
  EXPECT_EQ(limit_mode, kSpeedLimitPreDownload);

  StateHarness::ClearTrail();
  ManualWorker::OnWorker(
      [] { LauncherManager::Instance().SetState(std::make_unique<PrepareState>(kGameMode)); });
  ManualWorker::Settle();
  LauncherManager& manager = LauncherManager::Instance();
  EXPECT_FALSE(manager.HasPreDownloadState());
  EXPECT_TRUE(manager.preDownloadStarted);  // it goes on after the update
  size_t queued = 1;
  ManualWorker::OnWorker([&] {
    limit_mode = DownloadManager::Instance().limitMode();
    queued = DownloadManager::Instance().queuedFileCount();
  });
  EXPECT_EQ(limit_mode, kSpeedLimitDownload);
  EXPECT_EQ(queued, 0u);
  EXPECT_EQ(Panels(), (std::vector<Panel>{{static_cast<WPARAM>(-1), -1}}));
}

TEST_F(PreDownloadTest, NothingToFetchOrNotAskedForEndsWithoutDownloads) {
  ServeContent();
  ASSERT_TRUE(StateHarness::server().InstallFaults(Rules(false, true)));
  // Not asked for: the offer is shown with nothing fetched.
  worker_.Start();
  ManualWorker::EnterGame();
  LauncherManager::Instance().StartPreDownload();
  ManualWorker::Settle();
  ASSERT_TRUE(RunToTheEnd());
  EXPECT_EQ(Panels(), (std::vector<Panel>{{2, 0}, {1, 0}}));
  EXPECT_FALSE(FileExists(PreFile("tmp_predownload_version_map.txt")));
  EXPECT_EQ(CountRequests("/cdn/pre/data/new.bin"), 0u);
  worker_.Stop();

  // Everything already installed: finished at once, the folder listed.
  StateHarness::ClearCdn();
  StateHarness::server().ClearRequests();
  next_ = kInstalled;
  ServeContent();
  ASSERT_TRUE(StateHarness::PutCdnFile("pre/version_map.txt", FlatMapText("3_0_5", kInstalled)));
  StartAndAsk();
  ASSERT_TRUE(RunToTheEnd());
  EXPECT_EQ(Panels(), (std::vector<Panel>{{2, 0}, {3, 0}}));
  ManualWorker::OnWorker([] {
    EXPECT_EQ(LauncherManager::Instance().pre_download_dirs(), std::vector<std::string>{"3_0_5"});
  });
  EXPECT_FALSE(FileExists(PreFile("predownload_version_map.txt")));
}

TEST_F(PreDownloadTest, EachFailureHasItsText) {
  struct Case {
    const char* name;
    bool host_answer;
    bool gate_offers;
    std::string gate_body;  // replaces the gate answer when not empty
    int gate_status;
    std::string pre_map;  // replaces the next version's map when not empty
    std::string known;    // the published version when not empty
    bool drop_new_file;
    std::wstring detail_begin;  // empty: a silent stop
    std::wstring detail_end;
  };
  const std::string same = FlatMapText("3_0_4", kInstalled);
  const std::vector<Case> cases = {
      {"no offer", false, false, "", 200, "", "", false, L"", L""},
      {"same version", true, false, "", 200, same, "", false, L"STRING_ERROR_DLC_LAST", L""},
      {"older than published", true, false, "", 200, "", "3_0_6", false,
       L"STRING_ERROR_DLC_OUTDATED", L""},
      {"newer than published", true, false, "", 200, FlatMapText("3_0_7", kInstalled), "3_0_5",
       false, L"STRING_ERROR_DLC_FIRST", L""},
      {"no version", true, false, "", 200, "{\"VEXA.exe\":{\"md5\":\"" + Md5Of("x") + "\"}}", "",
       false, L"PreDlc check failed:0", L""},
      {"unparsable map", true, false, "", 200, "not a map", "", false,
       L"PreDlc parse remote Failed: :", L"(not a map)"},
      {"unparsable gate", false, true, "{broken", 200, "", "", false,
       L"PreDlc parse gate dlcAddr Failed:", L"({broken)"},
      {"gate fails", false, true, "busy", 503, "", "", false, L"-", L")"},
      {"a file fails", true, false, "", 200, "", "", true, L"-", L"(data/new.bin)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StateHarness::ClearCdn();
    StateHarness::server().ClearRequests();
    ServeContent();
    if (!c.pre_map.empty()) {
      ASSERT_TRUE(StateHarness::PutCdnFile("pre/version_map.txt", c.pre_map));
    }
    if (c.drop_new_file) DeleteFileW(StateHarness::CdnFile("pre/data/new.bin").c_str());
    Json::Value rules = Rules(c.host_answer, c.gate_offers);
    if (!c.gate_body.empty()) {
      Json::Value replaced(Json::arrayValue);
      replaced.append(Answer("/gate/get/urls", c.gate_body, c.gate_status));
      replaced.append(rules[1]);
      rules = replaced;
    }
    ASSERT_TRUE(StateHarness::server().InstallFaults(rules));
    worker_.Start();
    LauncherManager& manager = LauncherManager::Instance();
    if (!c.known.empty()) manager.set_known_game_version(c.known);
    ManualWorker::EnterGame();
    manager.preDownloadStarted = true;
    manager.StartPreDownload();
    ManualWorker::Settle();
    ASSERT_TRUE(ManualWorker::TickUntil(
        [] { return Pre() == nullptr || (Pre()->result() < 0 && Pre()->step() == 0); }));
    EXPECT_EQ(Panels().back(), Panel(0, 0));
    EXPECT_FALSE(manager.preDownloadStarted);
    size_t queued = 1;
    ManualWorker::OnWorker([&] { queued = DownloadManager::Instance().queuedFileCount(); });
    EXPECT_EQ(queued, 0u);
    const std::vector<statetest::Box> boxes = StateHarness::Boxes();
    if (c.detail_begin.empty()) {
      EXPECT_TRUE(boxes.empty());
      EXPECT_FALSE(manager.HasPreDownloadState());
      EXPECT_FALSE(manager.updateFailed);
    } else {
      ASSERT_EQ(boxes.size(), 1u);
      const std::wstring detail = boxes[0].spec.detail.value;
      EXPECT_EQ(detail.compare(0, c.detail_begin.size(), c.detail_begin), 0)
          << std::string(detail.begin(), detail.end());
      if (!c.detail_end.empty()) {
        ASSERT_GE(detail.size(), c.detail_end.size());
        EXPECT_EQ(detail.substr(detail.size() - c.detail_end.size()), c.detail_end)
            << std::string(detail.begin(), detail.end());
      }
      if (std::string(c.name) == "gate fails") {
        EXPECT_NE(detail.find(L"PreDlc Request:7 Failed:"), std::wstring::npos);
        EXPECT_NE(detail.find(L"(get/urls?"), std::wstring::npos);
      }
      EXPECT_TRUE(boxes[0].spec.first_button.value.empty());
      EXPECT_EQ(boxes[0].spec.second_button.value, L"STRING_CONFIRM");
      EXPECT_TRUE(manager.updateFailed);
      // Closing the dialog stops the pre-download.
      std::function<void(int)> closer;
      {
        statetest::Recorder& r = statetest::Recorder::Get();
        std::lock_guard<std::mutex> hold(r.mutex);
        closer = r.closers[0];
      }
      ASSERT_TRUE(testsupport::RunOn(nbase::kMainThreadId, [closer] { closer(1); }));
      ManualWorker::Settle();
      EXPECT_FALSE(manager.HasPreDownloadState());
    }
    worker_.Stop();
  }
}

}  // namespace
