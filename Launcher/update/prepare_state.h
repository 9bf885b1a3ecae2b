// The first state of every check, for the launcher's own files or for the
// game: makes sure the local version map is known (hashing the tree when the
// map file is missing), stops a running pre-download, asks the IP-echo
// service once per run (launcher checks) and sends the gate request, whose
// answer names the content hosts and, for the launcher, the options of the
// run. Then on to RequestRemoteState, or straight to CheckVersionState when
// the game answer carried the published map inline.
//
// Threads: worker (thread 1) only. The blocking requests run inside Enter;
// hashing runs in slices of about a second per worker tick, so the worker
// keeps serving posted tasks and can be stopped while a large folder is read.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "update/state.h"

class PrepareState : public State {
 public:
  explicit PrepareState(UpdateMode mode);

  int TypeId() const override { return kStatePrepare; }
  void Enter(State* previous) override;
  void Update() override;
  void Exit(State* next) override;
  void OnResponse(int code, const std::string& url, const char* body, int length,
                  const std::string& error) override;

  // How long one tick may hash (tests: 0 hashes one file per tick).
  static void SetHashSliceMsForTesting(int64_t ms);

 private:
  void PrepareLauncherMap();
  void PrepareGameMap();
  void OnLauncherGateReply(int code, const std::string& url, const std::string& body);
  void OnGameGateReply(int code, const std::string& url, const std::string& body,
                       const std::string& error);
  void KeepLongBody(const std::string& body);
  void StopPreDownload();

  std::string local_key_;
  std::string remote_key_;
  std::wstring map_path_;
  std::wstring tmp_map_path_;
  std::wstring hash_root_;  // with a trailing "\"
  bool inline_map_ = false;
  int hash_total_ = 0;
  std::deque<std::wstring> hash_queue_;
};

// The gate request path: "get/urls?key=" + the gate key (or "WIN10VN_" and
// the installed game version), "&udid=" + the device id, "&is_qa=true" for
// the QA gate; white space removed.
std::string BuildGateUrl();
// "pre_download?channel=VN&udid=" + the device id, white space removed.
std::string BuildPreDownloadUrl();

// The answer of the IP-echo request: the body without white space becomes
// the public address; a failure or an empty body gives this machine's first
// local address, so that later checks do not ask again.
void OnPublicIp(int user, int code, std::string url, const char* body, int length,
                std::string error);

// A content-host list from a gate answer: every entry must be an http or
// https URL without white space or control characters.
bool ValidBaseUrls(const std::vector<std::string>& urls);
