// The resting state every check ends in (always game mode). On entry it asks
// for a launcher restart when launcher, runtime or font files wait in
// .\update; otherwise, when the check was started to play, it starts the game.
// While current it refreshes the web content, re-checks the launcher and
// probes for a pre-download of the next version on timers.
//
// Threads: worker (thread 1) only.
#pragma once

#include "update/state.h"

class EnterGameState : public State {
 public:
  EnterGameState() : State(kGameMode) {}

  int TypeId() const override { return kStateEnterGame; }
  void Enter(State* previous) override;
  void Update() override;
  void Exit(State* /*next*/) override {}
};
