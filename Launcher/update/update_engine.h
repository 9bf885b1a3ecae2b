// Plugs the update states into the LauncherManager: every check the manager
// starts (the first worker tick, the restart requests) is a new PrepareState.
//
// Threads: call on the UI thread before the worker starts.
#pragma once

void InstallUpdateEngine();
