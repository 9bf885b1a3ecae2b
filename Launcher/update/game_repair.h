// Game repair and the unfinished-update test (the LauncherManager members
// RepairGame and HasPartialGameDownload are defined in game_repair.cc), and
// the test of whether the game client runs, which refuses a repair and the
// apply of a game update while the client holds its files.
//
// Threads: RepairGame and HasPartialGameDownload run on the UI thread; the
// repair's check starts only through the task it posts to the worker. The
// running test may be asked on either thread; SetGameRunningTest is for
// start-up and tests, before the worker runs.
#pragma once

#include <functional>

// Whether the game client runs now: the instance test of app/game_start.h
// (IsGameRunning), unless SetGameRunningTest replaced it (null restores it).
// Tests replace it, since other tests' stand-in clients hold the same
// session-wide mutex.
bool IsGameClientRunning();
void SetGameRunningTest(std::function<bool()> test);
