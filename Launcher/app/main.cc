// Process entry. For now the launcher makes its own folder the current
// directory, runs the UI thread's message loop and shows a plain window; the
// launcher core, update engine and skinned windows hang off this later.
#include <windows.h>

#include "base/framework_thread.h"
#include "base/path_helpers.h"
#include "base/thread_registry.h"

namespace {

constexpr wchar_t kWindowClass[] = L"ZEPLauncherWindow";

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT rc;
      GetClientRect(hwnd, &rc);
      DrawTextW(dc, L"Launcher", -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd, message, wparam, lparam);
  }
}

class MainThread : public nbase::FrameworkThread {
 public:
  MainThread() : nbase::FrameworkThread("MainThread") {}
  ~MainThread() override { Stop(); }

 private:
  void Init() override {
    nbase::ThreadRegistry::BindCurrentThread(nbase::kMainThreadId);
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kWindowClass;
    RegisterClassExW(&wc);
    HWND hwnd = CreateWindowExW(0, kWindowClass, L"Launcher", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, 960, 600, nullptr, nullptr, wc.hInstance, nullptr);
    if (!hwnd) {
      PostQuitMessage(1);
      return;
    }
    ShowWindow(hwnd, SW_SHOW);
    UpdateWindow(hwnd);
  }

  void Cleanup() override { nbase::ThreadRegistry::UnbindCurrentThread(); }
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Every relative path (save, update, resources.zip) means the launcher folder.
  SetCurrentDirectoryW(PathHelpers::CurrentModuleDirectory().c_str());
  MainThread main_thread;
  main_thread.RunOnCallingThread(nbase::MessageLoop::Kind::kUI);
  return 0;
}
