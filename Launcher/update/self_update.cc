#include "update/self_update.h"

#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "app/file_util.h"
#include "app/single_instance.h"
#include "app/system_util.h"
#include "base/path_helpers.h"
#include "update/pending_file_list.h"

namespace {

constexpr wchar_t kCefList[] = L".\\update\\cef_update.txt";
constexpr wchar_t kFontList[] = L".\\update\\font_update.txt";

std::wstring Quoted(const std::wstring& s) { return L"\"" + s + L"\""; }

// Source in .\update and target beside the program for one list entry;
// false for an entry that would leave either folder.
bool ListedPaths(const std::string& entry, const std::wstring& target_root, std::wstring& source,
                 std::wstring& target) {
  return BuildPathUnder(L".\\update", entry, source) && BuildPathUnder(target_root, entry, target);
}

void MakeParentFolders(const std::wstring& file) {
  std::wstring folder, name;
  if (SplitPathW(file, folder, name) && !folder.empty()) MakeDirsW(folder);
}

std::wstring SystemFontsFolder() {
  wchar_t windows[MAX_PATH + 1] = {};
  const UINT n = GetWindowsDirectoryW(windows, MAX_PATH);
  std::wstring dir = (n > 0 && n <= MAX_PATH) ? std::wstring(windows, n) : L"C:\\Windows";
  if (dir.back() != L'\\') dir += L'\\';
  return dir + L"Fonts";
}

}  // namespace

bool StartSelfUpdate(const std::wstring& run_after, bool new_exe) {
  CopyFileW(L".\\launcher.exe", L".\\launcher_temp.exe", FALSE);
  const std::wstring new_program = new_exe ? L".\\update\\launcher.exe" : L"";
  const std::wstring old_program = new_exe ? L".\\launcher.exe" : L"";
  const std::wstring arguments =
      L"replace " + Quoted(new_program) + L" " + Quoted(old_program) + L" " + Quoted(run_after);
  return LaunchProcess(L".\\launcher_temp.exe", arguments, std::wstring());
}

bool RunReplaceMode(const std::wstring& new_program, const std::wstring& old_program,
                    const std::wstring& run_after, const ReplaceTiming& timing) {
  const ULONGLONG start = GetTickCount64();
  auto time_left = [&] { return GetTickCount64() - start < timing.wait_limit_ms; };

  // The old launcher holds the instance semaphore until it has exited; its
  // program file is free only then.
  while (InstanceSemaphoreExists() && time_left()) Sleep(timing.retry_interval_ms);

  bool replaced = true;
  if (!new_program.empty() && !old_program.empty()) {
    replaced = false;
    for (;;) {
      if (CopyFileW(new_program.c_str(), old_program.c_str(), FALSE)) {
        replaced = true;
        break;
      }
      if (!time_left()) break;
      Sleep(timing.retry_interval_ms);
    }
  }

  ApplyPendingCefUpdate();
  ApplyPendingFontUpdate();
  if (!run_after.empty()) LaunchProcess(run_after, std::wstring(), std::wstring());
  return replaced;
}

void ApplyPendingCefUpdate() {
  std::vector<std::string> entries;
  if (!ReadStringListFile(kCefList, entries)) return;
  for (const std::string& entry : entries) {
    std::wstring source, target;
    if (!ListedPaths(entry, L".", source, target)) continue;
    MakeParentFolders(target);
    if (CopyFileW(source.c_str(), target.c_str(), FALSE)) DeleteFileW(source.c_str());
  }
  DeleteFileW(kCefList);
}

void ApplyPendingFontUpdate() {
  std::vector<std::string> entries;
  if (!ReadStringListFile(kFontList, entries)) return;
  const std::wstring fonts = SystemFontsFolder();
  bool any_failed = false;
  for (const std::string& entry : entries) {
    std::wstring source, installed, local;
    if (!ListedPaths(entry, fonts, source, installed) || !BuildPathUnder(L".", entry, local)) {
      any_failed = true;  // kept for a look by hand, never applied
      continue;
    }
    if (!CopyFileW(source.c_str(), installed.c_str(), FALSE)) {
      any_failed = true;
      continue;
    }
    if (CopyFileW(source.c_str(), local.c_str(), FALSE)) DeleteFileW(source.c_str());
  }
  if (!any_failed) DeleteFileW(kFontList);
}

void DeleteSelfAndExit(int exit_code) {
  SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  const std::wstring self = PathHelpers::ModuleFileName(nullptr);
  if (!self.empty()) {
    SHChangeNotify(SHCNE_DELETE, SHCNF_PATHW, self.c_str(), nullptr);
    const std::wstring parameters = L"/c del /q " + Quoted(self);
    ShellExecuteW(nullptr, L"open", L"cmd.exe", parameters.c_str(), nullptr, SW_HIDE);
  }
  ExitProcess(static_cast<UINT>(exit_code));
}
