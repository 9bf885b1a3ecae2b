// Fetches the published version map of the launcher or of the game from the
// content hosts and keeps it on disk as the tmp map until the tree matches
// it; the fetched version becomes the version the launcher knows about.
//
// Threads: worker (thread 1) only; the request blocks inside Enter.
#pragma once

#include <string>

#include "update/state.h"

class RequestRemoteState : public State {
 public:
  explicit RequestRemoteState(UpdateMode mode) : State(mode) {}

  int TypeId() const override { return kStateRequestRemote; }
  void Enter(State* previous) override;
  void Update() override;
  void Exit(State* /*next*/) override {}
  void OnResponse(int code, const std::string& url, const char* body, int length,
                  const std::string& error) override;

 private:
  std::string remote_key_;
  std::wstring tmp_map_path_;
};
