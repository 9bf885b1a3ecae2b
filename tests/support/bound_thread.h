// A framework thread bound to a registry id for the length of a test, with an
// optional set-up run on the thread itself; and a way to wait until every
// task posted to an id so far has run.
#pragma once

#include <windows.h>

#include <functional>
#include <utility>

#include "base/framework_thread.h"
#include "base/thread_registry.h"

namespace testsupport {

class BoundThread : public nbase::FrameworkThread {
 public:
  BoundThread(int id, nbase::MessageLoop::Kind kind, std::function<void()> init = nullptr,
              std::function<void()> cleanup = nullptr)
      : nbase::FrameworkThread("BoundThread"),
        id_(id),
        init_(std::move(init)),
        cleanup_(std::move(cleanup)) {
    StartOwnThread(kind);
  }
  ~BoundThread() override { Stop(); }
  DWORD os_thread() const { return os_thread_; }

 private:
  void Init() override {
    nbase::ThreadRegistry::BindCurrentThread(id_);
    os_thread_ = GetCurrentThreadId();
    if (init_) init_();
  }
  void Cleanup() override {
    if (cleanup_) cleanup_();
    nbase::ThreadRegistry::UnbindCurrentThread();
  }
  int id_;
  DWORD os_thread_ = 0;
  std::function<void()> init_, cleanup_;
};

// Runs fn on thread id and waits for it (and so for everything posted there
// before it). False when the id is not bound or it took too long.
inline bool RunOn(int id, std::function<void()> fn = nullptr, DWORD timeout_ms = 20000) {
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const bool posted = nbase::ThreadRegistry::PostTo(id, [done, fn] {
    if (fn) fn();
    SetEvent(done);
  });
  const bool ran = posted && WaitForSingleObject(done, timeout_ms) == WAIT_OBJECT_0;
  CloseHandle(done);
  return ran;
}

}  // namespace testsupport
