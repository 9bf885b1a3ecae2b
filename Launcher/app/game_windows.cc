// The launcher's main window mark and the game client's windows.
#include <algorithm>
#include <string>
#include <vector>

#include "app/file_util.h"
#include "app/launcher_manager.h"
#include "app/single_instance.h"

namespace {

constexpr wchar_t kGameWindowProp[] = L"_ZEP_GAME_VN";
constexpr wchar_t kGameWindowClass[] = L"UnityWndClass";

std::wstring Lower(std::wstring s) {
  CharLowerBuffW(&s[0], static_cast<DWORD>(s.size()));
  return s;
}

std::wstring ProcessImageOf(HWND hwnd) {
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid == 0) return std::wstring();
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return std::wstring();
  std::wstring image(32768, L'\0');
  DWORD size = static_cast<DWORD>(image.size());
  const BOOL ok = QueryFullProcessImageNameW(process, 0, &image[0], &size);
  CloseHandle(process);
  if (!ok) return std::wstring();
  image.resize(size);
  return image;
}

// The absolute, normalised form of a path, for comparing two of them.
std::wstring FullPath(const std::wstring& path) {
  wchar_t buffer[32768];
  const DWORD n = GetFullPathNameW(path.c_str(), 32768, buffer, nullptr);
  if (n == 0 || n >= 32768) return std::wstring();
  return Lower(std::wstring(buffer, n));
}

}  // namespace

void LauncherManager::SetMainWindow(HWND hwnd) {
  if (hwnd) {
    main_window_ = hwnd;
    MarkInstanceWindow(hwnd);
    FlushPendingDialogs();
  } else {
    if (HWND old = main_window_) UnmarkInstanceWindow(old);
    main_window_ = nullptr;
  }
}

void LauncherManager::FindGameWindows() {
  std::vector<HWND> found;
  constexpr int kMaxWindows = 100000;
  HWND hwnd = GetWindow(GetDesktopWindow(), GW_CHILD);
  for (int i = 0; i < kMaxWindows && hwnd && IsWindow(hwnd); ++i) {
    if (GetPropW(hwnd, kGameWindowProp) == static_cast<HANDLE>(hwnd)) found.push_back(hwnd);
    hwnd = GetWindow(hwnd, GW_HWNDNEXT);
  }
  set_game_windows(std::move(found));
}

bool LauncherManager::IsOurGameWindow(HWND hwnd) const {
  if (!hwnd || !IsWindow(hwnd)) return false;
  const std::wstring image = ProcessImageOf(hwnd);
  if (image.empty()) return false;
  const std::wstring game = NormalizeDirW(settings().gamePath, true) + L"VEXA.exe";
  const std::wstring expected = FullPath(game);
  return !expected.empty() && FullPath(image) == expected;
}

bool LauncherManager::RegisterGameWindow(HWND hwnd) {
  if (!IsOurGameWindow(hwnd)) return false;
  std::vector<HWND> windows = game_windows();
  if (std::find(windows.begin(), windows.end(), hwnd) == windows.end()) windows.push_back(hwnd);
  set_game_windows(std::move(windows));
  return true;
}

// Worker thread. A send that the game does not answer in time (hung or busy)
// counts as a skipped window, so the worker and the exit never hang on it.
void LauncherManager::SendToGameWindows(UINT msg, WPARAM wparam, LPARAM lparam) {
  const UINT timeout = game_send_timeout_ms_;
  auto send = [&](HWND window) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, msg, wparam, lparam, SMTO_ABORTIFHUNG | SMTO_NORMAL, timeout,
                        &result);
  };
  if (game_windows().empty()) FindGameWindows();
  const std::vector<HWND> windows = game_windows();
  if (windows.empty()) {
    // Other programs of the same engine use this class too: only the game
    // itself gets our messages.
    HWND candidate = nullptr;
    for (int i = 0; i < 1000; ++i) {
      candidate = FindWindowExW(nullptr, candidate, kGameWindowClass, nullptr);
      if (!candidate) return;
      if (IsOurGameWindow(candidate)) {
        send(candidate);
        return;
      }
    }
    return;
  }
  for (HWND window : windows) {
    if (IsWindow(window)) send(window);
  }
}
