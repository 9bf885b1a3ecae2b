// Drives the real update states headless: the real worker thread (MiscThread
// with its 2 ms tick), the real download engine and update engine, a UI
// thread with a recording stand-in main window and a scripted dialog factory,
// against the Python content/gate server of tests/servers on 127.0.0.1.
//
// One server and one test CA serve a whole test program (StartSuite /
// StopSuite); its static folder "/cdn/" is a scratch folder the tests fill,
// and each test installs its own gate answers as run-time rules.
//
// Threads: the recorders lock; the harness itself belongs to the test's
// thread. Dialog answers are run on the UI thread.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "../download/server_harness.h"
#include "app/dialog_requests.h"
#include "app/file_util.h"
#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "app/main_thread.h"
#include "app/system_util.h"
#include "bound_thread.h"
#include "download/engine_hooks.h"
#include "download/md5.h"
#include "test_dir.h"
#include "update/state.h"
#include "update/update_engine.h"

namespace statetest {

struct Message {
  UINT msg;
  WPARAM wparam;
  LPARAM lparam;
};

struct Box {
  MessageBoxSpec spec;
  bool answered = false;
};

struct StateStep {
  int type;
  int mode;
  bool operator==(const StateStep& o) const { return type == o.type && mode == o.mode; }
};

inline std::ostream& operator<<(std::ostream& out, const StateStep& s) {
  return out << "{" << s.type << "," << s.mode << "}";
}

// Everything the threads record, shared with the window procedure and the
// dialog factory.
struct Recorder {
  std::mutex mutex;
  std::vector<Message> messages;
  std::vector<StateStep> trail;
  std::vector<bool> failed_at_switch;  // updateFailed as each step began
  std::vector<Box> boxes;
  std::vector<std::function<void(int)>> closers;  // by box index
  std::vector<std::string> events;                // hooks that ran (reload ui, ...)

  static Recorder& Get() {
    static Recorder recorder;
    return recorder;
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(mutex);
    messages.clear();
    trail.clear();
    failed_at_switch.clear();
    boxes.clear();
    closers.clear();
    events.clear();
  }
  void Event(const std::string& e) {
    std::lock_guard<std::mutex> hold(mutex);
    events.push_back(e);
  }
};

inline LRESULT CALLBACK RecordingProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg >= kMsgTrayIcon && msg <= kMsgWindowCreated) {
    Recorder& r = Recorder::Get();
    std::lock_guard<std::mutex> hold(r.mutex);
    r.messages.push_back({msg, wparam, lparam});
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wparam, lparam);
}

// Records every box and keeps it open until the test answers it.
class RecordingDialogs : public DialogFactory {
 public:
  bool ShowMessageBox(HWND, const MessageBoxSpec& spec, std::function<void(int)> closed) override {
    Recorder& r = Recorder::Get();
    std::lock_guard<std::mutex> hold(r.mutex);
    r.boxes.push_back({spec, false});
    r.closers.push_back(std::move(closed));
    return true;
  }
  bool ShowOptionsBox(HWND, const OptionsBoxSpec&, std::function<void(int)> closed) override {
    closed(0);
    return true;
  }
};

inline std::string Md5Of(const std::string& bytes) {
  return Md5OfBytes(bytes.data(), bytes.size());
}

// Files of a tree: relative path ("/" separators) and bytes.
using Files = std::vector<std::pair<std::string, std::string>>;

// The wrapped map form the launcher writes: "version" and "list".
inline std::string MapText(const std::string& version, const Files& files) {
  Json::Value root(Json::objectValue);
  root["version"] = version;
  root["list"] = Json::Value(Json::nullValue);
  for (const auto& f : files) {
    root["list"][f.first]["md5"] = Md5Of(f.second);
    root["list"][f.first]["size"] = static_cast<int>(f.second.size());
  }
  return dltest::Compact(root);
}

// The flat form that content hosts serve: the files, and "version" with the
// version text as its md5.
inline std::string FlatMapText(const std::string& version, const Files& files) {
  Json::Value root(Json::objectValue);
  for (const auto& f : files) {
    root[f.first]["md5"] = Md5Of(f.second);
    root[f.first]["size"] = static_cast<int>(f.second.size());
  }
  root["version"]["md5"] = version;
  return dltest::Compact(root);
}

// Writes `files` and their (flat) map at `version` into `root`.
inline void InstallGame(const std::wstring& root, const std::string& version, const Files& files) {
  MakeDirsW(root);
  for (const auto& f : files) {
    std::wstring path;
    ASSERT_TRUE(BuildPathUnder(root, f.first, path));
    std::wstring folder, name;
    ASSERT_TRUE(SplitPathW(path, folder, name));
    MakeDirsW(folder);
    ASSERT_TRUE(testsupport::WriteWholeFile(path, f.second));
  }
  ASSERT_TRUE(
      testsupport::WriteWholeFile(root + L"\\version_map.txt", FlatMapText(version, files)));
}

// A run-time server rule answering `path` with `status` and a JSON value
// (a string is sent as the raw body).
inline Json::Value Answer(const std::string& path, const Json::Value& body, int status = 200) {
  Json::Value rule(Json::objectValue);
  rule["path"] = path;
  rule["status"] = status;
  if (body.isString()) {
    rule["body"] = body;
  } else {
    rule["json"] = body;
  }
  return rule;
}

// Starts the UI thread with a recording stand-in main window (registered with
// the LauncherManager) and the recording dialog factory.
inline std::unique_ptr<testsupport::BoundThread> StartRecordingUi(const wchar_t* class_name,
                                                                  HWND* window) {
  return std::make_unique<testsupport::BoundThread>(
      nbase::kMainThreadId, nbase::MessageLoop::Kind::kUI, [class_name, window] {
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = &RecordingProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = class_name;
        RegisterClassExW(&wc);
        *window = CreateWindowExW(0, class_name, L"main", 0, 0, 0, 10, 10, nullptr, nullptr,
                                  wc.hInstance, nullptr);
        LauncherManager& m = LauncherManager::Instance();
        m.SetDialogFactory(std::make_unique<RecordingDialogs>());
        m.SetMainWindow(*window);
      });
}

// Ends what StartRecordingUi started.
inline void StopRecordingUi(std::unique_ptr<testsupport::BoundThread>& ui, HWND window) {
  testsupport::RunOn(nbase::kMainThreadId, [window] {
    LauncherManager::Instance().SetMainWindow(nullptr);
    DestroyWindow(window);
    LauncherManager::Instance().SetDialogFactory(nullptr);
  });
  ui.reset();
}

// Free space that a test sets.
class FakeDiskSpace : public DiskSpaceSource {
 public:
  bool Query(const std::wstring&, uint64_t& total, uint64_t& available) override {
    total = 1ULL << 40;
    available = available_;
    return true;
  }
  uint64_t available_ = 1ULL << 39;
};

class StateHarness {
 public:
  // ---------------------------------------------------------- suite server
  static bool StartSuite() {
    ca_ = new dltest::TestCa();
    if (!ca_->Make()) return false;
    cdn_ = new dltest::ScratchDir();
    Json::Value config(Json::objectValue);
    config["static"]["/cdn/"] = cdn_->unix();
    server_ = new dltest::TestServer();
    if (!server_->Start(config, ca_, "server", 1800)) return false;
    // The first control request right after start-up can fail; wait until
    // the server answers one.
    return testsupport::WaitUntil([] { return !server_->Control("GET", "requests").isNull(); },
                                  30000);
  }
  static void StopSuite() {
    delete server_;
    delete cdn_;
    delete ca_;
    server_ = nullptr;
    cdn_ = nullptr;
    ca_ = nullptr;
  }
  static dltest::TestServer& server() { return *server_; }
  static dltest::TestCa& ca() { return *ca_; }
  // The Wine path of a file in the served folder "/cdn/".
  static std::wstring CdnFile(const std::string& relative) {
    std::string rel = relative;
    for (char& c : rel) {
      if (c == '/') c = '\\';
    }
    std::wstring wide;
    TextUtil::Utf8ToWide(rel.c_str(), wide);
    return cdn_->wine() + L"\\" + wide;
  }
  static bool PutCdnFile(const std::string& relative, const std::string& bytes) {
    const std::wstring path = CdnFile(relative);
    std::wstring folder, name;
    if (SplitPathW(path, folder, name)) MakeDirsW(folder);
    return testsupport::WriteWholeFile(path, bytes);
  }
  static void ClearCdn() {
    RemoveTreeW(cdn_->wine());
    CreateDirectoryW(cdn_->wine().c_str(), nullptr);
  }
  // A fresh start for the next test: an empty "/cdn/", no run-time rules
  // and no recorded requests.
  static void ResetServer() {
    ClearCdn();
    server_->ClearFaults();
    server_->ClearRequests();
  }
  static std::string CdnUrl() { return server_->Url("/cdn/"); }
  static std::string GateUrl() { return server_->Url("/gate/"); }
  static std::string IpUrl() { return server_->Url("/ip"); }

  // ---------------------------------------------------------------- per test
  StateHarness() { game_folder_ = testsupport::TestDir() + L"Game Folder"; }
  ~StateHarness() { Stop(); }

  const std::wstring& game_folder() const { return game_folder_; }
  void set_game_folder(const std::wstring& folder) { game_folder_ = folder; }
  FakeDiskSpace& disk() { return disk_; }

  // Gate answers: the rules replace the server's run-time rules. `answer`
  // is sent for every gate request.
  static bool ServeGate(const Json::Value& answer, int status = 200) {
    Json::Value rules(Json::arrayValue);
    rules.append(Answer("/gate/get/urls", answer, status));
    rules.append(Answer("/ip", Json::Value(" 203.0.113.7\n")));
    return server_->InstallFaults(rules);
  }
  // A gate answer that serves both checks: the launcher's options in
  // "Others" and the game's content hosts at the top level.
  static Json::Value BothAnswers(const std::string& others_extra = std::string()) {
    Json::Value answer(Json::objectValue);
    answer["Others"] = "{\"DlcAddr\":\"" + CdnUrl() + "\"" + others_extra + "}";
    answer["DlcAddr"].append(CdnUrl());
    return answer;
  }

  // The installed launcher map, also served as the published one, so the
  // launcher check at start finds nothing to do.
  static void PutQuietLauncherMaps() {
    const std::string map = "{\"list\":null,\"version\":\"1.0.0\"}";
    testsupport::WriteWholeFile(L".\\launcher_version_map.txt", map);
    PutCdnFile("launcher_version_map.txt", map);
  }

  // Writes save\setting.json, wires the engines and starts both threads.
  // The first worker tick starts the launcher check.
  void Start(std::function<void(LauncherManager::Hooks&)> adjust = nullptr) {
    Recorder::Get().Clear();
    LauncherManager& manager = LauncherManager::Instance();
    manager.ResetForTesting();
    MakeDirsW(L".\\save");
    Json::Value setting(Json::objectValue);
    setting["GateURLs"].append(GateUrl());
    setting["IpEchoURL"] = IpUrl();
    setting["ca_bundle"] = ca_->CaPathUtf8();
    ASSERT_TRUE(WriteJsonFile(".\\save\\setting.json", setting));
    manager.LoadGateOverride();
    LauncherSettings settings = manager.settings();
    settings.gamePath = game_folder_;
    manager.set_settings(settings);
    previous_disk_ = SetDiskSpaceSourceForTesting(&disk_);

    InstallDownloadEngine();
    InstallUpdateEngine();
    LauncherManager::Hooks hooks = manager.hooks();
    hooks.state_changed = [](int type, int mode) {
      Recorder& r = Recorder::Get();
      std::lock_guard<std::mutex> hold(r.mutex);
      r.trail.push_back({type, mode});
      r.failed_at_switch.push_back(LauncherManager::Instance().updateFailed);
    };
    hooks.open_resource_package = [] { Recorder::Get().Event("open resources"); };
    hooks.reload_ui = [] { Recorder::Get().Event("reload ui"); };
    hooks.load_ui_config = [] { return false; };
    if (adjust) adjust(hooks);
    manager.SetHooks(hooks);

    ui_ = StartRecordingUi(L"StateHarnessMain", &window_);
    worker_ = std::make_unique<MiscThread>();
    worker_->StartOwnThread(nbase::MessageLoop::Kind::kDefault);
  }

  void Stop() {
    if (!ui_) return;
    LauncherManager::Instance().hooks().download_stop_running();
    worker_.reset();  // EndWorker runs on the worker
    StopRecordingUi(ui_, window_);
    SetDiskSpaceSourceForTesting(previous_disk_);
    LauncherManager::Instance().ResetForTesting();
  }

  // ------------------------------------------------------------- observing
  static StateStep Current() {
    const StateSnapshot s = LauncherManager::Instance().CurrentState();
    return {s.type, s.mode};
  }
  // Waits until the current state is `type` (and `mode` unless -2) and
  // every task posted so far to both threads has run.
  bool WaitFor(int type, int mode = -2, DWORD timeout_ms = 60000) {
    const bool reached = testsupport::WaitUntil(
        [&] {
          const StateStep s = Current();
          return s.type == type && (mode == -2 || s.mode == mode);
        },
        timeout_ms);
    Settle();
    return reached;
  }
  // Waits until the state `type` in `mode` has become current at some point
  // since the trail was last cleared (it may have been left again: a fetch
  // state goes on by itself), then lets posted work land.
  bool WaitForStep(int type, int mode, DWORD timeout_ms = 60000) {
    const StateStep wanted{type, mode};
    const bool reached = testsupport::WaitUntil(
        [&] {
          for (const StateStep& s : Trail()) {
            if (s == wanted) return true;
          }
          return false;
        },
        timeout_ms);
    Settle();
    return reached;
  }
  // The trail up to and including the first `type` step (the states a fetch
  // goes through after it are not this test's business).
  static std::vector<StateStep> TrailUpTo(int type) {
    std::vector<StateStep> out;
    for (const StateStep& s : Trail()) {
      out.push_back(s);
      if (s.type == type) break;
    }
    return out;
  }
  // Lets posted work on both threads land (messages, dialogs, answers).
  void Settle() {
    for (int i = 0; i < 3; ++i) {
      testsupport::RunOn(nbase::kMiscThreadId);
      testsupport::RunOn(nbase::kMainThreadId);
    }
  }
  // Runs fn on the worker and waits for it.
  static bool OnWorker(std::function<void()> fn) {
    return testsupport::RunOn(nbase::kMiscThreadId, std::move(fn));
  }

  static std::vector<StateStep> Trail() {
    Recorder& r = Recorder::Get();
    std::lock_guard<std::mutex> hold(r.mutex);
    return r.trail;
  }
  static void ClearTrail() {
    Recorder& r = Recorder::Get();
    std::lock_guard<std::mutex> hold(r.mutex);
    r.trail.clear();
    r.failed_at_switch.clear();
    r.messages.clear();
  }
  // LauncherManager::updateFailed as each step of Trail() became current.
  static std::vector<bool> FailedAtSwitch() {
    Recorder& r = Recorder::Get();
    std::lock_guard<std::mutex> hold(r.mutex);
    return r.failed_at_switch;
  }
  static std::vector<Message> Messages(UINT msg = 0) {
    Recorder& r = Recorder::Get();
    std::lock_guard<std::mutex> hold(r.mutex);
    std::vector<Message> out;
    for (const Message& m : r.messages) {
      if (msg == 0 || m.msg == msg) out.push_back(m);
    }
    return out;
  }
  static std::vector<Box> Boxes() {
    Recorder& r = Recorder::Get();
    std::lock_guard<std::mutex> hold(r.mutex);
    return r.boxes;
  }
  static std::vector<std::string> Events() {
    Recorder& r = Recorder::Get();
    std::lock_guard<std::mutex> hold(r.mutex);
    return r.events;
  }
  // Closes box `index` with `result` on the UI thread.
  bool AnswerBox(size_t index, int result) {
    std::function<void(int)> closer;
    {
      Recorder& r = Recorder::Get();
      std::lock_guard<std::mutex> hold(r.mutex);
      if (index >= r.closers.size() || r.boxes[index].answered) return false;
      r.boxes[index].answered = true;
      closer = r.closers[index];
    }
    const bool ran = testsupport::RunOn(nbase::kMainThreadId, [closer, result] { closer(result); });
    Settle();
    return ran;
  }

 private:
  static inline dltest::TestCa* ca_ = nullptr;
  static inline dltest::ScratchDir* cdn_ = nullptr;
  static inline dltest::TestServer* server_ = nullptr;

  std::wstring game_folder_;
  FakeDiskSpace disk_;
  DiskSpaceSource* previous_disk_ = nullptr;
  HWND window_ = nullptr;
  std::unique_ptr<testsupport::BoundThread> ui_;
  std::unique_ptr<MiscThread> worker_;
};

}  // namespace statetest
