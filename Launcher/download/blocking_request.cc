// Blocking requests of DownloadManager: documents into memory, existence
// probes and single quick requests, on libcurl's easy interface.
#include <algorithm>
#include <exception>
#include <string>

#include <json/json.h>

#include "app/system_util.h"
#include "download/download_manager.h"
#include "download/download_task.h"
#include "download/url_util.h"

CURL* DownloadManager::RegisterRequest() {
  CurlEasyPtr handle(curl_easy_init());
  if (!handle) return nullptr;
  CURL* raw = handle.get();
  blockingRequests_.push_back(std::move(handle));
  return raw;
}

void DownloadManager::ReleaseRequest(CURL* handle) {
  blockingRequests_.remove_if([handle](const CurlEasyPtr& h) { return h.get() == handle; });
}

void DownloadManager::SetCommonRequestOptions(CURL* handle, const std::string& url,
                                              const std::string& postBody, long connectTimeout,
                                              long totalTimeout) {
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  ApplySecurityOptions(handle, caBundlePem_);
  curl_easy_setopt(handle, CURLOPT_USERAGENT, "libcurl-agent/1.0");
  curl_easy_setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(handle, CURLOPT_TCP_KEEPIDLE, 120L);
  curl_easy_setopt(handle, CURLOPT_TCP_KEEPINTVL, 20L);
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 10L);
  if (!postBody.empty()) {
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(postBody.size()));
    curl_easy_setopt(handle, CURLOPT_COPYPOSTFIELDS, postBody.c_str());
  }
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, connectTimeout);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT, totalTimeout);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  // libcurl asks at least once a second whether to go on, which lets a
  // request that waits on a silent server end soon after shut-down begins.
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &DownloadManager::AbortCheckThunk);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
}

DownloadManager::BlockingResult DownloadManager::PerformRequest(
    const std::string& url, const std::string& postBody, long connectTimeout, long totalTimeout,
    const char* range, MemoryBuffer* buffer) {
  BlockingResult outcome;
  CURL* handle = RegisterRequest();
  if (handle == nullptr) {
    outcome.result = CURLE_FAILED_INIT;
    return outcome;
  }
  ScopeExit release([this, handle] { ReleaseRequest(handle); });
  char errorBuffer[CURL_ERROR_SIZE] = {};
  SetCommonRequestOptions(handle, url, postBody, connectTimeout, totalTimeout);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
  if (range != nullptr) curl_easy_setopt(handle, CURLOPT_RANGE, range);
  if (buffer != nullptr) {
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &DownloadManager::OnMemoryData);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, buffer);
  } else {
    // A probe only wants the status; its body (one byte, or an error page)
    // goes nowhere, in particular not to standard output.
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &DownloadManager::DiscardData);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, nullptr);
  }
  outcome.result = curl_easy_perform(handle);
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &outcome.status);
  outcome.error = errorBuffer;
  outcome.overflow = buffer != nullptr && buffer->overflow;
  return outcome;
}

bool DownloadManager::DownloadMemory(const std::string& path, const std::string& postBody,
                                     DownloadResponseCallback onResponse, int user) {
  const std::string name = ::JoinUrl(path, postBody);
  if (activeUrlList_.empty()) {
    if (onResponse != nullptr) {
      onResponse(user, kDownloadFailed, name, nullptr, 0, "DownloadMemory URL is empty");
    }
    return false;
  }
  const std::vector<std::string> urls = activeUrlList_;
  int code = kDownloadOk;
  std::string message;
  MemoryBuffer buffer;
  buffer.owner = this;
  size_t index = 0;
  int attempts = 0;
  while (index < urls.size() && running_) {
    code = kDownloadOk;
    message.clear();
    buffer.data.clear();
    buffer.overflow = false;
    bool answered = false;
    try {
      const BlockingResult r =
          PerformRequest(BuildRequestUrl(urls[index], path), postBody, 10, 60, nullptr, &buffer);
      if (r.overflow) {
        code = kDownloadFailed;
        message = "DownloadMemory answer over " + std::to_string(kMaxMemoryResponse) + " bytes";
        buffer.data.clear();
        // The same host would send the same document again; try the next.
        attempts = 0;
        ++index;
        continue;
      }
      if (r.result != CURLE_OK || r.status != 200) {
        code = kDownloadUnreachable;
        message = r.result != CURLE_OK ? CurlErrorText(r.result, r.error.c_str())
                                       : std::to_string(r.status);
      } else {
        answered = true;
      }
    } catch (const std::exception& e) {
      code = kDownloadUnreachable;
      message = e.what();
    }
    if (answered) {
      // A body that is not JSON is not fetched again from another host; the
      // caller gets it with the parser's text and decides.
      if (!buffer.data.empty()) {
        Json::Value ignored;
        std::string error;
        if (!ParseJson(buffer.data, ignored, error)) message = error;
      }
      break;
    }
    if (++attempts >= attemptsPerUrl_) {
      attempts = 0;
      ++index;
    }
  }
  if (onResponse != nullptr && running_) {
    onResponse(user, code, name, buffer.data.c_str(), static_cast<int>(buffer.data.size()),
               message);
  }
  return true;
}

bool DownloadManager::CheckFile(const std::string& path, const std::string& postBody,
                                DownloadProbeCallback onProbe, int user) {
  if (activeUrlList_.empty()) return false;
  const std::vector<std::string> urls = activeUrlList_;
  int code = kDownloadOk;
  std::string message;
  bool exists = false;
  size_t index = 0;
  int attempts = 0;
  while (index < urls.size() && running_) {
    code = kDownloadOk;
    message.clear();
    exists = false;
    try {
      const BlockingResult r =
          PerformRequest(BuildRequestUrl(urls[index], path), postBody, 10, 60, "0-0", nullptr);
      if (r.result == CURLE_REMOTE_FILE_NOT_FOUND) break;
      if (r.result == CURLE_OK && (r.status == 200 || r.status == 206)) {
        exists = true;
        break;
      }
      if (r.result == CURLE_OK && r.status == 404) break;
      code = kDownloadUnreachable;
      message = r.result != CURLE_OK ? CurlErrorText(r.result, r.error.c_str())
                                     : std::to_string(r.status);
    } catch (const std::exception& e) {
      code = kDownloadUnreachable;
      message = e.what();
    }
    if (++attempts >= attemptsPerUrl_) {
      attempts = 0;
      ++index;
    }
  }
  if (onProbe != nullptr && running_) {
    onProbe(user, code, ::JoinUrl(path, postBody), exists, message);
  }
  return true;
}

bool DownloadManager::RequestUrl(const std::string& url, const std::string& postBody,
                                 DownloadResponseCallback onResponse, int user) {
  int code = kDownloadOk;
  std::string message;
  MemoryBuffer buffer;
  buffer.owner = this;
  try {
    const BlockingResult r = PerformRequest(EncodeUrlText(url), postBody, 5, 8, nullptr, &buffer);
    if (r.overflow) {
      code = kDownloadFailed;
      message = "RequestUrl answer over " + std::to_string(kMaxMemoryResponse) + " bytes";
      buffer.data.clear();
    } else if (r.result != CURLE_OK || r.status != 200) {
      code = kDownloadUnreachable;
      message = r.result != CURLE_OK ? CurlErrorText(r.result, r.error.c_str())
                                     : std::to_string(r.status);
    }
  } catch (const std::exception& e) {
    code = kDownloadUnreachable;
    message = e.what();
  }
  if (onResponse != nullptr && running_) {
    onResponse(user, code, ::JoinUrl(url, postBody), buffer.data.c_str(),
               static_cast<int>(buffer.data.size()), message);
  }
  return true;
}

size_t DownloadManager::OnMemoryData(char* data, size_t size, size_t count, void* buffer) {
  auto* b = static_cast<MemoryBuffer*>(buffer);
  if (b == nullptr || b->owner == nullptr || !b->owner->running_) return 0;
  const size_t n = size * count;
  if (n > kMaxMemoryResponse - std::min(b->data.size(), kMaxMemoryResponse)) {
    b->overflow = true;
    return 0;
  }
  try {
    b->data.append(data, n);
  } catch (const std::exception&) {
    return 0;
  }
  return n;
}

size_t DownloadManager::OnStringData(char* data, size_t size, size_t count, void* text) {
  const size_t n = size * count;
  auto* s = static_cast<std::string*>(text);
  if (s == nullptr) return 0;
  try {
    // Nothing reads report answers; keep only what a diagnosis could use.
    if (s->size() < 65536) s->append(data, std::min(n, 65536 - s->size()));
  } catch (const std::exception&) {
    return 0;
  }
  return n;
}

size_t DownloadManager::DiscardData(char*, size_t size, size_t count, void*) {
  return size * count;
}

int DownloadManager::AbortCheckThunk(void* engine, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* e = static_cast<DownloadManager*>(engine);
  return (e != nullptr && e->running_) ? 0 : 1;
}
