// Framework threads: start after Init, stop after pending work, priorities.
#include <windows.h>

#include <atomic>
#include <vector>

#include <gtest/gtest.h>

#include "base/framework_thread.h"
#include "base/message_loop_proxy.h"
#include "base/thread_registry.h"

namespace nbase {
namespace {

class Worker : public FrameworkThread {
 public:
  Worker() : FrameworkThread("Worker") {}
  ~Worker() override { Stop(); }

  std::atomic<bool> init_done{false};
  std::atomic<bool> cleanup_done{false};
  std::atomic<DWORD> os_thread{0};
  std::shared_ptr<MessageLoopProxy> proxy;

 private:
  void Init() override {
    Sleep(30);  // the starter must wait for this
    os_thread = GetCurrentThreadId();
    proxy = MessageLoop::Current()->proxy();
    init_done = true;
  }
  void Cleanup() override { cleanup_done = true; }
};

TEST(FrameworkThreadTest, StartWaitsForInitAndStopRunsPendingWork) {
  Worker worker;
  ASSERT_TRUE(worker.StartOwnThread(MessageLoop::Kind::kDefault));
  EXPECT_TRUE(worker.init_done);
  EXPECT_TRUE(worker.IsRunning());
  EXPECT_NE(worker.os_thread, GetCurrentThreadId());

  std::vector<int> ran;
  std::atomic<bool> wrong_thread{false};
  for (int i = 0; i < 500; ++i) {
    worker.proxy->Post([&, i] {
      if (GetCurrentThreadId() != worker.os_thread) wrong_thread = true;
      ran.push_back(i);
    });
  }
  worker.Stop();
  EXPECT_FALSE(worker.IsRunning());
  EXPECT_TRUE(worker.cleanup_done);
  EXPECT_FALSE(wrong_thread);
  ASSERT_EQ(ran.size(), 500u);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(ran[i], i);
  // The loop is gone: its proxy refuses further work.
  EXPECT_FALSE(worker.proxy->Post([] {}));
}

TEST(FrameworkThreadTest, StopDropsTimedWorkThatIsNotDue) {
  Worker worker;
  ASSERT_TRUE(worker.StartOwnThread(MessageLoop::Kind::kUI));
  std::atomic<bool> ran{false};
  worker.proxy->PostAfter([&] { ran = true; }, TimeDelta::FromSeconds(30));
  worker.Stop();
  EXPECT_FALSE(ran);
}

TEST(FrameworkThreadTest, StopWithoutStartOrTwiceDoesNothing) {
  Worker never_started;
  never_started.Stop();
  never_started.Stop();
  EXPECT_FALSE(never_started.IsRunning());
  EXPECT_FALSE(never_started.cleanup_done);

  Worker worker;
  ASSERT_TRUE(worker.StartOwnThread(MessageLoop::Kind::kDefault));
  worker.Stop();
  worker.Stop();
  EXPECT_TRUE(worker.cleanup_done);
}

TEST(FrameworkThreadTest, RunOnCallingThreadUsesThisThread) {
  class Inline : public FrameworkThread {
   public:
    Inline() : FrameworkThread("Inline") {}
    ~Inline() override { Stop(); }
    DWORD ran_on = 0;

   private:
    void Init() override {
      MessageLoop::Current()->Post([this] {
        ran_on = GetCurrentThreadId();
        MessageLoop::Current()->QuitWhenIdle();
      });
    }
  } runner;
  runner.RunOnCallingThread(MessageLoop::Kind::kUI);
  EXPECT_EQ(runner.ran_on, GetCurrentThreadId());
  EXPECT_FALSE(runner.IsRunning());
  EXPECT_EQ(runner.message_loop(), nullptr);
}

TEST(ThreadTest, PriorityMapping) {
  struct Case {
    int priority;
    int expected;
  };
  const Case cases[] = {
      {1, THREAD_PRIORITY_LOWEST},         {2, THREAD_PRIORITY_BELOW_NORMAL},
      {3, THREAD_PRIORITY_HIGHEST},  // not "above normal"
      {4, THREAD_PRIORITY_TIME_CRITICAL},  {5, THREAD_PRIORITY_BELOW_NORMAL},
      {100, THREAD_PRIORITY_BELOW_NORMAL},
  };
  for (const Case& c : cases) EXPECT_EQ(Thread::MapPriority(c.priority), c.expected) << c.priority;
}

TEST(ThreadTest, CreateAppliesPriorityAndJoinsOnDestruction) {
  class Waiting : public Thread {
   public:
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> finished{false};
    ~Waiting() override {
      Join();
      CloseHandle(go);
    }

   private:
    void Run() override {
      WaitForSingleObject(go, INFINITE);
      finished = true;
    }
  };
  auto thread = std::make_unique<Waiting>();
  thread->set_priority(1);
  ASSERT_TRUE(thread->Create());
  EXPECT_NE(thread->thread_id(), 0u);
  EXPECT_EQ(GetThreadPriority(thread->handle()), THREAD_PRIORITY_LOWEST);
  SetEvent(thread->go);
  Waiting* raw = thread.get();
  raw->Join();
  EXPECT_TRUE(raw->finished);
  EXPECT_EQ(raw->handle(), nullptr);
  thread.reset();
}

}  // namespace
}  // namespace nbase
