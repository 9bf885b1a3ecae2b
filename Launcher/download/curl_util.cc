#include "download/curl_util.h"

#include <cstdint>
#include <cstring>
#include <ctime>

namespace {

// libcurl's global state must exist before any thread could make a handle.
struct CurlGlobal {
  CurlGlobal() { curl_global_init(CURL_GLOBAL_ALL); }
  ~CurlGlobal() { curl_global_cleanup(); }
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;
};
const CurlGlobal g_curl_global;

}  // namespace

// nghttp2 1.52 built with MinGW finds both clock_gettime and GetTickCount64,
// and then calls the wall-clock fallback it only defines when
// GetTickCount64 is missing. Its HTTP/2 code links only with this.
extern "C" uint64_t time_now_sec(void) {
  const time_t now = time(nullptr);
  return now == static_cast<time_t>(-1) ? 0 : static_cast<uint64_t>(now);
}

void ApplySecurityOptions(CURL* handle, const std::string& caBundlePem) {
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA));
  curl_easy_setopt(handle, CURLOPT_CAINFO, static_cast<char*>(nullptr));
  curl_easy_setopt(handle, CURLOPT_CAPATH, static_cast<char*>(nullptr));
  if (!caBundlePem.empty()) {
    curl_blob blob;
    blob.data = const_cast<char*>(caBundlePem.data());
    blob.len = caBundlePem.size();
    blob.flags = CURL_BLOB_COPY;
    curl_easy_setopt(handle, CURLOPT_CAINFO_BLOB, &blob);
  }
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
}

std::string CurlErrorText(CURLcode result, const char* errorBuffer) {
  std::string text = curl_easy_strerror(result);
  if (errorBuffer != nullptr && errorBuffer[0] != '\0' && text != errorBuffer) {
    text += " (";
    text += errorBuffer;
    text += ")";
  }
  return text;
}
