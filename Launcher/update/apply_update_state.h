// Puts the fetched files in place. A launcher apply runs whole inside Enter:
// files are copied beside the program, while launcher.exe, the browser
// runtime and the fonts stay in .\update for the self-updater, listed in
// cef_update.txt and font_update.txt; only a fully successful apply promotes
// the launcher map, writes those lists and raises the pending flags. A game
// apply runs in slices of about one second per worker tick (at least one file
// each), so the UI and the download engine keep running; after every slice
// the paths in place are checkpointed to .\update\apply_list.txt (temporary
// file and one move), which the next check uses to skip them after a crash
// or an exit. A patched file must have the published md5; a patch that fails
// or gives another file marks its path to be fetched whole (see
// download_files_state.h), and the retry does so. A game apply is refused
// while the game client runs.
//
// Threads: worker (thread 1) only. The clock and slice length are seams for
// tests, set before the worker runs.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "base/tick_clock.h"
#include "update/state.h"
#include "update/version_map.h"

class ApplyUpdateState : public State {
 public:
  explicit ApplyUpdateState(UpdateMode mode) : State(mode) {}

  int TypeId() const override { return kStateApplyUpdate; }
  void Enter(State* previous) override;
  void Update() override;
  void Exit(State* next) override;

  // The whole launcher apply (Enter, launcher mode).
  void ApplyLauncherUpdate();
  // One slice of the game apply (Update, game mode, while pending).
  void ApplyGameUpdateSlice();

  const ApplyList& applied() const { return applied_; }
  const std::deque<std::string>& pending() const { return pending_; }
  const std::vector<std::string>& failed() const { return failed_; }
  int total() const { return total_; }
  // Patches run to a verified result by this state.
  int patches_applied() const { return patches_applied_; }
  int slices() const { return slices_; }

  // Tests: the clock the slice budget is measured on (null: the process
  // clock) and the budget in milliseconds (default 1000).
  static void SetClockForTesting(nbase::TickClock* clock);
  static void SetSliceMsForTesting(int64_t ms);
  static int64_t SliceMs();

 private:
  bool ApplyGameFile(const std::string& path, bool use_patches, std::string& failure);
  void FinishGameApply();

  ApplyList applied_;
  std::deque<std::string> pending_;
  std::vector<std::string> failed_;
  int total_ = 0;
  int patches_applied_ = 0;
  int slices_ = 0;
};

// The checkpoint file of the game apply.
extern const wchar_t kApplyListPath[];
