// One launcher per user session. The first instance holds a named semaphore
// for its whole life and marks its main window with a window property of the
// same name (the property's value is the window's own handle); a second start
// finds that window, shows it and brings it forward, then ends.
//
// Threads: the guard is taken on the main thread at start; the window search
// and activation run on the calling thread and touch only foreign windows.
#pragma once

#include <windows.h>

constexpr wchar_t kInstanceName[] = L"_ZEP_LAUNCHER_VN";

// Holds the instance semaphore until destroyed (the launcher keeps it until
// the process ends).
class SingleInstanceGuard {
 public:
  SingleInstanceGuard();
  ~SingleInstanceGuard();
  SingleInstanceGuard(const SingleInstanceGuard&) = delete;
  SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

  // True when another launcher already held the semaphore (this guard then
  // holds nothing).
  bool another_instance_running() const { return another_running_; }

 private:
  HANDLE semaphore_ = nullptr;
  bool another_running_ = false;
};

// Whether the launcher instance semaphore exists at all (some launcher runs).
bool InstanceSemaphoreExists();

// Marks (or unmarks) hwnd as the instance's main window.
void MarkInstanceWindow(HWND hwnd);
void UnmarkInstanceWindow(HWND hwnd);

// The top-level window whose instance property holds its own handle; null
// when there is none (the first instance may not have its window yet).
HWND FindInstanceWindow();

// Shows the first instance's window (asking a hidden one to show itself with
// kMsgShowWindow), restores it when minimised and brings it to the front.
void BringInstanceForward(HWND hwnd);
