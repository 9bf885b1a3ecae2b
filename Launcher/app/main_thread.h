// The UI thread (thread 0): the process's main thread running a UI message
// loop. Until the launcher's windows exist it shows a plain stand-in main
// window that carries the instance mark and answers kMsgShowWindow, so that
// the single-instance hand-off and the process lifetime work end to end.
//
// Threads: built and run on the process's main thread only.
#pragma once

#include <windows.h>

#include "base/framework_thread.h"

class MainThread : public nbase::FrameworkThread {
 public:
  MainThread();
  ~MainThread() override;

 private:
  void Init() override;
  void Cleanup() override;

  HWND main_window_ = nullptr;
};
