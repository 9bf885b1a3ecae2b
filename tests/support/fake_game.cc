// A stand-in for the game client in tests: a window of the game's class that
// logs the launcher's messages to a file.
//   fake_game.exe register <log>   window marked with the game property
//   fake_game.exe unity <log>      the class only, no property
//   fake_game.exe hang <log>       marked window whose thread stops answering
// Every mode ends by itself after a minute, so a failed test leaves nothing.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring g_log;

void Log(UINT msg, WPARAM wp, LPARAM lp) {
  FILE* f = _wfopen(g_log.c_str(), L"ab");
  if (!f) return;
  std::fprintf(f, "%u %llu %lld\n", msg, static_cast<unsigned long long>(wp),
               static_cast<long long>(lp));
  std::fclose(f);
}

LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg >= 2525 && msg <= 2532) {
    Log(msg, wp, lp);
    return 0;
  }
  if (msg == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const std::wstring mode = argv[1];
  g_log = argv[2];
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = &Proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"UnityWndClass";
  RegisterClassExW(&wc);
  HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"VEXA", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                              nullptr, nullptr, wc.hInstance, nullptr);
  if (!hwnd) return 3;
  if (mode != L"unity") SetPropW(hwnd, L"_ZEP_GAME_VN", hwnd);
  // Tells the test the window exists.
  Log(0, reinterpret_cast<WPARAM>(hwnd), 0);
  if (mode == L"hang") {
    Sleep(60000);
    return 0;
  }
  SetTimer(hwnd, 1, 60000, [](HWND h, UINT, UINT_PTR, DWORD) { DestroyWindow(h); });
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
