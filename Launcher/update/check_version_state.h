// Compares the local map with the published one and decides what to fetch:
// resumes an interrupted game apply, drops a resource package the launcher no
// longer publishes, checks the free space of a game update, and then starts
// the fetch (patches or whole files) or, with nothing to fetch, makes the tmp
// map the installed map and goes to rest.
//
// Threads: worker (thread 1) only. The disk-space dialog's answer arrives on
// the UI thread and only posts work back (exception_state.h).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "update/state.h"

class CheckVersionState : public State {
 public:
  explicit CheckVersionState(UpdateMode mode) : State(mode) {}

  int TypeId() const override { return kStateCheckVersion; }
  void Enter(State* previous) override;
  void Update() override;
  void Exit(State* next) override;

 private:
  std::string local_key_, remote_key_, update_key_;
  std::wstring tmp_map_path_, map_path_;
  std::vector<std::string> local_only_;
};

// The fetch state that follows a check with files to fetch: patches when
// they are enabled and the installed version is known, else whole files.
std::unique_ptr<State> MakeFetchState(UpdateMode mode, const std::string& installed_version);
