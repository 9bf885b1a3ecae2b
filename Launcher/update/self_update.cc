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
#include "download/md5.h"
#include "update/launcher_fonts.h"
#include "update/pending_file_list.h"
#include "update/version_map.h"

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

bool FileExistsW(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The list keeps what is still to do; with nothing left it goes. When the
// shorter list cannot be written the old one stays: it holds every entry
// still due, and those whose source is gone drop out at the next try.
void KeepOnly(const wchar_t* list, const std::vector<std::string>& entries) {
  if (entries.empty()) {
    DeleteFileW(list);
  } else {
    (void)WriteStringListFile(list, entries);
  }
}

}  // namespace

std::wstring SelfUpdateArguments(const std::wstring& run_after, bool new_exe) {
  const std::wstring new_program = new_exe ? L".\\update\\launcher.exe" : L"";
  const std::wstring old_program = new_exe ? L".\\launcher.exe" : L"";
  return L"replace " + Quoted(new_program) + L" " + Quoted(old_program) + L" " + Quoted(run_after);
}

bool StartSelfUpdate(const std::wstring& run_after, bool new_exe) {
  CopyFileW(L".\\launcher.exe", L".\\launcher_temp.exe", FALSE);
  return LaunchProcess(L".\\launcher_temp.exe", SelfUpdateArguments(run_after, new_exe),
                       std::wstring());
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
  std::vector<std::string> failed;
  for (const std::string& entry : entries) {
    std::wstring source, target;
    if (!ListedPaths(entry, L".", source, target) || !FileExistsW(source)) continue;
    MakeParentFolders(target);
    if (CopyFileW(source.c_str(), target.c_str(), FALSE)) {
      DeleteFileW(source.c_str());
    } else {
      failed.push_back(entry);
    }
  }
  KeepOnly(kCefList, failed);
}

void ApplyPendingFontUpdate() {
  std::vector<std::string> entries;
  if (!ReadStringListFile(kFontList, entries)) return;
  const std::wstring fonts = SystemFontsFolder();
  std::vector<std::string> failed;
  for (const std::string& entry : entries) {
    std::wstring source, installed, local;
    if (!ListedPaths(entry, fonts, source, installed) || !BuildPathUnder(L".", entry, local) ||
        !FileExistsW(source)) {
      continue;
    }
    if (!CopyFileW(source.c_str(), installed.c_str(), FALSE)) {
      failed.push_back(entry);
      continue;
    }
    // The copy beside the program is what uninstalling recognises as ours.
    if (CopyFileW(source.c_str(), local.c_str(), FALSE)) {
      DeleteFileW(source.c_str());
    } else {
      failed.push_back(entry);
    }
  }
  KeepOnly(kFontList, failed);
}

PendingUpdates FindLeftoverUpdates() {
  PendingUpdates found;
  std::vector<std::string> entries;
  found.cef = ReadStringListFile(kCefList, entries) && !entries.empty();
  entries.clear();
  found.font = ReadStringListFile(kFontList, entries) && !entries.empty();

  VersionMap installed;
  std::string error, actual;
  int64_t size = 0;
  if (FileExistsW(L".\\update\\launcher.exe") &&
      LoadVersionMapFile(L".\\launcher_version_map.txt", installed, error)) {
    const auto entry = installed.find("launcher.exe");
    found.launcher = entry != installed.end() &&
                     FileMatchesMd5(L".\\update\\launcher.exe", entry->second.md5, actual, size) &&
                     !FileMatchesMd5(L".\\launcher.exe", entry->second.md5, actual, size);
  }
  return found;
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
