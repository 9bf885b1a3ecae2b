// Owners for libcurl's handles, the process-wide libcurl set-up, and the
// options every handle of the engine carries for its safety: verified TLS
// (the system's trusted roots plus an optional extra CA bundle) and http and
// https as the only schemes, for the request and for every redirect.
//
// Thread rules: libcurl's global set-up runs in a static initialiser before
// the entry point and its clean-up at process exit. A handle belongs to one
// thread at a time; the functions here touch only the handle they are given.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

struct CurlEasyDeleter {
  void operator()(CURL* handle) const {
    if (handle != nullptr) curl_easy_cleanup(handle);
  }
};
using CurlEasyPtr = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlMultiDeleter {
  void operator()(CURLM* handle) const {
    if (handle != nullptr) curl_multi_cleanup(handle);
  }
};
using CurlMultiPtr = std::unique_ptr<CURLM, CurlMultiDeleter>;

struct CurlSlistDeleter {
  void operator()(curl_slist* list) const {
    if (list != nullptr) curl_slist_free_all(list);
  }
};
using CurlSlistPtr = std::unique_ptr<curl_slist, CurlSlistDeleter>;

// Turns peer and host verification on, trusts the system's root store and,
// when `caBundlePem` is not empty, the certificates of that PEM text as well,
// and limits requests and redirects to http and https. The compiled-in CA
// paths of the library (a Linux file layout) are switched off, so a missing
// trust anchor shows as a verification error rather than a missing file.
void ApplySecurityOptions(CURL* handle, const std::string& caBundlePem);

// The library's error text for `result`, followed by " (" + detail + ")" when
// the handle's error buffer says more than that text.
std::string CurlErrorText(CURLcode result, const char* errorBuffer);
