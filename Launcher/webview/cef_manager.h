// Start and stop of the embedded browser runtime for the whole process, and
// the process-wide facts the web views ask for (runtime up, off-screen
// rendering, live browser count).
//
// The runtime is optional: it starts only when the folder "cef" lies beside
// the program. The runtime itself sits behind WebRuntime; this build has no
// browser runtime, so its default runtime is a stand-in that records each call
// in "runtime_calls.log" in the data folder and reports that no runtime runs.
//
// Threads: the entry point calls AddRuntimeFolderToPath, Initialize and
// Shutdown on the main thread before and after the UI thread runs; the web
// views read the flags on the UI thread. The browser count is atomic.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "base/weak_callback.h"

namespace qln_comp {

// The settings the runtime starts with; whatever is not set here keeps the
// runtime's defaults.
struct CefSettings {
  bool no_sandbox = false;
  std::wstring cache_path;
  std::wstring log_file;
  bool single_process = false;
  bool multi_threaded_message_loop = false;
  bool windowless_rendering_enabled = false;
  std::wstring browser_subprocess_path;
};

// What the launcher needs of the browser runtime library.
class WebRuntime {
 public:
  virtual ~WebRuntime() = default;
  virtual bool Initialize(const CefSettings& settings) = 0;
  virtual void Shutdown() = 0;
};

// The stand-in for the missing runtime: appends "Initialize ..." and
// "Shutdown" lines to <data folder>runtime_calls.log and fails to initialise.
std::unique_ptr<WebRuntime> MakeStandInRuntime(const std::wstring& record_file);

class CefManager : public nbase::SupportWeakCallback {
 public:
  static CefManager& GetInstance();

  // When the folder "cef" exists in program_dir (default: the program's
  // folder), puts it in front of PATH and points ComSpec at its
  // dummy_cmd.exe, for the processes the runtime starts; false (and nothing
  // changed) without the folder.
  bool AddRuntimeFolderToPath();
  bool AddRuntimeFolderToPath(const std::wstring& program_dir);

  // Creates the data folder, fills the settings and starts the runtime; true
  // when it runs.
  bool Initialize(const std::wstring& data_dir, CefSettings& settings);
  void FillSettings(const std::wstring& data_dir, CefSettings& settings);

  // Shuts the runtime down (when it was started) and clears the flag.
  void Shutdown();

  bool IsInitialized() const { return initialized_; }
  bool IsOffscreenRendering() const { return offscreen_; }

  void AddBrowserCount() { ++browser_count_; }
  void SubBrowserCount() { --browser_count_; }
  int browser_count() const { return browser_count_; }

  // Replaces the runtime (tests); null restores the stand-in.
  void SetRuntimeForTesting(std::unique_ptr<WebRuntime> runtime);

 private:
  CefManager() = default;

  std::unique_ptr<WebRuntime> runtime_;
  bool runtime_replaced_ = false;
  std::atomic<int> browser_count_{0};
  bool offscreen_ = true;
  bool initialized_ = false;
};

}  // namespace qln_comp
