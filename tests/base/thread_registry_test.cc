// Posting by thread id, binding rules and repeated tasks.
#include <windows.h>

#include <atomic>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "base/framework_thread.h"
#include "base/thread_registry.h"

namespace nbase {
namespace {

// A worker bound to an id for its whole run, as the application threads are.
class BoundWorker : public FrameworkThread {
 public:
  explicit BoundWorker(int id) : FrameworkThread("BoundWorker"), id_(id) {}
  ~BoundWorker() override { Stop(); }
  std::atomic<bool> bound{false};
  std::atomic<DWORD> os_thread{0};

 private:
  void Init() override {
    bound = ThreadRegistry::BindCurrentThread(id_);
    os_thread = GetCurrentThreadId();
  }
  void Cleanup() override { ThreadRegistry::UnbindCurrentThread(); }
  int id_;
};

// Blocks the calling thread until the worker has run everything posted so far.
void Flush(int id) {
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(ThreadRegistry::PostTo(id, [done] { SetEvent(done); }));
  EXPECT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
  CloseHandle(done);
}

TEST(ThreadRegistryTest, TasksPostedByIdRunOnThatThreadInOrder) {
  BoundWorker worker(kMiscThreadId);
  ASSERT_TRUE(worker.StartOwnThread(MessageLoop::Kind::kDefault));
  ASSERT_TRUE(worker.bound);
  std::vector<int> ran;
  std::atomic<bool> wrong_thread{false};
  for (int i = 0; i < 1000; ++i) {
    EXPECT_TRUE(ThreadRegistry::PostTo(kMiscThreadId, [&, i] {
      if (GetCurrentThreadId() != worker.os_thread) wrong_thread = true;
      ran.push_back(i);
    }));
  }
  Flush(kMiscThreadId);
  EXPECT_FALSE(wrong_thread);
  ASSERT_EQ(ran.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(ran[i], i);
  EXPECT_EQ(ThreadRegistry::FindLoopProxy(kMiscThreadId) != nullptr, true);
}

TEST(ThreadRegistryTest, PostsToAnUnboundIdAreDropped) {
  std::atomic<int> ran{0};
  EXPECT_FALSE(ThreadRegistry::PostTo(kMiscThreadId, [&] { ++ran; }));
  EXPECT_EQ(ThreadRegistry::FindLoopProxy(kMiscThreadId), nullptr);
  {
    BoundWorker worker(kMiscThreadId);
    ASSERT_TRUE(worker.StartOwnThread(MessageLoop::Kind::kDefault));
    EXPECT_TRUE(ThreadRegistry::PostTo(kMiscThreadId, [&] { ++ran; }));
    worker.Stop();
  }
  // After Cleanup has unbound it the id leads nowhere again.
  EXPECT_FALSE(ThreadRegistry::PostTo(kMiscThreadId, [&] { ++ran; }));
  EXPECT_FALSE(ThreadRegistry::PostDelayedTo(
      kMiscThreadId, [&] { ++ran; }, TimeDelta::FromMilliseconds(1)));
  EXPECT_EQ(ran, 1);
}

TEST(ThreadRegistryTest, BindingRules) {
  // Not a framework thread: no record, no binding.
  EXPECT_FALSE(ThreadRegistry::BindCurrentThread(5));
  EXPECT_FALSE(ThreadRegistry::UnbindCurrentThread());

  BoundWorker first(5);
  ASSERT_TRUE(first.StartOwnThread(MessageLoop::Kind::kDefault));
  EXPECT_TRUE(first.bound);
  BoundWorker second(5);
  ASSERT_TRUE(second.StartOwnThread(MessageLoop::Kind::kDefault));
  EXPECT_FALSE(second.bound);  // held by the first

  std::atomic<DWORD> ran_on{0};
  ThreadRegistry::PostTo(5, [&] { ran_on = GetCurrentThreadId(); });
  Flush(5);
  EXPECT_EQ(ran_on, first.os_thread);

  // Nested binds on one thread need as many unbinds; a negative id never binds.
  std::atomic<int> step{0};
  std::vector<bool> results;
  ThreadRegistry::PostTo(5, [&] {
    results.push_back(ThreadRegistry::BindCurrentThread(-1));
    results.push_back(ThreadRegistry::BindCurrentThread(5));
    results.push_back(ThreadRegistry::UnbindCurrentThread());
    results.push_back(ThreadRegistry::FindLoopProxy(5) != nullptr);
    results.push_back(ThreadRegistry::CurrentThreadId() == 5);
    ++step;
  });
  Flush(5);
  EXPECT_EQ(step, 1);
  EXPECT_EQ(results, (std::vector<bool>{false, true, true, true, true}));
}

class Ticker : public SupportWeakCallback {
 public:
  std::atomic<int> runs{0};
};

TEST(ThreadRegistryTest, RepeatedTaskRunsTheGivenNumberOfTimes) {
  BoundWorker worker(kMiscThreadId);
  ASSERT_TRUE(worker.StartOwnThread(MessageLoop::Kind::kDefault));
  Ticker once, thrice;
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ThreadRegistry::PostRepeating(kMiscThreadId, once.ToWeakCallback([&] { ++once.runs; }),
                                TimeDelta::FromMilliseconds(5), 1);
  ThreadRegistry::PostRepeating(kMiscThreadId, thrice.ToWeakCallback([&] {
    if (++thrice.runs == 3) SetEvent(done);
  }),
                                TimeDelta::FromMilliseconds(5), 3);
  ASSERT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
  // Later runs would come 5 ms apart; give them several periods to show up.
  Sleep(60);
  Flush(kMiscThreadId);
  EXPECT_EQ(once.runs, 1);
  EXPECT_EQ(thrice.runs, 3);
  CloseHandle(done);
}

TEST(ThreadRegistryTest, RepeatedTaskStopsWhenItsObjectIsGone) {
  BoundWorker worker(kMiscThreadId);
  ASSERT_TRUE(worker.StartOwnThread(MessageLoop::Kind::kDefault));

  // Destroyed by another task on the same thread.
  auto* ticker = new Ticker;
  std::atomic<int>* runs_after = new std::atomic<int>(0);
  ThreadRegistry::PostRepeating(kMiscThreadId, ticker->ToWeakCallback([ticker, runs_after] {
    ++ticker->runs;
    ++*runs_after;
  }),
                                TimeDelta::FromMilliseconds(2), -1);
  HANDLE three = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // Wait for a few runs, then delete the object on its thread.
  while (runs_after->load() < 3) Sleep(1);
  ThreadRegistry::PostTo(kMiscThreadId, [ticker] { delete ticker; });
  Flush(kMiscThreadId);
  const int seen = runs_after->load();
  Sleep(40);
  Flush(kMiscThreadId);
  EXPECT_EQ(runs_after->load(), seen);

  // Destroying itself while running: that run completes, nothing follows.
  struct SelfDeleting : SupportWeakCallback {
    std::atomic<int>* runs;
    ~SelfDeleting() override { ++*runs; }
  };
  std::atomic<int> self_runs{0};
  std::atomic<int> destroyed{0};
  auto* self = new SelfDeleting;
  self->runs = &destroyed;
  ThreadRegistry::PostRepeating(kMiscThreadId, self->ToWeakCallback([self, &self_runs, three] {
    ++self_runs;
    delete self;
    SetEvent(three);
  }),
                                TimeDelta::FromMilliseconds(2), -1);
  ASSERT_EQ(WaitForSingleObject(three, 10000), WAIT_OBJECT_0);
  Sleep(40);
  Flush(kMiscThreadId);
  EXPECT_EQ(self_runs, 1);
  EXPECT_EQ(destroyed, 1);
  CloseHandle(three);
  delete runs_after;
}

}  // namespace
}  // namespace nbase
