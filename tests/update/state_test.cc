// The pieces of the update states that need no server: reply routing by
// state type, the error dialog's detail line, request paths, and how the
// launcher's gate answer is read.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/device_id.h"
#include "app/file_util.h"
#include "app/launcher_manager.h"
#include "app/system_util.h"
#include "download/download_manager.h"
#include "test_process.h"
#include "update/exception_state.h"
#include "update/prepare_state.h"
#include "update/state.h"

namespace {

class RecordingState : public State {
 public:
  RecordingState(int type, std::vector<std::string>* log)
      : State(kGameMode), type_(type), log_(log) {}
  int TypeId() const override { return type_; }
  void Enter(State*) override {}
  void Update() override {}
  void Exit(State*) override {}
  void OnFileDone(int code, const std::string& url, const std::string&) override {
    log_->push_back("file " + std::to_string(code) + " " + url);
  }
  void OnResponse(int code, const std::string& url, const char* body, int length,
                  const std::string&) override {
    log_->push_back("response " + std::to_string(code) + " " + url + " " +
                    std::string(body, static_cast<size_t>(length)));
  }
  void OnFileCheck(int code, const std::string& url, bool exists, const std::string&) override {
    log_->push_back("check " + std::to_string(code) + " " + url + (exists ? " yes" : " no"));
  }

 private:
  int type_;
  std::vector<std::string>* log_;
};

class StateTest : public ::testing::Test {
 protected:
  void SetUp() override { LauncherManager::Instance().ResetForTesting(); }
  void TearDown() override { LauncherManager::Instance().ResetForTesting(); }
};

TEST_F(StateTest, RepliesReachOnlyTheStateThatAsked) {
  std::vector<std::string> log;
  LauncherManager::Instance().SetState(std::make_unique<RecordingState>(kStateDownloadFiles, &log));
  OnDownloaderFileDone(kStateDownloadFiles, 0, "a.bin", "");
  OnDownloaderFileDone(kStatePrepare, 0, "late.bin", "");  // a replaced state's file
  OnDownloaderResponse(kStateDownloadFiles, 0, "list", "body", 4, "");
  OnDownloaderResponse(kStateRequestPatch, 0, "list", "late", 4, "");
  OnDownloaderFileCheck(kStateDownloadFiles, 0, "VEXA.exe.patch", true, "");
  OnDownloaderFileCheck(kStatePreDownload, 0, "VEXA.exe.patch", false, "");
  EXPECT_EQ(log, (std::vector<std::string>{"file 0 a.bin", "response 0 list body",
                                           "check 0 VEXA.exe.patch yes"}));
  LauncherManager::Instance().SetState(nullptr);
  OnDownloaderFileDone(kStateDownloadFiles, 0, "b.bin", "");  // no state at all
  EXPECT_EQ(log.size(), 3u);
}

TEST_F(StateTest, SpeedSamplesCountOnlyWhileFilesAreFetched) {
  DownloadManager& engine = DownloadManager::Instance();
  std::vector<std::string> log;
  LauncherManager::Instance().SetState(std::make_unique<RecordingState>(kStatePrepare, &log));
  const size_t before = engine.speedSampleCount();
  OnDownloaderProgress(kStatePrepare, 1000.0);
  OnDownloaderProgress(kStateDownloadFiles, 1000.0);  // a replaced fetch state's transfer
  EXPECT_EQ(engine.speedSampleCount(), before);
  LauncherManager::Instance().SetState(
      std::make_unique<RecordingState>(kStateDownloadFiles, &log));
  OnDownloaderProgress(kStateDownloadFiles, 1000.0);
  EXPECT_EQ(engine.speedSampleCount(), std::min<size_t>(before + 1, 60));
  LauncherManager::Instance().SetState(std::make_unique<RecordingState>(kStateApplyUpdate, &log));
  OnDownloaderProgress(kStateApplyUpdate, 1000.0);
  EXPECT_EQ(engine.speedSampleCount(), std::min<size_t>(before + 1, 60));
}

TEST_F(StateTest, TheErrorDetailLine) {
  EXPECT_EQ(State::ErrorMessage(-2, "T", "D"), L"-2\nT(D)");
  EXPECT_EQ(State::ErrorMessage(0, "Invalid DlcAddr", ""), L"Invalid DlcAddr");
  EXPECT_EQ(State::ErrorMessage(0, "Load Failed:x", "\xC3\xA9"), L"Load Failed:x(\u00e9)");
}

TEST_F(StateTest, PatchPathsUseTheInstalledVersion) {
  LauncherManager& manager = LauncherManager::Instance();
  manager.set_launcher_version("1.2.3");
  manager.set_local_game_version("3_0_4");
  PrepareState in_launcher(kLauncherMode), in_game(kGameMode);
  EXPECT_EQ(in_launcher.BuildPatchUrl("patch_list.txt"), "patchs/1_2_3/patch_list.txt");
  EXPECT_EQ(in_game.BuildPatchUrl("patch_list.txt"), "patchs/3_0_4/patch_list.txt");
  manager.set_local_game_version("");
  EXPECT_EQ(in_game.BuildPatchUrl("a.patch"), "patchs//a.patch");
}

class SpacedName : public DeviceIdSource {
 public:
  bool AdapterAddresses(std::vector<std::vector<uint8_t>>& out) override {
    out = {{0, 1, 2, 3, 4, 5}};
    return true;
  }
  std::string ComputerName() override { return "MY PC\tONE"; }
  CpuIdRegisters CpuId() override { return CpuIdRegisters(); }
};

TEST_F(StateTest, TheGatePathHasNoWhiteSpace) {
  SpacedName source;
  ScopedDeviceIdSourceForTesting scoped(&source);
  std::string id;
  for (char c : GetDeviceId()) {
    if (!isspace(static_cast<unsigned char>(c))) id += c;
  }
  ASSERT_NE(id, GetDeviceId());  // the id itself holds white space
  MakeDirsW(L".\\save");
  ASSERT_TRUE(testsupport::WriteWholeFile(L".\\save\\setting.json", "{\"QaGate\":true}"));
  LauncherManager& manager = LauncherManager::Instance();
  manager.LoadGateOverride();
  manager.set_local_game_version("3_0_4");
  EXPECT_EQ(BuildGateUrl(), "get/urls?key=WIN10VN_3_0_4&udid=" + id + "&is_qa=true");
  EXPECT_EQ(BuildPreDownloadUrl(), "pre_download?channel=VN&udid=" + id);
  ASSERT_TRUE(testsupport::WriteWholeFile(L".\\save\\setting.json", "{\"GateKey\":\"K 1\"}"));
  manager.LoadGateOverride();
  EXPECT_EQ(BuildGateUrl(), "get/urls?key=K1&udid=" + id);
}

// The launcher's answer, read by a launcher-mode prepare state.
int ReadLauncherAnswer(const std::string& others) {
  Json::Value root(Json::objectValue);
  root["Others"] = others;
  Json::StreamWriterBuilder builder;
  const std::string body = Json::writeString(builder, root);
  PrepareState state(kLauncherMode);
  state.OnResponse(0, "get/urls", body.data(), static_cast<int>(body.size()), "");
  return state.result();
}

TEST_F(StateTest, ForceUpdateLauncherForcesOnlyWhenItMeansTrue) {
  struct Case {
    const char* value;
    bool forced;
  } cases[] = {
      {"true", true},       {"1", true},          {"\"1\"", true}, {"\"yes\"", true},
      {"false", false},     {"0", false},         {"\"\"", false}, {"\"0\"", false},
      {"\"false\"", false}, {"\"FALSE\"", false}, {"null", false}, {"0.0", false},
  };
  LauncherManager& manager = LauncherManager::Instance();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    manager.forceLauncherUpdate = !c.forced;
    EXPECT_EQ(ReadLauncherAnswer(std::string("{\"DlcAddr\":\"https://127.0.0.1:1/\","
                                             "\"ForceUpdateLauncher\":") +
                                 c.value + "}"),
              1);
    EXPECT_EQ(manager.forceLauncherUpdate, c.forced);
  }
  // A present DlcAddr clears an earlier force when the member is gone.
  manager.forceLauncherUpdate = true;
  EXPECT_EQ(ReadLauncherAnswer("{\"DlcAddr\":\"https://127.0.0.1:1/\"}"), 1);
  EXPECT_FALSE(manager.forceLauncherUpdate);
}

TEST_F(StateTest, LauncherAnswersWithoutUsableHostsFailButKeepEarlierOptions) {
  LauncherManager& manager = LauncherManager::Instance();
  DownloadManager::Instance().SetResourceUrls({"https://127.0.0.1:1/old/"});
  struct Case {
    const char* others;
    int result;
    int patch_option;
  } cases[] = {
      {"{\"DlcAddr\":\"https://127.0.0.1:1/a/\",\"PatchOption\":1}", 1, 1},
      {"{\"PatchOption\":0}", -1, 0},                                            // no hosts
      {"{\"DlcAddr\":[],\"PatchOption\":3}", -1, 3},                             // empty list
      {"{\"DlcAddr\":[\"https://127.0.0.1:1/\",\"file:///C:/\"]}", -1, 2},       // not http(s)
      {"{\"DlcAddr\":{\"a\":1}}", -1, 2},                                        // no text form
      {"{\"DlcAddr\":\"https://127.0.0.1:1/b/\",\"PatchOption\":\"1\"}", 1, 2},  // wrong type
      {"not json", -1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.others);
    manager.patchOption = 2;
    EXPECT_EQ(ReadLauncherAnswer(c.others), c.result);
    EXPECT_EQ(manager.patchOption, c.patch_option);
  }
}

TEST_F(StateTest, TheRestartPromptsCloseTheWindowAndStartTheUpdaterOnce) {
  struct Case {
    const char* name;
    bool forced;
    int result;
    bool with_window;
    bool restarts;
  } cases[] = {
      {"confirmed", false, 1, true, true},
      {"cancelled", false, 0, true, false},
      {"forced and closed", true, 0, true, true},
      {"no main window", false, 1, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LauncherManager& manager = LauncherManager::Instance();
    manager.ResetForTesting();
    std::vector<std::wstring> started;
    LauncherManager::Hooks hooks;
    hooks.start_self_update = [&started](const std::wstring& run_after, bool new_exe) {
      started.push_back(run_after + (new_exe ? L" new" : L" old"));
    };
    manager.SetHooks(hooks);
    HWND window = CreateWindowExW(0, L"STATIC", L"main", 0, 0, 0, 10, 10, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    if (c.with_window) manager.set_main_window(window);
    manager.launcherUpdatePending = true;
    if (c.forced) {
      OnLauncherRestartForced(c.result);
    } else {
      OnLauncherRestartChoice(c.result);
    }
    MSG msg;
    const bool close_posted = PeekMessageW(&msg, window, WM_CLOSE, WM_CLOSE, PM_REMOVE) != 0;
    EXPECT_EQ(close_posted, c.restarts);
    EXPECT_EQ(started, c.restarts ? std::vector<std::wstring>{L".\\launcher.exe new"}
                                  : std::vector<std::wstring>{});
    // The exit path leaves the updater alone once a prompt started it.
    EXPECT_EQ(manager.selfUpdateStarted, c.restarts);
    EXPECT_EQ(manager.launcherUpdatePending, !c.restarts);
    manager.set_main_window(nullptr);
    DestroyWindow(window);
  }
}

}  // namespace
