// The check chain on the real worker thread against the local gate and
// content server: gate answers, the published maps, the difference, the
// error dialogs and where each check comes to rest.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/file_util.h"
#include "download/download_manager.h"
#include "download/md5.h"
#include "state_harness.h"
#include "test_process.h"
#include "update/prepare_state.h"
#include "update/version_map.h"

namespace {

using statetest::FlatMapText;
using statetest::Message;
using statetest::StateHarness;
using statetest::StateStep;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

constexpr int L = kLauncherMode;
constexpr int G = kGameMode;

bool Exists(const std::wstring& path) { return testsupport::FileExists(path); }

class CheckStatesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(StateHarness::StartSuite()); }
  static void TearDownTestSuite() { StateHarness::StopSuite(); }

  void SetUp() override {
    StateHarness::ClearCdn();
    StateHarness::PutQuietLauncherMaps();
    PrepareState::SetHashSliceMsForTesting(1000);
  }
  void TearDown() override { harness_.Stop(); }

  // Installs game version `version` with `files` in the game folder.
  void InstallGame(const std::string& version, const statetest::Files& files) {
    statetest::InstallGame(harness_.game_folder(), version, files);
  }
  // Starts the threads and waits for the launcher check at start to rest.
  void StartAndSettle() {
    harness_.Start();
    ASSERT_TRUE(harness_.WaitForStep(kStateEnterGame, G));
  }

  void GameCheck() {
    StateHarness::ClearTrail();
    LauncherManager::Instance().RestartGameCheck(0, false);
  }

  StateHarness harness_;
};

TEST_F(CheckStatesTest, LauncherCheckWithNothingNewRestsAndPromotesTheFetchedMap) {
  ASSERT_TRUE(StateHarness::ServeGate(StateHarness::BothAnswers(",\"PatchOption\":0")));
  StartAndSettle();
  EXPECT_EQ(StateHarness::Trail(), (std::vector<StateStep>{{kStatePrepare, L},
                                                           {kStateRequestRemote, L},
                                                           {kStateCheckVersion, L},
                                                           {kStateEnterGame, G}}));
  LauncherManager& manager = LauncherManager::Instance();
  EXPECT_EQ(manager.patchOption, 0);
  EXPECT_EQ(manager.public_ip(), "203.0.113.7");
  EXPECT_FALSE(Exists(L".\\tmp_launcher_version_map.txt"));
  EXPECT_EQ(ReadWholeFile(L".\\launcher_version_map.txt"), "{\"list\":null,\"version\":\"1.0.0\"}");
  std::vector<LPARAM> progress;
  for (const Message& m : StateHarness::Messages(kMsgCheckProgress)) progress.push_back(m.lparam);
  EXPECT_EQ(progress, (std::vector<LPARAM>{95, 100}));
  EXPECT_TRUE(StateHarness::Boxes().empty());

  // A second launcher check does not ask for the address again.
  StateHarness::ClearTrail();
  manager.RestartLauncherCheck();
  ASSERT_TRUE(harness_.WaitForStep(kStateEnterGame, G));
  EXPECT_EQ(StateHarness::server().RequestsFor("/ip").size(), 1u);
  EXPECT_EQ(StateHarness::Trail().size(), 4u);
}

// ------------------------------------------------------------- game checks

TEST_F(CheckStatesTest, FirstInstallFetchesThePublishedMapAndGoesToWholeFiles) {
  const std::string published = FlatMapText("3_0_5", {{"VEXA.exe", "game"}, {"data/a.bin", "aaa"}});
  ASSERT_TRUE(StateHarness::PutCdnFile("version_map.txt", published));
  ASSERT_TRUE(StateHarness::ServeGate(StateHarness::BothAnswers()));
  StartAndSettle();
  GameCheck();
  ASSERT_TRUE(harness_.WaitForStep(kStateDownloadFiles, G));
  EXPECT_EQ(StateHarness::TrailUpTo(kStateDownloadFiles),
            (std::vector<StateStep>{{kStatePrepare, G},
                                    {kStateRequestRemote, G},
                                    {kStateCheckVersion, G},
                                    {kStateDownloadFiles, G}}));
  LauncherManager& manager = LauncherManager::Instance();
  EXPECT_EQ(ReadWholeFile(harness_.game_folder() + L"\\tmp_version_map.txt"), published);
  EXPECT_EQ(manager.known_game_version(), "3_0_5");
  EXPECT_EQ(manager.download_game_version(), "3_0_5");
  EXPECT_FALSE(Exists(harness_.game_folder() + L"\\version_map.txt"));
  std::vector<std::string> to_fetch;
  StateHarness::OnWorker([&] {
    for (const auto& e : manager.version_table()[VersionTable::kUpdateGameVersion]) {
      to_fetch.push_back(e.first);
    }
  });
  EXPECT_EQ(to_fetch, (std::vector<std::string>{"VEXA.exe", "data/a.bin"}));
  std::vector<LPARAM> progress;
  for (const Message& m : StateHarness::Messages(kMsgCheckProgress)) progress.push_back(m.lparam);
  EXPECT_EQ(progress, (std::vector<LPARAM>{95, 100}));
  EXPECT_GE(StateHarness::Messages(kMsgSettingsChanged).size(), 3u);
}

TEST_F(CheckStatesTest, PatchesAreAskedForOnlyWhenEnabledAndAVersionIsInstalled) {
  struct Case {
    const char* patch_option;  // in the launcher's gate answer
    bool installed;
    int expected;
  } cases[] = {
      {"2", true, kStateRequestPatch},   {"1", true, kStateRequestPatch},
      {"0", true, kStateDownloadFiles},  {"-1", true, kStateDownloadFiles},
      {"2", false, kStateDownloadFiles},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.patch_option) + (c.installed ? " installed" : " first install"));
    harness_.set_game_folder(testsupport::TestDir() + L"game-" + std::to_wstring(&c - cases));
    if (c.installed) InstallGame("3_0_4", {{"VEXA.exe", "old"}});
    ASSERT_TRUE(
        StateHarness::PutCdnFile("version_map.txt", FlatMapText("3_0_5", {{"VEXA.exe", "new"}})));
    ASSERT_TRUE(StateHarness::ServeGate(
        StateHarness::BothAnswers(std::string(",\"PatchOption\":") + c.patch_option)));
    StartAndSettle();
    GameCheck();
    ASSERT_TRUE(harness_.WaitForStep(c.expected, G));
    harness_.Stop();
  }
}

TEST_F(CheckStatesTest, AnInlineMapInTheGateAnswerSkipsTheMapRequest) {
  InstallGame("3_0_4", {{"VEXA.exe", "old"}});
  const std::string inline_map = FlatMapText("3_0_5", {{"VEXA.exe", "new"}});
  Json::Value answer = StateHarness::BothAnswers(",\"PatchOption\":0");
  answer["DlcAddr"].append(StateHarness::CdnUrl() + "mirror/");
  answer["CDN"] = inline_map;
  ASSERT_TRUE(StateHarness::ServeGate(answer));
  StartAndSettle();
  StateHarness::server().ClearRequests();
  GameCheck();
  ASSERT_TRUE(harness_.WaitForStep(kStateDownloadFiles, G));
  EXPECT_EQ(StateHarness::Trail(),
            (std::vector<StateStep>{
                {kStatePrepare, G}, {kStateCheckVersion, G}, {kStateDownloadFiles, G}}));
  EXPECT_EQ(ReadWholeFile(harness_.game_folder() + L"\\tmp_version_map.txt"), inline_map);
  EXPECT_EQ(StateHarness::server().RequestsFor("/cdn/version_map.txt").size(), 0u);
  std::vector<std::string> hosts;
  StateHarness::OnWorker([&] { hosts = DownloadManager::Instance().resourceUrlList(); });
  EXPECT_EQ(hosts,
            (std::vector<std::string>{StateHarness::CdnUrl(), StateHarness::CdnUrl() + "mirror/"}));
}

TEST_F(CheckStatesTest, AnUpToDateGameMakesTheFetchedMapTheInstalledOne) {
  const std::vector<std::pair<std::string, std::string>> files = {{"VEXA.exe", "v5"},
                                                                  {"data/a.bin", "a5"}};
  InstallGame("3_0_4", files);  // the files are 3_0_5's already; the map is not
  const std::string published = FlatMapText("3_0_5", files);
  ASSERT_TRUE(StateHarness::PutCdnFile("version_map.txt", published));
  MakeDirsW(L".\\update");
  ASSERT_TRUE(WriteWholeFile(L".\\update\\apply_list.txt",
                             "{\"fileList\":[\"VEXA.exe\"],\"version\":\"3_0_5\"}"));
  ASSERT_TRUE(StateHarness::ServeGate(StateHarness::BothAnswers()));
  StartAndSettle();
  GameCheck();
  ASSERT_TRUE(harness_.WaitForStep(kStateEnterGame, G));
  EXPECT_EQ(StateHarness::Trail(), (std::vector<StateStep>{{kStatePrepare, G},
                                                           {kStateRequestRemote, G},
                                                           {kStateCheckVersion, G},
                                                           {kStateEnterGame, G}}));
  EXPECT_EQ(ReadWholeFile(harness_.game_folder() + L"\\version_map.txt"), published);
  EXPECT_FALSE(Exists(harness_.game_folder() + L"\\tmp_version_map.txt"));
  EXPECT_FALSE(Exists(L".\\update\\apply_list.txt"));
  EXPECT_EQ(LauncherManager::Instance().local_game_version(), "3_0_5");
}

TEST_F(CheckStatesTest, AnInterruptedApplyOfTheSameVersionIsResumedAndOfAnotherIsDropped) {
  struct Case {
    const char* list_version;
    int expected;
    bool list_kept;
  } cases[] = {
      {"3_0_5", kStateEnterGame, false},      // every changed file was put in place
      {"3_0_3", kStateDownloadFiles, false},  // stale list: everything is fetched again
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list_version);
    harness_.set_game_folder(testsupport::TestDir() + L"game-" + std::to_wstring(&c - cases));
    InstallGame("3_0_4", {{"VEXA.exe", "old"}, {"same.bin", "same"}});
    ASSERT_TRUE(StateHarness::PutCdnFile(
        "version_map.txt", FlatMapText("3_0_5", {{"VEXA.exe", "new"}, {"same.bin", "same"}})));
    MakeDirsW(L".\\update");
    ASSERT_TRUE(WriteWholeFile(
        L".\\update\\apply_list.txt",
        std::string("{\"fileList\":[\"VEXA.exe\"],\"version\":\"") + c.list_version + "\"}"));
    ASSERT_TRUE(StateHarness::ServeGate(StateHarness::BothAnswers(",\"PatchOption\":0")));
    StartAndSettle();
    GameCheck();
    ASSERT_TRUE(harness_.WaitForStep(c.expected, G));
    EXPECT_EQ(Exists(L".\\update\\apply_list.txt"), c.list_kept);
    harness_.Stop();
  }
}

TEST_F(CheckStatesTest, TheFetchedMapIsKeptWhenItCannotBeInstalled) {
  const std::vector<std::pair<std::string, std::string>> files = {{"VEXA.exe", "v5"}};
  InstallGame("3_0_5", files);
  const std::wstring installed = harness_.game_folder() + L"\\version_map.txt";
  DeleteFileW(installed.c_str());
  ASSERT_TRUE(CreateDirectoryW(installed.c_str(), nullptr));  // cannot be replaced
  ASSERT_TRUE(StateHarness::PutCdnFile("version_map.txt", FlatMapText("3_0_5", files)));
  ASSERT_TRUE(StateHarness::ServeGate(StateHarness::BothAnswers()));
  StartAndSettle();
  GameCheck();
  ASSERT_TRUE(harness_.WaitForStep(kStateEnterGame, G));
  EXPECT_TRUE(Exists(harness_.game_folder() + L"\\tmp_version_map.txt"));
}

TEST_F(CheckStatesTest, AMissingGameMapIsRebuiltByHashingInSlices) {
  InstallGame("3_0_4", {{"VEXA.exe", "same"},
                        {"data/changed.bin", "old"},
                        {"data/local_only.bin", "x"},
                        {"save/settings.ini", "skipped"},
                        {"cef_temp/cache", "skipped"}});
  ASSERT_TRUE(DeleteFileW((harness_.game_folder() + L"\\version_map.txt").c_str()));
  ASSERT_TRUE(StateHarness::PutCdnFile(
      "version_map.txt",
      FlatMapText("3_0_5", {{"VEXA.exe", "same"}, {"data/changed.bin", "new"}})));
  ASSERT_TRUE(StateHarness::ServeGate(StateHarness::BothAnswers(",\"PatchOption\":0")));
  PrepareState::SetHashSliceMsForTesting(0);  // one file per tick
  StartAndSettle();
  GameCheck();
  ASSERT_TRUE(harness_.WaitForStep(kStateDownloadFiles, G));
  std::vector<LPARAM> progress;
  for (const Message& m : StateHarness::Messages(kMsgCheckProgress)) progress.push_back(m.lparam);
  // (1 - remaining / total) * 90 in single precision, truncated.
  EXPECT_EQ(progress, (std::vector<LPARAM>{29, 59, 90, 95, 100}));
  std::vector<std::string> to_fetch;
  StateHarness::OnWorker([&] {
    for (const auto& e :
         LauncherManager::Instance().version_table()[VersionTable::kUpdateGameVersion]) {
      to_fetch.push_back(e.first);
    }
  });
  EXPECT_EQ(to_fetch, (std::vector<std::string>{"data/changed.bin"}));
}

// ---------------------------------------------------------------- failures

struct Failure {
  const char* name;
  Json::Value gate;  // the gate answer (a string is sent as the raw body)
  int gate_status;
  const char* game_map;  // the published game map's body; null: none (404)
  int code;
  std::string text_prefix;
  std::string detail;  // "" : checked by the case itself
};

TEST_F(CheckStatesTest, EveryFailedGameCheckRestsWithTheErrorAndARetry) {
  const std::string long_body(200, 'x');
  const std::string short_body(100, 'y');
  Json::Value no_dlc(Json::objectValue);
  no_dlc["Others"] = "{}";
  Json::Value ftp_dlc(Json::objectValue);
  ftp_dlc["DlcAddr"] = "ftp://127.0.0.1/x/";
  Json::Value good = StateHarness::BothAnswers(",\"PatchOption\":0");
  const std::string good_map = FlatMapText("3_0_5", {{"VEXA.exe", "new"}});
  // The detail of a failed request is the path as the engine names it.
  const std::string gate_path = BuildGateUrl() + "/";
  const std::vector<Failure> failures = {
      {"gate 500", Json::Value("busy"), 500, nullptr, kDownloadUnreachable, "Request Failed:500",
       gate_path},
      {"gate long junk", Json::Value(long_body), 200, nullptr, 0,
       "Parse Failed:", "The information has been saved to file:exception/response.txt"},
      {"gate short junk", Json::Value(short_body), 200, nullptr, 0, "Parse Failed:", short_body},
      {"gate without DlcAddr", no_dlc, 200, nullptr, 0, "Invalid DlcAddr", dltest::Compact(no_dlc)},
      {"gate with an ftp host", ftp_dlc, 200, nullptr, 0, "Invalid DlcAddr",
       dltest::Compact(ftp_dlc)},
      {"map missing", good, 200, nullptr, kDownloadUnreachable, "Request Failed:404",
       "version_map.txt/"},
      {"map junk", good, 200, "not a map", 0, "Load Failed:", "not a map"},
      {"map path escapes", good, 200,
       "{\"list\":{\"../"
       "evil.dll\":{\"md5\":\"0123456789abcdef0123456789abcdef\",\"size\":1}},\"version\":\"3_0_"
       "5\"}",
       0, "Load Failed:", ""},
      {"map bad md5", good, 200,
       "{\"list\":{\"a.bin\":{\"md5\":\"xyz\",\"size\":1}},\"version\":\"3_0_5\"}", 0,
       "Load Failed:", ""},
  };
  for (const Failure& f : failures) {
    SCOPED_TRACE(f.name);
    StateHarness::ClearCdn();
    StateHarness::PutQuietLauncherMaps();
    if (f.game_map != nullptr) {
      ASSERT_TRUE(StateHarness::PutCdnFile("version_map.txt", f.game_map));
    }
    ASSERT_TRUE(StateHarness::ServeGate(f.gate, f.gate_status));
    DeleteFileW(L".\\exception\\response.txt");
    StartAndSettle();
    // The launcher check at start met the same gate: it rests without a word.
    EXPECT_TRUE(StateHarness::Boxes().empty());
    GameCheck();
    ASSERT_TRUE(harness_.WaitForStep(kStateException, G));
    const std::vector<statetest::Box> boxes = StateHarness::Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    const MessageBoxSpec& box = boxes[0].spec;
    EXPECT_EQ(box.title, (DialogText{L"STRING_ERROR_NOTICE", true}));
    EXPECT_EQ(box.first_button, (DialogText{L"STRING_CANCEL", true}));
    EXPECT_EQ(box.second_button, (DialogText{L"STRING_ERROR_RETRY", true}));
    std::string detail;
    TextUtil::WideToUtf8(box.detail.value.c_str(), detail);
    const std::string head = f.code != 0 ? std::to_string(f.code) + "\n" : std::string();
    EXPECT_EQ(detail.compare(0, head.size() + f.text_prefix.size(), head + f.text_prefix), 0)
        << detail;
    if (!f.detail.empty()) {
      const std::string tail = "(" + f.detail + ")";
      ASSERT_GE(detail.size(), tail.size());
      EXPECT_EQ(detail.substr(detail.size() - tail.size()), tail);
    }
    EXPECT_TRUE(LauncherManager::Instance().updateFailed);
    EXPECT_EQ(Exists(L".\\exception\\response.txt"), std::string(f.name) == "gate long junk");
    harness_.Stop();
  }
}

TEST_F(CheckStatesTest, AFailedLauncherCheckRestsSilently) {
  ASSERT_TRUE(StateHarness::PutCdnFile("launcher_version_map.txt", "{\"list\":{\"a\":1}}"));
  ASSERT_TRUE(StateHarness::ServeGate(StateHarness::BothAnswers()));
  StartAndSettle();
  EXPECT_EQ(
      StateHarness::Trail(),
      (std::vector<StateStep>{{kStatePrepare, L}, {kStateRequestRemote, L}, {kStateEnterGame, G}}));
  EXPECT_TRUE(StateHarness::Boxes().empty());
  EXPECT_FALSE(Exists(L".\\tmp_launcher_version_map.txt"));
}

TEST_F(CheckStatesTest, RetryStartsAGameCheckThatEntersTheGameAndCancelLeavesTheError) {
  ASSERT_TRUE(StateHarness::ServeGate(Json::Value("busy"), 503));
  ASSERT_TRUE(
      StateHarness::PutCdnFile("version_map.txt", FlatMapText("3_0_5", {{"VEXA.exe", "x"}})));
  StartAndSettle();
  GameCheck();
  ASSERT_TRUE(harness_.WaitForStep(kStateException, G));
  ASSERT_TRUE(harness_.AnswerBox(0, 0));  // cancel
  EXPECT_EQ(StateHarness::Current().type, kStateException);
  EXPECT_TRUE(LauncherManager::Instance().updateFailed);

  // Another failure, then retry once the gate answers again.
  GameCheck();
  ASSERT_TRUE(testsupport::WaitUntil([] { return StateHarness::Boxes().size() == 2; }, 30000));
  ASSERT_TRUE(harness_.WaitForStep(kStateException, G));
  ASSERT_TRUE(StateHarness::ServeGate(StateHarness::BothAnswers(",\"PatchOption\":0")));
  StateHarness::ClearTrail();
  ASSERT_TRUE(harness_.AnswerBox(1, 1));
  ASSERT_TRUE(harness_.WaitForStep(kStateDownloadFiles, G));
  EXPECT_EQ(StateHarness::Trail().front(), (StateStep{kStatePrepare, G}));
  EXPECT_TRUE(LauncherManager::Instance().enterGameAfterCheck);
  // The new check cleared the failure (its fetch may fail again later).
  EXPECT_FALSE(StateHarness::FailedAtSwitch().front());
}

TEST_F(CheckStatesTest, TooLittleSpaceWaitsForTheUserAndContinueFetches) {
  InstallGame("3_0_4", {{"VEXA.exe", "old"}});
  ASSERT_TRUE(
      StateHarness::PutCdnFile("version_map.txt", FlatMapText("3_0_5", {{"VEXA.exe", "new"}})));
  ASSERT_TRUE(StateHarness::PutCdnFile("VEXA.exe", "new"));
  ASSERT_TRUE(StateHarness::ServeGate(StateHarness::BothAnswers(",\"PatchOption\":0")));
  harness_.disk().available_ = 1ULL << 30;
  StartAndSettle();
  GameCheck();
  ASSERT_TRUE(testsupport::WaitUntil([] { return !StateHarness::Boxes().empty(); }, 30000));
  ASSERT_TRUE(harness_.WaitForStep(kStateException, G));
  const std::vector<statetest::Box> boxes = StateHarness::Boxes();
  ASSERT_EQ(boxes.size(), 1u);  // the disk-space box, no error box of its own
  EXPECT_EQ(boxes[0].spec.second_button, (DialogText{L"STRING_DOWNLOAD_CONTINUE", true}));
  EXPECT_TRUE(LauncherManager::Instance().updateFailed);
  StateHarness::ClearTrail();
  ASSERT_TRUE(harness_.AnswerBox(0, 1));
  // The fetch goes on from where the check stopped, through to the game.
  ASSERT_TRUE(harness_.WaitForStep(kStateEnterGame, G));
  EXPECT_EQ(StateHarness::Trail(),
            (std::vector<StateStep>{
                {kStateDownloadFiles, G}, {kStateApplyUpdate, G}, {kStateEnterGame, G}}));
  EXPECT_FALSE(LauncherManager::Instance().updateFailed);
  EXPECT_EQ(ReadWholeFile(harness_.game_folder() + L"\\VEXA.exe"), "new");
}

// ------------------------------------------------------------ launcher run

TEST_F(CheckStatesTest, AResourcePackageNoLongerPublishedIsRemovedAndTheUiReloaded) {
  const std::string package = "PK-not-really";
  ASSERT_TRUE(WriteWholeFile(L".\\resources.zip", package));
  ASSERT_TRUE(WriteWholeFile(L".\\launcher_version_map.txt",
                             FlatMapText("1.0.0", {{"resources.zip", package}})));
  ASSERT_TRUE(StateHarness::PutCdnFile("launcher_version_map.txt", FlatMapText("1.0.0", {})));
  ASSERT_TRUE(StateHarness::ServeGate(StateHarness::BothAnswers()));
  StartAndSettle();
  EXPECT_FALSE(Exists(L".\\resources.zip"));
  EXPECT_EQ(StateHarness::Events(), (std::vector<std::string>{"open resources", "reload ui"}));
  EXPECT_EQ(LauncherManager::Instance().resourcesChanged, 0);
}

TEST_F(CheckStatesTest, AMissingLauncherMapIsRebuiltFromTheLauncherFiles) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"resources.zip", "pkg"},
      {"LomaB.ttf", "font"},
      {"cef/libcef.dll", "runtime"},
      {"cef/locales/en-US.pak", "locale"}};
  for (const auto& f : files) {
    std::wstring path;
    ASSERT_TRUE(BuildPathUnder(L".", f.first, path));
    std::wstring folder, name;
    ASSERT_TRUE(SplitPathW(path, folder, name));
    MakeDirsW(folder);
    ASSERT_TRUE(WriteWholeFile(path, f.second));
  }
  ASSERT_TRUE(DeleteFileW(L".\\launcher_version_map.txt"));
  const std::string published = FlatMapText("1.0.1", files);
  ASSERT_TRUE(StateHarness::PutCdnFile("launcher_version_map.txt", published));
  ASSERT_TRUE(StateHarness::ServeGate(StateHarness::BothAnswers()));
  StartAndSettle();
  // Every file matched under the key the publisher uses: nothing to fetch.
  EXPECT_EQ(StateHarness::Trail().size(), 4u);
  EXPECT_EQ(ReadWholeFile(L".\\launcher_version_map.txt"), published);
  EXPECT_EQ(LauncherManager::Instance().launcher_version(), "1.0.1");
  std::vector<LPARAM> progress;
  for (const Message& m : StateHarness::Messages(kMsgCheckProgress)) progress.push_back(m.lparam);
  // Nine files queued (five named ones, four of them missing, and the
  // runtime's two): the progress ends at 90 before the map request.
  ASSERT_GE(progress.size(), 3u);
  EXPECT_EQ(progress[progress.size() - 3], 90);
}

TEST_F(CheckStatesTest, TheLauncherAnswerSetsTheOptionsOfTheRun) {
  ASSERT_TRUE(StateHarness::ServeGate(StateHarness::BothAnswers(
      ",\"PatchOption\":1,\"UseWebExtraParam\":true,\"DeleteLogTXT\":true,\"PreDlcCheck\":true,"
      "\"TransToGame\":{\"token\":\"abc\",\"n\":2},\"ActivityAddr\":\"https://127.0.0.1:1/page\","
      "\"ForceUpdateLauncher\":\"true\"")));
  StartAndSettle();
  LauncherManager& manager = LauncherManager::Instance();
  EXPECT_EQ(manager.patchOption, 1);
  EXPECT_TRUE(manager.useWebExtraParam);
  EXPECT_TRUE(manager.deleteLogTxt);
  EXPECT_TRUE(manager.preDlcCheck);
  EXPECT_TRUE(manager.forceLauncherUpdate);
  EXPECT_EQ(manager.activity_addr(), "https://127.0.0.1:1/page");
  EXPECT_EQ(ReadWholeFile(L".\\save\\TransToGame"), "{\n\t\"n\" : 2,\n\t\"token\" : \"abc\"\n}");
}

}  // namespace
