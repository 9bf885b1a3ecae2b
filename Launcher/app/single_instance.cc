#include "app/single_instance.h"

#include "app/launcher_messages.h"

SingleInstanceGuard::SingleInstanceGuard() {
  semaphore_ = CreateSemaphoreW(nullptr, 1, 1, kInstanceName);
  if (semaphore_ && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(semaphore_);
    semaphore_ = nullptr;
    another_running_ = true;
  }
}

SingleInstanceGuard::~SingleInstanceGuard() {
  if (semaphore_) CloseHandle(semaphore_);
}

bool InstanceSemaphoreExists() {
  HANDLE h = OpenSemaphoreW(SYNCHRONIZE, FALSE, kInstanceName);
  if (!h) return GetLastError() != ERROR_FILE_NOT_FOUND;
  CloseHandle(h);
  return true;
}

void MarkInstanceWindow(HWND hwnd) { SetPropW(hwnd, kInstanceName, hwnd); }

void UnmarkInstanceWindow(HWND hwnd) { RemovePropW(hwnd, kInstanceName); }

HWND FindInstanceWindow() {
  // Bounded: a desktop never holds this many top-level windows, and a window
  // list that changes under the walk must not keep us here.
  constexpr int kMaxWindows = 100000;
  HWND hwnd = GetWindow(GetDesktopWindow(), GW_CHILD);
  for (int i = 0; i < kMaxWindows && hwnd && IsWindow(hwnd); ++i) {
    if (GetPropW(hwnd, kInstanceName) == static_cast<HANDLE>(hwnd)) return hwnd;
    hwnd = GetWindow(hwnd, GW_HWNDNEXT);
  }
  return nullptr;
}

void BringInstanceForward(HWND hwnd) {
  if (!hwnd || !IsWindow(hwnd)) return;
  if (!IsWindowVisible(hwnd)) PostMessageW(hwnd, kMsgShowWindow, 0, 0);
  ShowWindow(hwnd, IsIconic(hwnd) ? SW_RESTORE : SW_SHOW);
  SetForegroundWindow(hwnd);
  SetForegroundWindow(GetLastActivePopup(hwnd));
}
