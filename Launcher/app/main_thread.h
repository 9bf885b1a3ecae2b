// The launcher's two application threads. MainThread is the UI thread (thread
// 0): the process's main thread running a UI loop. MiscThread is the worker
// (thread 1) with a default loop, whose 2 ms tick drives the update states
// and the download engine.
//
// Start: MainThread::Init loads the launcher state, starts the worker and
// waits until the worker's Init has finished, then opens the resources and
// makes the main window. End: the main window's close posts WM_QUIT; Cleanup
// stops the worker (waiting for it), saves the download statistics and hands
// over to the self-updater when an update is pending.
//
// Threads: MainThread is built and run on the process's main thread; it is
// the only one that starts and stops MiscThread.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

#include "base/framework_thread.h"

class MiscThread : public nbase::FrameworkThread {
 public:
  MiscThread();
  ~MiscThread() override;

 private:
  void Init() override;
  void Cleanup() override;
};

struct MainThreadOptions {
  // Makes the main window on the UI thread (and registers it); the default is
  // a plain stand-in window until the launcher's windows exist.
  std::function<HWND()> make_main_window;
};

class MainThread : public nbase::FrameworkThread {
 public:
  explicit MainThread(MainThreadOptions options = MainThreadOptions());
  ~MainThread() override;

 private:
  void Init() override;
  void Cleanup() override;

  MainThreadOptions options_;
  std::unique_ptr<MiscThread> misc_;
};

// The plain stand-in main window: carries the instance mark, answers
// kMsgShowWindow, and closes the launcher on WM_CLOSE.
HWND CreateStandInMainWindow();
