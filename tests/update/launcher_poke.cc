// The demo's hand on the running launcher under Wine (the demo itself runs on
// the Linux side and cannot reach Windows windows): finds the launcher's
// instance window and asks it for what a player would do.
//
//   launcher_poke wait-window SECONDS  waits for the instance window; prints
//                                      "pid=<pid> image=<program path>"
//   launcher_poke check-game           the game button: a game check that does
//                                      not start the game
//   launcher_poke close                closes the main window and waits until
//                                      that launcher has ended
//   launcher_poke wait-gone SECONDS    waits until no launcher instance runs
//
// Exit code 0 on success, 1 on a timeout or when no launcher runs.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "app/launcher_messages.h"

namespace {

constexpr wchar_t kInstanceName[] = L"_ZEP_LAUNCHER_VN";

BOOL CALLBACK FindMarked(HWND hwnd, LPARAM found) {
  if (GetPropW(hwnd, kInstanceName) == hwnd) {
    *reinterpret_cast<HWND*>(found) = hwnd;
    return FALSE;
  }
  return TRUE;
}

HWND InstanceWindow() {
  HWND found = nullptr;
  EnumWindows(&FindMarked, reinterpret_cast<LPARAM>(&found));
  return found;
}

bool InstanceRuns() {
  HANDLE semaphore = OpenSemaphoreW(SYNCHRONIZE, FALSE, kInstanceName);
  if (!semaphore) return false;
  CloseHandle(semaphore);
  return true;
}

template <typename Predicate>
bool WaitFor(Predicate done, DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  while (!done()) {
    if (GetTickCount64() >= end) return false;
    Sleep(50);
  }
  return true;
}

std::wstring ImageOf(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return std::wstring();
  wchar_t path[MAX_PATH * 2] = {};
  DWORD n = MAX_PATH * 2;
  const BOOL ok = QueryFullProcessImageNameW(process, 0, path, &n);
  CloseHandle(process);
  return ok ? std::wstring(path, n) : std::wstring();
}

DWORD SecondsArg(int argc, wchar_t** argv) {
  return argc > 2 ? static_cast<DWORD>(_wtoi(argv[2])) * 1000u : 60000u;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"wait-window") {
    HWND window = nullptr;
    if (!WaitFor([&] { return (window = InstanceWindow()) != nullptr; }, SecondsArg(argc, argv))) {
      return 1;
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    std::wprintf(L"pid=%lu image=%ls\n", pid, ImageOf(pid).c_str());
    return 0;
  }
  if (command == L"check-game") {
    HWND window = InstanceWindow();
    if (!window) return 1;
    PostMessageW(window, kMsgShowWindow, 1, 0);
    return 0;
  }
  if (command == L"close") {
    HWND window = InstanceWindow();
    if (!window) return 1;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    PostMessageW(window, WM_CLOSE, 0, 0);
    if (!process) return 0;
    const DWORD waited = WaitForSingleObject(process, 60000);
    CloseHandle(process);
    return waited == WAIT_OBJECT_0 ? 0 : 1;
  }
  if (command == L"wait-gone") {
    return WaitFor([] { return !InstanceRuns(); }, SecondsArg(argc, argv)) ? 0 : 1;
  }
  std::fwprintf(stderr, L"usage: launcher_poke wait-window|check-game|close|wait-gone [seconds]\n");
  return 2;
}
