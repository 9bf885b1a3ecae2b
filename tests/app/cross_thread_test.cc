// Requests from the UI thread to the worker and back, and dialog requests
// from either thread through a scripted dialog factory.
#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "bound_thread.h"
#include "test_process.h"
#include "update/state.h"

namespace {

using testsupport::BoundThread;
using testsupport::RunOn;

std::mutex g_mutex;
std::vector<std::string> g_log;
DWORD g_ui = 0, g_worker = 0;

void Log(const std::string& s) {
  const DWORD t = GetCurrentThreadId();
  std::lock_guard<std::mutex> hold(g_mutex);
  g_log.push_back((t == g_ui ? "T0 " : t == g_worker ? "T1 " : "?? ") + s);
}

std::vector<std::string> TakeLog() {
  std::lock_guard<std::mutex> hold(g_mutex);
  std::vector<std::string> out;
  out.swap(g_log);
  return out;
}

class LoggingState : public State {
 public:
  LoggingState(int type, UpdateMode mode) : State(mode), type_(type) {}
  int TypeId() const override { return type_; }
  void Enter(State*) override {
    Log("enter " + std::to_string(type_) + "/" + std::to_string(mode_));
  }
  void Update() override {}
  void Exit(State*) override { Log("exit " + std::to_string(type_)); }

 private:
  int type_;
};

// Answers boxes as scripted; keeps the close functions of boxes left open.
class ScriptedFactory : public DialogFactory {
 public:
  struct Shown {
    HWND owner;
    MessageBoxSpec spec;
  };
  std::vector<Shown>* shown;
  std::vector<OptionsBoxSpec>* options;
  std::vector<std::function<void(int)>>* open;
  bool ShowMessageBox(HWND owner, const MessageBoxSpec& spec,
                      std::function<void(int)> closed) override {
    Log("box");
    shown->push_back({owner, spec});
    open->push_back(std::move(closed));
    return true;
  }
  bool ShowOptionsBox(HWND, const OptionsBoxSpec& spec, std::function<void(int)> closed) override {
    options->push_back(spec);
    closed(1);  // the second option
    return true;
  }
};

class CrossThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LauncherManager::Instance().ResetForTesting();
    TakeLog();
    ui_ =
        std::make_unique<BoundThread>(nbase::kMainThreadId, nbase::MessageLoop::Kind::kUI, [this] {
          g_ui = GetCurrentThreadId();
          window_ = CreateWindowExW(0, L"STATIC", L"main", 0, 0, 0, 10, 10, nullptr, nullptr,
                                    GetModuleHandleW(nullptr), nullptr);
        });
    worker_ =
        std::make_unique<BoundThread>(nbase::kMiscThreadId, nbase::MessageLoop::Kind::kDefault,
                                      [] { g_worker = GetCurrentThreadId(); });
    LauncherManager::Hooks hooks;
    hooks.make_check_state = [](int mode) -> std::unique_ptr<State> {
      return std::make_unique<LoggingState>(kStatePrepare, static_cast<UpdateMode>(mode));
    };
    hooks.make_pre_download_state = []() -> std::unique_ptr<State> {
      return std::make_unique<LoggingState>(kStatePreDownload, kGameMode);
    };
    hooks.toggle_download_pause = [] { Log("toggle pause"); };
    hooks.open_resource_package = [] { Log("open resources"); };
    hooks.reload_ui = [] { Log("reload ui"); };
    hooks.load_ui_config = [] {
      Log("load config");
      return true;
    };
    hooks.set_ui_font_names = [] { Log("font names"); };
    manager().SetHooks(hooks);
  }
  void TearDown() override {
    RunOn(nbase::kMainThreadId, [this] { DestroyWindow(window_); });
    worker_.reset();
    ui_.reset();
    LauncherManager::Instance().ResetForTesting();
  }
  void Settle() {
    // Work bounces between the threads; two rounds let every hop land.
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(RunOn(nbase::kMiscThreadId));
      ASSERT_TRUE(RunOn(nbase::kMainThreadId));
    }
  }
  LauncherManager& manager() { return LauncherManager::Instance(); }
  HWND window_ = nullptr;
  std::unique_ptr<BoundThread> ui_, worker_;
};

TEST_F(CrossThreadTest, UiRequestsRunOnTheWorker) {
  manager().RestartLauncherCheck();
  manager().RestartGameCheck(1, false);
  manager().RestartGameCheck(0, false);  // refused by the switch: same type and mode class
  manager().StartPreDownload();
  manager().StartPreDownload();  // one pre-download only
  manager().ToggleDownloadPause();
  manager().StopPreDownload(false);
  Settle();
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"T1 enter 1/0", "T1 exit 1", "T1 enter 1/1",
                                                 "T1 enter 9/1", "T1 toggle pause", "T1 exit 9"}));
  EXPECT_FALSE(manager().HasPreDownloadState());
  EXPECT_EQ(manager().CurrentState().mode, kGameMode);
  // The flag was changed on the calling thread although the check was refused.
  EXPECT_FALSE(manager().enterGameAfterCheck);
}

TEST_F(CrossThreadTest, ReloadRunsOnTheUiThreadThenContinuesOnTheWorker) {
  ASSERT_TRUE(RunOn(nbase::kMainThreadId, [&] { manager().SetMainWindow(window_); }));
  manager().resourcesChanged = 1;
  manager().ReloadUiResources([] { Log("done"); });
  Settle();
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"T0 open resources", "T0 reload ui",
                                                 "T0 load config", "T1 done"}));
  EXPECT_EQ(manager().resourcesChanged, 0);

  // A language switch to the language already shown does nothing.
  manager().SwitchUiLanguage(L"vi");
  manager().SwitchUiLanguage(L"vi");
  Settle();
  EXPECT_EQ(TakeLog(),
            (std::vector<std::string>{"T0 font names", "T0 reload ui", "T0 load config"}));
}

// ------------------------------------------------------------------ dialogs

class DialogTest : public CrossThreadTest {
 protected:
  void InstallFactory() {
    auto factory = std::make_unique<ScriptedFactory>();
    factory->shown = &shown_;
    factory->options = &options_;
    factory->open = &open_;
    ASSERT_TRUE(RunOn(nbase::kMainThreadId, [&, f = factory.release()] {
      manager().SetDialogFactory(std::unique_ptr<DialogFactory>(f));
    }));
  }
  std::vector<ScriptedFactory::Shown> shown_;
  std::vector<OptionsBoxSpec> options_;
  std::vector<std::function<void(int)>> open_;
};

TEST_F(DialogTest, ABoxRequestedBeforeTheMainWindowWaitsForIt) {
  InstallFactory();
  std::atomic<int> result{-1};
  ASSERT_TRUE(RunOn(nbase::kMiscThreadId, [&] {
    manager().RequestMessageBox(
        nullptr, L"STRING_ERROR_NOTICE", L"STRING_ERROR_DLC_CLOSE", L"", L"STRING_CONFIRM",
        [&result](int r) {
          Log("result " + std::to_string(r));
          result = r;
        },
        false);
  }));
  Settle();
  EXPECT_TRUE(shown_.empty());
  EXPECT_TRUE(manager().msgBoxOpen());
  EXPECT_TRUE(manager().msgBoxShown);

  ASSERT_TRUE(RunOn(nbase::kMainThreadId, [&] { manager().SetMainWindow(window_); }));
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].owner, window_);
  EXPECT_EQ(shown_[0].spec.title, (DialogText{L"STRING_ERROR_NOTICE", true}));
  EXPECT_EQ(shown_[0].spec.first_button, (DialogText{L"", true}));
  EXPECT_EQ(shown_[0].spec.second_button, (DialogText{L"STRING_CONFIRM", true}));
  ASSERT_TRUE(RunOn(nbase::kMainThreadId, [&] { open_[0](1); }));
  Settle();
  EXPECT_EQ(result, 1);
  EXPECT_FALSE(manager().msgBoxOpen());
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"T0 box", "T0 result 1"}));
}

TEST_F(DialogTest, OpenBoxesAreCountedAndTextsFollowTheIdRule) {
  InstallFactory();
  ASSERT_TRUE(RunOn(nbase::kMainThreadId, [&] { manager().SetMainWindow(window_); }));
  manager().RequestMessageBox(nullptr, L"STRING_NOTICE", L"STRING_CLOSE_CONFIRM_FOR_DOWNLOAD",
                              L"STRING_CANCEL", L"STRING_CONFIRM", nullptr, true);
  manager().RequestMessageBox(nullptr, L"STRING_ERROR_NOTICE", L"STRING_ERROR_DLC_OCCUPIED", L"",
                              L"STRING_CONFIRM", nullptr, false);
  manager().RequestMessageBoxEx(nullptr, L"", L"Hello", L"", L"plain content", L"", L"", L"No way",
                                L"Sure", nullptr, false);
  ErrorBoxRequest error;
  error.title_id = L"STRING_ERROR_NOTICE";
  error.title_text = L"ignored";
  error.content_text = L"-3\nRequest Failed:";
  error.detail_text = L"(version_map.txt)";
  error.first_button_text = L"ignored";
  error.second_button_id = L"STRING_RETRY";
  manager().RequestErrorBox(error);
  Settle();
  ASSERT_EQ(shown_.size(), 4u);
  EXPECT_TRUE(shown_[0].spec.swap_button_styles);
  EXPECT_EQ(shown_[2].spec.title, (DialogText{L"Hello", false}));
  EXPECT_EQ(shown_[2].spec.first_button, (DialogText{L"No way", false}));
  EXPECT_EQ(shown_[2].spec.second_button, (DialogText{L"Sure", false}));
  EXPECT_EQ(shown_[3].spec.title, (DialogText{L"STRING_ERROR_NOTICE", true}));
  EXPECT_EQ(shown_[3].spec.detail, (DialogText{L"(version_map.txt)", false}));
  // An id on either button makes both captions ids.
  EXPECT_EQ(shown_[3].spec.first_button, (DialogText{L"", true}));
  EXPECT_EQ(shown_[3].spec.second_button, (DialogText{L"STRING_RETRY", true}));

  // Two counted boxes open: closing one leaves the other counted.
  EXPECT_EQ(manager().open_message_boxes(), 2);
  ASSERT_TRUE(RunOn(nbase::kMainThreadId, [&] { open_[0](0); }));
  EXPECT_TRUE(manager().msgBoxOpen());
  ASSERT_TRUE(RunOn(nbase::kMainThreadId, [&] { open_[1](1); }));
  EXPECT_FALSE(manager().msgBoxOpen());
}

TEST_F(DialogTest, OptionsBoxGivesTheChosenIndexOnTheUiThread) {
  InstallFactory();
  ASSERT_TRUE(RunOn(nbase::kMainThreadId, [&] { manager().SetMainWindow(window_); }));
  manager().RequestOptionsBox(L"STRING_SHUT_OPTION_NOTICE", L"shutdown_options",
                              {L"STRING_SHUT_OPTION_TRAYICON", L"STRING_SHUT_OPTION_EXIT"}, 7,
                              L"STRING_CONFIRM",
                              [](int index) { Log("chose " + std::to_string(index)); });
  Settle();
  ASSERT_EQ(options_.size(), 1u);
  EXPECT_EQ(options_[0].group, L"shutdown_options");
  EXPECT_EQ(options_[0].initial_index, 0);
  EXPECT_EQ(options_[0].options[1], (DialogText{L"STRING_SHUT_OPTION_EXIT", true}));
  EXPECT_EQ(TakeLog(), std::vector<std::string>{"T0 chose 1"});
}

TEST_F(DialogTest, RequestsThatNeverFoundAWindowAreDiscardedAtShutdown) {
  InstallFactory();
  manager().RequestMessageBox(
      nullptr, L"STRING_ERROR_NOTICE", L"x", L"", L"STRING_CONFIRM", [](int) { Log("never"); },
      false);
  Settle();
  EXPECT_TRUE(manager().msgBoxOpen());
  ASSERT_TRUE(RunOn(nbase::kMainThreadId, [&] { manager().DiscardPendingDialogs(); }));
  Settle();
  EXPECT_FALSE(manager().msgBoxOpen());
  EXPECT_TRUE(shown_.empty());
  EXPECT_TRUE(TakeLog().empty());
}

}  // namespace
