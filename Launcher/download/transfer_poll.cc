// The transfer poll of DownloadManager: driving libcurl's multi interface,
// collecting finished transfers, starting waiting ones, stall detection, the
// speed limit, pause and resume, and the speed statistics.
#include <winsock2.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "download/download_manager.h"
#include "download/download_task.h"

namespace {

std::string Format3(double value) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.3f", value);
  return text;
}

int32_t TruncateToInt32(double value) {
  if (!(value > -2147483648.0)) return INT32_MIN;
  if (!(value < 2147483647.0)) return INT32_MAX;
  return static_cast<int32_t>(value);
}

}  // namespace

void DownloadManager::FillHandlePool() {
  for (int i = 0; i < kMaxRunningTasks; ++i) {
    CURL* h = curl_easy_init();
    if (h == nullptr) return;
    // HTTP/2 where TLS offers it (ALPN), HTTP/1.1 otherwise; a plain-text
    // upgrade attempt would only confuse servers that know no HTTP/2.
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
    ApplySecurityOptions(h, caBundlePem_);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &DownloadManager::FileDataThunk);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &DownloadManager::HeaderThunk);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 10L);
    // No total time-out: a large chunk on a slow or limited link may take
    // long while it progresses; CheckStalls ends the transfers that do not.
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &DownloadManager::TransferInfoThunk);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 500000L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    // An error status ends the transfer before any of its body is written.
    curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    handlePool_.push_back(h);
  }
}

std::vector<DownloadTask*> DownloadManager::RunningSnapshot() {
  nbase::AutoLock hold(lock_);
  return runningTasks_;
}

void DownloadManager::Poll() {
  if (!running_) return;
  nowTick_ = TickNow();
  ApplyPendingLimit();
  if (waitingTasks_.empty() && runningTasks_.empty()) return;
  if (!multiHandle_) return;
  const uint32_t pollStart = Tick();

  int stillRunning = 0;
  ReleaseHeldTransfers();
  curl_multi_perform(multiHandle_.get(), &stillRunning);
  CollectFinished();
  StartWaitingTasks();
  CheckStalls();
  FlushNotices();

  int idle = 0;
  while (running_ && !runningTasks_.empty() && idle <= 5) {
    fd_set readSet, writeSet, errorSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&errorSet);
    int maxFd = -1;
    if (curl_multi_fdset(multiHandle_.get(), &readSet, &writeSet, &errorSet, &maxFd) != CURLM_OK) {
      break;
    }
    // libcurl may hold data it has already read (TLS records, HTTP/2 frames
    // of other streams) that no socket shows: it then asks to be driven at
    // once, and waiting on the sockets would only add latency.
    long due = -1;
    curl_multi_timeout(multiHandle_.get(), &due);
    if (due != 0) {
      if (maxFd == -1) {
        ++idle;
        continue;
      }
      timeval wait = {0, 500};
      if (select(maxFd + 1, &readSet, &writeSet, &errorSet, &wait) <= 0) {
        ++idle;
        continue;
      }
    }
    nowTick_ = TickNow();
    ReleaseHeldTransfers();
    curl_multi_perform(multiHandle_.get(), &stillRunning);
    // Each finished transfer is collected at once and the next waiting one
    // started, so one slow transfer never holds up the other four places.
    CollectFinished();
    StartWaitingTasks();
    FlushNotices();
    if (Tick() - pollStart >= kPollBudgetMs) break;
  }
  FlushNotices();
}

void DownloadManager::CollectFinished() {
  bool changed = false;
  int left = 0;
  while (running_) {
    CURLMsg* message = curl_multi_info_read(multiHandle_.get(), &left);
    if (message == nullptr) break;
    if (message->msg != CURLMSG_DONE) continue;
    CURL* handle = message->easy_handle;
    const CURLcode result = message->data.result;
    OnTransferDone(handle, result);
    changed = true;
  }
  if (changed) ApplyTransferLimits();
  // Speed reports wait until libcurl has returned, so that a caller's
  // callback may do anything.
  for (DownloadTask* task : RunningSnapshot()) {
    if (task->speed < 0) continue;
    const double speed = task->speed;
    task->speed = -1;
    currentFile_ = task->job->localFile;
    const std::vector<DownloadListener> listeners = task->job->listeners;
    for (const DownloadListener& l : listeners) {
      if (l.onSpeed != nullptr && running_) l.onSpeed(l.user, speed);
    }
  }
}

void DownloadManager::StartWaitingTasks() {
  bool changed = false;
  while (running_ && !paused_ && !waitingTasks_.empty() &&
         runningCount() < static_cast<size_t>(kMaxRunningTasks)) {
    DownloadTask* task = waitingTasks_.front();
    waitingTasks_.pop_front();
    std::string error;
    if (StartTask(task, error)) {
      nbase::AutoLock hold(lock_);
      runningTasks_.push_back(task);
      changed = true;
      continue;
    }
    if (CountAttempt(task)) {
      waitingTasks_.push_back(task);
    } else {
      FailFile(task, kDownloadUnreachable, error);
    }
  }
  if (changed) ApplyTransferLimits();
}

void DownloadManager::ApplyTransferLimits() {
  const int64_t total = TotalLimit();
  if (total != rateLimit_) {
    rateLimit_ = total;
    rateBudget_ = 0;
    rateRefillTick_ = Tick();
  }
  const int64_t count = std::max<int64_t>(1, static_cast<int64_t>(runningCount()));
  // What one transfer gets on average when all draw from the one budget;
  // the stall test measures against it.
  transferLimit_ = total > 0 ? std::max<int64_t>(1, total / count) : 0;
  if (total == 0) ReleaseHeldTransfers();
}

void DownloadManager::RefillRateBudget() {
  const uint32_t now = Tick();
  const uint32_t elapsed = now - rateRefillTick_;
  rateRefillTick_ = now;
  // At most a quarter second of unused budget is kept, so a pause in the
  // traffic is not made up by a burst above the limit.
  const double cap = std::max(static_cast<double>(rateLimit_) / 4.0, 16384.0);
  rateBudget_ = std::min(cap, rateBudget_ + static_cast<double>(rateLimit_) * elapsed / 1000.0);
}

bool DownloadManager::TakeRateBudget(size_t bytes) {
  if (rateLimit_ <= 0) return true;
  RefillRateBudget();
  if (rateBudget_ <= 0) return false;
  // The piece is taken whole; the budget may go below zero and is then paid
  // back before anything else is received.
  rateBudget_ -= static_cast<double>(bytes);
  return true;
}

void DownloadManager::ReleaseHeldTransfers() {
  if (paused_) return;
  std::vector<DownloadTask*> held;
  for (DownloadTask* task : RunningSnapshot()) {
    if (task->rateHeld && task->handle != nullptr) held.push_back(task);
  }
  if (held.empty()) return;
  if (rateLimit_ > 0) {
    RefillRateBudget();
    if (rateBudget_ <= 0) return;
  }
  // Take turns, so that the first transfer in the list does not always get
  // the fresh budget.
  const size_t first = releaseTurn_++ % held.size();
  for (size_t i = 0; i < held.size(); ++i) {
    DownloadTask* task = held[(first + i) % held.size()];
    if (!IsTaskRunning(task) || !task->rateHeld) continue;
    task->rateHeld = false;
    curl_easy_pause(task->handle, CURLPAUSE_CONT);
  }
}

void DownloadManager::ApplyPendingLimit() {
  if (!limitChangePending_.exchange(false)) return;
  ApplyTransferLimits();
  speedSamples_.clear();
}

void DownloadManager::ApplySpeedLimit(int mode, const SpeedLimitSetting& setting) {
  if (mode != kSpeedLimitDownload && mode != kSpeedLimitPreDownload) return;
  nbase::AutoLock hold(lock_);
  limits_[mode] = setting;
  if (mode == limitMode_) limitChangePending_ = true;
}

void DownloadManager::CheckStalls() {
  if (paused_) return;
  int64_t rate = stallBytesPerSecond_;
  if (transferLimit_ > 0) rate = std::min<int64_t>(rate, std::max<int64_t>(1, transferLimit_ / 2));
  const int64_t needed = rate * stallSeconds_;
  const int window = stallSeconds_ * 1000;
  bool changed = false;
  for (DownloadTask* task : RunningSnapshot()) {
    const int elapsed = nowTick_ - task->stallTick;
    if (elapsed < 0) {  // the tick wrapped
      task->stallTick = nowTick_;
      task->stallBegin = task->begin;
      continue;
    }
    if (elapsed < window) continue;
    if (task->begin - task->stallBegin >= needed || task->complete()) {
      task->stallTick = nowTick_;
      task->stallBegin = task->begin;
      continue;
    }
    task->failure = "stalled: less than " + std::to_string(rate) + " bytes/s for " +
                    std::to_string(stallSeconds_) + " s";
    OnTransferDone(task->handle, CURLE_OPERATION_TIMEDOUT);
    changed = true;
  }
  if (changed) ApplyTransferLimits();
}

void DownloadManager::RestartStallWatch() {
  const int now = TickNow();
  for (DownloadTask* task : RunningSnapshot()) {
    task->stallTick = now;
    task->stallBegin = task->begin;
  }
}

int DownloadManager::TransferInfoThunk(void* task, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<DownloadTask*>(task);
  if (t == nullptr) return 0;
  return t->owner->OnTransferInfo(t);
}

int DownloadManager::OnTransferInfo(DownloadTask* task) {
  if (!IsTaskRunning(task) || task->handle == nullptr) return 0;
  curl_off_t speed = 0;
  if (curl_easy_getinfo(task->handle, CURLINFO_SPEED_DOWNLOAD_T, &speed) != CURLE_OK) return 0;
  task->speed = static_cast<double>(speed);
  return 0;
}

void DownloadManager::AddSpeedSample(double bytesPerSecond) {
  speedSamples_.push_back(bytesPerSecond);
  while (speedSamples_.size() > 60) speedSamples_.pop_front();
  if (paused_ || nowTick_ - lastSpeedMessageTick_ < 1000) return;
  lastSpeedMessageTick_ = nowTick_;
  int64_t sum = 0;
  for (double sample : speedSamples_) sum += TruncateToInt32(sample);
  const int64_t transfers = std::max<int64_t>(1, static_cast<int64_t>(runningCount()));
  const int64_t speed = sum / static_cast<int64_t>(speedSamples_.size()) * transfers;
  const int64_t remaining =
      (totalBytes_ >= doneBytes_ && speed > 0) ? (totalBytes_ - doneBytes_) / speed : 0;
  currentSpeed_ = speed;
  if (speed < lowestSpeed_ && speedSamples_.size() > 30) {
    lowestSpeed_ = speed;
    lowestSpeedFile_ = currentFile_;
  }
  if (speed > highestSpeed_) highestSpeed_ = speed;
  bytesAtLastSample_ = doneBytes_;
  sink_->OnDownloadSpeed(remaining, speed);
}

void DownloadManager::SetTotalBytes(int64_t total) {
  totalBytes_ = total;
  speedStartTick_ = Tick();
  sink_->OnDownloadSize(totalBytes_, doneBytes_);
}

void DownloadManager::ResetSpeedStats() {
  currentSpeed_ = 0;
  lowestSpeed_ = 100000000000LL;
  highestSpeed_ = 0;
  lowestSpeedFile_.clear();
  bytesAtLastSample_ = 0;
  speedStartTick_ = Tick();
}

void DownloadManager::TogglePause() {
  if (paused_) {
    Resume();
    return;
  }
  paused_ = true;
  for (DownloadTask* task : RunningSnapshot()) {
    if (task->handle != nullptr) curl_easy_pause(task->handle, CURLPAUSE_ALL);
  }
  sink_->OnDownloadPaused(true);
  ReportSpeedStats("pause");
  ReportDownloadStats("15", "click_launch_pause_game", true);
}

void DownloadManager::Resume() {
  paused_ = false;
  for (DownloadTask* task : RunningSnapshot()) {
    // Un-pausing may hand buffered data to the write callback at once.
    if (task->handle != nullptr && IsTaskRunning(task)) {
      task->rateHeld = false;
      curl_easy_pause(task->handle, CURLPAUSE_CONT);
    }
  }
  // Paused time never counts towards a stall.
  RestartStallWatch();
  ResetSpeedStats();
  sink_->SendLauncherDetailEvent("16", "", "", "");
  sink_->SendAttributionEvent("click_launch_continue_download_game", "", "", "");
  sink_->OnDownloadPaused(false);
  FlushNotices();
}

void DownloadManager::ReportSpeedStats(const std::string& action) {
  if (currentSpeed_ <= 0) return;
  const int64_t base = sink_->StatsDownloadSize();
  const int64_t bytes = bytesAtLastSample_ - base;
  const float seconds =
      static_cast<float>(static_cast<uint32_t>(Tick() - speedStartTick_)) * 0.001f;
  const int64_t whole = static_cast<int64_t>(seconds);
  const float speed = whole != 0 ? static_cast<float>(bytes) / static_cast<float>(whole)
                                 : static_cast<float>(currentSpeed_);
  sink_->SendLauncherEvent("", Format3(speed / 1048576.0f), Format3(bytes / 1073741824.0f), action,
                           "", true);
}

void DownloadManager::ReportDownloadStats(const std::string& actionId, const std::string& eventName,
                                          bool onlyIfSpeed) {
  if (currentSpeed_ <= 0 && onlyIfSpeed) return;
  const int64_t seconds = static_cast<uint32_t>(Tick() - speedStartTick_) / 1000;
  const int64_t base = sink_->StatsDownloadSize();
  const int64_t bytes = bytesAtLastSample_ - base;
  const int64_t speed = seconds > 0 ? bytes / seconds : currentSpeed_;
  const std::string speedText = Format3(static_cast<double>(speed) / 1048576.0);
  const std::string sizeText = Format3(static_cast<double>(bytes) / 1073741824.0);
  const std::string timeText = std::to_string(seconds);
  sink_->UpdateDownloadStats(speed, bytesAtLastSample_, seconds);
  sink_->SendLauncherDetailEvent(actionId, speedText, sizeText, timeText);
  sink_->SendAttributionEvent(eventName, speedText, sizeText, timeText);
}
