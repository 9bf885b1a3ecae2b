// The launcher's only HTTP(S) client, on libcurl: files fetched in 32 MiB
// ranged chunks with a resume file beside each and an md5 check of the whole
// file, retried over a list of base URLs (three attempts per URL); blocking
// in-memory requests and existence probes; speed measurement, pause and a
// speed limit; a queue of JSON reports sent one per call; and a diagnostic
// trace in .\save\dltrace.log.
//
// Thread rules. Everything runs on the worker thread (kMiscThreadId) except
// ApplySpeedLimit and StopRunning, which the UI thread calls; both only store
// values (under `lock_` or atomically) that the worker picks up in its next
// Poll, so no easy handle is ever touched from another thread. `running` and
// `paused` are atomic flags readable anywhere. File callbacks run inside Poll,
// request callbacks inside the request call, always with no lock held and
// after the engine's own lists are consistent again, so a callback may queue
// or cancel downloads.
#pragma once

#include <windows.h>

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/lock.h"
#include "download/chunk_file.h"
#include "download/curl_util.h"
#include "download/download_types.h"

struct DownloadTask;
struct FileJob;

class DownloadManager {
 public:
  static constexpr int kMaxRunningTasks = 5;
  static constexpr int kAttemptsPerUrl = 3;
  // In-memory answers beyond this fail instead of growing without bound.
  static constexpr size_t kMaxMemoryResponse = 64u << 20;
  // A poll keeps driving busy transfers at most this long before it lets the
  // worker's other tasks run.
  static constexpr uint32_t kPollBudgetMs = 100;

  using TickSource = uint32_t (*)();

  // The process's engine, made on first use.
  static DownloadManager& Instance();

  // The launcher uses Instance(); tests make engines of their own.
  DownloadManager();
  ~DownloadManager();
  DownloadManager(const DownloadManager&) = delete;
  DownloadManager& operator=(const DownloadManager&) = delete;

  // ------------------------------------------------------------ start-up (T1)
  // Where reports go; null restores the sink that does nothing. Set before
  // Init; the sink must outlive the engine's use of it.
  void SetSink(DownloadSink* sink);
  // Built-in or overridden endpoints, the multi handle, five pooled transfer
  // handles, a fresh empty trace file; running from here on.
  void Init(const DownloadSettings& settings);
  // Stops and cancels every transfer and request, drops unsent reports and
  // frees the transfer handles.
  void Shutdown();
  // Clears `running` (the UI thread at exit): loops and callbacks end early.
  void StopRunning() { running_ = false; }
  bool running() const { return running_; }
  bool paused() const { return paused_; }

  // ------------------------------------------------------------ URL lists (T1)
  // The resource list becomes the "DlcURLs" override when it is not empty,
  // else `urls`.
  void SetResourceUrls(const std::vector<std::string>& urls);
  void UseGateUrls();
  void UseResourceUrls();
  std::string AttributionUrl() const { return attributionUrl_; }
  const std::string& trackingUrl() const { return trackingUrl_; }
  const std::string& ipEchoUrl() const { return ipEchoUrl_; }
  const std::vector<std::string>& gateUrlList() const { return gateUrlList_; }
  const std::vector<std::string>& resourceUrlList() const { return resourceUrlList_; }
  const std::vector<std::string>& activeUrlList() const { return activeUrlList_; }
  // The gate answer's "UseWebExtraParam": transfer URLs get "t=<tick>".
  void SetUseWebExtraParam(bool on) { useWebExtraParam_ = on; }

  // Appends `line` (which ends in "\n") to the trace file.
  void Trace(const std::string& line);
  const std::wstring& tracePath() const { return tracePath_; }

  // ---------------------------------------------------------- file downloads (T1)
  // Queues `localFile` (ANSI code page) from `path` on the active URL list,
  // whose copy the file keeps for all its attempts. `md5` empty: fetched as
  // one range, not verified, no resume file. Callers pass 0, 0 for the last
  // two. A file already queued with the same md5 and size is not queued
  // again: this caller is told when that download ends. Every call gets
  // exactly one onDone: code 0 (done) or one of the negative codes of
  // download_types.h (failed).
  void DownloadFile(const std::string& path, const std::string& localFile, const std::string& md5,
                    int size, DownloadDoneCallback onDone, DownloadSpeedCallback onSpeed, int user,
                    int attempts, int urlIndex);
  // Drops every queued and running transfer without a callback, records their
  // progress in their resume files, resets the batch and speed statistics
  // and makes `mode` the limit mode.
  void CancelAll(int mode);

  // ------------------------------------------------------------ the poll (T1)
  void Poll();
  void AddSpeedSample(double bytesPerSecond);
  void SetTotalBytes(int64_t total);
  void TogglePause();
  void Resume();
  // Any thread (the UI thread after a settings change): stores the limit of
  // `mode` for all transfers together; when `mode` is the limit mode in force,
  // the worker's next poll shares it out over the running transfers and
  // empties the speed samples.
  void ApplySpeedLimit(int mode, const SpeedLimitSetting& setting);
  void ResetSpeedStats();
  void ReportSpeedStats(const std::string& action);
  void ReportDownloadStats(const std::string& actionId, const std::string& eventName,
                           bool onlyIfSpeed);

  // ----------------------------------------------------- blocking requests (T1)
  // GETs (POSTs when `postBody` is not empty) `path` on the active URL list
  // into memory and calls back before it returns. False only when the list is
  // empty.
  bool DownloadMemory(const std::string& path, const std::string& postBody,
                      DownloadResponseCallback onResponse, int user);
  // Asks with a one-byte range whether `path` exists. False, and no
  // callback, when the active list is empty.
  bool CheckFile(const std::string& path, const std::string& postBody,
                 DownloadProbeCallback onProbe, int user);
  // One quick request to an absolute URL. Always true.
  bool RequestUrl(const std::string& url, const std::string& postBody,
                  DownloadResponseCallback onResponse, int user);
  static std::string JoinUrl(const std::string& base, const std::string& tail);

  // --------------------------------------------------------------- reports (T1)
  void Report(const std::string& body, const std::string& url, bool now);
  void SendNextReport();
  void SendReport(const std::string& body, const std::string& url);
  const std::string& reportReply() const { return reportReply_; }
  size_t QueuedReportCount() const;

  // ------------------------------------------------------------ readers (T1)
  int64_t totalBytes() const { return totalBytes_; }
  int64_t doneBytes() const { return doneBytes_; }
  int64_t currentSpeed() const { return currentSpeed_; }
  int64_t lowestSpeed() const { return lowestSpeed_; }
  int64_t highestSpeed() const { return highestSpeed_; }
  const std::string& lowestSpeedFile() const { return lowestSpeedFile_; }
  const std::string& currentFile() const { return currentFile_; }
  size_t speedSampleCount() const { return speedSamples_.size(); }
  size_t waitingCount() const { return waitingTasks_.size(); }
  size_t runningCount() const;
  size_t queuedFileCount() const { return chunkMap_.size(); }
  int limitMode() const { return limitMode_; }
  int nowTick() const { return nowTick_; }
  // Each running transfer's share of the total limit in bytes per second
  // (0: none). The limit itself is one budget that all transfers draw from.
  int64_t transferLimit() const { return transferLimit_; }
  // The total limit in force for the current limit mode (0: none).
  int64_t TotalLimit() const;

  // Tests replace the system's millisecond tick.
  void SetTickSourceForTesting(TickSource source) { tickSource_ = source; }

 private:
  struct Notice {
    DownloadDoneCallback onDone;
    int user;
    std::string path;
    int code;
    std::string message;
  };

  struct BlockingResult {
    CURLcode result = CURLE_OK;
    long status = 0;
    std::string error;  // the handle's error buffer
    bool overflow = false;
  };

  // The response buffer of one memory request.
  struct MemoryBuffer {
    DownloadManager* owner = nullptr;
    std::string data;
    bool overflow = false;
  };

  uint32_t Tick() const { return tickSource_(); }
  int TickNow() const { return static_cast<int>(Tick() % 2147483647u); }

  // file_download.cc
  void QueueFileTasks(FileJob* job, int attempts, int urlIndex);
  // `prepared`: the file is no longer than its size already (or missing).
  void QueueFreshFile(FileJob* job, int attempts, int urlIndex, bool prepared = false);
  DownloadTask* NewTask(FileJob* job, const ChunkRange& range, int attempts, int urlIndex);
  bool StartTask(DownloadTask* task, std::string& error);
  void FinishTask(DownloadTask* task, int code, const std::string& message, bool notify, bool free);
  void OnTransferDone(CURL* handle, CURLcode result);
  int VerifyChunk(DownloadTask* task);
  void RetryAfterMd5Mismatch(DownloadTask* task);
  void FailFile(DownloadTask* task, int code, const std::string& message);
  void DropJobTasks(FileJob* job);
  void EraseJob(FileJob* job);
  void AddChunk(DownloadTask* task);
  int RemoveChunk(DownloadTask* task);
  void RecordProgress(DownloadTask* task);
  bool CountAttempt(DownloadTask* task);
  bool IsTaskRunning(const DownloadTask* task);
  bool AcceptResponse(DownloadTask* task, std::string& reason);
  size_t OnFileData(char* data, size_t n, DownloadTask* task);
  bool WritePending(DownloadTask* task);
  void AddDoneBytes(int64_t delta);
  void SizeMessageRule();
  void Notify(FileJob* job, int code, const std::string& message);
  void NotifyOne(DownloadDoneCallback onDone, int user, const std::string& path, int code,
                 const std::string& message);
  void FlushNotices();
  static size_t FileDataThunk(char* data, size_t size, size_t count, void* task);
  static size_t HeaderThunk(char* data, size_t size, size_t count, void* task);

  // transfer_poll.cc
  void FillHandlePool();
  void CollectFinished();
  void StartWaitingTasks();
  void ApplyTransferLimits();
  void ApplyPendingLimit();
  void CheckStalls();
  void RestartStallWatch();
  bool TakeRateBudget(size_t bytes);
  void RefillRateBudget();
  void ReleaseHeldTransfers();
  std::vector<DownloadTask*> RunningSnapshot();
  int OnTransferInfo(DownloadTask* task);
  static int TransferInfoThunk(void* task, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

  // blocking_request.cc
  CURL* RegisterRequest();
  void ReleaseRequest(CURL* handle);
  void SetCommonRequestOptions(CURL* handle, const std::string& url, const std::string& postBody,
                               long connectTimeout, long totalTimeout);
  BlockingResult PerformRequest(const std::string& url, const std::string& postBody,
                                long connectTimeout, long totalTimeout, const char* range,
                                MemoryBuffer* buffer);
  static size_t OnMemoryData(char* data, size_t size, size_t count, void* buffer);
  static size_t OnStringData(char* data, size_t size, size_t count, void* text);
  static size_t DiscardData(char* data, size_t size, size_t count, void* unused);
  static int AbortCheckThunk(void* engine, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

  CurlMultiPtr multiHandle_;
  std::atomic<bool> running_{false};
  std::atomic<bool> paused_{false};
  int attemptsPerUrl_ = kAttemptsPerUrl;
  std::atomic<int> limitMode_{kSpeedLimitDownload};
  std::vector<std::string> gateUrlList_;
  std::vector<std::string> resourceUrlList_;
  std::vector<std::string> activeUrlList_;
  std::vector<std::string> dlcUrlOverride_;
  std::deque<DownloadTask*> waitingTasks_;
  std::vector<DownloadTask*> runningTasks_;  // guarded by lock_
  std::list<CurlEasyPtr> blockingRequests_;
  std::vector<CURL*> handlePool_;
  mutable nbase::Lock lock_;
  // File key (full path, lower case) to the file's job.
  std::map<std::string, std::unique_ptr<FileJob>> chunkMap_;
  int64_t totalBytes_ = 0;
  int64_t doneBytes_ = 0;
  int64_t currentSpeed_ = 0;
  int64_t lowestSpeed_ = 100000000000LL;
  int64_t highestSpeed_ = 0;
  int64_t bytesAtLastSample_ = 0;
  std::string lowestSpeedFile_;
  std::string currentFile_;
  int lastSizeMessageTick_ = 0;
  std::deque<double> speedSamples_;
  int lastSpeedMessageTick_ = 0;
  int nowTick_ = 0;
  uint32_t speedStartTick_ = 0;
  std::wstring tracePath_;
  std::string trackingUrl_;
  std::string ipEchoUrl_;
  std::string attributionUrl_;
  std::string reportReply_;
  std::map<std::string, std::deque<std::string>> reportQueue_;

  // Limits of both modes (guarded by lock_) and the request to share the
  // current one out anew, set on any thread, served by Poll.
  SpeedLimitSetting limits_[2];
  std::atomic<bool> limitChangePending_{false};
  int64_t transferLimit_ = 0;
  // The speed limit as a token bucket shared by all transfers: bytes that
  // may still be received now, refilled at the limit's rate.
  int64_t rateLimit_ = 0;
  double rateBudget_ = 0;
  uint32_t rateRefillTick_ = 0;
  size_t releaseTurn_ = 0;
  int stallSeconds_ = 60;
  int stallBytesPerSecond_ = 1024;
  std::string caBundlePem_;
  bool useWebExtraParam_ = false;
  DownloadSink defaultSink_;
  DownloadSink* sink_ = &defaultSink_;
  TickSource tickSource_;
  std::deque<Notice> notices_;
};
