#include "base/message_pump.h"

#include <climits>
#include <mutex>

#include "base/tick_clock.h"

namespace nbase {

namespace {

constexpr wchar_t kPumpWindowClass[] = L"QuillonMessagePumpWindow";

// Whole milliseconds from now until run_time (microseconds), rounded up.
int64_t MillisecondsUntil(int64_t run_time) {
  const int64_t delta = run_time - NowMicroseconds();
  if (delta <= 0) return 0;
  return (delta + 999) / 1000;
}

DWORD ClampTimeout(int64_t ms) {
  if (ms < 0) return INFINITE;
  if (ms > 0xFFFFFFFELL) return 0xFFFFFFFEu;
  return static_cast<DWORD>(ms);
}

HINSTANCE ModuleInstance() { return GetModuleHandleW(nullptr); }

// The pump window class is registered by the first UI pump of the process and
// unregistered with the last one, so several UI loops may live side by side.
std::mutex g_class_mutex;
int g_class_users = 0;

void AcquireWindowClass(WNDPROC proc) {
  std::lock_guard<std::mutex> hold(g_class_mutex);
  if (g_class_users++ > 0) return;
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = proc;
  wc.hInstance = ModuleInstance();
  wc.lpszClassName = kPumpWindowClass;
  RegisterClassExW(&wc);
}

void ReleaseWindowClass() {
  std::lock_guard<std::mutex> hold(g_class_mutex);
  if (--g_class_users == 0) UnregisterClassW(kPumpWindowClass, ModuleInstance());
}

}  // namespace

// ----------------------------------------------------------------- default

DefaultMessagePump::DefaultMessagePump() : event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

DefaultMessagePump::~DefaultMessagePump() {
  if (event_) CloseHandle(event_);
}

void DefaultMessagePump::Wake() { SetEvent(event_); }

void DefaultMessagePump::RunLoop(Delegate* delegate) {
  bool did_work = delegate->RunImmediateWork();
  for (;;) {
    if (should_quit_) break;
    const bool did_delayed = delegate->RunDelayedWork(next_delayed_work_time_);
    if (should_quit_) break;
    if (!did_work && !did_delayed) {
      const bool did_idle = delegate->RunIdleWork();
      if (should_quit_) break;
      if (!did_idle) {
        if (next_delayed_work_time_ == 0) {
          WaitForSingleObject(event_, INFINITE);
        } else {
          const int64_t ms = MillisecondsUntil(next_delayed_work_time_);
          if (ms <= 0) {
            next_delayed_work_time_ = 0;
          } else {
            WaitForSingleObject(event_, ClampTimeout(ms));
          }
        }
      }
    }
    did_work = delegate->RunImmediateWork();
  }
  should_quit_ = false;
}

// ---------------------------------------------------------------------- UI

WinUIMessagePump::WinUIMessagePump() {
  AcquireWindowClass(&WindowProc);
  window_ = CreateWindowExW(0, kPumpWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            ModuleInstance(), nullptr);
  if (window_) SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

WinUIMessagePump::~WinUIMessagePump() {
  if (window_) {
    KillPumpTimer();
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  ReleaseWindowClass();
}

void WinUIMessagePump::RunLoop(Delegate* delegate) {
  RunState state{state_ ? state_->depth + 1 : 1, false, delegate};
  RunState* previous = state_;
  state_ = &state;
  PumpUntilQuit();
  state_ = previous;
}

void WinUIMessagePump::Stop() {
  if (state_) state_->should_quit = true;
}

void WinUIMessagePump::Wake() {
  // At most one wake message sits in the queue at any time.
  if (have_work_.exchange(1) != 0) return;
  PostMessageW(window_, kMsgPumpWork, reinterpret_cast<WPARAM>(this), 0);
}

void WinUIMessagePump::WakeAt(const int64_t& run_time) {
  next_delayed_work_time_ = run_time;
  int ms = MillisecondsUntilDelayedWork();
  if (ms < 0) return;
  // Windows raises shorter timers to USER_TIMER_MINIMUM anyway.
  if (ms <= 9) ms = 10;
  SetTimer(window_, reinterpret_cast<UINT_PTR>(this), static_cast<UINT>(ms), nullptr);
}

int WinUIMessagePump::MillisecondsUntilDelayedWork() const {
  if (next_delayed_work_time_ == 0) return -1;
  const int64_t ms = MillisecondsUntil(next_delayed_work_time_);
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void WinUIMessagePump::KillPumpTimer() { KillTimer(window_, reinterpret_cast<UINT_PTR>(this)); }

void WinUIMessagePump::PumpUntilQuit() {
  for (;;) {
    const bool sent_pending = HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE;
    bool more;
    MSG msg;
    if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      more = ProcessMessage(msg);
    } else {
      more = sent_pending;
    }
    if (state_->should_quit) break;

    more |= state_->delegate->RunImmediateWork();
    if (state_->should_quit) break;

    more |= state_->delegate->RunDelayedWork(next_delayed_work_time_);
    if (more && next_delayed_work_time_ == 0) KillPumpTimer();
    if (state_->should_quit) break;
    if (more) continue;

    const bool did_idle = state_->delegate->RunIdleWork();
    if (state_->should_quit) break;
    if (did_idle) continue;

    const DWORD result = MsgWaitForMultipleObjectsEx(
        0, nullptr, ClampTimeout(MillisecondsUntilDelayedWork()), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (result == WAIT_OBJECT_0) {
      // Mouse input for a window of another thread attached to ours shows in
      // the queue status but cannot be peeked here; wait it out instead of
      // spinning.
      const DWORD status = GetQueueStatus(QS_MOUSE);
      MSG peek;
      if ((HIWORD(status) & QS_MOUSE) &&
          !PeekMessageW(&peek, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_NOREMOVE)) {
        WaitMessage();
      }
    }
  }
}

// Returns whether the loop should take another pass at once.
bool WinUIMessagePump::ProcessMessage(const MSG& msg) {
  if (msg.message == WM_QUIT) {
    state_->should_quit = true;
    // An enclosing loop must see the quit too.
    PostQuitMessage(static_cast<int>(msg.wParam));
    return false;
  }
  if (msg.message == kMsgPumpWork && msg.hwnd == window_) return HandleWakeMessage();

  if (!CallMsgFilterW(const_cast<MSG*>(&msg), 0x5001)) {
    ui_observers_.Notify([&](UIObserver* o) { o->WillProcessMessage(msg); });
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
    ui_observers_.Notify([&](UIObserver* o) { o->DidProcessMessage(msg); });
  }
  return true;
}

// A wake message was taken from the queue: let one real message through with
// it, so that a stream of wakes never starves window messages.
bool WinUIMessagePump::HandleWakeMessage() {
  MSG msg;
  const bool have_message = PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE) != FALSE;
  have_work_.exchange(0);
  if (!have_message) return false;
  // A fresh wake first: the message below may enter a foreign modal loop.
  Wake();
  return ProcessMessage(msg);
}

void WinUIMessagePump::HandleTimer() {
  KillPumpTimer();
  if (!state_) return;
  state_->delegate->RunDelayedWork(next_delayed_work_time_);
  if (next_delayed_work_time_ != 0) WakeAt(next_delayed_work_time_);
}

LRESULT CALLBACK WinUIMessagePump::WindowProc(HWND hwnd, UINT message, WPARAM wparam,
                                              LPARAM lparam) {
  auto* pump = reinterpret_cast<WinUIMessagePump*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (pump) {
    if (message == WM_TIMER && wparam == reinterpret_cast<UINT_PTR>(pump)) {
      pump->HandleTimer();
    } else if (message == kMsgPumpWork) {
      // Only a foreign loop dispatches this to us; our own loop handles it
      // in ProcessMessage.
      if (pump->state_) {
        pump->HandleWakeMessage();
        if (pump->state_ && pump->state_->delegate->RunImmediateWork()) pump->Wake();
      } else {
        pump->have_work_.exchange(0);
      }
    }
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

}  // namespace nbase
