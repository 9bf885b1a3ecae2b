// Private window messages between the launcher's threads, its main window and
// other processes (a second launcher instance, the game client).
//
// Threads: plain constants.
#pragma once

#include <windows.h>

// Asks a hidden main window to show itself (sent by a second instance).
constexpr UINT kMsgShowWindow = 2026;
