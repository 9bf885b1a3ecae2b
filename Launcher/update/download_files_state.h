// Placeholder of the DownloadFiles state until the fetch and apply work lands: it
// records that the check got this far and waits.
//
// Threads: worker (thread 1) only.
#pragma once

#include "update/state.h"

class DownloadFilesState : public State {
 public:
  explicit DownloadFilesState(UpdateMode mode) : State(mode) {}

  int TypeId() const override { return kStateDownloadFiles; }
  void Enter(State* /*previous*/) override {}
  void Update() override {}
  void Exit(State* /*next*/) override {}
};
