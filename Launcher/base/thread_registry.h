// The process-wide registry from small thread ids to framework threads, and
// posting by id. Work crosses threads only this way: FindLoopProxy(id) and a
// post through the proxy, or the PostTo shorthands. A task for an id that is
// not bound (not started yet, or already stopped) is dropped silently.
//
// Threads: any thread may look up and post. Binding and unbinding are done by
// a framework thread for itself (in its Init and Cleanup). One lock guards the
// map; it is never held while a task is posted or together with another lock.
#pragma once

#include <map>
#include <memory>
#include <utility>

#include "base/framework_thread.h"
#include "base/lock.h"
#include "base/message_loop_proxy.h"
#include "base/time_delta.h"
#include "base/weak_callback.h"

namespace nbase {

// The two application threads.
constexpr int kMainThreadId = 0;  // the UI thread
constexpr int kMiscThreadId = 1;  // the worker

using WeakClosure = WeakCallback<std::function<void()>>;

class ThreadRegistry {
 public:
  static ThreadRegistry& Instance();

  // Binds the calling framework thread to id. Fails for a negative id, on a
  // thread that is not a framework thread, and when another thread holds the
  // id (the first binding stays). Binding twice on one thread needs two
  // unbinds.
  static bool BindCurrentThread(int id);
  static bool UnbindCurrentThread();

  // The proxy of the loop bound to id; empty when none.
  static std::shared_ptr<MessageLoopProxy> FindLoopProxy(int id);

  // True when a proxy was found (the post itself may still be refused by a
  // loop that is just ending).
  static bool PostTo(int id, Task task);
  static bool PostDelayedTo(int id, Task task, TimeDelta delay);

  // Runs task on thread id after delay, then again one delay after the end of
  // each run, times times in all (-1: for ever), until the object the task is
  // weak-bound to is gone.
  static void PostRepeating(int id, const WeakClosure& task, TimeDelta delay, int times);
  template <typename F>
  static void PostRepeating(int id, const WeakCallback<F>& task, TimeDelta delay, int times) {
    PostRepeating(id, WeakClosure(task), delay, times);
  }

  // The id bound on the calling thread, -1 when none.
  static int CurrentThreadId();

 private:
  ThreadRegistry() = default;
  static void RepeatStep(int id, const WeakClosure& task, TimeDelta delay, int times);

  Lock lock_;
  std::map<int, FrameworkThread*> threads_;
};

}  // namespace nbase
