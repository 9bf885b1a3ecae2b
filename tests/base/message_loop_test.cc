// Message loops and pumps: ordering of immediate and timed tasks, quitting,
// nesting, foreign modal loops and destruction with pending work.
#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/message_loop.h"
#include "base/message_loop_proxy.h"
#include "base/tick_clock.h"

namespace nbase {
namespace {

using Kind = MessageLoop::Kind;

std::unique_ptr<MessageLoop> MakeLoop(Kind kind) {
  if (kind == Kind::kUI) return std::make_unique<UIMessageLoop>();
  return std::make_unique<MessageLoop>();
}

const char* KindName(const ::testing::TestParamInfo<Kind>& info) {
  return info.param == Kind::kUI ? "UI" : "Default";
}

// Records its id into a shared log when destroyed; lets tests see whether
// and in which order queued tasks were destroyed.
struct DestroyProbe {
  DestroyProbe(std::vector<int>* log, int id) : log_(log), id_(id) {}
  ~DestroyProbe() { log_->push_back(id_); }
  std::vector<int>* log_;
  int id_;
};

class LoopTest : public ::testing::TestWithParam<Kind> {};

TEST_P(LoopTest, ImmediateTasksRunInPostingOrder) {
  auto loop = MakeLoop(GetParam());
  std::vector<int> ran;
  for (int i = 0; i < 50; ++i) loop->Post([&ran, i] { ran.push_back(i); });
  loop->PostQuit();
  loop->Run();
  ASSERT_EQ(ran.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(ran[i], i);
}

TEST_P(LoopTest, PostsFromOtherThreadsKeepEachPostersOrder) {
  auto loop = MakeLoop(GetParam());
  std::shared_ptr<MessageLoopProxy> proxy = loop->proxy();
  constexpr int kPerThread = 2000;
  std::vector<int> ran;
  std::atomic<int> done{0};
  const DWORD loop_thread = GetCurrentThreadId();
  std::atomic<bool> wrong_thread{false};
  std::vector<std::thread> posters;
  for (int t = 0; t < 3; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        proxy->Post([&, t, i] {
          if (GetCurrentThreadId() != loop_thread) wrong_thread = true;
          ran.push_back(t * kPerThread + i);
          if (++done == 3 * kPerThread) MessageLoop::Current()->QuitWhenIdle();
        });
      }
    });
  }
  loop->Run();
  for (auto& p : posters) p.join();
  EXPECT_FALSE(wrong_thread);
  ASSERT_EQ(ran.size(), size_t{3 * kPerThread});
  int last[3] = {-1, -1, -1};
  for (int v : ran) {
    const int t = v / kPerThread;
    EXPECT_LT(last[t], v);
    last[t] = v;
  }
}

TEST_P(LoopTest, DelayedTasksRunInTimeOrderWithTiesInPostingOrder) {
  auto loop = MakeLoop(GetParam());
  std::vector<std::string> ran;
  auto record = [&ran](std::string s) { return [&ran, s] { ran.push_back(s); }; };
  loop->PostAfter(record("30ms"), TimeDelta::FromMilliseconds(30));
  loop->PostAfter(record("10ms"), TimeDelta::FromMilliseconds(10));
  // Posted within the same millisecond these share a run time; they must
  // keep their posting order all the same.
  for (int i = 0; i < 20; ++i)
    loop->PostAfter(record("20ms-" + std::to_string(i)), TimeDelta::FromMilliseconds(20));
  loop->Post(record("now"));
  loop->PostAfter([&] { MessageLoop::Current()->QuitWhenIdle(); }, TimeDelta::FromMilliseconds(40));
  loop->Run();
  std::vector<std::string> expected = {"now", "10ms"};
  for (int i = 0; i < 20; ++i) expected.push_back("20ms-" + std::to_string(i));
  expected.push_back("30ms");
  EXPECT_EQ(ran, expected);
}

TEST_P(LoopTest, QuitRunsPendingImmediateWorkAndLeavesFutureWork) {
  auto loop = MakeLoop(GetParam());
  std::vector<int> ran;
  std::vector<int> destroyed;
  auto distant = std::make_shared<DestroyProbe>(&destroyed, 99);
  loop->PostAfter([distant, &ran] { ran.push_back(99); }, TimeDelta::FromSeconds(30));
  distant.reset();
  loop->Post([&ran] { ran.push_back(1); });
  loop->PostQuit();
  loop->Post([&ran, &loop] {
    ran.push_back(2);
    // Work posted while quitting still runs.
    loop->Post([&ran] { ran.push_back(3); });
  });
  const int64_t start = TickClock::Instance().NowMilliseconds();
  loop->Run();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
  EXPECT_LT(TickClock::Instance().NowMilliseconds() - start, 20000);  // did not wait for it
  EXPECT_TRUE(destroyed.empty());
  loop.reset();
  EXPECT_EQ(destroyed, std::vector<int>{99});
  EXPECT_EQ(ran.size(), 3u);
}

TEST_P(LoopTest, DestroyedLoopDestroysTasksUnrunTimedOnesInRunOrder) {
  auto loop = MakeLoop(GetParam());
  std::vector<int> destroyed;
  bool any_ran = false;
  auto post = [&](int id, int delay_ms) {
    auto probe = std::make_shared<DestroyProbe>(&destroyed, id);
    Task task = [probe, &any_ran] { any_ran = true; };
    probe.reset();
    if (delay_ms == 0) {
      loop->Post(std::move(task));
    } else {
      loop->PostAfter(std::move(task), TimeDelta::FromMilliseconds(delay_ms));
    }
  };
  post(1, 0);
  post(300, 300);
  post(2, 0);
  post(100, 100);
  post(200, 200);
  // A task whose destruction posts another task: that one is destroyed too.
  struct Reposter {
    MessageLoop* loop;
    std::vector<int>* log;
    ~Reposter() {
      auto probe = std::make_shared<DestroyProbe>(log, 7);
      loop->Post([probe] {});
    }
  };
  auto reposter = std::shared_ptr<Reposter>(new Reposter{loop.get(), &destroyed});
  loop->Post([reposter] {});
  reposter.reset();

  loop.reset();
  EXPECT_FALSE(any_ran);
  // The task posted by a destructor goes in the next pass.
  EXPECT_EQ(destroyed, (std::vector<int>{1, 2, 100, 200, 300, 7}));
}

TEST_P(LoopTest, TopLevelTaskWaitsForNestedRunToReturn) {
  auto loop = MakeLoop(GetParam());
  std::vector<std::string> ran;
  loop->Post([&] {
    MessageLoop* current = MessageLoop::Current();
    current->PostTopLevel([&] { ran.push_back("top-level"); });
    current->Post(
        [&] { ran.push_back("nested " + std::to_string(MessageLoop::Current()->run_depth())); });
    current->Post([&] { MessageLoop::Current()->QuitWhenIdle(); });
    current->Run();
    ran.push_back("nested returned");
  });
  loop->PostQuit();
  loop->Run();
  EXPECT_EQ(ran, (std::vector<std::string>{"nested 2", "nested returned", "top-level"}));
}

TEST_P(LoopTest, ProxyOutlivingItsLoopRefusesPosts) {
  auto loop = MakeLoop(GetParam());
  std::shared_ptr<MessageLoopProxy> proxy = loop->proxy();
  EXPECT_TRUE(proxy->IsOwnerThread());
  bool ran = false;
  EXPECT_TRUE(proxy->Post([&ran] { ran = true; }));
  loop->PostQuit();
  loop->Run();
  EXPECT_TRUE(ran);
  loop.reset();
  EXPECT_EQ(MessageLoop::Current(), nullptr);
  EXPECT_FALSE(proxy->IsOwnerThread());
  std::vector<int> destroyed;
  auto probe = std::make_shared<DestroyProbe>(&destroyed, 5);
  EXPECT_FALSE(proxy->Post([probe] {}));
  EXPECT_FALSE(proxy->PostAfter([probe] {}, TimeDelta::FromMilliseconds(5)));
  EXPECT_FALSE(proxy->PostTopLevel([probe] {}));
  probe.reset();
  EXPECT_EQ(destroyed, std::vector<int>{5});  // refused tasks are not kept
}

TEST_P(LoopTest, SleepingLoopWakesForWorkFromAnotherThread) {
  auto loop = MakeLoop(GetParam());
  std::shared_ptr<MessageLoopProxy> proxy = loop->proxy();
  std::vector<int> ran;
  // The loop has nothing to do and sleeps; the poster wakes it twice, once
  // for an immediate and once for a timed task.
  std::thread poster([proxy, &ran] {
    Sleep(50);
    proxy->Post([&ran] { ran.push_back(1); });
    Sleep(50);
    proxy->PostAfter(
        [&ran] {
          ran.push_back(2);
          MessageLoop::Current()->QuitWhenIdle();
        },
        TimeDelta::FromMilliseconds(20));
  });
  loop->Run();
  poster.join();
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

INSTANTIATE_TEST_SUITE_P(Kinds, LoopTest, ::testing::Values(Kind::kDefault, Kind::kUI), KindName);

// ---------------------------------------------------------------- UI pump

// A window whose handler enters a foreign modal loop (a real message box),
// as a menu or a dialog opened from a click would.
class ModalHost {
 public:
  ModalHost() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"LoopTestModalHost";
    RegisterClassExW(&wc);
    hwnd_ = CreateWindowExW(0, wc.lpszClassName, L"host", WS_OVERLAPPED, 0, 0, 100, 100, nullptr,
                            nullptr, wc.hInstance, nullptr);
  }
  ~ModalHost() {
    DestroyWindow(hwnd_);
    UnregisterClassW(L"LoopTestModalHost", GetModuleHandleW(nullptr));
  }
  HWND hwnd() const { return hwnd_; }
  static std::atomic<bool> in_modal;

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_APP) {
      in_modal = true;
      MessageBoxW(nullptr, L"modal", L"LoopTestModal", MB_OK);
      in_modal = false;
      return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
  }
  HWND hwnd_;
};
std::atomic<bool> ModalHost::in_modal{false};

HWND FindThreadWindowTitled(const wchar_t* title) {
  struct Search {
    const wchar_t* title;
    HWND found;
  } search{title, nullptr};
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND hwnd, LPARAM lp) -> BOOL {
        auto* s = reinterpret_cast<Search*>(lp);
        wchar_t text[64] = {};
        GetWindowTextW(hwnd, text, 64);
        if (wcscmp(text, s->title) == 0) {
          s->found = hwnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

TEST(UIMessageLoopTest, TasksKeepRunningInsideAForeignModalLoop) {
  UIMessageLoop loop;
  ModalHost host;
  ASSERT_NE(host.hwnd(), nullptr);
  std::vector<std::string> ran;
  std::shared_ptr<MessageLoopProxy> proxy = loop.proxy();

  // Opens the message box from a window message, not from a task.
  PostMessageW(host.hwnd(), WM_APP, 0, 0);
  // Below the 10 ms timer floor: still runs.
  loop.PostAfter([&] { ran.push_back(ModalHost::in_modal ? "5ms in modal" : "5ms outside"); },
                 TimeDelta::FromMilliseconds(5));
  loop.PostAfter([&] { ran.push_back(ModalHost::in_modal ? "200ms in modal" : "200ms outside"); },
                 TimeDelta::FromMilliseconds(200));
  std::thread poster;
  loop.PostAfter(
      [&] {
        // Immediate work from another thread arrives while the box is open.
        poster = std::thread([proxy, &ran] {
          proxy->Post([&ran] {
            ran.push_back(ModalHost::in_modal ? "posted in modal" : "posted outside");
          });
        });
      },
      TimeDelta::FromMilliseconds(300));
  loop.PostAfter(
      [&] {
        HWND box = FindThreadWindowTitled(L"LoopTestModal");
        ran.push_back(box ? "closing box" : "no box");
        if (box) PostMessageW(box, WM_COMMAND, IDOK, 0);
      },
      TimeDelta::FromMilliseconds(600));
  loop.PostAfter([&] { MessageLoop::Current()->QuitWhenIdle(); }, TimeDelta::FromMilliseconds(900));
  loop.Run();
  if (poster.joinable()) poster.join();
  EXPECT_EQ(ran, (std::vector<std::string>{"5ms in modal", "200ms in modal", "posted in modal",
                                           "closing box"}));
  EXPECT_FALSE(ModalHost::in_modal);
}

TEST(UIMessageLoopTest, QuitMessageInNestedPumpEndsEnclosingPumpToo) {
  UIMessageLoop loop;
  std::vector<std::string> ran;
  loop.Post([&] {
    MessageLoop::Current()->Post([] { PostQuitMessage(3); });
    MessageLoop::Current()->Run();
    ran.push_back("nested ended");
  });
  // Would keep the outer loop alive if WM_QUIT did not end it.
  loop.PostAfter([&] { ran.push_back("outer kept running"); }, TimeDelta::FromSeconds(20));
  loop.Run();
  EXPECT_EQ(ran, std::vector<std::string>{"nested ended"});
  // The quit message was handed on once more for whoever runs outside us.
  MSG msg;
  EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 3u);
}

TEST(UIMessageLoopTest, WindowMessagesAndTasksAlternate) {
  // A stream of tasks that re-post themselves must not starve window
  // messages, and the other way round.
  UIMessageLoop loop;
  ModalHost host;  // only for its window
  int tasks = 0;
  int messages = 0;
  std::function<void()> again = [&] {
    ++tasks;
    if (messages < 20) MessageLoop::Current()->Post(again);
  };
  loop.Post(again);
  for (int i = 0; i < 20; ++i) PostThreadMessageW(GetCurrentThreadId(), WM_USER + 50, 0, 0);
  struct Counter : WinUIMessagePump::UIObserver {
    int* count;
    void WillProcessMessage(const MSG& m) override {
      if (m.message == WM_USER + 50) ++*count;
    }
    void DidProcessMessage(const MSG&) override {}
  } counter;
  counter.count = &messages;
  static_cast<UIMessageLoop&>(loop).ui_pump()->AddUIObserver(&counter);
  loop.PostQuit();
  loop.Run();
  static_cast<UIMessageLoop&>(loop).ui_pump()->RemoveUIObserver(&counter);
  EXPECT_EQ(messages, 20);
  EXPECT_GT(tasks, 0);
  EXPECT_LT(tasks, 100);  // the messages ended the stream long before that
}

}  // namespace
}  // namespace nbase
