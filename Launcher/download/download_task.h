// The engine's records of a queued file and of one chunk transfer. Internal
// to the download engine; only its .cc files include this.
//
// Thread rules: owned and touched by the worker thread only; the engine's
// lock guards the list of running tasks, not these records.
#pragma once

#include <windows.h>

#include <curl/curl.h>

#include <string>
#include <utility>
#include <vector>

#include "download/chunk_file.h"
#include "download/download_types.h"
#include "download/md5.h"

class DownloadManager;

// One caller waiting for a file.
struct DownloadListener {
  std::string path;  // handed back to onDone
  DownloadDoneCallback onDone = nullptr;
  DownloadSpeedCallback onSpeed = nullptr;
  int user = 0;
};

// A file queued for download: what all its chunk transfers share.
struct FileJob {
  std::string key;        // full path in lower case
  std::string localFile;  // as the first caller gave it (ANSI code page)
  std::wstring widePath;
  std::string path;  // request path, relative to a base URL
  std::string md5;   // empty: not verified, one range, no resume file
  int size = 0;
  // The base URLs of the active list when the file was queued: switching the
  // active list for another request never redirects this download.
  std::vector<std::string> baseUrls;
  std::vector<DownloadListener> listeners;
  ChunkList ranges;   // still wanted, as last recorded
  int liveTasks = 0;  // waiting and running tasks of this file
};

// One chunk transfer.
struct DownloadTask {
  DownloadManager* owner = nullptr;
  FileJob* job = nullptr;
  CURL* handle = nullptr;
  HANDLE file = INVALID_HANDLE_VALUE;
  int attempts = 0;  // failed attempts on the current base URL
  int urlIndex = 0;  // index into job->baseUrls
  int flushTick = 0;
  int index = 0;
  int begin = 0;  // next byte to write
  int end = 0;    // last byte, inclusive
  char errorBuffer[CURL_ERROR_SIZE] = {};
  // Received bytes not yet on disk: they start at `pendingAt` and end just
  // before `begin`. Writing in large blocks spares a system call per
  // network packet.
  std::vector<char> pending;
  int pendingAt = 0;
  // The md5 of a one-range file fetched from byte 0 in one attempt, taken
  // as the bytes are written, so the finished file need not be read back.
  Md5 streamMd5;
  bool streamValid = false;
  double speed = -1;      // last speed libcurl measured, not yet reported
  bool rateHeld = false;  // paused by the speed limit until budget is back

  // The current attempt.
  int attemptBegin = 0;
  bool responseChecked = false;
  std::string contentRange;
  std::string failure;  // why the engine ended the attempt itself
  int stallTick = 0;    // start of the current stall window
  int stallBegin = 0;   // `begin` at that start

  bool complete() const { return begin > end; }
};

// Runs a function when the scope ends, on every way out.
template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ~ScopeExit() { f_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  F f_;
};
