// The pre-download of the next game version: runs beside the current state
// (it never becomes it), finds the pre-download hosts, reads the next
// version's map, fetches the files that differ from the installed game (or
// patches from the installed version) into .\update\predownload\<version>\,
// each named by the md5 of what was fetched, and marks the folder finished by
// moving tmp_predownload_version_map.txt to predownload_version_map.txt. A
// later game update takes the files from there.
//
// Its requests carry the type id 9 and its four callbacks deliver to the
// LauncherManager's pre-download state whenever one exists. It keeps its own
// host list and makes it the engine's resource list before each of its
// requests, so a probe of the resting state that switches the engine to the
// game hosts in between never redirects it.
//
// Threads: worker (thread 1) only; the UI learns of it through posted
// messages (kMsgPreDownloadPanel, kMsgDownloadSize, kMsgDownloadSpeed) and
// the game through kMsgPreDownloadStatus.
#pragma once

#include <string>
#include <vector>

#include "update/state.h"

class PreDownloadState : public State {
 public:
  enum Step {
    kIdle = 0,
    kHostRequest = 1,
    kGateRequest = 2,
    kRemoteMap = 3,
    kPatchList = 4,
    kDownloads = 5,
    kClose = 6,
    kError = 7,
  };

  PreDownloadState() : State(kGameMode) {}

  int TypeId() const override { return kStatePreDownload; }
  void Enter(State* previous) override;
  void Update() override;
  void Exit(State* next) override;
  void OnFileDone(int code, const std::string& url, const std::string& error) override;
  void OnResponse(int code, const std::string& url, const char* body, int length,
                  const std::string& error) override;
  void OnFileCheck(int code, const std::string& url, bool exists,
                   const std::string& error) override;
  void OnProgress(double bytes_per_second) override;
  bool Downloading() const override { return step_ == kDownloads && downloading_; }

  int step() const { return step_; }
  int files_left() const { return files_left_; }
  bool has_files() const { return has_files_; }
  const std::vector<std::string>& hosts() const { return hosts_; }

 private:
  void Request(const std::string& path);
  void UseOwnHosts();
  void Fail(int code, const std::string& text, const std::string& detail);
  void OnGateReply(const std::string& body);
  void OnRemoteMap(const std::string& body);
  void StartDownloads();
  void Finish();
  void Close();  // deletes this state

  int step_ = kIdle;
  int files_left_ = 0;
  bool has_files_ = false;
  bool downloading_ = false;  // transfers of this state are queued
  std::string version_;
  std::wstring version_dir_;  // .\update\predownload\<version>
  std::vector<std::string> hosts_;
};

// The pre-download state's engine callbacks (user value 9).
void OnPreDownloadFileDone(int user, int code, std::string url, std::string error);
void OnPreDownloadResponse(int user, int code, std::string url, const char* body, int length,
                           std::string error);
void OnPreDownloadProgress(int user, double bytes_per_second);
void OnPreDownloadFileCheck(int user, int code, std::string url, bool exists, std::string error);
