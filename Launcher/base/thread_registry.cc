#include "base/thread_registry.h"

namespace nbase {

ThreadRegistry& ThreadRegistry::Instance() {
  static ThreadRegistry registry;
  return registry;
}

bool ThreadRegistry::BindCurrentThread(int id) {
  ThreadLocalInfo* info = ThreadLocalInfo::Current();
  if (id < 0 || !info) return false;
  // A thread holds one id at a time.
  if (info->bind_count > 0 && info->bound_id != id) return false;
  ThreadRegistry& self = Instance();
  {
    AutoLock hold(self.lock_);
    auto it = self.threads_.find(id);
    if (it == self.threads_.end()) {
      self.threads_.emplace(id, info->thread);
    } else if (it->second != info->thread) {
      return false;
    }
  }
  ++info->bind_count;
  info->bound_id = id;
  return true;
}

bool ThreadRegistry::UnbindCurrentThread() {
  ThreadLocalInfo* info = ThreadLocalInfo::Current();
  if (!info || info->bind_count <= 0) return false;
  if (--info->bind_count > 0) return true;
  ThreadRegistry& self = Instance();
  {
    AutoLock hold(self.lock_);
    self.threads_.erase(info->bound_id);
  }
  info->bound_id = -1;
  return true;
}

std::shared_ptr<MessageLoopProxy> ThreadRegistry::FindLoopProxy(int id) {
  ThreadRegistry& self = Instance();
  AutoLock hold(self.lock_);
  auto it = self.threads_.find(id);
  if (it == self.threads_.end()) return nullptr;
  // Ids are bound after the loop is built and unbound before it is deleted,
  // so a bound thread's loop exists here.
  MessageLoop* loop = it->second->message_loop();
  return loop ? loop->proxy() : nullptr;
}

bool ThreadRegistry::PostTo(int id, Task task) {
  std::shared_ptr<MessageLoopProxy> proxy = FindLoopProxy(id);
  if (!proxy) return false;
  proxy->Post(std::move(task));
  return true;
}

bool ThreadRegistry::PostDelayedTo(int id, Task task, TimeDelta delay) {
  std::shared_ptr<MessageLoopProxy> proxy = FindLoopProxy(id);
  if (!proxy) return false;
  proxy->PostAfter(std::move(task), delay);
  return true;
}

void ThreadRegistry::PostRepeating(int id, const WeakClosure& task, TimeDelta delay, int times) {
  if (times == 0) return;
  std::shared_ptr<MessageLoopProxy> proxy = FindLoopProxy(id);
  if (!proxy) return;
  proxy->PostAfter([id, task, delay, times] { RepeatStep(id, task, delay, times); }, delay);
}

void ThreadRegistry::RepeatStep(int id, const WeakClosure& task, TimeDelta delay, int times) {
  if (task.Expired()) return;
  task();
  // The task may have destroyed its own object.
  if (task.Expired()) return;
  if (times != -1) --times;
  if (times != 0) PostRepeating(id, task, delay, times);
}

int ThreadRegistry::CurrentThreadId() {
  ThreadLocalInfo* info = ThreadLocalInfo::Current();
  return info ? info->bound_id : -1;
}

}  // namespace nbase
