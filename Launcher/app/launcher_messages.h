// Private window messages between the launcher's threads, its main window and
// other processes (a second launcher instance, the game client). The ids and
// their parameters are a contract with the game client: do not renumber.
//
// Threads: plain constants. Inside the launcher, messages to the main window
// go through LauncherManager::PostToMainWindow and messages to the game
// through LauncherManager::PostToGameWindows.
#pragma once

#include <windows.h>

// The tray icon's callback message; lParam is the mouse message.
constexpr UINT kMsgTrayIcon = 2025;
// Show and bring the main window to the front. wParam 0: only that; 1: also
// restart the game check (lParam 1: start the game when it ends); 2: also
// restart the launcher check.
constexpr UINT kMsgShowWindow = 2026;
// Close an open settings window and hide the main window to the tray.
constexpr UINT kMsgHideToTray = 2027;
// Stop running patch work and close the main window, ending the program.
constexpr UINT kMsgExit = 2028;
// Titles, game button, version text and settings pages refresh.
constexpr UINT kMsgSettingsChanged = 2126;
// Check progress: wParam 0 (no count text), lParam percent 0..100.
constexpr UINT kMsgCheckProgress = 2127;
// Download speed: wParam remaining seconds, lParam bytes per second.
constexpr UINT kMsgDownloadSpeed = 2128;
// Download sizes: wParam total bytes, lParam bytes done.
constexpr UINT kMsgDownloadSize = 2129;
// Download pause: lParam 1 paused, 0 resumed.
constexpr UINT kMsgDownloadPaused = 2130;
// The channel UI configuration was reloaded.
constexpr UINT kMsgConfigLoaded = 2225;
// Posters, news and the web page refresh.
constexpr UINT kMsgContentChanged = 2226;
// The game button is recomputed.
constexpr UINT kMsgGameButtonRefresh = 2325;
// Pre-download panel: wParam page (0 none, 1 offer, 2 download, 3 finished;
// other values keep the page), lParam handed to the page's refresh.
constexpr UINT kMsgPreDownloadPanel = 2326;
// The UI thread's 500 ms tick, sent to the main window.
constexpr UINT kMsgUiTick = 2425;

// With the game client.
// From the game: lParam is the game's window, which joins the game windows.
constexpr UINT kMsgGameRegister = 2525;
constexpr UINT kMsgPreDownloadStatusQuery = 2526;
// To the game: lParam 0 none, 1 available, 2 blocked or paused, 3
// downloading, 4 finished.
constexpr UINT kMsgPreDownloadStatus = 2527;
constexpr UINT kMsgPreDownloadProgressQuery = 2528;
// To the game: wParam total bytes, lParam bytes done.
constexpr UINT kMsgPreDownloadProgress = 2529;
constexpr UINT kMsgPreDownloadSpeedQuery = 2530;
// To the game: wParam remaining seconds, lParam bytes per second.
constexpr UINT kMsgPreDownloadSpeed = 2531;
// From the game to the main window, relayed (0, 0) to every game window.
constexpr UINT kMsgPreDownloadNotify = 2532;

// The UI framework's windows announce themselves (a pending language change
// is applied then).
constexpr UINT kMsgWindowCreated = 3025;
