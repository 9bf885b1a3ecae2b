#include "app/main_thread.h"

#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "app/resource_package.h"
#include "app/single_instance.h"
#include "base/thread_registry.h"
#include "update/self_update.h"

namespace {

constexpr wchar_t kStandInClass[] = L"ZEPLauncherMainWindow";
// Counts the show requests a second instance sent (read by tests).
constexpr wchar_t kShowRequestsProp[] = L"LauncherShowRequests";

LRESULT CALLBACK StandInProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case kMsgExit:
      PostMessageW(hwnd, WM_CLOSE, 0, 0);
      return 0;
    case kMsgShowWindow: {
      const auto count = reinterpret_cast<UINT_PTR>(GetPropW(hwnd, kShowRequestsProp));
      SetPropW(hwnd, kShowRequestsProp, reinterpret_cast<HANDLE>(count + 1));
      ShowWindow(hwnd, IsIconic(hwnd) ? SW_RESTORE : SW_SHOW);
      SetForegroundWindow(hwnd);
      // A check already running is left alone.
      LauncherManager& manager = LauncherManager::Instance();
      const StateSnapshot state = manager.CurrentState();
      const bool busy = state.mode == 0 || (state.mode == 1 && state.type >= 1 && state.type <= 6);
      if (!busy && wparam == 1) manager.RestartGameCheck(static_cast<int>(lparam), false);
      if (!busy && wparam == 2) manager.RestartLauncherCheck();
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
    case kMsgGameRegister:
      LauncherManager::Instance().RegisterGameWindow(reinterpret_cast<HWND>(lparam));
      return 0;
    case kMsgPreDownloadNotify:
      LauncherManager::Instance().PostToGameWindows(kMsgPreDownloadNotify, 0, 0);
      return 0;
    case WM_CLOSE:
      LauncherManager::Instance().SetMainWindow(nullptr);
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

HWND CreateStandInMainWindow() {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = &StandInProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = kStandInClass;
  RegisterClassExW(&wc);
  HWND hwnd = CreateWindowExW(0, kStandInClass, L"Launcher", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, 960, 600, nullptr, nullptr, wc.hInstance, nullptr);
  if (!hwnd) return nullptr;
  LauncherManager::Instance().SetMainWindow(hwnd);
  ShowWindow(hwnd, SW_SHOW);
  UpdateWindow(hwnd);
  return hwnd;
}

// ------------------------------------------------------------------ worker

MiscThread::MiscThread() : nbase::FrameworkThread("MiscThread") {}

MiscThread::~MiscThread() { Stop(); }

void MiscThread::Init() {
  nbase::ThreadRegistry::BindCurrentThread(nbase::kMiscThreadId);
  LauncherManager& manager = LauncherManager::Instance();
  manager.BeginWorker();
  manager.workerStarted = false;
  nbase::ThreadRegistry::PostRepeating(
      nbase::kMiscThreadId, ToWeakCallback([] { LauncherManager::Instance().WorkerTick(); }),
      nbase::TimeDelta::FromMicroseconds(2000), -1);
}

void MiscThread::Cleanup() {
  LauncherManager::Instance().EndWorker();
  nbase::ThreadRegistry::UnbindCurrentThread();
}

// -------------------------------------------------------------- UI thread

MainThread::MainThread(MainThreadOptions options)
    : nbase::FrameworkThread("MainThread"), options_(std::move(options)) {}

MainThread::~MainThread() {
  Stop();
  misc_.reset();
}

void MainThread::Init() {
  LauncherManager& manager = LauncherManager::Instance();
  manager.Startup();
  nbase::ThreadRegistry::BindCurrentThread(nbase::kMainThreadId);

  // The UI goes on only once the worker's Init has run: the download engine
  // is up, the versions are loaded and the worker tick is scheduled. Without
  // a worker thread the UI still starts.
  misc_ = std::make_unique<MiscThread>();
  misc_->StartOwnThread(nbase::MessageLoop::Kind::kDefault);

  // Neither result is looked at here: without a package the resources come
  // from the disk, without a channel configuration its tables stay empty.
  OpenResourcePackage();
  manager.LoadUiConfig();

  nbase::ThreadRegistry::PostRepeating(
      nbase::kMainThreadId,
      ToWeakCallback([] { LauncherManager::Instance().PostToMainWindow(kMsgUiTick, 0, 0); }),
      nbase::TimeDelta::FromMicroseconds(500000), -1);

  HWND window = options_.make_main_window ? options_.make_main_window() : CreateStandInMainWindow();
  if (!window) PostQuitMessage(1);
}

void MainThread::Cleanup() {
  LauncherManager& manager = LauncherManager::Instance();
  const auto& hooks = manager.hooks();
  if (hooks.download_stop_running) hooks.download_stop_running();
  // The worker ends first (its states get their exit call and the download
  // engine stops), so the statistics saved below are final and not raced.
  if (misc_) {
    misc_->Stop();
    misc_.reset();
  }
  manager.SaveDownloadStats();
  manager.DiscardPendingDialogs();
  if (nbase::ThreadLocalInfo* info = nbase::ThreadLocalInfo::Current()) info->quit = true;
  nbase::ThreadRegistry::UnbindCurrentThread();
  UnregisterClassW(L"ZEPLauncherMainWindow", GetModuleHandleW(nullptr));

  if (!manager.launcherUpdatePending && !manager.cefUpdatePending && !manager.fontUpdatePending) {
    return;
  }
  if (manager.fontUpdatePending && hooks.uninstall_fonts) hooks.uninstall_fonts();
  if (manager.selfUpdateStarted) return;  // a restart handler started it already
  if (hooks.start_self_update) {
    hooks.start_self_update(std::wstring(), manager.launcherUpdatePending);
  } else {
    StartSelfUpdate(std::wstring(), manager.launcherUpdatePending);
  }
}
