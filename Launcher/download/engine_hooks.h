// Plugs the download engine into the launcher's threads: start-up and
// shutdown on the worker, the running flag cleared from the UI thread at
// exit, the poll in every worker tick, pause and speed limits; sizes, speed
// and pause reach the main window as private messages.
//
// Threads: call on the UI thread before the worker starts.
#pragma once

void InstallDownloadEngine();
