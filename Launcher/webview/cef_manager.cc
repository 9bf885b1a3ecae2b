#include "webview/cef_manager.h"

#include <windows.h>

#include <cstdio>
#include <utility>

#include "base/path_helpers.h"
#include "base/text_util.h"

namespace qln_comp {

namespace {

class StandInRuntime : public WebRuntime {
 public:
  explicit StandInRuntime(std::wstring record_file) : record_file_(std::move(record_file)) {}

  bool Initialize(const CefSettings& s) override {
    Record(L"Initialize no_sandbox=" + std::to_wstring(s.no_sandbox) + L" single_process=" +
           std::to_wstring(s.single_process) + L" multi_threaded_message_loop=" +
           std::to_wstring(s.multi_threaded_message_loop) + L" windowless=" +
           std::to_wstring(s.windowless_rendering_enabled) + L" cache_path=" + s.cache_path +
           L" log_file=" + s.log_file + L" subprocess=" + s.browser_subprocess_path);
    return false;  // there is no browser runtime in this build
  }

  void Shutdown() override { Record(L"Shutdown"); }

 private:
  void Record(const std::wstring& line) {
    if (record_file_.empty()) return;
    std::string utf8;
    TextUtil::WideToMultiByte(line + L"\n", utf8, CP_UTF8);
    HANDLE file = CreateFileW(record_file_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(file);
  }

  std::wstring record_file_;
};

bool IsDirectory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The whole value, however long (PATH often exceeds any fixed buffer).
std::wstring EnvironmentValue(const wchar_t* name) {
  DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return std::wstring();
  std::wstring value(size, L'\0');
  size = GetEnvironmentVariableW(name, &value[0], size);
  value.resize(size < value.size() ? size : 0);
  return value;
}

}  // namespace

std::unique_ptr<WebRuntime> MakeStandInRuntime(const std::wstring& record_file) {
  return std::make_unique<StandInRuntime>(record_file);
}

CefManager& CefManager::GetInstance() {
  static CefManager manager;
  return manager;
}

bool CefManager::AddRuntimeFolderToPath() {
  return AddRuntimeFolderToPath(PathHelpers::CurrentModuleDirectory());
}

bool CefManager::AddRuntimeFolderToPath(const std::wstring& program_dir) {
  std::wstring dir = program_dir;
  if (!dir.empty() && dir.back() != L'\\' && dir.back() != L'/') dir += L'\\';
  dir += L"cef";
  if (!IsDirectory(dir)) return false;
  const std::wstring old_path = EnvironmentValue(L"PATH");
  SetEnvironmentVariableW(L"PATH", (dir + L";" + old_path).c_str());
  SetEnvironmentVariableW(L"ComSpec", (dir + L"\\dummy_cmd.exe").c_str());
  return true;
}

void CefManager::FillSettings(const std::wstring& data_dir, CefSettings& settings) {
  PathHelpers::CreateDirectories(data_dir.c_str());
  settings.no_sandbox = true;
  settings.cache_path = data_dir + L"CefLocalStorage";
  settings.log_file = data_dir + L"cef.log";
  settings.single_process = false;
  settings.multi_threaded_message_loop = true;
  settings.windowless_rendering_enabled = offscreen_;
  settings.browser_subprocess_path = L".\\cef\\cef_helper.exe";
}

bool CefManager::Initialize(const std::wstring& data_dir, CefSettings& settings) {
  offscreen_ = true;
  FillSettings(data_dir, settings);
  if (!runtime_replaced_ || !runtime_)
    runtime_ = MakeStandInRuntime(data_dir + L"runtime_calls.log");
  initialized_ = runtime_->Initialize(settings);
  return initialized_;
}

void CefManager::Shutdown() {
  if (runtime_) runtime_->Shutdown();
  initialized_ = false;
}

void CefManager::SetRuntimeForTesting(std::unique_ptr<WebRuntime> runtime) {
  runtime_ = std::move(runtime);
  runtime_replaced_ = runtime_ != nullptr;
}

}  // namespace qln_comp
