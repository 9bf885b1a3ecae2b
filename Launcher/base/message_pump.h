// Message pumps: what drives a message loop on its thread and how it sleeps.
// The loop (message_loop.h) is the pump's delegate and hands it three kinds of
// work: immediate (posted tasks), delayed (due timed tasks) and idle (deferred
// top-level tasks, and quitting).
//
// Threads: RunLoop, Stop and WakeAt are called on the loop's own thread only;
// Wake may be called from any thread (it is how posters wake a sleeping loop).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "base/observer_list.h"

namespace nbase {

// Posted to the UI pump's window to make the loop look at its queues.
constexpr UINT kMsgPumpWork = WM_USER + 1;

class MessagePump {
 public:
  class Delegate {
   public:
    virtual ~Delegate() = default;
    // One posted task per call; true when one ran.
    virtual bool RunImmediateWork() = 0;
    // At most one due timed task per call; sets next_run_time to the earliest
    // pending run time (microseconds), 0 when none.
    virtual bool RunDelayedWork(int64_t& next_run_time) = 0;
    // Deferred work, and the quit check when nothing else is left.
    virtual bool RunIdleWork() = 0;
  };

  virtual ~MessagePump() = default;
  virtual void RunLoop(Delegate* delegate) = 0;
  virtual void Stop() = 0;
  virtual void Wake() = 0;
  virtual void WakeAt(const int64_t& run_time) = 0;
};

// Sleeps on an event; used by worker threads.
class DefaultMessagePump : public MessagePump {
 public:
  DefaultMessagePump();
  ~DefaultMessagePump() override;

  void RunLoop(Delegate* delegate) override;
  void Stop() override { should_quit_ = true; }
  void Wake() override;
  void WakeAt(const int64_t& run_time) override { next_delayed_work_time_ = run_time; }

 private:
  HANDLE event_;
  bool should_quit_ = false;
  int64_t next_delayed_work_time_ = 0;
};

// Drives a Windows message queue: window messages and tasks alternate, and a
// timer on a hidden message-only window keeps timed tasks running while a
// foreign modal loop (message box, menu, window drag) owns the thread.
class WinUIMessagePump : public MessagePump {
 public:
  class UIObserver {
   public:
    virtual ~UIObserver() = default;
    virtual void WillProcessMessage(const MSG& msg) = 0;
    virtual void DidProcessMessage(const MSG& msg) = 0;
  };

  WinUIMessagePump();
  ~WinUIMessagePump() override;

  void RunLoop(Delegate* delegate) override;
  void Stop() override;
  void Wake() override;
  void WakeAt(const int64_t& run_time) override;

  void AddUIObserver(UIObserver* observer) { ui_observers_.AddObserver(observer); }
  void RemoveUIObserver(UIObserver* observer) { ui_observers_.RemoveObserver(observer); }

  HWND window() const { return window_; }

  // Whole milliseconds until the next timed task, rounded up; -1 when none,
  // 0 when it is already due.
  int MillisecondsUntilDelayedWork() const;

 private:
  struct RunState {
    int depth;
    bool should_quit;
    Delegate* delegate;
  };

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  void PumpUntilQuit();
  bool ProcessMessage(const MSG& msg);
  bool HandleWakeMessage();
  void HandleTimer();
  void KillPumpTimer();

  HWND window_ = nullptr;
  int64_t next_delayed_work_time_ = 0;
  std::atomic<long> have_work_{0};
  RunState* state_ = nullptr;
  ObserverList<UIObserver> ui_observers_;
};

}  // namespace nbase
