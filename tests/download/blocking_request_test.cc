// Blocking requests against the local content server: documents into
// memory, existence probes, single quick requests, the memory cap, prompt
// ends at shut-down, and the report queue.
#include <windows.h>

#include <io.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "download/server_harness.h"
#include "test_dir.h"
#include "test_process.h"

namespace dltest {
namespace {

using testsupport::FileExists;
using testsupport::ReadWholeFile;

constexpr int64_t kCap = 64 << 20;

std::string HeaderOf(const Json::Value& entry, const char* name) {
  for (const Json::Value& h : entry["headers"]) {
    if (_stricmp(h[0].asString().c_str(), name) == 0) return h[1].asString();
  }
  return std::string();
}

// The engine is driven from the test's own thread: every call here blocks
// and answers before it returns, as on the worker.
class BlockingRequestTest : public ServedTreeTest {
 protected:
  static void SetUpTestSuite() {
    auto* tree = new ContentTree;
    tree->Add("probe.bin", 7, 1000);
    tree->AddVirtual("over.bin", "over", kCap + 1);
    tree->AddVirtual("exact.bin", "exact", kCap);
    StartServing(tree);
  }
  void SetUp() override {
    ServedTreeTest::SetUp();
    CreateDirectoryW(L"save", nullptr);
    DownloadSettings settings;
    settings.attributionUrl = server_->Url("/v1/adjust");
    engine_.Init(settings);
    Use({A()});
  }
  void TearDown() override { engine_.Shutdown(); }

  void Use(const std::vector<std::string>& urls) {
    engine_.SetResourceUrls(urls);
    engine_.UseResourceUrls();
  }
  static bool Faults(const Json::Value& rules) { return server_->InstallFaults(rules); }

  std::vector<ResponseRecord> Responses() {
    nbase::AutoLock hold(Record().lock);
    return Record().responses;
  }
  std::vector<ProbeRecord> Probes() {
    nbase::AutoLock hold(Record().lock);
    return Record().probes;
  }

  DownloadManager engine_;
};

TEST_F(BlockingRequestTest, MemoryRequestReturnsTheDocument) {
  ASSERT_TRUE(Faults(
      Array({Rule("/hostA/get/urls",
                  Array({Object({{"status", 200}, {"json", Object({{"DlcAddr", "x"}})}})}))})));
  EXPECT_TRUE(engine_.DownloadMemory("get/urls?key=WIN10VN_1_0_0&udid=ab", "", &OnResponse, 3));
  const auto responses = Responses();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].user, 3);
  EXPECT_EQ(responses[0].code, kDownloadOk);
  EXPECT_EQ(responses[0].message, "");
  EXPECT_EQ(responses[0].data, "{\"DlcAddr\":\"x\"}");
  EXPECT_EQ(responses[0].size, 15);
  EXPECT_EQ(responses[0].url, "get/urls?key=WIN10VN_1_0_0&udid=ab/");
  const Json::Value requests = server_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["method"].asString(), "GET");
  EXPECT_EQ(requests[0]["query"].asString(), "key=WIN10VN_1_0_0&udid=ab");
  EXPECT_EQ(HeaderOf(requests[0], "User-Agent"), "libcurl-agent/1.0");
}

TEST_F(BlockingRequestTest, QueryValuesArePercentEncoded) {
  ASSERT_TRUE(
      Faults(Array({Rule("/hostA/get/urls", Array({Object({{"status", 200}, {"json", 1}})}))})));
  engine_.DownloadMemory("get/urls?key=WIN 10&udid=a+b&name=\xC3\xA9", "", &OnResponse, 1);
  ASSERT_EQ(Responses().size(), 1u);
  EXPECT_EQ(Responses()[0].code, kDownloadOk);
  const Json::Value requests = server_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["query"].asString(), "key=WIN%2010&udid=a%2Bb&name=%C3%A9");
}

TEST_F(BlockingRequestTest, ErrorStatusIsTriedThreeTimesPerHost) {
  ASSERT_TRUE(Faults(
      Array({Rule("/hostA/doc.json",
                  Array({Object({{"kind", "error"}, {"status", 500}, {"body", "oops"}})}))})));
  engine_.DownloadMemory("doc.json", "", &OnResponse, 1);
  ASSERT_EQ(Responses().size(), 1u);
  EXPECT_EQ(Responses()[0].code, kDownloadUnreachable);
  EXPECT_EQ(Responses()[0].message, "500");
  EXPECT_EQ(Responses()[0].data, "oops");  // what the last attempt received
  EXPECT_EQ(server_->Requests().size(), 3u);
}

TEST_F(BlockingRequestTest, BodyThatIsNotJsonEndsAtTheFirstHost) {
  Use({A(), B()});
  ASSERT_TRUE(Faults(
      Array({Rule("/hostA/doc.json", Array({Object({{"status", 200}, {"body", "not json"}})})),
             Rule("/hostA/empty.json", Array({Object({{"status", 200}, {"body", ""}})}))})));
  engine_.DownloadMemory("doc.json", "", &OnResponse, 1);
  engine_.DownloadMemory("empty.json", "", &OnResponse, 2);
  const auto responses = Responses();
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[0].code, kDownloadOk);
  EXPECT_FALSE(responses[0].message.empty());
  EXPECT_EQ(responses[0].data, "not json");
  EXPECT_EQ(responses[1].code, kDownloadOk);
  EXPECT_EQ(responses[1].message, "");
  EXPECT_EQ(responses[1].size, 0);
  EXPECT_EQ(server_->Requests().size(), 2u);
}

TEST_F(BlockingRequestTest, PostBodyAndTheCallbackName) {
  ASSERT_TRUE(Faults(
      Array({Rule("/hostA/track", Array({Object({{"status", 200}, {"json", Object({})}})}))})));
  engine_.DownloadMemory("track", "{\"a\":1}", &OnResponse, 1);
  ASSERT_EQ(Responses().size(), 1u);
  EXPECT_EQ(Responses()[0].url, "track/{\"a\":1}");
  const Json::Value requests = server_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["method"].asString(), "POST");
  EXPECT_EQ(requests[0]["body"].asString(), "{\"a\":1}");
}

TEST_F(BlockingRequestTest, EmptyActiveList) {
  Use({});
  EXPECT_FALSE(engine_.DownloadMemory("x.json", "", &OnResponse, 4));
  ASSERT_EQ(Responses().size(), 1u);
  EXPECT_EQ(Responses()[0].code, kDownloadFailed);
  EXPECT_EQ(Responses()[0].message, "DownloadMemory URL is empty");
  EXPECT_TRUE(Responses()[0].dataWasNull);
  EXPECT_EQ(Responses()[0].url, "x.json/");
  EXPECT_FALSE(engine_.CheckFile("x.bin", "", &OnProbe, 4));
  EXPECT_TRUE(Probes().empty());
  EXPECT_EQ(server_->Requests().size(), 0u);
}

TEST_F(BlockingRequestTest, AnswersInMemoryAreCapped) {
  engine_.DownloadMemory("exact.bin", "", &OnResponse, 1);
  engine_.DownloadMemory("over.bin", "", &OnResponse, 2);
  const auto responses = Responses();
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[0].code, kDownloadOk);
  EXPECT_EQ(responses[0].size, kCap);
  EXPECT_EQ(responses[1].code, kDownloadFailed);
  EXPECT_EQ(responses[1].message, "DownloadMemory answer over 67108864 bytes");
  EXPECT_EQ(responses[1].size, 0);
  // The same host would send the same document again: it is asked once.
  EXPECT_EQ(server_->RequestsFor("/hostA/over.bin").size(), 1u);
}

TEST_F(BlockingRequestTest, ExistenceProbes) {
  Use({A(), B()});
  ASSERT_TRUE(Faults(
      Array({Rule("/hostA/secret.bin", Array({Object({{"kind", "error"}, {"status", 403}})})),
             Rule("/hostB/secret.bin", Array({Object({{"kind", "error"}, {"status", 403}})}))})));
  struct Case {
    const char* path;
    int code;
    bool exists;
    std::string message;
    size_t requests;
  };
  const std::vector<Case> cases = {
      {"probe.bin", kDownloadOk, true, "", 1},
      {"missing.bin", kDownloadOk, false, "", 1},
      {"secret.bin", kDownloadUnreachable, false, "403", 6},
  };
  for (const Case& c : cases) {
    Record().Clear();
    server_->ClearRequests();
    // The probe's body must go nowhere, not to standard output.
    fflush(stdout);
    FILE* capture = _wfopen(L"stdout.txt", L"w+b");
    ASSERT_NE(capture, nullptr);
    const int saved = _dup(_fileno(stdout));
    _dup2(_fileno(capture), _fileno(stdout));
    const bool sent = engine_.CheckFile(c.path, "", &OnProbe, 5);
    fflush(stdout);
    _dup2(saved, _fileno(stdout));
    _close(saved);
    fclose(capture);
    EXPECT_TRUE(sent);
    EXPECT_EQ(ReadWholeFile(L"stdout.txt"), "") << c.path;
    const auto probes = Probes();
    ASSERT_EQ(probes.size(), 1u) << c.path;
    EXPECT_EQ(probes[0].code, c.code) << c.path;
    EXPECT_EQ(probes[0].exists, c.exists) << c.path;
    EXPECT_EQ(probes[0].message, c.message) << c.path;
    EXPECT_EQ(probes[0].url, std::string(c.path) + "/");
    const Json::Value requests = server_->Requests();
    EXPECT_EQ(requests.size(), c.requests) << c.path;
    for (const Json::Value& r : requests) EXPECT_EQ(RangeOf(r), "bytes=0-0");
  }
}

TEST_F(BlockingRequestTest, RequestUrlMakesOneAttemptToTheGivenUrl) {
  ASSERT_TRUE(
      Faults(Array({Rule("/ip", Array({Object({{"status", 200}, {"body", "1.2.3.4"}})})),
                    Rule("/ip-broken", Array({Object({{"kind", "error"}, {"status", 500}})}))})));
  Use({});  // not needed: the URL is absolute
  const std::string url = server_->Url("/ip?x=a b");
  EXPECT_TRUE(engine_.RequestUrl(url, "", &OnResponse, 6));
  EXPECT_TRUE(engine_.RequestUrl(server_->Url("/ip-broken"), "", &OnResponse, 7));
  const auto responses = Responses();
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[0].code, kDownloadOk);
  EXPECT_EQ(responses[0].data, "1.2.3.4");
  EXPECT_EQ(responses[0].url, url + "/");
  EXPECT_EQ(responses[1].code, kDownloadUnreachable);
  EXPECT_EQ(responses[1].message, "500");
  const Json::Value requests = server_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0]["query"].asString(), "x=a%20b");
}

TEST_F(BlockingRequestTest, RequestsEndPromptlyWhenTheEngineStops) {
  ASSERT_TRUE(
      Faults(Array({Rule("/hostA/probe.bin",
                         Array({Object({{"kind", "stall"}, {"seconds", 40}, {"after_bytes", 0}})})),
                    Rule("/hostA/silent.json",
                         Array({Object({{"status", 200}, {"body", "{}"}, {"delay", 40}})}))})));
  struct Case {
    const char* path;
    bool probe;
  };
  const std::vector<Case> cases = {
      {"probe.bin", false}, {"silent.json", false}, {"probe.bin", true}};
  for (const Case& c : cases) {
    Record().Clear();
    engine_.Shutdown();
    DownloadSettings settings;
    engine_.Init(settings);
    Use({A()});
    std::thread stopper([this] {
      Sleep(400);
      engine_.StopRunning();
    });
    const DWORD start = GetTickCount();
    if (c.probe) {
      engine_.CheckFile(c.path, "", &OnProbe, 1);
    } else {
      engine_.DownloadMemory(c.path, "", &OnResponse, 1);
    }
    const DWORD took = GetTickCount() - start;
    stopper.join();
    EXPECT_GE(took, 350u) << c.path;  // it did wait for the server
    EXPECT_LT(took, 3000u) << c.path;
    // A request cut short by the shut-down calls nobody back.
    EXPECT_TRUE(Responses().empty()) << c.path;
    EXPECT_TRUE(Probes().empty()) << c.path;
  }
}

TEST_F(BlockingRequestTest, ReportsAreSentOneAtATimeInUrlOrder) {
  ASSERT_TRUE(
      Faults(Array({Rule("/track/a", Array({Object({{"status", 200}, {"body", "ok"}})})),
                    Rule("/track/b", Array({Object({{"status", 200}, {"body", "ok"}})})),
                    Rule("/v1/adjust", Array({Object({{"status", 200}, {"body", "ok"}})}))})));
  const std::string a = server_->Url("/track/a");
  const std::string b = server_->Url("/track/b");
  engine_.Report("{\"n\":1}", b, false);
  engine_.Report("{\"n\":2}", a, false);
  engine_.Report("{\"n\":3}", a, false);
  EXPECT_EQ(server_->Requests().size(), 0u);
  engine_.Report("{\"now\":true}", a, true);
  EXPECT_EQ(server_->Requests().size(), 1u);
  EXPECT_EQ(engine_.QueuedReportCount(), 3u);
  EXPECT_EQ(engine_.reportReply(), "ok");
  for (int i = 0; i < 4; ++i) engine_.SendNextReport();
  EXPECT_EQ(engine_.QueuedReportCount(), 0u);
  engine_.Report("event=click_launch&v1=1.000", engine_.AttributionUrl(), true);

  const Json::Value requests = server_->Requests();
  ASSERT_EQ(requests.size(), 5u);
  struct Expected {
    const char* method;
    const char* path;
    const char* body;
    const char* query;
  };
  const std::vector<Expected> expected = {
      {"POST", "/track/a", "{\"now\":true}", ""},
      {"POST", "/track/a", "{\"n\":2}", ""},
      {"POST", "/track/a", "{\"n\":3}", ""},
      {"POST", "/track/b", "{\"n\":1}", ""},
      {"GET", "/v1/adjust", "", "event=click_launch&v1=1.000"},
  };
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(requests[static_cast<int>(i)]["method"].asString(), expected[i].method) << i;
    EXPECT_EQ(requests[static_cast<int>(i)]["path"].asString(), expected[i].path) << i;
    EXPECT_EQ(requests[static_cast<int>(i)].get("body", "").asString(), expected[i].body) << i;
    EXPECT_EQ(requests[static_cast<int>(i)]["query"].asString(), expected[i].query) << i;
    EXPECT_EQ(HeaderOf(requests[static_cast<int>(i)], "Content-Type"),
              "application/json; charset=UTF-8")
        << i;
  }
}

}  // namespace
}  // namespace dltest
