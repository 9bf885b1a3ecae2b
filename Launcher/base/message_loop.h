// The message loop: one per working thread, holding the tasks posted to that
// thread and running them through its pump (message_pump.h). Tasks are plain
// closures, run at once (in posting order) or after a delay in microseconds
// (in run-time order, ties in posting order). A top-level task runs only in
// the outermost run of the loop; one that comes due in a nested run waits
// until the nested run returns.
//
// Threads: the Post* operations may be called from any thread (they take the
// incoming-queue lock and never hold it while waking the pump). Everything
// else belongs to the loop's own thread: a loop is built, run, quit and
// destroyed there. Other threads normally post through the loop's proxy
// (message_loop_proxy.h), which refuses posts once the loop is gone.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <queue>
#include <vector>

#include "base/lock.h"
#include "base/message_pump.h"
#include "base/observer_list.h"
#include "base/time_delta.h"

namespace nbase {

class MessageLoopProxy;

using Task = std::function<void()>;

struct QueuedTask {
  int64_t run_time = 0;  // microseconds on the tick clock; 0 = immediate
  int64_t sequence = 0;  // order of entry into the delayed heap
  bool nestable = true;  // false: top-level, runs only at run depth 1
  Task task;
};

class MessageLoop : public MessagePump::Delegate {
 public:
  enum class Kind { kDefault = 0, kUI = 1 };

  class TaskObserver {
   public:
    virtual ~TaskObserver() = default;
    virtual void WillProcessTask() = 0;
    virtual void DidProcessTask() = 0;
  };

  class DestructionObserver {
   public:
    virtual ~DestructionObserver() = default;
    virtual void WillDestroyCurrentMessageLoop() = 0;
  };

  // A loop with the default (event) pump, bound to the calling thread.
  MessageLoop();
  ~MessageLoop() override;
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;

  // The calling thread's loop, or null.
  static MessageLoop* Current();

  Kind kind() const { return kind_; }

  // Any thread.
  void Post(Task task);
  void PostAfter(Task task, TimeDelta delay);
  void PostTopLevel(Task task);
  void PostTopLevelAfter(Task task, TimeDelta delay);

  // Runs the loop on the calling thread until it is quit. Called from inside a
  // task it runs a nested loop, in which nestable tasks run again.
  void Run();

  // Loop thread: ends the innermost run once its immediate and due work is
  // done; timed tasks that are not yet due stay queued (and are destroyed with
  // the loop).
  void QuitWhenIdle();

  // Any thread: posts a top-level task that quits the outermost run.
  void PostQuit();

  // Depth of the current run: 0 when not running, 1 for the outermost.
  int run_depth() const;

  std::shared_ptr<MessageLoopProxy> proxy() const { return proxy_; }
  MessagePump* pump() const { return pump_.get(); }

  void AddTaskObserver(TaskObserver* o) { task_observers_.AddObserver(o); }
  void RemoveTaskObserver(TaskObserver* o) { task_observers_.RemoveObserver(o); }
  void AddDestructionObserver(DestructionObserver* o) { destruction_observers_.AddObserver(o); }
  void RemoveDestructionObserver(DestructionObserver* o) {
    destruction_observers_.RemoveObserver(o);
  }

 protected:
  MessageLoop(Kind kind, std::shared_ptr<MessagePump> pump);

 private:
  struct RunState {
    int depth;
    bool quit_received;
    RunState* previous;
  };

  struct LaterFirst {
    bool operator()(const QueuedTask& a, const QueuedTask& b) const {
      if (a.run_time != b.run_time) return a.run_time > b.run_time;
      return a.sequence > b.sequence;
    }
  };
  using DelayedTaskHeap = std::priority_queue<QueuedTask, std::vector<QueuedTask>, LaterFirst>;

  // MessagePump::Delegate
  bool RunImmediateWork() override;
  bool RunDelayedWork(int64_t& next_run_time) override;
  bool RunIdleWork() override;

  void Enqueue(QueuedTask task);
  void SwapInIncoming();
  void RunQueuedTask(QueuedTask& task);
  void AddToDelayedHeap(QueuedTask task);
  bool DropQueuedTasks();

  const Kind kind_;
  RunState* run_state_ = nullptr;
  std::shared_ptr<MessagePump> pump_;
  bool nestable_tasks_allowed_ = true;

  Lock incoming_lock_;
  std::deque<QueuedTask> incoming_queue_;  // guarded by incoming_lock_

  std::deque<QueuedTask> work_queue_;
  std::deque<QueuedTask> deferred_queue_;
  DelayedTaskHeap delayed_heap_;
  int64_t next_sequence_ = 0;
  int64_t recent_time_ = 0;

  ObserverList<TaskObserver> task_observers_;
  ObserverList<DestructionObserver> destruction_observers_;
  std::shared_ptr<MessageLoopProxy> proxy_;
};

// A loop whose pump is the thread's Windows message queue.
class UIMessageLoop : public MessageLoop {
 public:
  UIMessageLoop();
  WinUIMessagePump* ui_pump() const { return static_cast<WinUIMessagePump*>(pump()); }
};

}  // namespace nbase
