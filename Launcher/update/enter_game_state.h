// The resting state every check ends in (always game mode). On entry it asks
// for a launcher restart when launcher, runtime or font files wait in
// .\update; otherwise, when the check was started to play, it hands the
// launcher's hand-over files to the game and starts it. While current it
// refreshes the web content, re-checks the launcher and probes for a
// pre-download of the next version on timers, and sends one queued report
// per tick.
//
// The probe is a chain of blocking requests (pre-download hosts, gate, the
// published map, the next version's map, its patch list); each answer
// arrives inside the request call and issues the next request from there.
//
// Threads: worker (thread 1) only. The timer bases are process-wide and the
// tick source is a seam, both touched by the worker (tests set the source
// while no worker runs).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/state.h"

class EnterGameState : public State {
 public:
  EnterGameState() : State(kGameMode) {}

  int TypeId() const override { return kStateEnterGame; }
  void Enter(State* previous) override;
  void Update() override;
  void Exit(State* /*next*/) override {}
  void OnResponse(int code, const std::string& url, const char* body, int length,
                  const std::string& error) override;

  uint32_t refresh_period() const { return refresh_period_; }
  uint32_t update_period() const { return update_period_; }
  uint32_t probe_period() const { return probe_period_; }
  int probe_step() const { return probe_step_; }
  const std::vector<std::string>& dlc_hosts() const { return dlc_hosts_; }
  const std::vector<std::string>& pre_download_hosts() const { return pre_download_hosts_; }

  // The system tick in milliseconds; tests install their own (null: the
  // system's).
  using TickSource = uint32_t (*)();
  static void SetTickSourceForTesting(TickSource source);
  // The process-wide bases as at program start (tests).
  static void ResetTimersForTesting();

 private:
  void StartGame();
  void Request(const std::string& path);
  void OnPreDownloadHosts(const std::string& body);
  void OnGateAnswer(const std::string& body);
  void OnRemoteVersion(const std::string& body);
  void OnPreDownloadMap(const std::string& body);
  void OnPreDownloadPatchList(const std::string& body);

  uint32_t refresh_period_ = 28800000;
  uint32_t update_period_ = 43200000;
  uint32_t probe_period_ = 1860000;
  int probe_step_ = 0;
  std::vector<std::string> dlc_hosts_;
  std::vector<std::string> pre_download_hosts_;
};

// Decides the pre-download panel once the next version's map (and patch
// list) is known: finished, offered with its size, nothing to fetch, or the
// requested pre-download goes on. Worker thread.
void SummarizePreDownload();

// The gate answer's content hosts ("DlcAddr") and, with want_others, the
// pre-download hosts named in its "Others" document ("PreDlcAddr"). False,
// with the reader's or our error text, when the answer does not parse or
// names no content host.
bool ParseGateAddresses(const std::string& answer, std::vector<std::string>& dlc_hosts,
                        std::vector<std::string>& pre_download_hosts, std::string& error,
                        bool want_others);

// The pre-download host answer: "info" holds JSON texts, the first of which
// names the hosts in "VN_pc_addr". True when it named any.
bool ParseRegionAddresses(const std::string& answer, std::vector<std::string>& hosts,
                          std::string& error);
