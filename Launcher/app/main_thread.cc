#include "app/main_thread.h"

#include "app/launcher_messages.h"
#include "app/single_instance.h"
#include "base/path_helpers.h"
#include "base/thread_registry.h"

namespace {

constexpr wchar_t kStandInClass[] = L"ZEPLauncherMainWindow";
// Counts the show requests a second instance sent (read by tests).
constexpr wchar_t kShowRequestsProp[] = L"LauncherShowRequests";

LRESULT CALLBACK StandInProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case kMsgShowWindow: {
      const auto count = reinterpret_cast<UINT_PTR>(GetPropW(hwnd, kShowRequestsProp));
      SetPropW(hwnd, kShowRequestsProp, reinterpret_cast<HANDLE>(count + 1));
      ShowWindow(hwnd, SW_SHOW);
      return 0;
    }
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT rc;
      GetClientRect(hwnd, &rc);
      DrawTextW(dc, L"Launcher", -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_CLOSE:
      UnmarkInstanceWindow(hwnd);
      RemovePropW(hwnd, kShowRequestsProp);
      DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd, message, wparam, lparam);
  }
}

}  // namespace

MainThread::MainThread() : nbase::FrameworkThread("MainThread") {}

MainThread::~MainThread() { Stop(); }

void MainThread::Init() {
  nbase::ThreadRegistry::BindCurrentThread(nbase::kMainThreadId);
  PathHelpers::CreateDirectories(L"save");

  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = &StandInProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = kStandInClass;
  RegisterClassExW(&wc);
  main_window_ = CreateWindowExW(0, kStandInClass, L"Launcher", WS_OVERLAPPEDWINDOW,
                                 CW_USEDEFAULT, CW_USEDEFAULT, 960, 600, nullptr, nullptr,
                                 wc.hInstance, nullptr);
  if (!main_window_) {
    PostQuitMessage(1);
    return;
  }
  MarkInstanceWindow(main_window_);
  ShowWindow(main_window_, SW_SHOW);
  UpdateWindow(main_window_);
}

void MainThread::Cleanup() {
  nbase::ThreadRegistry::UnbindCurrentThread();
  UnregisterClassW(kStandInClass, GetModuleHandleW(nullptr));
}
