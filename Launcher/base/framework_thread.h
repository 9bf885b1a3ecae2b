// Threads. nbase::Thread wraps an operating-system thread; FrameworkThread is
// a thread that owns a message loop and runs it, with Init and Cleanup hooks
// that subclasses override (MainThread and MiscThread bind their registry ids
// there).
//
// Threads: a FrameworkThread is started and stopped from one other thread
// (the UI thread for the worker), or run on the calling thread itself
// (RunOnCallingThread, the UI thread). StartOwnThread returns only after the
// new thread's Init has finished, so what Init wrote is visible to the
// starter. A subclass must call Stop() in its own destructor: the base
// destructor stops too, but by then the subclass's Cleanup no longer exists.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "base/message_loop.h"
#include "base/weak_callback.h"

namespace nbase {

class MessageLoopProxy;

class Thread {
 public:
  Thread() = default;
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts the thread on Run(); applies the priority when it is above 0.
  bool Create();

  // 1 lowest, 2 below normal, 3 highest, 4 time-critical, other values above
  // 0 below normal; 0 or less leaves the system default. Applied by Create.
  void set_priority(int priority) { priority_ = priority; }
  static int MapPriority(int priority);

  uint32_t thread_id() const { return thread_id_; }
  HANDLE handle() const { return handle_; }

  // Waits for the thread to end and releases its handle; nothing when no
  // thread was made. Not for the thread itself.
  void Join();

 protected:
  // The thread body; empty in the base.
  virtual void Run() {}

  std::atomic<uint32_t> thread_id_{0};

 private:
  static unsigned __stdcall ThreadEntry(void* arg);

  HANDLE handle_ = nullptr;
  int priority_ = 0;
};

class FrameworkThread : public Thread, public virtual SupportWeakCallback {
 public:
  explicit FrameworkThread(std::string name);
  ~FrameworkThread() override;

  // Starts an OS thread with a loop of the given kind and waits until its
  // Init has run. False (and no thread) when the thread cannot be made.
  bool StartOwnThread(MessageLoop::Kind kind);

  // Runs the loop on the calling thread until it quits (no OS thread made).
  void RunOnCallingThread(MessageLoop::Kind kind);

  // Asks the loop to quit once its immediate and due work is done and waits
  // for the thread to end. Nothing when not running; safe to call twice.
  void Stop();

  bool IsRunning() const { return running_; }
  const std::string& name() const { return name_; }

  // The thread's loop while it runs; only its own thread may touch it.
  MessageLoop* message_loop() const { return loop_.get(); }

 protected:
  virtual void Init() {}
  virtual void Cleanup() {}

 private:
  void Run() override;

  const std::string name_;
  MessageLoop::Kind kind_ = MessageLoop::Kind::kDefault;
  std::atomic<bool> running_{false};
  bool stopping_ = false;
  std::unique_ptr<MessageLoop> loop_;
  // Taken before the started event is signalled; lets Stop post the quit
  // even while the thread may be ending on its own.
  std::shared_ptr<MessageLoopProxy> proxy_;
  HANDLE started_event_;
};

// Per-thread record of a framework thread; its presence marks the thread.
struct ThreadLocalInfo {
  FrameworkThread* thread = nullptr;
  bool quit = false;
  int bind_count = 0;
  int bound_id = -1;

  // The calling thread's record, or null.
  static ThreadLocalInfo* Current();
};

}  // namespace nbase
