// Starting the game client (VEXA.exe in the game folder) and telling whether
// one runs: the client's command line, the instance test on the client's
// named mutex, and the environment the launcher itself was started with.
//
// The client is started with that start-up environment, not the current
// one: the web runtime puts its own folder in front of PATH when it starts,
// and the game must not pick up the runtime's DLLs from there.
//
// Threads: CaptureStartupEnvironment runs once on the entry thread before
// any other thread exists (tests may call it again while nothing starts a
// game). Everything else may run on any thread; the saved environment and
// the process-starter seam are read under one lock.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

constexpr wchar_t kGameProgramName[] = L"VEXA.exe";
// Exists while a client runs (instance slot 0); the launcher never keeps it.
constexpr wchar_t kGameInstanceMutex[] = L"_Vexa_Instance_";

// Saves a copy of the process's current environment block.
void CaptureStartupEnvironment();
// The saved block (NAME=value entries, each ending in a zero, then one more
// zero), or an empty vector when nothing was saved.
std::vector<wchar_t> StartupEnvironment();
// Forgets the saved block (tests).
void ClearStartupEnvironmentForTesting();
// The value of `name` in the saved block (names compared without case);
// false when nothing was saved or the name is not in it.
bool StartupEnvironmentValue(const std::wstring& name, std::wstring& value);

// What the client is told, and from where it is started.
struct GameLaunch {
  std::wstring program;       // <game folder>\VEXA.exe
  std::wstring command_line;  // "<program>" <md5 or empty>[ <platform> <slot>|1]
  std::wstring folder;        // the working folder: the game folder as stored
};

// Builds the client's start for the game folder `game_path` (as the settings
// store it), the md5 text of its version_map.txt (UTF-8; empty gives
// "empty"), the instance slot, the installed version and the platform name
// ("win" when empty). The program is quoted in the command line, so a game
// folder with blanks names the right program; the rest of the line is the
// client's contract and stays as it is. The platform part is left out when
// the installed version is known and is not three "_"-separated numbers, or
// when its first number is at most 10076.
GameLaunch BuildGameLaunch(const std::wstring& game_path, const std::string& md5, int slot,
                           const std::string& local_version, const std::wstring& platform);

// Whether a client runs: its mutex can be opened (without creating it), or
// opening it is refused (another user's client holds it).
bool IsGameRunning();
// Appends the free instance slots (0 when no client runs) and returns the
// number of running clients (0 or 1).
int CountRunningGames(std::vector<int>& free_slots);
// Whether <folder>\VEXA.exe (the settings' game folder when `folder` is
// empty) opens for reading.
bool IsGameDir(const std::wstring& folder);

// Starts a process: the real one calls CreateProcessW with `program` as the
// application name, the saved start-up environment (the current one when
// none was saved) and `folder` as working folder. Tests swap it.
class GameProcessStarter {
 public:
  virtual ~GameProcessStarter() = default;
  // True when the process started.
  virtual bool Start(const GameLaunch& launch) = 0;
};
// Installs a starter (null: the real one); returns the one in place.
GameProcessStarter* SetGameProcessStarterForTesting(GameProcessStarter* starter);
// Starts `launch` with the starter in place.
bool StartGameProcess(const GameLaunch& launch);
