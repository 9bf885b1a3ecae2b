// The thread-safe poster that stands for a message loop. Each loop makes one
// and keeps a reference for its whole life; others get references from the
// thread registry. Once the loop is destroyed it detaches its proxy, and every
// later post returns false (the task is destroyed unrun).
//
// Threads: every operation may be called from any thread; the proxy lock is
// held across the forward to the loop, and is taken before the loop's own
// incoming-queue lock. Because the loop holds a reference until it detaches,
// the last reference is always released after the loop is gone, so the proxy
// is simply deleted by whoever releases it last.
#pragma once

#include "base/lock.h"
#include "base/message_loop.h"
#include "base/time_delta.h"
#include "base/weak_callback.h"

namespace nbase {

class MessageLoopProxy : public SupportWeakCallback {
 public:
  ~MessageLoopProxy() override = default;
  MessageLoopProxy(const MessageLoopProxy&) = delete;
  MessageLoopProxy& operator=(const MessageLoopProxy&) = delete;

  bool Post(Task task);
  bool PostAfter(Task task, TimeDelta delay);  // a delay of 0 posts at once
  bool PostTopLevel(Task task);
  bool PostTopLevelAfter(Task task, TimeDelta delay);

  // Whether the loop still exists and is the calling thread's loop.
  bool IsOwnerThread();

 private:
  friend class MessageLoop;
  explicit MessageLoopProxy(MessageLoop* loop) : loop_(loop) {}
  void DetachLoop();

  Lock lock_;
  MessageLoop* loop_;  // null once detached; guarded by lock_
};

}  // namespace nbase
