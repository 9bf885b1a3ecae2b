// The base of the update states. The LauncherManager owns at most one current
// state and one pre-download state; the worker tick updates them, and the
// download engine's replies reach the state that issued the request.
//
// Routing: every request a current state issues carries the state's type id
// as the engine's user value. The four OnDownloader* functions below are the
// callbacks the states hand to the engine; a reply whose id no longer matches
// the current state belongs to a state that has been replaced and is dropped.
//
// Threads: states are made, run and destroyed on the worker (thread 1) only.
// The UI thread never touches a state: it reads the manager's snapshot of the
// current state's type id and mode. ShowError only posts a dialog request;
// the user's answer comes back later as a task.
#pragma once

#include <functional>
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
  // True while a pre-download state is fetching files (a new check then
  // stops those transfers first).
  virtual bool Downloading() const { return false; }

  UpdateMode mode() const { return mode_; }
  int result() const { return result_; }
  int error_code() const { return error_code_; }
  const std::string& error_text() const { return error_text_; }
  const std::string& error_detail() const { return error_detail_; }

  // "patchs/<version>/<file>" on the content hosts: the installed game
  // version, or the launcher version with "." made "_".
  std::string BuildPatchUrl(const std::string& file_name) const;

  // The update error dialog for this state's error fields: posts the request
  // to the UI thread and returns at once; on_result runs there with the
  // user's answer (true for the confirm button).
  void ShowError(const std::wstring& first_button_id, const std::wstring& second_button_id,
                 std::function<void(bool)> on_result) const;

  // Worker: switches to where a failed check rests: a game check to the
  // error state with this state's error and a retry, a launcher check
  // silently to the resting state.
  void RestAfterFailure() const;

  // The detail line of the error dialog: the code and a line feed when the
  // code is not 0, the text, and "(" detail ")" when there is a detail.
  static std::wstring ErrorMessage(int code, const std::string& text, const std::string& detail);

 protected:
  // A failed request: the engine's code, "Request Failed:" and its message,
  // and the request path as the detail.
  void SetRequestFailure(int code, const std::string& url, const std::string& error);

  UpdateMode mode_;
  int result_ = 0;  // 0 pending, above 0 done, below 0 failed
  int error_code_ = 0;
  std::string error_text_;
  std::string error_detail_;
};

// The patch suffix of this run: false ".patch" (at start), true ".qvdiff".
// Set by the probes of VEXA.exe.patch; worker thread only.
bool PatchSuffixFlag();
void SetPatchSuffixFlag(bool qvdiff);
const char* PatchSuffix();

// The engine callbacks of the current state (see the header comment).
void OnDownloaderFileDone(int user, int code, std::string url, std::string error);
void OnDownloaderResponse(int user, int code, std::string url, const char* body, int length,
                          std::string error);
void OnDownloaderFileCheck(int user, int code, std::string url, bool exists, std::string error);
// Speed samples count only while a file-download state is current.
void OnDownloaderProgress(int user, double bytes_per_second);
