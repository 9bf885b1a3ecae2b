// The base of the update states. The LauncherManager owns at most one current
// state and one pre-download state; the worker tick updates them, and the
// download engine's replies reach the state that issued the request.
//
// Threads: states are made, run and destroyed on the worker (thread 1) only.
// The UI thread never touches a state: it reads the manager's snapshot of the
// current state's type id and mode.
#pragma once

#include <string>

enum UpdateMode { kLauncherMode = 0, kGameMode = 1 };

enum StateType {
  kStateNone = 0,
  kStatePrepare = 1,
  kStateRequestRemote = 2,
  kStateCheckVersion = 3,
  kStateRequestPatch = 4,
  kStateDownloadFiles = 5,
  kStateApplyUpdate = 6,
  kStateEnterGame = 7,
  kStateException = 8,
  kStatePreDownload = 9,
};

class State {
 public:
  State();  // game mode
  explicit State(UpdateMode mode);
  virtual ~State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  virtual int TypeId() const { return kStateNone; }
  virtual void Enter(State* previous) = 0;
  virtual void Update() = 0;
  virtual void Exit(State* next) = 0;
  virtual void OnFileDone(int /*code*/, const std::string& /*url*/, const std::string& /*error*/) {}
  virtual void OnResponse(int /*code*/, const std::string& /*url*/, const char* /*body*/,
                          int /*length*/, const std::string& /*error*/) {}
  virtual void OnFileCheck(int /*code*/, const std::string& /*url*/, bool /*exists*/,
                           const std::string& /*error*/) {}
  virtual void OnProgress(double /*bytes_per_second*/) {}

  UpdateMode mode() const { return mode_; }
  int result() const { return result_; }
  int error_code() const { return error_code_; }
  const std::string& error_text() const { return error_text_; }
  const std::string& error_detail() const { return error_detail_; }

 protected:
  UpdateMode mode_;
  int result_ = 0;  // 0 pending, above 0 done, below 0 failed
  int error_code_ = 0;
  std::string error_text_;
  std::string error_detail_;
};
