// A stand-in for the game client, built as VEXA.exe; tests copy it into a
// game folder. What it does, as the real client does:
//  - records its command line, working folder, PATH and ComSpec in
//    vexa_start.txt beside itself (one "name=value" line each, UTF-8);
//  - holds the instance mutex "_Vexa_Instance_" while it runs;
//  - opens a window of the client's class marked with "_ZEP_GAME_VN",
//    registers it with the launcher's main window (the window marked with
//    "_ZEP_LAUNCHER_VN") and asks for the pre-download status, sizes and
//    speed;
//  - records every message the launcher sends it in vexa_messages.txt beside
//    itself ("<msg> <wParam> <lParam>" lines).
// With a file named vexa_hang beside it, its window thread stops answering
// right after the questions. It ends by itself after a minute, or when a
// file named vexa_quit appears beside it.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr UINT kMsgGameRegister = 2525;
constexpr UINT kMsgPreDownloadStatusQuery = 2526;
constexpr UINT kMsgPreDownloadProgressQuery = 2528;
constexpr UINT kMsgPreDownloadSpeedQuery = 2530;

std::wstring g_folder;  // with a trailing "\"

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

void Append(const wchar_t* name, const std::string& line) {
  FILE* f = _wfopen((g_folder + name).c_str(), L"ab");
  if (!f) return;
  std::fwrite(line.data(), 1, line.size(), f);
  std::fclose(f);
}

std::wstring Env(const wchar_t* name) {
  wchar_t buffer[32768];
  const DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
  if (n == 0 || n >= 32768) return L"<unset>";
  return std::wstring(buffer, n);
}

bool Exists(const wchar_t* name) {
  return GetFileAttributesW((g_folder + name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg >= 2525 && msg <= 2532) {
    char line[96];
    std::snprintf(line, sizeof(line), "%u %llu %lld\n", msg, static_cast<unsigned long long>(wp),
                  static_cast<long long>(lp));
    Append(L"vexa_messages.txt", line);
    return 0;
  }
  if (msg == WM_TIMER) {
    if (wp == 2 && !Exists(L"vexa_quit")) return 0;
    DestroyWindow(hwnd);
    return 0;
  }
  if (msg == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

HWND FindLauncher() {
  HWND hwnd = GetWindow(GetDesktopWindow(), GW_CHILD);
  for (int i = 0; i < 100000 && hwnd; ++i) {
    if (GetPropW(hwnd, L"_ZEP_LAUNCHER_VN") == static_cast<HANDLE>(hwnd)) return hwnd;
    hwnd = GetWindow(hwnd, GW_HWNDNEXT);
  }
  return nullptr;
}

}  // namespace

int wmain() {
  wchar_t self[32768];
  const DWORD n = GetModuleFileNameW(nullptr, self, 32768);
  if (n == 0 || n >= 32768) return 2;
  g_folder.assign(self, n);
  g_folder.erase(g_folder.find_last_of(L'\\') + 1);

  wchar_t cwd[32768];
  const DWORD cwd_length = GetCurrentDirectoryW(32768, cwd);
  std::string record = "cmdline=" + Utf8(GetCommandLineW()) + "\n";
  record += "cwd=" + Utf8(std::wstring(cwd, cwd_length)) + "\n";
  record += "PATH=" + Utf8(Env(L"PATH")) + "\n";
  record += "ComSpec=" + Utf8(Env(L"ComSpec")) + "\n";
  record += "pid=" + std::to_string(GetCurrentProcessId()) + "\n";

  HANDLE mutex = CreateMutexW(nullptr, FALSE, L"_Vexa_Instance_");

  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = &Proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"UnityWndClass";
  RegisterClassExW(&wc);
  HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"VEXA", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                              nullptr, nullptr, wc.hInstance, nullptr);
  if (!hwnd) return 3;
  SetPropW(hwnd, L"_ZEP_GAME_VN", hwnd);
  record += "window=" + std::to_string(reinterpret_cast<uintptr_t>(hwnd)) + "\n";
  // Written whole once the mutex and the window exist: a test that sees the
  // file may rely on both.
  Append(L"vexa_start.txt", record);

  if (HWND launcher = FindLauncher()) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(launcher, kMsgGameRegister, 0, reinterpret_cast<LPARAM>(hwnd),
                        SMTO_ABORTIFHUNG, 5000, &result);
    PostMessageW(launcher, kMsgPreDownloadStatusQuery, 0, 0);
    PostMessageW(launcher, kMsgPreDownloadProgressQuery, 0, 0);
    PostMessageW(launcher, kMsgPreDownloadSpeedQuery, 0, 0);
  }
  if (Exists(L"vexa_hang")) {
    Sleep(60000);
  } else {
    SetTimer(hwnd, 1, 60000, nullptr);
    SetTimer(hwnd, 2, 50, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  if (mutex) CloseHandle(mutex);
  return 0;
}
