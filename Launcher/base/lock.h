// A critical section with a spin count, and its scoped holder. Every lock of
// the base library (clock, registry, loop queues, proxies) is one of these.
// Any thread may take a Lock; it is not re-entrant-safe to destroy while held.
#pragma once

#include <windows.h>

namespace nbase {

class Lock {
 public:
  Lock() { InitializeCriticalSectionAndSpinCount(&cs_, 2000); }
  ~Lock() { DeleteCriticalSection(&cs_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void Acquire() { EnterCriticalSection(&cs_); }
  void Release() { LeaveCriticalSection(&cs_); }

 private:
  CRITICAL_SECTION cs_;
};

class AutoLock {
 public:
  explicit AutoLock(Lock& lock) : lock_(lock) { lock_.Acquire(); }
  ~AutoLock() { lock_.Release(); }
  AutoLock(const AutoLock&) = delete;
  AutoLock& operator=(const AutoLock&) = delete;

 private:
  Lock& lock_;
};

}  // namespace nbase
