// Placeholder of the ApplyUpdate state until the fetch and apply work lands: it
// records that the check got this far and waits.
//
// Threads: worker (thread 1) only.
#pragma once

#include "update/state.h"

class ApplyUpdateState : public State {
 public:
  explicit ApplyUpdateState(UpdateMode mode) : State(mode) {}

  int TypeId() const override { return kStateApplyUpdate; }
  void Enter(State* /*previous*/) override {}
  void Update() override {}
  void Exit(State* /*next*/) override {}
};
