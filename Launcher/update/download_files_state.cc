#include "update/download_files_state.h"

#include <windows.h>

#include <map>
#include <memory>
#include <set>
#include <utility>

#include "app/file_util.h"
#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "base/text_util.h"
#include "download/chunk_file.h"
#include "download/download_manager.h"
#include "download/md5.h"
#include "update/apply_update_state.h"
#include "update/enter_game_state.h"
#include "update/exception_state.h"
#include "update/version_map.h"

namespace {

std::set<std::string> g_fetch_whole[2];

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(SystemPathW(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void DeleteIfPresent(const std::wstring& path) { DeleteFileW(SystemPathW(path).c_str()); }

// Move, or copy when the move fails (the source then stays).
bool MoveOrCopy(const std::wstring& from, const std::wstring& to) {
  if (MoveFileW(SystemPathW(from).c_str(), SystemPathW(to).c_str())) return true;
  return CopyFileW(SystemPathW(from).c_str(), SystemPathW(to).c_str(), FALSE) != 0;
}

// The engine takes local paths in the ANSI code page. A name that the code
// page cannot carry would land somewhere else, so it is refused.
bool AnsiPath(const std::wstring& wide, std::string& ansi) {
  std::wstring back;
  return TextUtil::WideToMultiByte(wide, ansi, CP_ACP) &&
         TextUtil::MultiByteToWide(ansi, back, CP_ACP) && back == wide;
}

std::wstring Wide(const std::string& utf8) {
  std::wstring out;
  TextUtil::Utf8ToWide(utf8.c_str(), out);
  return out;
}

const std::wstring& UpdateRoot() {
  static const std::wstring root = NormalizeDirW(UpdateDir(), false);
  return root;
}

}  // namespace

void MarkFetchWhole(UpdateMode mode, const std::string& path) {
  g_fetch_whole[mode == kLauncherMode ? 0 : 1].insert(path);
}

bool IsMarkedFetchWhole(UpdateMode mode, const std::string& path) {
  return g_fetch_whole[mode == kLauncherMode ? 0 : 1].count(path) != 0;
}

void ClearFetchWholeMarks() {
  g_fetch_whole[0].clear();
  g_fetch_whole[1].clear();
}

bool TakePreDownloadedFile(const std::wstring& pre, const std::wstring& update,
                           const std::string& relative, const std::string& md5, bool keep_source) {
  std::wstring dst;
  if (!IsValidMd5Text(md5) || !BuildPathUnder(update, relative, dst)) return false;
  const std::wstring src = NormalizeDirW(pre, true) + Wide(md5);
  const std::wstring src_cfg = src + L".cfg";
  const std::wstring dst_cfg = dst + L".cfg";
  if (!OpensForReadingW(src)) return false;
  const bool src_complete = !Exists(src_cfg);
  // A finished file is trusted only when it is what the map says: a damaged
  // pre-download must not become the installed file.
  if (src_complete) {
    std::string actual;
    int64_t size = 0;
    if (!FileMatchesMd5(src, md5, actual, size)) return false;
  }

  // Puts src at dst; an unfinished src brings its resume file along, so the
  // engine resumes from the moved part.
  auto take = [&]() -> bool {
    if (keep_source) {
      // The content is stored once; the last path that lists it moves it.
      return src_complete &&
             CopyFileW(SystemPathW(src).c_str(), SystemPathW(dst).c_str(), FALSE) != 0;
    }
    if (!MoveOrCopy(src, dst)) return false;
    if (src_complete) return true;
    MoveOrCopy(src_cfg, dst_cfg);
    return false;
  };

  if (!Exists(dst)) {
    std::wstring folder, name;
    if (SplitPathW(dst, folder, name) && !IsDirW(folder)) MakeDirsW(folder);
    DeleteIfPresent(dst_cfg);
    return take();
  }
  std::string dst_ansi;
  const bool same_content_unfinished =
      AnsiPath(dst, dst_ansi) && ResumeFileMatchesMd5(dst_ansi, md5);
  if (same_content_unfinished) {
    if (!src_complete) return false;
    DeleteIfPresent(dst);
    DeleteIfPresent(dst_cfg);
    return take();
  }
  if (Exists(dst_cfg)) {
    // An unfinished download of other content.
    DeleteIfPresent(dst);
    DeleteIfPresent(dst_cfg);
    return take();
  }
  // A complete file: the engine checks its md5 itself.
  return false;
}

void DownloadFilesState::Fail(int code, const std::string& text, const std::string& detail) {
  result_ = -1;
  error_code_ = code;
  error_text_ = text;
  error_detail_ = detail;
}

void DownloadFilesState::Enter(State* /*previous*/) {
  if (mode_ == kLauncherMode) {
    StartDownloads();
    return;
  }
  result_ = 0;
  DownloadManager& engine = DownloadManager::Instance();
  engine.UseResourceUrls();
  const std::string probe = BuildPatchUrl("VEXA.exe.patch");
  if (!engine.CheckFile(probe, std::string(), &OnDownloaderFileCheck, kStateDownloadFiles)) {
    // No base URL to ask: without this the state would wait for ever.
    Fail(kDownloadFailed, "Request Failed:", probe);
  }
}

void DownloadFilesState::OnFileCheck(int code, const std::string& url, bool exists,
                                     const std::string& error) {
  if (code < 0) {
    Fail(code, error, url);
    return;
  }
  SetPatchSuffixFlag(!exists);
  StartDownloads();
}

void DownloadFilesState::StartDownloads() {
  LauncherManager& manager = LauncherManager::Instance();
  manager.PostToMainWindow(kMsgSettingsChanged, 0, 0);
  VersionTable& table = manager.version_table();
  const VersionMap& files = table[mode_ == kGameMode ? VersionTable::kUpdateGameVersion
                                                     : VersionTable::kUpdateLauncherVersion];
  VersionMap& patches = table[mode_ == kGameMode ? VersionTable::kGamePatchVersion
                                                 : VersionTable::kLauncherPatchVersion];
  for (auto it = patches.begin(); it != patches.end();) {
    it = IsMarkedFetchWhole(mode_, it->first) ? patches.erase(it) : std::next(it);
  }

  result_ = 0;
  started_ = true;
  DownloadManager& engine = DownloadManager::Instance();
  engine.UseResourceUrls();
  engine.CancelAll(kSpeedLimitDownload);

  std::wstring pre_folder;
  bool use_pre_download = false;
  if (mode_ == kGameMode) {
    const std::string version = manager.known_game_version();
    const std::wstring root = NormalizeDirW(Wide(PreDownloadDir()), false);
    if (!version.empty() && BuildPathUnder(root, version, pre_folder)) {
      use_pre_download = IsDirW(pre_folder);
      if (OpensForReadingW(pre_folder + L"\\tmp_predownload_version_map.txt")) {
        manager.RequestMessageBox(nullptr, L"STRING_ERROR_NOTICE", L"STRING_ERROR_DLC_CLOSE",
                                  std::wstring(), L"STRING_CONFIRM", &OnPreDownloadCloseNotice,
                                  false);
      }
    }
  }

  engine.ResetSpeedStats();
  queued_count_ = 0;
  done_count_ = 0;
  taken_count_ = 0;
  const bool use_patches = manager.patchOption > 0 && !patches.empty();
  const std::string suffix = PatchSuffix();
  // How many paths still to come list each content: a pre-downloaded file
  // stored once under its md5 is copied for all but the last of them.
  std::map<std::string, int> still_wanted;
  for (const auto& file : files) {
    auto patch = use_patches ? patches.find(file.first) : patches.end();
    ++still_wanted[patch != patches.end() ? patch->second.md5 : file.second.md5];
  }
  int64_t total = 0;
  for (const auto& file : files) {
    const std::string& path = file.first;
    // The game apply never installs it, and fetched into .\update it would
    // take the place of a launcher update waiting for the self-updater.
    if (mode_ == kGameMode && path == "launcher.exe") continue;
    std::string relative = path;
    std::string remote = path;
    std::string md5 = file.second.md5;
    int size = file.second.size;
    if (use_patches) {
      auto patch = patches.find(path);
      if (patch != patches.end()) {
        relative = path + suffix;
        remote = BuildPatchUrl(relative);
        md5 = patch->second.md5;
        size = patch->second.size;
      }
    }
    const bool keep_source = --still_wanted[md5] > 0;
    if (use_pre_download &&
        TakePreDownloadedFile(pre_folder, UpdateRoot(), relative, md5, keep_source)) {
      ++taken_count_;
      continue;
    }
    ++queued_count_;
    total += size;
    std::wstring local;
    std::string local_ansi;
    if (!BuildPathUnder(UpdateRoot(), relative, local) || !AnsiPath(local, local_ansi)) {
      // Counted as queued and failed at once, as the engine would answer.
      Fail(kDownloadFailed, "DownloadFile path is invalid:", path);
      continue;
    }
    engine.DownloadFile(remote, local_ansi, md5, size, &OnDownloaderFileDone, &OnDownloaderProgress,
                        kStateDownloadFiles, 0, 0);
  }
  queued_bytes_ = total;
  engine.SetTotalBytes(total);
}

void DownloadFilesState::OnFileDone(int code, const std::string& url, const std::string& error) {
  if (code < 0) {
    Fail(code, error, url);
    return;
  }
  ++done_count_;
}

void DownloadFilesState::Update() {
  LauncherManager& manager = LauncherManager::Instance();
  if (result_ < 0) {
    RestAfterFailure();
    return;
  }
  // A game fetch queues only once the suffix probe has answered.
  if (!started_) return;
  if (done_count_ < queued_count_) return;
  DownloadManager& engine = DownloadManager::Instance();
  engine.ReportSpeedStats("done");
  if (mode_ == kGameMode) {
    if (manager.stats().firstInstall) {
      engine.ReportDownloadStats("17", "download_game_finish", true);
    } else {
      engine.ReportDownloadStats("22", "update_game_finish", true);
    }
  }
  manager.SetState(std::make_unique<ApplyUpdateState>(mode_));
}

void DownloadFilesState::Exit(State* /*next*/) {
  queued_count_ = 0;
  done_count_ = 0;
}
