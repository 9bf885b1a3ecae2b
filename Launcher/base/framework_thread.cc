#include "base/framework_thread.h"

#include <process.h>

#include <utility>

#include "base/message_loop_proxy.h"

namespace nbase {

namespace {
thread_local ThreadLocalInfo* t_thread_info = nullptr;
}  // namespace

ThreadLocalInfo* ThreadLocalInfo::Current() { return t_thread_info; }

// ------------------------------------------------------------------ Thread

Thread::~Thread() { Join(); }

int Thread::MapPriority(int priority) {
  switch (priority) {
    case 1:
      return THREAD_PRIORITY_LOWEST;
    case 2:
      return THREAD_PRIORITY_BELOW_NORMAL;
    case 3:
      return THREAD_PRIORITY_HIGHEST;
    case 4:
      return THREAD_PRIORITY_TIME_CRITICAL;
    default:
      return THREAD_PRIORITY_BELOW_NORMAL;
  }
}

bool Thread::Create() {
  unsigned id = 0;
  const uintptr_t h = _beginthreadex(nullptr, 0, &Thread::ThreadEntry, this, 0, &id);
  if (h < 2) {
    handle_ = nullptr;
    thread_id_ = 0;
    return false;
  }
  handle_ = reinterpret_cast<HANDLE>(h);
  thread_id_ = id;
  if (priority_ > 0) SetThreadPriority(handle_, MapPriority(priority_));
  return true;
}

void Thread::Join() {
  if (!handle_) return;
  if (WaitForSingleObject(handle_, INFINITE) == WAIT_FAILED) TerminateThread(handle_, 0);
  CloseHandle(handle_);
  handle_ = nullptr;
  thread_id_ = 0;
}

unsigned __stdcall Thread::ThreadEntry(void* arg) {
  static_cast<Thread*>(arg)->Run();
  _endthreadex(0);
  return 0;
}

// --------------------------------------------------------- FrameworkThread

FrameworkThread::FrameworkThread(std::string name)
    : name_(std::move(name)), started_event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

FrameworkThread::~FrameworkThread() {
  Stop();
  if (started_event_) CloseHandle(started_event_);
  // Tasks still weak-bound to this thread object become no-ops.
  ResetWeakFlag();
}

bool FrameworkThread::StartOwnThread(MessageLoop::Kind kind) {
  if (running_ || loop_) return false;
  kind_ = kind;
  stopping_ = false;
  if (!Create()) return false;
  WaitForSingleObject(started_event_, INFINITE);
  running_ = true;
  return true;
}

void FrameworkThread::RunOnCallingThread(MessageLoop::Kind kind) {
  kind_ = kind;
  stopping_ = false;
  running_ = true;
  Run();
  running_ = false;
}

void FrameworkThread::Run() {
  // Only this thread touches its record, so a plain owner is enough.
  std::unique_ptr<ThreadLocalInfo> info;
  if (!t_thread_info) {
    info = std::make_unique<ThreadLocalInfo>();
    info->thread = this;
    t_thread_info = info.get();
  }
  t_thread_info->quit = false;
  thread_id_ = GetCurrentThreadId();

  if (kind_ == MessageLoop::Kind::kUI) {
    loop_ = std::make_unique<UIMessageLoop>();
  } else {
    loop_ = std::make_unique<MessageLoop>();
  }
  proxy_ = loop_->proxy();

  Init();
  SetEvent(started_event_);

  loop_->Run();

  Cleanup();
  loop_.reset();
  thread_id_ = 0;
  if (info) t_thread_info = nullptr;
}

void FrameworkThread::Stop() {
  if (!running_) return;
  if (!stopping_ && proxy_) {
    stopping_ = true;
    // Runs on the thread itself, after its immediate and due work.
    proxy_->PostTopLevel(ToWeakCallback([this] {
      if (MessageLoop* loop = MessageLoop::Current()) loop->QuitWhenIdle();
      if (ThreadLocalInfo* info = ThreadLocalInfo::Current()) info->quit = true;
    }));
  }
  Join();
  proxy_.reset();
  running_ = false;
}

}  // namespace nbase
