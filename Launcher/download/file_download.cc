// Chunked file downloads: queuing, starting, writing, finishing and retrying
// the chunk transfers of DownloadManager.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>

#include "app/file_util.h"
#include "base/text_util.h"
#include "download/chunk_file.h"
#include "download/download_manager.h"
#include "download/download_task.h"
#include "download/md5.h"
#include "download/url_util.h"

namespace {

std::string Num(int64_t value) { return std::to_string(value); }

// An attempt that fetched at least this much of its chunk is not counted
// against its base URL; a trickle below it is.
constexpr int kProgressCountsFrom = 65536;

// Received data is written to the file in blocks of this size.
constexpr size_t kWriteBlock = 1 << 20;

// The key under which a local file is queued: its full path in lower case,
// so that ".\update\a" and "update/A" are the same file.
std::string FileKey(const std::wstring& path) {
  std::wstring normal = path;
  std::replace(normal.begin(), normal.end(), L'/', L'\\');
  wchar_t buffer[MAX_PATH * 2];
  const DWORD n = GetFullPathNameW(normal.c_str(), MAX_PATH * 2, buffer, nullptr);
  if (n > 0 && n < MAX_PATH * 2) normal.assign(buffer, n);
  if (!normal.empty()) CharLowerBuffW(&normal[0], static_cast<DWORD>(normal.size()));
  std::string key;
  TextUtil::WideToUtf8(normal.c_str(), key);
  return key;
}

bool EnsureFolderOf(const std::wstring& path) {
  std::wstring folder, name;
  if (!SplitPathW(path, folder, name) || IsDirW(folder)) return true;
  return MakeDirsW(folder);
}

}  // namespace

void DownloadManager::DownloadFile(const std::string& path, const std::string& localFile,
                                   const std::string& md5, int size, DownloadDoneCallback onDone,
                                   DownloadSpeedCallback onSpeed, int user, int attempts,
                                   int urlIndex) {
  ScopeExit flush([this] { FlushNotices(); });
  if (activeUrlList_.empty()) {
    NotifyOne(onDone, user, path, kDownloadFailed, "DownloadFile URL is empty");
    return;
  }
  if (!IsWritableLocalPath(localFile)) {
    NotifyOne(onDone, user, path, kDownloadFailed, "DownloadFile path is invalid:" + localFile);
    return;
  }
  if (size < 0) {
    NotifyOne(onDone, user, path, kDownloadFailed, "DownloadFile size is invalid:" + Num(size));
    return;
  }
  if (size == 0) {
    // Empty data has exactly one md5; any other cannot be met by 0 bytes.
    if (!md5.empty() && md5 != kEmptyMd5) {
      NotifyOne(onDone, user, path, kDownloadMd5Error, "check md5 error");
      return;
    }
    if (!CutFileToSize(localFile, 0)) {
      NotifyOne(onDone, user, path, kDownloadFailed,
                "open:(" + localFile + ") failed,errno:" + Num(GetLastError()));
      return;
    }
    NotifyOne(onDone, user, path, kDownloadOk, "");
    return;
  }

  const std::wstring widePath = WidePath(localFile);
  const std::string key = FileKey(widePath);
  auto found = chunkMap_.find(key);
  if (found != chunkMap_.end()) {
    FileJob* job = found->second.get();
    if (job->md5 != md5 || job->size != size) {
      NotifyOne(onDone, user, path, kDownloadFailed,
                "DownloadFile already queued with another md5:" + localFile);
      return;
    }
    job->listeners.push_back({path, onDone, onSpeed, user});
    return;
  }

  auto owned = std::make_unique<FileJob>();
  FileJob* job = owned.get();
  job->key = key;
  job->localFile = localFile;
  job->widePath = widePath;
  job->path = path;
  job->md5 = md5;
  job->size = size;
  job->baseUrls = activeUrlList_;
  job->listeners.push_back({path, onDone, onSpeed, user});
  chunkMap_[key] = std::move(owned);
  if (urlIndex < 0 || urlIndex >= static_cast<int>(job->baseUrls.size())) {
    urlIndex = 0;
    attempts = 0;
  }
  QueueFileTasks(job, std::max(attempts, 0), urlIndex);
}

void DownloadManager::QueueFileTasks(FileJob* job, int attempts, int urlIndex) {
  if (job->md5.empty()) {
    if (!CutFileToSize(job->localFile, job->size)) {
      Notify(job, kDownloadFailed,
             "open:(" + job->localFile + ") failed,errno:" + Num(GetLastError()));
      EraseJob(job);
      return;
    }
    job->ranges = {ChunkRange{0, 0, job->size - 1}};
    NewTask(job, job->ranges[0], attempts, urlIndex);
    return;
  }

  // One open tells whether the file is there at all: a resume file without
  // its file describes nothing on disk and need not be read. A longer file
  // is cut at once, since bytes past the new size would survive a download
  // into it and spoil its md5 for good.
  bool existed = false;
  int64_t before = 0;
  if (!CutFileToSize(job->localFile, job->size, &existed, &before)) {
    Notify(job, kDownloadFailed,
           "open:(" + job->localFile + ") failed,errno:" + Num(GetLastError()));
    EraseJob(job);
    return;
  }
  ChunkList ranges;
  if (existed && ReadResumeFile(job->localFile, job->md5, ranges)) {
    if (RangesFitFile(ranges, job->size)) {
      job->ranges = ranges;
      int64_t missing = 0;
      for (const ChunkRange& range : ranges) {
        missing += static_cast<int64_t>(range.end) - range.begin + 1;
        NewTask(job, range, attempts, urlIndex);
      }
      AddDoneBytes(job->size - missing);
      sink_->SetStatsDownloadSize(doneBytes_);
      return;
    }
    // Ranges that do not belong to a file of this size: start over.
    DeleteFileIfPresent(job->localFile);
    DeleteFileIfPresent(ResumeFilePath(job->localFile));
    existed = false;
  }
  std::string actual;
  int64_t onDisk = 0;
  if (existed && before == job->size && FileMatchesMd5(job->widePath, job->md5, actual, onDisk)) {
    AddDoneBytes(onDisk);
    sink_->SetStatsDownloadSize(doneBytes_);
    Notify(job, kDownloadOk, "");
    EraseJob(job);
    return;
  }
  QueueFreshFile(job, attempts, urlIndex, true);
}

void DownloadManager::QueueFreshFile(FileJob* job, int attempts, int urlIndex, bool prepared) {
  // Bytes past the new size would survive a download into an older, longer
  // file and spoil its md5 for good.
  if (!prepared && !CutFileToSize(job->localFile, job->size)) {
    Notify(job, kDownloadFailed,
           "open:(" + job->localFile + ") failed,errno:" + Num(GetLastError()));
    EraseJob(job);
    return;
  }
  job->ranges = CutIntoChunks(job->size);
  for (const ChunkRange& range : job->ranges) NewTask(job, range, attempts, urlIndex);
  // Every caller has found or removed any older resume file.
  WriteResumeFile(job->localFile, job->md5, job->ranges, true);
}

DownloadTask* DownloadManager::NewTask(FileJob* job, const ChunkRange& range, int attempts,
                                       int urlIndex) {
  auto* task = new DownloadTask;
  task->owner = this;
  task->job = job;
  task->attempts = attempts;
  task->urlIndex = urlIndex;
  task->flushTick = TickNow();
  task->index = range.index;
  task->begin = range.begin;
  task->end = range.end;
  ++job->liveTasks;
  waitingTasks_.push_back(task);
  return task;
}

void DownloadManager::AddChunk(DownloadTask* task) {
  task->job->ranges.push_back({task->index, task->begin, task->end});
}

int DownloadManager::RemoveChunk(DownloadTask* task) {
  ChunkList& ranges = task->job->ranges;
  auto it = std::find_if(ranges.begin(), ranges.end(),
                         [task](const ChunkRange& r) { return r.index == task->index; });
  if (it != ranges.end()) ranges.erase(it);
  return static_cast<int>(ranges.size());
}

void DownloadManager::RecordProgress(DownloadTask* task) {
  for (ChunkRange& r : task->job->ranges) {
    if (r.index == task->index) {
      r.begin = task->begin;
      r.end = task->end;
      return;
    }
  }
}

bool DownloadManager::CountAttempt(DownloadTask* task) {
  if (++task->attempts >= attemptsPerUrl_) {
    task->attempts = 0;
    ++task->urlIndex;
  }
  return task->urlIndex < static_cast<int>(task->job->baseUrls.size());
}

bool DownloadManager::IsTaskRunning(const DownloadTask* task) {
  nbase::AutoLock hold(lock_);
  return std::find(runningTasks_.begin(), runningTasks_.end(), task) != runningTasks_.end();
}

bool DownloadManager::StartTask(DownloadTask* task, std::string& error) {
  error.clear();
  FileJob* job = task->job;
  try {
    EnsureFolderOf(job->widePath);
    FinishTask(task, kDownloadOk, "prepare", false, false);
    task->file = CreateFileW(job->widePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (task->file == INVALID_HANDLE_VALUE) {
      error = "open:(" + job->localFile + ") failed,errno:" + Num(GetLastError());
      return false;
    }
    if (task->urlIndex < 0 || task->urlIndex >= static_cast<int>(job->baseUrls.size())) {
      error = "no base URL left for " + job->path;
      FinishTask(task, kDownloadOk, "prepare", false, false);
      return false;
    }
    std::string url = BuildRequestUrl(job->baseUrls[task->urlIndex], job->path);
    if (useWebExtraParam_) {
      url += url.find('?') == std::string::npos ? "?" : "&";
      url += "t=" + Num(static_cast<unsigned>(nowTick_));
    }
    if (!IsHttpUrl(url)) {
      error = "unsupported URL:" + url;
      FinishTask(task, kDownloadOk, "prepare", false, false);
      return false;
    }
    if (handlePool_.empty()) FillHandlePool();
    if (handlePool_.empty()) {
      error = "no transfer handle";
      FinishTask(task, kDownloadOk, "prepare", false, false);
      return false;
    }
    task->handle = handlePool_.front();
    handlePool_.erase(handlePool_.begin());

    task->attemptBegin = task->begin;
    // The once-a-second record counts from the start of the transfer, not
    // from when the task was queued (perhaps long before).
    task->flushTick = nowTick_;
    task->responseChecked = false;
    task->contentRange.clear();
    task->failure.clear();
    task->errorBuffer[0] = '\0';
    task->stallTick = nowTick_;
    task->stallBegin = task->begin;

    task->rateHeld = false;
    task->streamValid = task->begin == 0 && job->ranges.size() == 1 && !job->md5.empty();
    if (task->streamValid) task->streamMd5.Reset();
    // libcurl allocates the receive buffer anew for every transfer: a small
    // range gets a buffer of its own size, and under a limit small reads keep
    // the pace even (the budget is checked per piece libcurl hands over).
    int64_t buffer = std::min<int64_t>(500000, static_cast<int64_t>(task->end) - task->begin + 1);
    const int64_t total = TotalLimit();
    if (total > 0) buffer = std::min<int64_t>(buffer, total / 16);
    buffer = std::max<int64_t>(buffer, 16384);
    char range[48];
    std::snprintf(range, sizeof(range), "%d-%d", task->begin, task->end);

    CURL* h = task->handle;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEDATA, task);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, task);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, task);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(h, CURLOPT_RANGE, range);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(buffer));
    // Waiting for a connection that might multiplex only pays where HTTP/2
    // can be offered (TLS with ALPN); on plain HTTP/1.1 it would queue every
    // transfer behind the first one until that one ends.
    curl_easy_setopt(h, CURLOPT_PIPEWAIT, url.compare(0, 6, "https:") == 0 ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, task->errorBuffer);
    if (curl_multi_add_handle(multiHandle_.get(), h) != CURLM_OK) {
      error = "add transfer failed";
      FinishTask(task, kDownloadOk, "prepare", false, false);
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    FinishTask(task, kDownloadFailed, "start task failed", false, false);
    error = e.what();
    Trace("start task failed:" + job->path + ":" + error + "\n");
    return false;
  }
}

void DownloadManager::FinishTask(DownloadTask* task, int code, const std::string& message,
                                 bool notify, bool free) {
  WritePending(task);
  if (task->file != INVALID_HANDLE_VALUE) {
    CloseHandle(task->file);
    task->file = INVALID_HANDLE_VALUE;
  }
  if (task->handle != nullptr) {
    if (multiHandle_) curl_multi_remove_handle(multiHandle_.get(), task->handle);
    curl_easy_setopt(task->handle, CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
    handlePool_.push_back(task->handle);
    task->handle = nullptr;
  }
  FileJob* job = task->job;
  if (notify) Notify(job, code, message);
  if (code == kDownloadOk && message.empty()) DeleteFileIfPresent(ResumeFilePath(job->localFile));
  if (free) {
    --job->liveTasks;
    delete task;
  }
}

size_t DownloadManager::FileDataThunk(char* data, size_t size, size_t count, void* task) {
  auto* t = static_cast<DownloadTask*>(task);
  if (t == nullptr) return 0;
  return t->owner->OnFileData(data, size * count, t);
}

size_t DownloadManager::HeaderThunk(char* data, size_t size, size_t count, void* task) {
  const size_t n = size * count;
  auto* t = static_cast<DownloadTask*>(task);
  if (t == nullptr) return n;
  std::string line(data, n);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  if (line.compare(0, 5, "HTTP/") == 0) {
    // A new response (after a redirect, or a 100): forget the last one.
    t->contentRange.clear();
  } else if (line.size() > 14 && _strnicmp(line.c_str(), "content-range:", 14) == 0) {
    t->contentRange = line.substr(14);
  }
  return n;
}

bool DownloadManager::AcceptResponse(DownloadTask* task, std::string& reason) {
  long status = 0;
  curl_easy_getinfo(task->handle, CURLINFO_RESPONSE_CODE, &status);
  if (status == 206) {
    int64_t first = 0, last = 0, total = 0;
    if (!ParseContentRange(task->contentRange, first, last, total)) {
      reason = "206 without a usable Content-Range";
      return false;
    }
    if (first != task->begin) {
      reason = "Content-Range" + task->contentRange + " does not start at " + Num(task->begin);
      return false;
    }
    if (total >= 0 && total != task->job->size) {
      reason =
          "Content-Range" + task->contentRange + " does not match size " + Num(task->job->size);
      return false;
    }
    return true;
  }
  if (status == 200) {
    if (task->begin == 0) return true;
    reason = "200 ignores the range from " + Num(task->begin);
    return false;
  }
  reason = "unexpected status " + Num(status);
  return false;
}

size_t DownloadManager::OnFileData(char* data, size_t n, DownloadTask* task) {
  if (!running_) return 0;
  if (!IsTaskRunning(task)) {
    Trace("non work task:" + Num(reinterpret_cast<uintptr_t>(task->file)) +
          ":begin:" + Num(task->begin) + ":end:" + Num(task->end) + "\n");
    return 0;
  }
  if (!task->responseChecked) {
    long status = 0;
    curl_easy_getinfo(task->handle, CURLINFO_RESPONSE_CODE, &status);
    // The body of a redirect is not the file; libcurl normally skips it.
    if (status >= 300 && status < 400) return n;
    std::string reason;
    if (!AcceptResponse(task, reason)) {
      task->failure = reason;
      Trace("bad response:" + task->job->path + ":" + Num(status) + ":" + reason + "\n");
      return 0;
    }
    task->responseChecked = true;
  }
  const size_t room = task->complete() ? 0 : static_cast<size_t>(task->end - task->begin) + 1;
  const size_t take = std::min(n, room);
  if (take == 0) return 0;
  if (!TakeRateBudget(take)) {
    // libcurl keeps the data and hands it over again once un-paused.
    task->rateHeld = true;
    return CURL_WRITEFUNC_PAUSE;
  }

  if (task->pending.empty()) {
    task->pendingAt = task->begin;
    // Room for a block and the piece that completes it, or for the rest of
    // a small range.
    task->pending.reserve(std::min<size_t>(kWriteBlock + 512 * 1024,
                                           static_cast<size_t>(task->end - task->begin) + 1));
  }
  task->pending.insert(task->pending.end(), data, data + take);
  if (task->streamValid) task->streamMd5.Update(data, take);
  task->begin += static_cast<int>(take);
  AddDoneBytes(static_cast<int64_t>(take));
  const bool resumeDue = nowTick_ - task->flushTick > 999 || task->complete();
  if (task->pending.size() >= kWriteBlock || resumeDue) {
    // A failed write ends the transfer here, so later data cannot land at a
    // wrong offset; the retry starts again from the first unwritten byte.
    if (!WritePending(task)) return 0;
  }
  // The last open range of a file is checked by its md5 as soon as it is
  // complete; recording it first would only be undone at once.
  const bool lastRangeDone = task->complete() && task->job->ranges.size() <= 1;
  if (resumeDue && !lastRangeDone) {
    task->flushTick = nowTick_;
    FlushFileBuffers(task->file);
    if (!task->job->md5.empty()) {
      RecordProgress(task);
      WriteResumeFile(task->job->localFile, task->job->md5, task->job->ranges);
    }
  }
  // Returning less than libcurl gave ends the transfer: the chunk is full.
  return take == n ? n : take;
}

bool DownloadManager::WritePending(DownloadTask* task) {
  if (task->pending.empty()) return true;
  const DWORD n = static_cast<DWORD>(task->pending.size());
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(task->pendingAt);
  DWORD written = 0;
  const bool ok = task->file != INVALID_HANDLE_VALUE &&
                  WriteFile(task->file, task->pending.data(), n, &written, &at) && written == n;
  task->pending.clear();
  if (ok) return true;
  task->streamValid = false;
  const DWORD error = GetLastError();
  Trace("recv write failed:" + task->job->path + ":" + Num(n) + ":begin:" + Num(task->pendingAt) +
        ":end:" + Num(task->end) + ":errno:" + Num(error) + "\n");
  task->failure = "write failed, errno " + Num(error);
  // Nothing of the block counts: the chunk continues from its first byte.
  AddDoneBytes(-static_cast<int64_t>(task->begin - task->pendingAt));
  task->begin = task->pendingAt;
  return false;
}

void DownloadManager::AddDoneBytes(int64_t delta) {
  doneBytes_ = std::max<int64_t>(0, doneBytes_ + delta);
  SizeMessageRule();
}

void DownloadManager::SizeMessageRule() {
  if (paused_) return;
  if (nowTick_ - lastSizeMessageTick_ >= 1000 || doneBytes_ >= totalBytes_) {
    lastSizeMessageTick_ = nowTick_;
    sink_->OnDownloadSize(totalBytes_, doneBytes_);
  }
}

void DownloadManager::OnTransferDone(CURL* handle, CURLcode result) {
  DownloadTask* task = nullptr;
  {
    nbase::AutoLock hold(lock_);
    auto it = std::find_if(runningTasks_.begin(), runningTasks_.end(),
                           [handle](const DownloadTask* t) { return t->handle == handle; });
    if (it != runningTasks_.end()) {
      task = *it;
      runningTasks_.erase(it);
    }
  }
  if (task == nullptr) {
    Trace("handle task but not found:" + Num(reinterpret_cast<uintptr_t>(handle)) + "\n");
    return;
  }
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  const std::string errorText = task->errorBuffer;
  FinishTask(task, kDownloadOk, "post", false, false);
  FileJob* job = task->job;
  // An attempt that moved the chunk on is not held against the base URL: a
  // slow or flaky link that keeps progressing must not use up the attempts.
  const bool advanced = task->complete() || task->begin - task->attemptBegin >= kProgressCountsFrom;

  if ((result != CURLE_OK || (status != 200 && status != 206)) && !task->complete()) {
    const bool urlLeft = advanced || CountAttempt(task);
    if (urlLeft) {
      waitingTasks_.push_back(task);
      return;
    }
    std::string message = Num(result) + "," + Num(status);
    const std::string detail = !task->failure.empty() ? task->failure : errorText;
    if (!detail.empty()) message += "," + detail;
    Trace(job->path + ":" + message + "\n");
    FailFile(task, kDownloadTransferError, message);
    return;
  }

  if (job->md5.empty()) {
    FinishTask(task, kDownloadOk, "", running_, true);
    if (job->liveTasks == 0) EraseJob(job);
    return;
  }
  switch (VerifyChunk(task)) {
    case 1:
      FinishTask(task, kDownloadOk, "", running_, true);
      if (job->liveTasks == 0) EraseJob(job);
      return;
    case 0:
      FinishTask(task, kDownloadOk, "waiting", false, true);
      return;
    case -2:
      RetryAfterMd5Mismatch(task);
      return;
    default: {
      const bool urlLeft = advanced || CountAttempt(task);
      if (urlLeft) {
        waitingTasks_.push_back(task);
        return;
      }
      FailFile(task, kDownloadFailed, "incomplete:" + Num(task->begin) + "-" + Num(task->end));
      return;
    }
  }
}

int DownloadManager::VerifyChunk(DownloadTask* task) {
  FileJob* job = task->job;
  if (!task->complete()) {
    Trace(job->path + ":" + Num(task->begin) + "<=" + Num(task->end) + "\n");
    return -1;
  }
  if (RemoveChunk(task) > 0) return 0;
  std::string actual;
  if (task->streamValid) {
    actual = task->streamMd5.HexDigest();
    if (actual == job->md5) return 1;
  } else {
    int64_t size = 0;
    if (FileMatchesMd5(job->widePath, job->md5, actual, size)) return 1;
  }
  Trace(job->path + ":" + job->md5 + "!=" + actual + "\n");
  return -2;
}

void DownloadManager::RetryAfterMd5Mismatch(DownloadTask* task) {
  FileJob* job = task->job;
  if (!CountAttempt(task)) {
    FinishTask(task, kDownloadMd5Error, "check md5 error", running_, true);
    if (job->liveTasks == 0) EraseJob(job);
    return;
  }
  const int attempts = task->attempts;
  const int urlIndex = task->urlIndex;
  FinishTask(task, kDownloadOk, "replace", false, true);
  DeleteFileIfPresent(job->localFile);
  DeleteFileIfPresent(ResumeFilePath(job->localFile));
  AddDoneBytes(-static_cast<int64_t>(job->size));
  // The whole file again, continuing the attempt counts on the same list.
  QueueFreshFile(job, attempts, urlIndex);
}

void DownloadManager::FailFile(DownloadTask* task, int code, const std::string& message) {
  FileJob* job = task->job;
  RecordProgress(task);
  FinishTask(task, code, message, running_, true);
  // The file has failed: its other chunks stop too, keeping what they fetched
  // in the resume file, so the caller hears one outcome and a later attempt
  // continues where this one stopped.
  DropJobTasks(job);
  if (!job->md5.empty()) WriteResumeFile(job->localFile, job->md5, job->ranges);
  if (job->liveTasks == 0) EraseJob(job);
}

void DownloadManager::DropJobTasks(FileJob* job) {
  std::vector<DownloadTask*> dropped;
  {
    nbase::AutoLock hold(lock_);
    for (auto it = runningTasks_.begin(); it != runningTasks_.end();) {
      if ((*it)->job == job) {
        dropped.push_back(*it);
        it = runningTasks_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto it = waitingTasks_.begin(); it != waitingTasks_.end();) {
    if ((*it)->job == job) {
      dropped.push_back(*it);
      it = waitingTasks_.erase(it);
    } else {
      ++it;
    }
  }
  for (DownloadTask* t : dropped) {
    // What was received counts only once it is on the disk.
    WritePending(t);
    if (t->file != INVALID_HANDLE_VALUE) FlushFileBuffers(t->file);
    RecordProgress(t);
    FinishTask(t, kDownloadOk, "cancel", false, true);
  }
}

void DownloadManager::EraseJob(FileJob* job) { chunkMap_.erase(job->key); }

void DownloadManager::CancelAll(int mode) {
  std::vector<FileJob*> jobs;
  for (auto& entry : chunkMap_) jobs.push_back(entry.second.get());
  for (FileJob* job : jobs) {
    const int live = job->liveTasks;
    DropJobTasks(job);
    if (live > 0 && !job->md5.empty()) WriteResumeFile(job->localFile, job->md5, job->ranges);
  }
  chunkMap_.clear();
  paused_ = false;
  totalBytes_ = 0;
  doneBytes_ = 0;
  speedSamples_.clear();
  lastSizeMessageTick_ = 0;
  lastSpeedMessageTick_ = 0;
  ResetSpeedStats();
  limitMode_ = mode == kSpeedLimitPreDownload ? kSpeedLimitPreDownload : kSpeedLimitDownload;
  limitChangePending_ = true;
}

void DownloadManager::Notify(FileJob* job, int code, const std::string& message) {
  for (const DownloadListener& l : job->listeners)
    NotifyOne(l.onDone, l.user, l.path, code, message);
}

void DownloadManager::NotifyOne(DownloadDoneCallback onDone, int user, const std::string& path,
                                int code, const std::string& message) {
  if (onDone != nullptr) notices_.push_back({onDone, user, path, code, message});
}

void DownloadManager::FlushNotices() {
  while (!notices_.empty()) {
    Notice notice = std::move(notices_.front());
    notices_.pop_front();
    if (running_) notice.onDone(notice.user, notice.code, notice.path, notice.message);
  }
}
