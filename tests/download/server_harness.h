// What the download engine's tests share: the local test servers of
// tests/servers started from a Windows test under Wine (Python processes on
// 127.0.0.1 that report their port through a ready file and are stopped
// through their control endpoint), a test CA, a small HTTP client for the
// control endpoints, a worker thread that polls an engine as the launcher's
// worker does, and recorders for the engine's callbacks and reports.
//
// Threads: the recorders lock; everything else belongs to the test's thread.
#pragma once

#include <windows.h>
#include <winsock2.h>

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "app/file_util.h"
#include "app/system_util.h"
#include "base/framework_thread.h"
#include "base/lock.h"
#include "base/text_util.h"
#include "base/thread_registry.h"
#include "download/curl_util.h"
#include "download/download_manager.h"
#include "download/md5.h"
#include "test_process.h"

namespace dltest {

// ----------------------------------------------------------------- paths

// The Linux folder of tests/servers, found from where this header lives.
inline std::string ServersDir() {
  std::string here = __FILE__;
  for (char& c : here) {
    if (c == '\\') c = '/';
  }
  const size_t cut = here.rfind("/download/");
  return here.substr(0, cut) + "/servers";
}

// A Linux path as Wine shows it ("/tmp/x" is "Z:\tmp\x").
inline std::wstring WinePath(const std::string& unixPath) {
  std::wstring out = L"Z:";
  for (char c : unixPath) out += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return out;
}

// A fresh folder under /tmp that both sides can reach, removed at the end.
class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<int> counter{0};
    for (;;) {
      unix_ = "/tmp/dltest-" + std::to_string(GetCurrentProcessId()) + "-" +
              std::to_string(GetTickCount()) + "-" + std::to_string(++counter);
      wine_ = WinePath(unix_);
      if (CreateDirectoryW(wine_.c_str(), nullptr)) break;
      if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
  }
  ~ScratchDir() { RemoveTreeW(wine_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& unix() const { return unix_; }
  const std::wstring& wine() const { return wine_; }
  std::string Unix(const std::string& name) const { return unix_ + "/" + name; }
  std::wstring Wine(const std::string& name) const { return WinePath(Unix(name)); }

 private:
  std::string unix_;
  std::wstring wine_;
};

inline bool WriteText(const std::wstring& path, const std::string& text) {
  return testsupport::WriteWholeFile(path, text);
}

inline std::string ReadText(const std::wstring& path) { return testsupport::ReadWholeFile(path); }

// Starts a Linux program; Wine gives no usable handle for it, so callers
// learn about it through files it writes.
inline bool SpawnLinux(const std::string& program, const std::string& arguments) {
  std::wstring line = L"\"" + WinePath(program) + L"\" ";
  for (char c : arguments) line += static_cast<wchar_t>(c);
  // A server that outlived its test must not hold CTest's output pipe open.
  PROCESS_INFORMATION pi;
  if (!testsupport::StartWithNullStdHandles(std::wstring(), line, std::wstring(), pi)) return false;
  if (pi.hThread != nullptr) CloseHandle(pi.hThread);
  if (pi.hProcess != nullptr) CloseHandle(pi.hProcess);
  return true;
}

inline Json::Value ParseOrNull(const std::string& text) {
  Json::Value value;
  std::string error;
  if (!ParseJson(text, value, error)) return Json::Value();
  return value;
}

inline std::string Compact(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

// ------------------------------------------------------------ HTTP client

struct HttpReply {
  CURLcode result = CURLE_FAILED_INIT;
  long status = 0;
  std::string body;
};

inline size_t AppendToString(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// One request to a test server; HTTPS is verified against `caPem` unless
// `verify` is false, which only the control channel of a server that
// deliberately shows a bad certificate uses.
inline HttpReply Http(const std::string& method, const std::string& url,
                      const std::string& body = std::string(),
                      const std::string& caPem = std::string(), bool verify = true) {
  HttpReply reply;
  CurlEasyPtr handle(curl_easy_init());
  if (!handle) return reply;
  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
  if (!body.empty() || method == "POST") {
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(h, CURLOPT_COPYPOSTFIELDS, body.c_str());
  }
  ApplySecurityOptions(h, caPem);
  if (!verify) {
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
  }
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &AppendToString);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply.body);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  reply.result = curl_easy_perform(h);
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &reply.status);
  return reply;
}

// ------------------------------------------------------------------ servers

constexpr char kPython[] = "/usr/bin/python3";

// The test CA of tests/servers: ca.pem, server.pem (127.0.0.1), untrusted.pem
// and wronghost.pem with their keys.
class TestCa {
 public:
  bool Make() {
    const std::string script =
        "import os, sys\n"
        "sys.dont_write_bytecode = True\n"
        "sys.path.insert(0, " +
        Quote(ServersDir()) +
        ")\n"
        "import testservers\n"
        "folder = " +
        Quote(dir_.Unix("ca")) +
        "\n"
        "testservers.make_test_ca(folder)\n"
        "with open(folder + '/done.tmp', 'w') as f:\n"
        "    f.write('ok')\n"
        "os.replace(folder + '/done.tmp', folder + '/done')\n";
    if (!WriteText(dir_.Wine("make_ca.py"), script)) return false;
    if (!SpawnLinux(kPython, dir_.Unix("make_ca.py"))) return false;
    const std::wstring done = dir_.Wine("ca/done");
    if (!testsupport::WaitUntil([&] { return testsupport::FileExists(done); }, 60000)) return false;
    caPem_ = ReadText(dir_.Wine("ca/ca.pem"));
    return !caPem_.empty();
  }
  const std::string& caPem() const { return caPem_; }
  std::string Unix(const std::string& name) const { return dir_.Unix("ca/" + name); }
  // The CA certificate as the launcher would name it in its settings.
  std::string CaPathUtf8() const {
    std::string path;
    TextUtil::WideToUtf8(dir_.Wine("ca/ca.pem").c_str(), path);
    return path;
  }

 private:
  static std::string Quote(const std::string& text) { return "'" + text + "'"; }
  ScratchDir dir_;
  std::string caPem_;
};

// A content server (tests/servers/content_server.py) on 127.0.0.1.
class TestServer {
 public:
  TestServer() = default;
  ~TestServer() { Stop(); }
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  // `config` in the server's config format; folders are Linux paths. With a
  // CA, serves HTTPS with the certificate `cert` ("server", "untrusted",
  // "wronghost").
  bool Start(const Json::Value& config, const TestCa* ca = nullptr,
             const std::string& cert = "server", int maxSeconds = 180) {
    if (!WriteText(dir_.Wine("config.json"), Compact(config))) return false;
    std::string args = ServersDir() + "/content_server.py --config " + dir_.Unix("config.json") +
                       " --ready-file " + dir_.Unix("ready.json") + " --log " +
                       dir_.Unix("requests.jsonl") + " --max-seconds " + std::to_string(maxSeconds);
    if (ca != nullptr) {
      args += " --cert " + ca->Unix(cert + ".pem") + " --key " + ca->Unix(cert + ".key");
      caPem_ = ca->caPem();
      scheme_ = "https";
      verifyControl_ = cert == "server";
    }
    if (!SpawnLinux(kPython, args)) return false;
    const std::wstring ready = dir_.Wine("ready.json");
    Json::Value info;
    const bool up = testsupport::WaitUntil(
        [&] {
          if (!testsupport::FileExists(ready)) return false;
          info = ParseOrNull(ReadText(ready));
          return info.isObject() && info["port"].isInt();
        },
        30000);
    if (!up) return false;
    port_ = info["port"].asInt();
    started_ = true;
    return true;
  }

  void Stop() {
    if (!started_) return;
    started_ = false;
    Http("POST", Url("/__control/shutdown"), "{}", caPem_, verifyControl_);
    const std::wstring ready = dir_.Wine("ready.json");
    testsupport::WaitUntil([&] { return !testsupport::FileExists(ready); }, 5000);
  }

  int port() const { return port_; }
  std::string base() const { return scheme_ + "://127.0.0.1:" + std::to_string(port_); }
  std::string Url(const std::string& path) const { return base() + path; }
  const ScratchDir& dir() const { return dir_; }

  Json::Value Control(const std::string& method, const std::string& name,
                      const Json::Value& body = Json::Value()) {
    const HttpReply reply =
        Http(method, Url("/__control/" + name), body.isNull() ? std::string() : Compact(body),
             caPem_, verifyControl_);
    if (reply.result != CURLE_OK || reply.status != 200) return Json::Value();
    return ParseOrNull(reply.body);
  }
  // Recorded requests (not control ones), oldest first.
  Json::Value Requests() {
    Json::Value all = Control("GET", "requests");
    Json::Value out(Json::arrayValue);
    for (const Json::Value& e : all) {
      if (e["kind"].asString() == "request") out.append(e);
    }
    return out;
  }
  // Requests whose path is exactly `path`.
  Json::Value RequestsFor(const std::string& path) {
    Json::Value out(Json::arrayValue);
    for (const Json::Value& e : Requests()) {
      if (e["path"].asString() == path) out.append(e);
    }
    return out;
  }
  void ClearRequests() { Control("DELETE", "requests"); }
  bool InstallFaults(const Json::Value& rules) {
    Json::Value body(Json::objectValue);
    body["faults"] = rules;
    body["replace"] = true;
    return !Control("POST", "faults", body).isNull();
  }
  void ClearFaults() { Control("DELETE", "faults"); }
  std::string VirtualMd5(const std::string& path) {
    return Control("GET", "files")[path]["md5"].asString();
  }

 private:
  ScratchDir dir_;
  std::string scheme_ = "http";
  std::string caPem_;
  bool verifyControl_ = true;
  int port_ = 0;
  bool started_ = false;
};

// The Range header a recorded request carried ("" when none).
inline std::string RangeOf(const Json::Value& entry) {
  for (const Json::Value& h : entry["headers"]) {
    if (_stricmp(h[0].asString().c_str(), "range") == 0) return h[1].asString();
  }
  return std::string();
}

inline Json::Value Rule(const std::string& path, const Json::Value& steps) {
  Json::Value rule(Json::objectValue);
  rule["path"] = path;
  rule["steps"] = steps;
  return rule;
}

inline Json::Value Array(std::initializer_list<Json::Value> items) {
  Json::Value out(Json::arrayValue);
  for (const Json::Value& item : items) out.append(item);
  return out;
}

inline Json::Value Object(std::initializer_list<std::pair<const char*, Json::Value>> members) {
  Json::Value out(Json::objectValue);
  for (const auto& m : members) out[m.first] = m.second;
  return out;
}

// A port on 127.0.0.1 that is bound but never listened on: connections to it
// are refused at once, and nothing else can take it while this object lives.
class RefusedPort {
 public:
  RefusedPort() {
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (socket_ != INVALID_SOCKET &&
        bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
      int length = sizeof(address);
      getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
      port_ = ntohs(address.sin_port);
    }
  }
  ~RefusedPort() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
  }
  RefusedPort(const RefusedPort&) = delete;
  RefusedPort& operator=(const RefusedPort&) = delete;
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  int port() const { return port_; }

 private:
  SOCKET socket_ = INVALID_SOCKET;
  int port_ = 0;
};

// Deterministic test bytes: a 32-bit linear congruential generator.
inline std::string Bytes(uint32_t seed, size_t n) {
  std::string out(n, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    state = state * 1103515245u + 12345u;
    out[i] = static_cast<char>((state >> 16) & 0xff);
  }
  return out;
}

inline std::string Md5Of(const std::string& bytes) {
  return Md5OfBytes(bytes.data(), bytes.size());
}

// A static tree served under /hostA/ and /hostB/ (the same folder), plus
// virtual files under both prefixes.
class ContentTree {
 public:
  // Writes a file of `size` bytes of Bytes(seed) under `name` (UTF-8).
  void Add(const std::string& name, uint32_t seed, size_t size) {
    Entry e{name, Bytes(seed, size)};
    std::wstring wide;
    TextUtil::Utf8ToWide(name.c_str(), wide);
    WriteText(dir_.wine() + L"\\" + wide, e.bytes);
    entries_.push_back(std::move(e));
  }
  void AddVirtual(const std::string& name, const std::string& seed, int64_t size) {
    virtual_[name] = Object({{"seed", seed}, {"size", static_cast<Json::Int64>(size)}});
  }
  const std::string& BytesOf(const std::string& name) const {
    for (const Entry& e : entries_) {
      if (e.name == name) return e.bytes;
    }
    static const std::string none;
    return none;
  }
  std::string Md5(const std::string& name) const { return Md5Of(BytesOf(name)); }
  Json::Value Config() const {
    Json::Value config(Json::objectValue);
    config["static"]["/hostA/"] = dir_.unix();
    config["static"]["/hostB/"] = dir_.unix();
    for (const auto& v : virtual_) {
      config["virtual"]["/hostA/" + v.first] = v.second;
      config["virtual"]["/hostB/" + v.first] = v.second;
    }
    return config;
  }

 private:
  struct Entry {
    std::string name;
    std::string bytes;
  };
  ScratchDir dir_;
  std::vector<Entry> entries_;
  std::map<std::string, Json::Value> virtual_;
};

// ------------------------------------------------------------- recorders

struct DoneRecord {
  int user;
  int code;
  std::string path;
  std::string message;
};

struct ResponseRecord {
  int user;
  int code;
  std::string url;
  std::string data;
  int size;
  std::string message;
  bool dataWasNull;
};

struct ProbeRecord {
  int user;
  int code;
  std::string url;
  bool exists;
  std::string message;
};

struct Recorder {
  nbase::Lock lock;
  std::vector<DoneRecord> dones;
  std::vector<ResponseRecord> responses;
  std::vector<ProbeRecord> probes;
  std::vector<std::pair<int, double>> speeds;

  void Clear() {
    nbase::AutoLock hold(lock);
    dones.clear();
    responses.clear();
    probes.clear();
    speeds.clear();
  }
  size_t DoneCount() {
    nbase::AutoLock hold(lock);
    return dones.size();
  }
  std::vector<DoneRecord> Dones() {
    nbase::AutoLock hold(lock);
    return dones;
  }
  size_t SpeedCount() {
    nbase::AutoLock hold(lock);
    return speeds.size();
  }
};

inline Recorder& Record() {
  static Recorder recorder;
  return recorder;
}

inline void OnDone(int user, int code, std::string path, std::string message) {
  nbase::AutoLock hold(Record().lock);
  Record().dones.push_back({user, code, std::move(path), std::move(message)});
}

inline void OnSpeed(int user, double speed) {
  nbase::AutoLock hold(Record().lock);
  Record().speeds.push_back({user, speed});
}

inline void OnResponse(int user, int code, std::string url, const char* data, int size,
                       std::string message) {
  nbase::AutoLock hold(Record().lock);
  Record().responses.push_back({user, code, std::move(url),
                                data != nullptr ? std::string(data, size) : std::string(), size,
                                std::move(message), data == nullptr});
}

inline void OnProbe(int user, int code, std::string url, bool exists, std::string message) {
  nbase::AutoLock hold(Record().lock);
  Record().probes.push_back({user, code, std::move(url), exists, std::move(message)});
}

// Keeps what the engine reports to the window, statistics and telemetry.
class RecordingSink : public DownloadSink {
 public:
  struct Message {
    int kind;  // 2128 speed, 2129 size, 2130 paused
    int64_t wparam;
    int64_t lparam;
  };

  void OnDownloadSize(int64_t total, int64_t done) override { Add({2129, total, done}); }
  void OnDownloadSpeed(int64_t remaining, int64_t speed) override { Add({2128, remaining, speed}); }
  void OnDownloadPaused(bool paused) override { Add({2130, 0, paused ? 1 : 0}); }
  int64_t StatsDownloadSize() override { return statsSize; }
  void SetStatsDownloadSize(int64_t bytes) override { statsSize = bytes; }
  void UpdateDownloadStats(int64_t speed, int64_t bytes, int64_t seconds) override {
    nbase::AutoLock hold(lock_);
    events.push_back("stats:" + std::to_string(speed) + ":" + std::to_string(bytes) + ":" +
                     std::to_string(seconds));
  }
  void SendLauncherEvent(const std::string& info, const std::string& speed, const std::string& size,
                         const std::string& action, const std::string& step, bool now) override {
    nbase::AutoLock hold(lock_);
    events.push_back("launcher:" + info + ":" + speed + ":" + size + ":" + action + ":" + step +
                     ":" + (now ? "1" : "0"));
  }
  void SendLauncherDetailEvent(const std::string& id, const std::string& speed,
                               const std::string& size, const std::string& time) override {
    nbase::AutoLock hold(lock_);
    events.push_back("detail:" + id + ":" + speed + ":" + size + ":" + time);
  }
  void SendAttributionEvent(const std::string& name, const std::string& a, const std::string& b,
                            const std::string& c) override {
    nbase::AutoLock hold(lock_);
    events.push_back("attribution:" + name + ":" + a + ":" + b + ":" + c);
  }

  std::vector<Message> Messages() {
    nbase::AutoLock hold(lock_);
    return messages_;
  }
  std::vector<Message> MessagesOf(int kind) {
    std::vector<Message> out;
    for (const Message& m : Messages()) {
      if (m.kind == kind) out.push_back(m);
    }
    return out;
  }
  std::vector<std::string> Events() {
    nbase::AutoLock hold(lock_);
    return events;
  }
  void Clear() {
    nbase::AutoLock hold(lock_);
    messages_.clear();
    events.clear();
  }

  std::atomic<int64_t> statsSize{0};
  std::vector<std::string> events;

 private:
  void Add(const Message& m) {
    nbase::AutoLock hold(lock_);
    messages_.push_back(m);
  }
  nbase::Lock lock_;
  std::vector<Message> messages_;
};

// ---------------------------------------------------------- engine thread

// The launcher's worker in miniature: a framework thread bound as
// kMiscThreadId whose repeated 2 ms task polls the engine.
class EngineThread : public nbase::FrameworkThread {
 public:
  explicit EngineThread(DownloadManager* engine)
      : nbase::FrameworkThread("engine"), engine_(engine) {}
  ~EngineThread() override { Stop(); }

  bool Start() { return StartOwnThread(nbase::MessageLoop::Kind::kDefault) && bound_; }

  // Runs `work` on the worker and waits until it has run.
  void RunSync(const std::function<void()>& work) {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const bool posted = nbase::ThreadRegistry::PostTo(nbase::kMiscThreadId, [&work, done] {
      work();
      SetEvent(done);
    });
    if (posted) WaitForSingleObject(done, 120000);
    CloseHandle(done);
  }

  void set_polling(bool on) { polling_ = on; }

 private:
  void Init() override {
    bound_ = nbase::ThreadRegistry::BindCurrentThread(nbase::kMiscThreadId);
    nbase::ThreadRegistry::PostRepeating(nbase::kMiscThreadId, ToWeakCallback([this] {
                                           if (polling_) engine_->Poll();
                                         }),
                                         nbase::TimeDelta::FromMilliseconds(2), -1);
  }
  void Cleanup() override { nbase::ThreadRegistry::UnbindCurrentThread(); }

  DownloadManager* engine_;
  std::atomic<bool> bound_{false};
  std::atomic<bool> polling_{true};
};

// An engine with its worker: Init on the worker against `urls` (active list)
// with `settings`, Shutdown on the worker at the end.
class EngineFixture {
 public:
  EngineFixture() : thread_(&engine_) {}
  ~EngineFixture() { Stop(); }

  bool Start(const std::vector<std::string>& urls, DownloadSettings settings = DownloadSettings()) {
    CreateDirectoryW(L"save", nullptr);
    engine_.SetSink(&sink_);
    if (!thread_.Start()) return false;
    thread_.RunSync([&] {
      engine_.Init(settings);
      engine_.SetResourceUrls(urls);
      engine_.UseResourceUrls();
    });
    started_ = true;
    return true;
  }

  void Stop() {
    if (!started_) return;
    started_ = false;
    thread_.RunSync([&] { engine_.Shutdown(); });
    thread_.Stop();
  }

  void Run(const std::function<void()>& work) { thread_.RunSync(work); }

  DownloadManager& engine() { return engine_; }
  RecordingSink& sink() { return sink_; }
  EngineThread& thread() { return thread_; }

 private:
  DownloadManager engine_;
  RecordingSink sink_;
  EngineThread thread_;
  bool started_ = false;
};

inline bool WaitForDones(size_t count, DWORD timeoutMs = 60000) {
  return testsupport::WaitUntil([count] { return Record().DoneCount() >= count; }, timeoutMs);
}

// The md5 of a local file ("" when it cannot be read).
inline std::string FileMd5(const std::wstring& path) {
  std::string hex;
  int64_t size = 0;
  if (!Md5OfFileW(path, hex, size)) return std::string();
  return hex;
}

inline int64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// A test suite that serves one content tree from one server to all its
// tests. Each test starts with no fault rules, no recorded requests and
// empty recorders.
class ServedTreeTest : public ::testing::Test {
 protected:
  // Called from SetUpTestSuite with the filled tree (owned from here on).
  static void StartServing(ContentTree* tree) {
    tree_ = tree;
    server_ = new TestServer;
    ASSERT_TRUE(server_->Start(tree_->Config()));
  }
  static void TearDownTestSuite() {
    delete server_;
    delete tree_;
    server_ = nullptr;
    tree_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(server_, nullptr);
    Record().Clear();
    server_->ClearFaults();
    server_->ClearRequests();
  }

  static std::string A() { return server_->Url("/hostA/"); }
  static std::string B() { return server_->Url("/hostB/"); }

  static inline ContentTree* tree_ = nullptr;
  static inline TestServer* server_ = nullptr;
};

}  // namespace dltest
