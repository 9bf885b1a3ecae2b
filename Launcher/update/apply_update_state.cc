#include "update/apply_update_state.h"

#include <windows.h>

#include <map>
#include <memory>
#include <set>
#include <utility>

#include "app/file_util.h"
#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "base/text_util.h"
#include "download/download_manager.h"
#include "download/md5.h"
#include "update/download_files_state.h"
#include "update/enter_game_state.h"
#include "update/exception_state.h"
#include "update/game_repair.h"
#include "update/patcher.h"
#include "update/pending_file_list.h"

const wchar_t kApplyListPath[] = L".\\update\\apply_list.txt";

namespace {

nbase::TickClock* g_clock = nullptr;
int64_t g_slice_ms = 1000;

const wchar_t kCefListPath[] = L".\\update\\cef_update.txt";
const wchar_t kFontListPath[] = L".\\update\\font_update.txt";
const wchar_t kLauncherTmpMap[] = L".\\tmp_launcher_version_map.txt";
const wchar_t kLauncherMap[] = L".\\launcher_version_map.txt";

std::wstring Wide(const std::string& utf8) {
  std::wstring out;
  TextUtil::Utf8ToWide(utf8.c_str(), out);
  return out;
}

std::string Utf8(const std::wstring& wide) {
  std::string out;
  TextUtil::WideToUtf8(wide.c_str(), out);
  return out;
}

const std::wstring& UpdateRoot() {
  static const std::wstring root = NormalizeDirW(UpdateDir(), false);
  return root;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(SystemPathW(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void DeleteIfPresent(const std::wstring& path) { DeleteFileW(SystemPathW(path).c_str()); }

void MakeParentDirs(const std::wstring& path) {
  std::wstring folder, name;
  if (SplitPathW(path, folder, name) && !IsDirW(folder)) MakeDirsW(folder);
}

bool Matches(const std::wstring& path, const std::string& md5) {
  std::string actual;
  int64_t size = 0;
  return FileMatchesMd5(path, md5, actual, size);
}

// Runs the applier that patchOption selects: 0 on success, else `code` is
// what the failure list shows (10000 for the in-memory applier).
int RunPatch(const std::wstring& old_file, const std::wstring& new_file,
             const std::wstring& patch_file, int& code) {
  if (LauncherManager::Instance().patchOption == 1) {
    code = 10000;
    return ApplyPatchFileInMemoryW(old_file, new_file, patch_file);
  }
  int detail = 0;
  const int result = ApplyPatchFileStreamedW(old_file, new_file, patch_file, detail);
  code = detail;
  return result;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool EndsWith(const std::string& text, const char* suffix) {
  const size_t n = std::char_traits<char>::length(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// The entries of an earlier list whose file still waits in .\update, then
// the new ones, each once.
std::vector<std::string> MergePending(const std::wstring& list_path,
                                      const std::vector<std::string>& fresh) {
  std::vector<std::string> earlier, out;
  std::set<std::string> seen;
  if (ReadStringListFile(list_path, earlier)) {
    for (const std::string& path : earlier) {
      std::wstring file;
      if (BuildPathUnder(UpdateRoot(), path, file) && Exists(file) && seen.insert(path).second) {
        out.push_back(path);
      }
    }
  }
  for (const std::string& path : fresh) {
    if (seen.insert(path).second) out.push_back(path);
  }
  return out;
}

}  // namespace

void ApplyUpdateState::SetClockForTesting(nbase::TickClock* clock) { g_clock = clock; }
void ApplyUpdateState::SetSliceMsForTesting(int64_t ms) { g_slice_ms = ms; }
int64_t ApplyUpdateState::SliceMs() { return g_slice_ms; }

void ApplyUpdateState::Enter(State* /*previous*/) {
  LauncherManager& manager = LauncherManager::Instance();
  manager.PostToMainWindow(kMsgSettingsChanged, 0, 0);
  result_ = 0;
  PatchAbortFlag = false;
  if (mode_ == kLauncherMode) {
    ApplyLauncherUpdate();
    return;
  }
  const std::string version = manager.known_game_version();
  if (ReadApplyList(kApplyListPath, applied_)) {
    if (applied_.version != version) applied_.fileList.clear();
  } else {
    applied_.fileList.clear();
  }
  applied_.version = version;
  pending_.clear();
  for (const auto& file : manager.version_table()[VersionTable::kUpdateGameVersion]) {
    if (file.first != "launcher.exe") pending_.push_back(file.first);
  }
  total_ = static_cast<int>(pending_.size());
  failed_.clear();
  manager.PostToMainWindow(kMsgCheckProgress, 0, 0);
}

void ApplyUpdateState::Update() {
  LauncherManager& manager = LauncherManager::Instance();
  if (mode_ == kGameMode) {
    if (result_ == 0) {
      ApplyGameUpdateSlice();
    } else if (result_ < 0) {
      RestAfterFailure();
    } else {
      manager.SetState(std::make_unique<EnterGameState>());
    }
    return;
  }
  if (result_ == 0) return;
  if (manager.resourcesChanged != 0) {
    // The state stays current until the UI has reloaded; the completion
    // task makes the switch.
    result_ = 0;
    manager.ReloadUiResources(&EnterGameAfterReload);
    return;
  }
  manager.SetState(std::make_unique<EnterGameState>());
}

void ApplyUpdateState::Exit(State* /*next*/) {
  total_ = 0;
  pending_.clear();
}

void ApplyUpdateState::ApplyGameUpdateSlice() {
  LauncherManager& manager = LauncherManager::Instance();
  if (IsGameClientRunning()) {
    // Its files are in use; what is in place so far is checkpointed already.
    error_text_ = "Apply Failed";
    error_detail_ = " VEXA.exe is running ";
    result_ = -1;
    return;
  }
  ++slices_;
  nbase::TickClock& clock = g_clock != nullptr ? *g_clock : nbase::TickClock::Instance();
  const int64_t start = clock.NowMilliseconds();
  const VersionMap& patches = manager.version_table()[VersionTable::kGamePatchVersion];
  const bool use_patches = manager.patchOption > 0 && !patches.empty();
  std::vector<std::string> applied_now;
  bool first = true;
  while (!pending_.empty()) {
    if (!first && clock.NowMilliseconds() - start >= g_slice_ms) break;
    first = false;
    const std::string path = pending_.front();
    pending_.pop_front();
    std::string failure;
    if (!ApplyGameFile(path, use_patches, failure)) {
      failed_.push_back(failure);
      continue;
    }
    applied_.fileList.push_back(path);
    applied_now.push_back(path);
    const float remaining = static_cast<float>(pending_.size());
    const int percent = static_cast<int>(100.0f - remaining * 100.0f / static_cast<float>(total_));
    manager.PostToMainWindow(kMsgCheckProgress, 0, percent);
  }
  WriteApplyList(kApplyListPath, applied_);
  if (use_patches) {
    const std::wstring suffix = Wide(PatchSuffix());
    for (const std::string& path : applied_now) {
      std::wstring src;
      if (patches.count(path) != 0 && BuildPathUnder(UpdateRoot(), path, src)) {
        DeleteIfPresent(src + suffix);
      }
    }
  }
  if (pending_.empty()) FinishGameApply();
}

bool ApplyUpdateState::ApplyGameFile(const std::string& path, bool use_patches,
                                     std::string& failure) {
  LauncherManager& manager = LauncherManager::Instance();
  failure = path;
  const std::wstring root = NormalizeDirW(manager.GameFolder(), false);
  std::wstring src, target;
  if (root.empty() || !BuildPathUnder(UpdateRoot(), path, src) ||
      !BuildPathUnder(root, path, target)) {
    return false;
  }
  MakeParentDirs(target);
  const VersionMap& files = manager.version_table()[VersionTable::kUpdateGameVersion];
  auto entry = files.find(path);
  const std::string expected = entry != files.end() ? entry->second.md5 : std::string();

  std::wstring alias;
  for (const auto& renamed : manager.RenamedFiles()) {
    if (Utf8(renamed.first) != path) continue;
    if (!BuildPathUnder(root, Utf8(renamed.second), alias)) return false;
    break;
  }

  const VersionMap& patches = manager.version_table()[VersionTable::kGamePatchVersion];
  if (use_patches && patches.count(path) != 0) {
    const std::wstring patch = src + Wide(PatchSuffix());
    const std::wstring old_file = alias.empty() ? target : alias;
    int code = 0;
    const bool patched = RunPatch(old_file, src, patch, code) == 0;
    if (!patched || !Matches(src, expected)) {
      DeleteIfPresent(src);
      // Put in place by a slice that ended before its checkpoint: nothing
      // left to do but the alias.
      if (Matches(target, expected)) {
        if (!alias.empty() &&
            !CopyFileW(SystemPathW(target).c_str(), SystemPathW(alias).c_str(), FALSE)) {
          return false;
        }
        return true;
      }
      DeleteIfPresent(patch);
      MarkFetchWhole(kGameMode, path);
      failure = path + "(" + (patched ? std::string("md5") : std::to_string(code)) + ")";
      return false;
    }
    ++patches_applied_;
  }

  if (!MoveFileExW(SystemPathW(src).c_str(), SystemPathW(target).c_str(),
                   MOVEFILE_REPLACE_EXISTING)) {
    if (!CopyFileW(SystemPathW(src).c_str(), SystemPathW(target).c_str(), FALSE)) return false;
    DeleteIfPresent(src);
  }
  if (!alias.empty() &&
      !CopyFileW(SystemPathW(target).c_str(), SystemPathW(alias).c_str(), FALSE)) {
    return false;
  }
  return true;
}

void ApplyUpdateState::FinishGameApply() {
  LauncherManager& manager = LauncherManager::Instance();
  if (!failed_.empty()) {
    error_text_ = "Apply Failed";
    error_detail_ = " ";
    for (const std::string& failure : failed_) error_detail_ += failure + " ";
    result_ = -1;
    return;
  }
  const std::wstring folder = manager.GameFolder();
  // Kept when it cannot be promoted: the update then still counts as
  // unfinished and the next check finishes it.
  if (!folder.empty() &&
      PromoteTmpMap(folder + L"tmp_version_map.txt", folder + L"version_map.txt")) {
    DeleteIfPresent(kApplyListPath);
    manager.LoadGameVersion();
  }
  if (!manager.stats().firstInstall) {
    DownloadManager::Instance().ReportDownloadStats("23", "apply_update_game_success", false);
  }
  result_ = 1;
}

void ApplyUpdateState::ApplyLauncherUpdate() {
  LauncherManager& manager = LauncherManager::Instance();
  VersionTable& table = manager.version_table();
  const VersionMap& files = table[VersionTable::kUpdateLauncherVersion];
  const VersionMap& patches = table[VersionTable::kLauncherPatchVersion];
  const bool use_patches = manager.patchOption > 0 && !patches.empty();
  const std::wstring suffix = Wide(PatchSuffix());
  std::string failures;
  std::vector<std::string> runtime, fonts;
  std::vector<std::wstring> used_patches;
  bool launcher_pending = false;

  for (const auto& file : files) {
    const std::string& path = file.first;
    std::wstring src, target;
    if (!BuildPathUnder(UpdateRoot(), path, src) || !BuildPathUnder(L".", path, target)) {
      failures += " " + path;
      continue;
    }
    MakeParentDirs(target);
    if (use_patches && patches.count(path) != 0) {
      const std::wstring patch = src + suffix;
      int code = 0;
      if (RunPatch(target, src, patch, code) != 0) {
        DeleteIfPresent(src);
        MarkFetchWhole(kLauncherMode, path);
        failures += " " + path + "(" + std::to_string(code) + ")";
        continue;
      }
      if (!Matches(src, file.second.md5)) {
        DeleteIfPresent(src);
        DeleteIfPresent(patch);
        MarkFetchWhole(kLauncherMode, path);
        failures += " " + path + "(md5)";
        continue;
      }
      used_patches.push_back(patch);
    }
    if (path == "launcher.exe") {
      launcher_pending = true;  // installed by the self-updater
    } else if (StartsWith(path, "cef")) {
      runtime.push_back(path);
    } else if (EndsWith(path, ".ttf")) {
      fonts.push_back(path);
    } else if (CopyFileW(SystemPathW(src).c_str(), SystemPathW(target).c_str(), FALSE)) {
      DeleteIfPresent(src);
      if (path == "resources.zip") manager.resourcesChanged = 1;
    } else {
      failures += " " + path;
    }
  }

  if (failures.empty()) {
    // The lists keep what an earlier apply of this run left waiting.
    const std::vector<std::string> cef_list = MergePending(kCefListPath, runtime);
    const std::vector<std::string> font_list = MergePending(kFontListPath, fonts);
    if (!cef_list.empty() && !WriteStringListFile(kCefListPath, cef_list)) {
      failures += " cef_update.txt";
    }
    if (!font_list.empty() && !WriteStringListFile(kFontListPath, font_list)) {
      failures += " font_update.txt";
    }
    if (failures.empty()) {
      if (cef_list.empty()) DeleteIfPresent(kCefListPath);
      if (font_list.empty()) DeleteIfPresent(kFontListPath);
      if (PromoteTmpMap(kLauncherTmpMap, kLauncherMap)) manager.LoadLauncherVersion();
      for (const std::wstring& patch : used_patches) DeleteIfPresent(patch);
      if (launcher_pending) {
        manager.launcherUpdatePending = true;
        manager.launcherUpdateFresh = true;
      }
      if (!cef_list.empty()) manager.cefUpdatePending = true;
      if (!font_list.empty()) manager.fontUpdatePending = true;
      result_ = 1;
      return;
    }
  }
  // The old launcher map stays, so the next launcher check fetches the
  // failed files again; the flags and lists stay as an earlier apply left
  // them.
  error_text_ = "Apply Failed";
  error_detail_ = failures;
  result_ = -1;
}
