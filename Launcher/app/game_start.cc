#include "app/game_start.h"

#include <cerrno>
#include <cstdlib>
#include <cwctype>

#include "app/command_line.h"
#include "app/file_util.h"
#include "app/launcher_manager.h"
#include "app/system_util.h"
#include "base/lock.h"
#include "base/text_util.h"

namespace {

nbase::Lock& EnvironmentLock() {
  static nbase::Lock lock;
  return lock;
}

std::vector<wchar_t>& SavedEnvironment() {
  static std::vector<wchar_t> block;
  return block;
}

class RealStarter : public GameProcessStarter {
 public:
  bool Start(const GameLaunch& launch) override {
    std::vector<wchar_t> line(launch.command_line.begin(), launch.command_line.end());
    line.push_back(L'\0');
    std::vector<wchar_t> environment = StartupEnvironment();
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION info = {};
    const DWORD flags = environment.empty() ? 0 : CREATE_UNICODE_ENVIRONMENT;
    const BOOL started =
        CreateProcessW(launch.program.c_str(), line.data(), nullptr, nullptr, FALSE, flags,
                       environment.empty() ? nullptr : environment.data(),
                       launch.folder.empty() ? nullptr : launch.folder.c_str(), &startup, &info);
    if (!started) return false;
    // The client is neither waited for nor watched.
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return true;
  }
};

RealStarter g_real_starter;
GameProcessStarter* g_starter = &g_real_starter;

// A decimal number as the client's version parts are written: leading white
// space and a sign allowed, reading stops at the first non-digit; false when
// there is no digit or the value leaves the 32-bit range.
bool ReadVersionPart(const std::string& text, long& out) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE || value > 2147483647L || value < -2147483647L - 1) {
    return false;
  }
  out = value;
  return true;
}

// Clients from 10077 on understand the platform part; a version the launcher
// cannot read is treated as an old client.
bool WantsPlatformPart(const std::string& local_version) {
  if (local_version.empty()) return true;
  std::vector<std::string> parts;
  if (SplitA(local_version, "_", parts) != 3) return false;
  long numbers[3] = {};
  for (int i = 0; i < 3; ++i) {
    if (!ReadVersionPart(parts[static_cast<size_t>(i)], numbers[i])) return false;
  }
  return numbers[0] > 10076;
}

}  // namespace

void CaptureStartupEnvironment() {
  std::vector<wchar_t> block;
  if (wchar_t* strings = GetEnvironmentStringsW()) {
    const wchar_t* const begin = strings;
    const wchar_t* p = begin;
    while (*p != L'\0') p += wcslen(p) + 1;
    block.assign(begin, p);
    FreeEnvironmentStringsW(strings);
  }
  block.push_back(L'\0');
  if (block.size() == 1) block.push_back(L'\0');  // an empty block is two zeros
  nbase::AutoLock hold(EnvironmentLock());
  SavedEnvironment() = std::move(block);
}

std::vector<wchar_t> StartupEnvironment() {
  nbase::AutoLock hold(EnvironmentLock());
  return SavedEnvironment();
}

void ClearStartupEnvironmentForTesting() {
  nbase::AutoLock hold(EnvironmentLock());
  SavedEnvironment().clear();
}

bool StartupEnvironmentValue(const std::wstring& name, std::wstring& value) {
  const std::vector<wchar_t> block = StartupEnvironment();
  size_t i = 0;
  while (i < block.size() && block[i] != L'\0') {
    const std::wstring entry(&block[i]);
    i += entry.size() + 1;
    // Entries such as "=C:=C:\dir" keep per-drive folders; their names start
    // with "=".
    const size_t equals = entry.find(L'=', 1);
    if (equals == std::wstring::npos || equals != name.size()) continue;
    if (_wcsnicmp(entry.c_str(), name.c_str(), name.size()) != 0) continue;
    value = entry.substr(equals + 1);
    return true;
  }
  return false;
}

GameLaunch BuildGameLaunch(const std::wstring& game_path, const std::string& md5, int slot,
                           const std::string& local_version, const std::wstring& platform) {
  GameLaunch launch;
  launch.program = NormalizeDirW(game_path, true) + kGameProgramName;
  launch.folder = game_path;
  std::wstring line = L"\"" + launch.program + L"\"";
  if (md5.empty()) {
    line += L" empty";
  } else {
    std::wstring wide;
    TextUtil::Utf8ToWide(md5.c_str(), wide);
    line += L" " + wide;
  }
  if (WantsPlatformPart(local_version)) {
    line += L" " + (platform.empty() ? std::wstring(L"win") : platform) + L" " +
            std::to_wstring(slot) + L"|1";
  }
  launch.command_line = line;
  return launch;
}

bool IsGameRunning() {
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kGameInstanceMutex);
  if (mutex != nullptr) {
    CloseHandle(mutex);
    return true;
  }
  // A client of another user (or with a stricter descriptor) holds it.
  return GetLastError() == ERROR_ACCESS_DENIED;
}

int CountRunningGames(std::vector<int>& free_slots) {
  const size_t before = free_slots.size();
  if (!IsGameRunning()) free_slots.push_back(0);
  return 1 - static_cast<int>(free_slots.size() - before);
}

bool IsGameDir(const std::wstring& folder) {
  const std::wstring base =
      folder.empty() ? LauncherManager::Instance().settings().gamePath : folder;
  if (base.empty()) return false;
  return OpensForReadingW(NormalizeDirW(base, true) + kGameProgramName);
}

GameProcessStarter* SetGameProcessStarterForTesting(GameProcessStarter* starter) {
  nbase::AutoLock hold(EnvironmentLock());
  GameProcessStarter* previous = g_starter == &g_real_starter ? nullptr : g_starter;
  g_starter = starter != nullptr ? starter : &g_real_starter;
  return previous;
}

bool StartGameProcess(const GameLaunch& launch) {
  GameProcessStarter* starter = nullptr;
  {
    nbase::AutoLock hold(EnvironmentLock());
    starter = g_starter;
  }
  return starter->Start(launch);
}

bool LauncherManager::StartGame(const std::string& /*map_file_name*/, const std::string& md5,
                                int slot) {
  if (slot != 0) return false;
  const std::wstring game_path = settings().gamePath;
  if (deleteLogTxt) {
    const std::wstring log = NormalizeDirW(game_path, true) + L"save\\log.txt";
    if (OpensForReadingW(log)) DeleteFileW(SystemPathW(log).c_str());
  }
  std::wstring platform;
  if (PlatformOverride().is_set()) platform = PlatformOverride().value();
  const GameLaunch launch = BuildGameLaunch(game_path, md5, slot, local_game_version(), platform);
  if (!StartGameProcess(launch)) {
    // Nothing was started: the player is told, and no start is counted.
    RequestMessageBox(nullptr, L"STRING_ERROR_NOTICE", L"STRING_ERROR_START_GAME_FAILED",
                      std::wstring(), L"STRING_CONFIRM", nullptr, false);
    return false;
  }
  if (hooks_.send_launcher_event) {
    hooks_.send_launcher_event("rungame", "", "", "", "pre_install", false);
  }
  return true;
}
