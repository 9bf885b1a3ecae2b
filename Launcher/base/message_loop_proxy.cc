#include "base/message_loop_proxy.h"

#include <utility>

namespace nbase {

bool MessageLoopProxy::Post(Task task) {
  AutoLock hold(lock_);
  if (!loop_) return false;
  loop_->Post(std::move(task));
  return true;
}

bool MessageLoopProxy::PostAfter(Task task, TimeDelta delay) {
  if (delay.ToMicroseconds() == 0) return Post(std::move(task));
  AutoLock hold(lock_);
  if (!loop_) return false;
  loop_->PostAfter(std::move(task), delay);
  return true;
}

bool MessageLoopProxy::PostTopLevel(Task task) {
  AutoLock hold(lock_);
  if (!loop_) return false;
  loop_->PostTopLevel(std::move(task));
  return true;
}

bool MessageLoopProxy::PostTopLevelAfter(Task task, TimeDelta delay) {
  if (delay.ToMicroseconds() == 0) return PostTopLevel(std::move(task));
  AutoLock hold(lock_);
  if (!loop_) return false;
  loop_->PostTopLevelAfter(std::move(task), delay);
  return true;
}

bool MessageLoopProxy::IsOwnerThread() {
  AutoLock hold(lock_);
  return loop_ != nullptr && loop_ == MessageLoop::Current();
}

void MessageLoopProxy::DetachLoop() {
  AutoLock hold(lock_);
  loop_ = nullptr;
}

}  // namespace nbase
