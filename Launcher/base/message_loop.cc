#include "base/message_loop.h"

#include <utility>

#include "base/message_loop_proxy.h"
#include "base/tick_clock.h"

namespace nbase {

namespace {
thread_local MessageLoop* t_current_loop = nullptr;
}  // namespace

MessageLoop::MessageLoop() : MessageLoop(Kind::kDefault, std::make_shared<DefaultMessagePump>()) {}

MessageLoop::MessageLoop(Kind kind, std::shared_ptr<MessagePump> pump)
    : kind_(kind), pump_(std::move(pump)), proxy_(new MessageLoopProxy(this)) {
  t_current_loop = this;
}

MessageLoop::~MessageLoop() {
  // Destroying a task may post new ones; a bounded number of passes keeps a
  // task that re-posts itself from holding the thread for ever.
  for (int pass = 0; pass < 100; ++pass) {
    DropQueuedTasks();
    SwapInIncoming();
    if (!DropQueuedTasks()) break;
  }
  destruction_observers_.Notify([](DestructionObserver* o) { o->WillDestroyCurrentMessageLoop(); });
  proxy_->DetachLoop();
  proxy_.reset();
  // Whatever was posted meanwhile is destroyed unrun, outside the lock.
  std::deque<QueuedTask> late;
  {
    AutoLock hold(incoming_lock_);
    late.swap(incoming_queue_);
  }
  late.clear();
  if (t_current_loop == this) t_current_loop = nullptr;
}

MessageLoop* MessageLoop::Current() { return t_current_loop; }

void MessageLoop::Post(Task task) { Enqueue(QueuedTask{0, 0, true, std::move(task)}); }

void MessageLoop::PostAfter(Task task, TimeDelta delay) {
  const int64_t us = delay.ToMicroseconds() > 0 ? delay.ToMicroseconds() : 0;
  Enqueue(QueuedTask{NowMicroseconds() + us, 0, true, std::move(task)});
}

void MessageLoop::PostTopLevel(Task task) { Enqueue(QueuedTask{0, 0, false, std::move(task)}); }

void MessageLoop::PostTopLevelAfter(Task task, TimeDelta delay) {
  const int64_t us = delay.ToMicroseconds() > 0 ? delay.ToMicroseconds() : 0;
  Enqueue(QueuedTask{NowMicroseconds() + us, 0, false, std::move(task)});
}

void MessageLoop::Enqueue(QueuedTask task) {
  std::shared_ptr<MessagePump> pump;
  {
    AutoLock hold(incoming_lock_);
    const bool was_empty = incoming_queue_.empty();
    incoming_queue_.push_back(std::move(task));
    // Only the post that makes the queue non-empty wakes the pump; the
    // reference keeps the pump alive while it is woken outside the lock.
    if (was_empty) pump = pump_;
  }
  if (pump) pump->Wake();
}

void MessageLoop::Run() {
  RunState state{run_depth() + 1, false, run_state_};
  run_state_ = &state;
  const bool saved_nestable = nestable_tasks_allowed_;
  // A nested run is in control of the thread: its tasks may run.
  nestable_tasks_allowed_ = true;
  pump_->RunLoop(this);
  nestable_tasks_allowed_ = saved_nestable;
  run_state_ = state.previous;
}

void MessageLoop::QuitWhenIdle() {
  if (run_state_) run_state_->quit_received = true;
}

void MessageLoop::PostQuit() {
  PostTopLevel([this] { QuitWhenIdle(); });
}

int MessageLoop::run_depth() const { return run_state_ ? run_state_->depth : 0; }

void MessageLoop::SwapInIncoming() {
  if (!work_queue_.empty()) return;
  AutoLock hold(incoming_lock_);
  if (!incoming_queue_.empty()) incoming_queue_.swap(work_queue_);
}

void MessageLoop::RunQueuedTask(QueuedTask& task) {
  nestable_tasks_allowed_ = false;
  task_observers_.Notify([](TaskObserver* o) { o->WillProcessTask(); });
  if (task.task) task.task();
  task_observers_.Notify([](TaskObserver* o) { o->DidProcessTask(); });
  nestable_tasks_allowed_ = true;
}

void MessageLoop::AddToDelayedHeap(QueuedTask task) {
  task.sequence = next_sequence_++;
  const int64_t sequence = task.sequence;
  const int64_t run_time = task.run_time;
  delayed_heap_.push(std::move(task));
  // A task that became the earliest must be announced now, so that a timer
  // wakes the thread even inside a foreign modal loop.
  if (delayed_heap_.top().sequence == sequence) pump_->WakeAt(run_time);
}

bool MessageLoop::RunImmediateWork() {
  if (!nestable_tasks_allowed_) return false;
  for (;;) {
    SwapInIncoming();
    if (work_queue_.empty()) return false;
    while (!work_queue_.empty()) {
      QueuedTask task = std::move(work_queue_.front());
      work_queue_.pop_front();
      if (task.run_time != 0) {
        AddToDelayedHeap(std::move(task));
        continue;
      }
      if (task.nestable || run_depth() == 1) {
        RunQueuedTask(task);
        return true;
      }
      deferred_queue_.push_back(std::move(task));
    }
  }
}

bool MessageLoop::RunDelayedWork(int64_t& next_run_time) {
  if (!nestable_tasks_allowed_ || delayed_heap_.empty()) {
    recent_time_ = 0;
    next_run_time = 0;
    return false;
  }
  const int64_t run_time = delayed_heap_.top().run_time;
  if (run_time > recent_time_) {
    // While the loop is behind, due tasks run one per call without reading
    // the clock again.
    recent_time_ = NowMicroseconds();
    if (run_time > recent_time_) {
      next_run_time = run_time;
      return false;
    }
  }
  // The comparator only reads the integer fields, which a move leaves intact.
  QueuedTask task = std::move(const_cast<QueuedTask&>(delayed_heap_.top()));
  delayed_heap_.pop();
  if (!delayed_heap_.empty()) next_run_time = delayed_heap_.top().run_time;

  if (task.nestable || run_depth() == 1) {
    RunQueuedTask(task);
    return true;
  }
  deferred_queue_.push_back(std::move(task));
  return false;
}

bool MessageLoop::RunIdleWork() {
  if (run_depth() == 1 && !deferred_queue_.empty()) {
    QueuedTask task = std::move(deferred_queue_.front());
    deferred_queue_.pop_front();
    RunQueuedTask(task);
    return true;
  }
  if (run_state_ && run_state_->quit_received) pump_->Stop();
  return false;
}

bool MessageLoop::DropQueuedTasks() {
  // Timed tasks go through the heap so that they are destroyed in run order.
  while (!work_queue_.empty()) {
    QueuedTask task = std::move(work_queue_.front());
    work_queue_.pop_front();
    if (task.run_time != 0) {
      task.sequence = next_sequence_++;
      delayed_heap_.push(std::move(task));
    }
  }
  deferred_queue_.clear();
  const bool had_delayed = !delayed_heap_.empty();
  while (!delayed_heap_.empty()) delayed_heap_.pop();
  return had_delayed;
}

UIMessageLoop::UIMessageLoop() : MessageLoop(Kind::kUI, std::make_shared<WinUIMessagePump>()) {}

}  // namespace nbase
