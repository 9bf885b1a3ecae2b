#include "download/download_manager.h"

#include <exception>
#include <string>

#include "app/file_util.h"
#include "base/text_util.h"
#include "download/download_task.h"
#include "download/url_util.h"

namespace {

// The maker's endpoints, set by the build (see the README); the defaults
// point at a closed loopback port, so a development build reaches nothing.
// The gate list names its first host twice, so that a gate request tries the
// main gate six times before the global one.
const char* const kBuiltInGateUrls[] = {
    LAUNCHER_GATE_URL,
    LAUNCHER_GATE_URL,
    LAUNCHER_GATE_GLOBAL_URL,
};
constexpr char kBuiltInTrackingUrl[] = LAUNCHER_TRACK_URL;
constexpr char kBuiltInAttributionUrl[] = LAUNCHER_ATTRIBUTION_URL;
constexpr char kBuiltInIpEchoUrl[] = LAUNCHER_IP_ECHO_URL;

uint32_t SystemTick() { return GetTickCount(); }

struct HandleCloser {
  void operator()(HANDLE h) const {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
using ScopedHandle = std::unique_ptr<void, HandleCloser>;

}  // namespace

DownloadManager& DownloadManager::Instance() {
  static DownloadManager engine;
  return engine;
}

DownloadManager::DownloadManager() : tickSource_(&SystemTick) {}

DownloadManager::~DownloadManager() {
  // Normally Shutdown has run; an engine dropped without it (tests) must not
  // leave transfers or handles behind.
  running_ = false;
  for (DownloadTask* task : runningTasks_) {
    if (task->file != INVALID_HANDLE_VALUE) CloseHandle(task->file);
    if (task->handle != nullptr) {
      curl_multi_remove_handle(multiHandle_.get(), task->handle);
      curl_easy_cleanup(task->handle);
    }
    delete task;
  }
  runningTasks_.clear();
  for (DownloadTask* task : waitingTasks_) {
    if (task->file != INVALID_HANDLE_VALUE) CloseHandle(task->file);
    if (task->handle != nullptr) curl_easy_cleanup(task->handle);
    delete task;
  }
  waitingTasks_.clear();
  for (CURL* handle : handlePool_) curl_easy_cleanup(handle);
  handlePool_.clear();
  blockingRequests_.clear();
}

void DownloadManager::SetSink(DownloadSink* sink) {
  sink_ = sink != nullptr ? sink : &defaultSink_;
}

void DownloadManager::Init(const DownloadSettings& settings) {
  attributionUrl_ =
      settings.attributionUrl.empty() ? kBuiltInAttributionUrl : settings.attributionUrl;
  if (!settings.gateUrls.empty()) {
    gateUrlList_ = settings.gateUrls;
  } else {
    gateUrlList_.assign(std::begin(kBuiltInGateUrls), std::end(kBuiltInGateUrls));
  }
  trackingUrl_ = settings.trackUrl.empty() ? kBuiltInTrackingUrl : settings.trackUrl;
  ipEchoUrl_ = settings.ipEchoUrl.empty() ? kBuiltInIpEchoUrl : settings.ipEchoUrl;
  dlcUrlOverride_ = settings.dlcUrls;
  {
    nbase::AutoLock hold(lock_);
    limits_[kSpeedLimitDownload] = settings.downloadLimit;
    limits_[kSpeedLimitPreDownload] = settings.preDownloadLimit;
  }
  stallSeconds_ = settings.stallSeconds > 0 ? settings.stallSeconds : 60;
  stallBytesPerSecond_ = settings.stallBytesPerSecond > 0 ? settings.stallBytesPerSecond : 1;

  bool bundleRead = true;
  caBundlePem_.clear();
  if (!settings.caBundle.empty()) {
    std::wstring bundlePath;
    TextUtil::Utf8ToWide(settings.caBundle.c_str(), bundlePath);
    bundleRead = ReadFileTextW(bundlePath, caBundlePem_) && !caBundlePem_.empty();
    if (!bundleRead) caBundlePem_.clear();
  }

  multiHandle_.reset(curl_multi_init());
  if (multiHandle_) {
    curl_multi_setopt(multiHandle_.get(), CURLMOPT_PIPELINING,
                      static_cast<long>(CURLPIPE_MULTIPLEX));
  }
  totalBytes_ = 0;
  doneBytes_ = 0;
  running_ = true;
  paused_ = false;
  attemptsPerUrl_ = kAttemptsPerUrl;
  limitMode_ = kSpeedLimitDownload;
  limitChangePending_ = true;
  nowTick_ = 0;
  reportReply_.clear();
  FillHandlePool();

  tracePath_ = NormalizeDirW(SaveDirW(), true) + L"dltrace.log";
  ScopedHandle trace(CreateFileW(tracePath_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  trace.reset();
  if (!bundleRead) Trace("ca bundle unreadable:" + settings.caBundle + "\n");
}

void DownloadManager::Shutdown() {
  running_ = false;
  paused_ = true;
  CancelAll(kSpeedLimitDownload);
  notices_.clear();
  reportQueue_.clear();
  blockingRequests_.clear();
  for (CURL* handle : handlePool_) curl_easy_cleanup(handle);
  handlePool_.clear();
}

void DownloadManager::SetResourceUrls(const std::vector<std::string>& urls) {
  resourceUrlList_ = dlcUrlOverride_.empty() ? urls : dlcUrlOverride_;
}

void DownloadManager::UseGateUrls() { activeUrlList_ = gateUrlList_; }

void DownloadManager::UseResourceUrls() { activeUrlList_ = resourceUrlList_; }

std::string DownloadManager::JoinUrl(const std::string& base, const std::string& tail) {
  return ::JoinUrl(base, tail);
}

void DownloadManager::Trace(const std::string& line) {
  if (tracePath_.empty()) return;
  ScopedHandle file(CreateFileW(tracePath_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

size_t DownloadManager::runningCount() const {
  nbase::AutoLock hold(lock_);
  return runningTasks_.size();
}

int64_t DownloadManager::TotalLimit() const {
  SpeedLimitSetting setting;
  {
    nbase::AutoLock hold(lock_);
    setting = limits_[limitMode_ == kSpeedLimitPreDownload ? 1 : 0];
  }
  if (!setting.enabled || setting.kilobytesPerSecond <= 0) return 0;
  return static_cast<int64_t>(setting.kilobytesPerSecond) * 1024;
}

// ------------------------------------------------------------------ reports

void DownloadManager::Report(const std::string& body, const std::string& url, bool now) {
  if (now) {
    SendReport(body, url);
    return;
  }
  reportQueue_[url].push_back(body);
}

void DownloadManager::SendNextReport() {
  for (auto& entry : reportQueue_) {
    if (entry.second.empty()) continue;
    const std::string body = entry.second.front();
    entry.second.pop_front();
    const std::string url = entry.first;
    SendReport(body, url);
    return;
  }
}

size_t DownloadManager::QueuedReportCount() const {
  size_t count = 0;
  for (const auto& entry : reportQueue_) count += entry.second.size();
  return count;
}

void DownloadManager::SendReport(const std::string& body, const std::string& url) {
  try {
    CURL* handle = RegisterRequest();
    if (handle == nullptr) return;
    ScopeExit release([this, handle] { ReleaseRequest(handle); });
    CurlSlistPtr headers(
        curl_slist_append(nullptr, "Content-Type:application/json; charset=UTF-8"));
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_HEADER, 0L);
    // The body ends at its first zero byte, as a C string would.
    const std::string text = body.substr(0, body.find('\0'));
    if (url == attributionUrl_) {
      curl_easy_setopt(handle, CURLOPT_URL, EncodeUrlText(url + "?" + text).c_str());
      curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    } else {
      curl_easy_setopt(handle, CURLOPT_URL, EncodeUrlText(url).c_str());
      curl_easy_setopt(handle, CURLOPT_POST, 1L);
      curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(text.size()));
      curl_easy_setopt(handle, CURLOPT_COPYPOSTFIELDS, text.c_str());
    }
    ApplySecurityOptions(handle, caBundlePem_);
    curl_easy_setopt(handle, CURLOPT_VERBOSE, 0L);
    reportReply_.clear();
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &DownloadManager::OnStringData);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reportReply_);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 6L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, 6L);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &DownloadManager::AbortCheckThunk);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
    curl_easy_perform(handle);
  } catch (const std::exception&) {
    // A report is fire-and-forget: a failed one is simply lost.
  }
}
