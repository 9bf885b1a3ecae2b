// The engine without a network: start-up and endpoints, the trace file, URL
// lists, what DownloadFile refuses or settles at once, speed samples and the
// speed message, pause, limit modes, and the statistics reports.
#include "download/download_manager.h"

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "download/server_harness.h"
#include "test_dir.h"
#include "test_process.h"

namespace dltest {
namespace {

using testsupport::FileExists;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

std::atomic<uint32_t> g_tick{100000};
uint32_t FakeTick() { return g_tick; }

// An engine driven straight from the test's thread, as the worker would.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateDirectoryW(L"save", nullptr);
    g_tick = 100000;
    Record().Clear();
    engine_.SetTickSourceForTesting(&FakeTick);
    engine_.SetSink(&sink_);
  }
  void TearDown() override { engine_.Shutdown(); }

  void Init(const DownloadSettings& settings = DownloadSettings()) {
    engine_.Init(settings);
    // Never contacted: only requests that end before any transfer use it.
    engine_.SetResourceUrls({"http://127.0.0.1:9/none/"});
    engine_.UseResourceUrls();
  }

  DownloadManager engine_;
  RecordingSink sink_;
};

bool IsLowerHex(const std::string& text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

TEST_F(EngineTest, InitTakesOverridesOrBuiltInEndpoints) {
  Init();
  const std::vector<std::string>& gates = engine_.gateUrlList();
  ASSERT_EQ(gates.size(), 3u);
  EXPECT_EQ(gates[0], gates[1]);
  EXPECT_NE(gates[1], gates[2]);
  for (const std::string& g : gates) {
    EXPECT_EQ(g.compare(0, 8, "https://"), 0) << g;
    EXPECT_EQ(g.back(), '/') << g;
  }
  const std::string tracking = engine_.trackingUrl();
  const size_t token = tracking.find("/track/json_track?token=");
  ASSERT_NE(token, std::string::npos) << tracking;
  EXPECT_EQ(tracking.compare(0, 8, "https://"), 0);
  const std::string hex = tracking.substr(token + 24);
  EXPECT_EQ(hex.size(), 24u);
  EXPECT_TRUE(IsLowerHex(hex)) << hex;
  const std::string attribution = engine_.AttributionUrl();
  EXPECT_EQ(attribution.compare(0, 8, "https://"), 0);
  EXPECT_EQ(attribution.substr(attribution.size() - 10), "/v1/adjust");
  EXPECT_TRUE(engine_.running());
  EXPECT_FALSE(engine_.paused());
  engine_.Shutdown();

  DownloadSettings settings;
  settings.gateUrls = {"http://127.0.0.1:1/g/"};
  settings.trackUrl = "http://127.0.0.1:1/t";
  Init(settings);
  EXPECT_EQ(engine_.gateUrlList(), settings.gateUrls);
  EXPECT_EQ(engine_.trackingUrl(), "http://127.0.0.1:1/t");
  engine_.UseGateUrls();
  EXPECT_EQ(engine_.activeUrlList(), settings.gateUrls);
}

TEST_F(EngineTest, EachRunStartsWithAnEmptyTrace) {
  Init();
  engine_.Trace("first run line\n");
  engine_.Trace("second line\n");
  EXPECT_EQ(ReadWholeFile(L"save\\dltrace.log"), "first run line\nsecond line\n");
  engine_.Shutdown();
  Init();
  EXPECT_TRUE(FileExists(L"save\\dltrace.log"));
  EXPECT_EQ(ReadWholeFile(L"save\\dltrace.log"), "");
}

TEST_F(EngineTest, ResourceUrlsPreferTheOverride) {
  DownloadSettings settings;
  settings.dlcUrls = {"http://127.0.0.1:1/dlc/"};
  engine_.Init(settings);
  engine_.SetResourceUrls({"http://127.0.0.1:1/gate-said/"});
  EXPECT_EQ(engine_.resourceUrlList(), settings.dlcUrls);
  engine_.UseResourceUrls();
  EXPECT_EQ(engine_.activeUrlList(), settings.dlcUrls);
  engine_.Shutdown();

  engine_.Init(DownloadSettings());
  engine_.SetResourceUrls({"http://127.0.0.1:1/gate-said/"});
  engine_.UseGateUrls();
  EXPECT_EQ(engine_.activeUrlList(), engine_.gateUrlList());
  engine_.UseResourceUrls();
  EXPECT_EQ(engine_.activeUrlList(), std::vector<std::string>{"http://127.0.0.1:1/gate-said/"});
}

TEST_F(EngineTest, DownloadFileSettlesOrRefusesAtOnce) {
  struct Case {
    const char* name;
    bool activeList;
    const char* local;
    std::string md5;
    int size;
    const char* existing;  // null: no local file before
    int code;
    std::string message;
    const char* contentAfter;  // null: no file after
  };
  const std::vector<Case> cases = {
      {"no base url", false, "update\\a.bin", "", 10, nullptr, kDownloadFailed,
       "DownloadFile URL is empty", nullptr},
      {"path escapes", true, "update\\..\\..\\a.bin", "", 10, nullptr, kDownloadFailed,
       "DownloadFile path is invalid:update\\..\\..\\a.bin", nullptr},
      {"wildcard", true, "update\\a?.bin", "", 10, nullptr, kDownloadFailed,
       "DownloadFile path is invalid:update\\a?.bin", nullptr},
      {"negative size", true, "update\\n.bin", "", -1, nullptr, kDownloadFailed,
       "DownloadFile size is invalid:-1", nullptr},
      {"empty, no md5, missing", true, "update\\deep\\e1.bin", "", 0, nullptr, kDownloadOk, "", ""},
      {"empty md5, existing longer", true, "update\\e2.bin", kEmptyMd5, 0, "old bytes", kDownloadOk,
       "", ""},
      {"no md5, existing longer", true, "update\\e3.bin", "", 0, "old bytes", kDownloadOk, "", ""},
      {"size 0 cannot have this md5", true, "update\\e4.bin", "0123456789abcdef0123456789abcdef", 0,
       "old bytes", kDownloadMd5Error, "check md5 error", "old bytes"},
  };
  Init();
  CreateDirectoryW(L"update", nullptr);
  int user = 0;
  for (const Case& c : cases) {
    ++user;
    std::wstring local;
    TextUtil::MultiByteToWide(c.local, local, CP_ACP);
    if (c.existing != nullptr) {
      ASSERT_TRUE(WriteWholeFile(local, c.existing));
    }
    if (c.activeList) {
      engine_.UseResourceUrls();
    } else {
      engine_.UseGateUrls();
      engine_.SetResourceUrls({});
      engine_.UseResourceUrls();
    }
    engine_.DownloadFile("remote/x.bin", c.local, c.md5, c.size, &OnDone, &OnSpeed, user, 0, 0);
    // Settled inside the call, without a poll.
    const std::vector<DoneRecord> dones = Record().Dones();
    ASSERT_EQ(dones.size(), static_cast<size_t>(user)) << c.name;
    EXPECT_EQ(dones.back().user, user) << c.name;
    EXPECT_EQ(dones.back().code, c.code) << c.name;
    EXPECT_EQ(dones.back().path, "remote/x.bin") << c.name;
    EXPECT_EQ(dones.back().message, c.message) << c.name;
    if (c.contentAfter == nullptr) {
      EXPECT_FALSE(FileExists(local)) << c.name;
    } else {
      EXPECT_TRUE(FileExists(local)) << c.name;
      EXPECT_EQ(ReadWholeFile(local), c.contentAfter) << c.name;
    }
    engine_.SetResourceUrls({"http://127.0.0.1:9/none/"});
  }
  EXPECT_EQ(engine_.queuedFileCount(), 0u);
  EXPECT_EQ(engine_.waitingCount(), 0u);
}

TEST_F(EngineTest, CompleteLocalFileCountsAsDoneWithoutARequest) {
  Init();
  const std::string bytes(300000, 'x');
  ASSERT_TRUE(WriteWholeFile(L"have.bin", bytes));
  const std::string md5 = FileMd5(L"have.bin");
  sink_.statsSize = 5;
  engine_.DownloadFile("have.bin", "have.bin", md5, 300000, &OnDone, &OnSpeed, 7, 0, 0);
  ASSERT_EQ(Record().DoneCount(), 1u);
  EXPECT_EQ(Record().Dones()[0].code, kDownloadOk);
  EXPECT_EQ(engine_.doneBytes(), 300000);
  EXPECT_EQ(sink_.statsSize, 300000);
  EXPECT_EQ(engine_.waitingCount(), 0u);
  // The size message went out: the batch (total 0) is complete.
  const auto sizes = sink_.MessagesOf(2129);
  ASSERT_FALSE(sizes.empty());
  EXPECT_EQ(sizes.back().lparam, 300000);
}

TEST_F(EngineTest, SpeedSamplesAndTheSpeedMessage) {
  Init();
  engine_.SetTotalBytes(10000000);
  sink_.Clear();
  engine_.Poll();  // takes the tick
  // Less than a second after the last message (at 0, in the past): none
  // until the poll's clock has moved a second on.
  g_tick = 100000;
  engine_.Poll();
  engine_.AddSpeedSample(1000.0);
  ASSERT_EQ(sink_.MessagesOf(2128).size(), 1u);  // 100000 - 0 >= 1000
  EXPECT_EQ(sink_.MessagesOf(2128)[0].lparam, 1000);
  EXPECT_EQ(sink_.MessagesOf(2128)[0].wparam, 10000);  // (10000000 - 0) / 1000
  g_tick = 100999;
  engine_.Poll();
  engine_.AddSpeedSample(3000.0);
  EXPECT_EQ(sink_.MessagesOf(2128).size(), 1u);
  EXPECT_EQ(engine_.speedSampleCount(), 2u);
  g_tick = 101000;
  engine_.Poll();
  engine_.AddSpeedSample(2000.7);
  ASSERT_EQ(sink_.MessagesOf(2128).size(), 2u);
  // (1000 + 3000 + 2000) / 3 transfers... with none running it counts one.
  EXPECT_EQ(sink_.MessagesOf(2128)[1].lparam, 2000);
  EXPECT_EQ(engine_.currentSpeed(), 2000);
  EXPECT_EQ(engine_.highestSpeed(), 2000);
  // Not more than 30 samples: no lowest speed yet.
  EXPECT_EQ(engine_.lowestSpeed(), 100000000000LL);
  for (int i = 0; i < 70; ++i) engine_.AddSpeedSample(500.0);
  EXPECT_EQ(engine_.speedSampleCount(), 60u);
  g_tick = 102000;
  engine_.Poll();
  engine_.AddSpeedSample(500.0);
  EXPECT_EQ(engine_.lowestSpeed(), 500);
  EXPECT_EQ(engine_.highestSpeed(), 2000);

  // Paused: samples are kept, no message.
  engine_.TogglePause();
  const size_t before = sink_.MessagesOf(2128).size();
  g_tick = 110000;
  engine_.Poll();
  engine_.AddSpeedSample(500.0);
  EXPECT_EQ(sink_.MessagesOf(2128).size(), before);
  engine_.TogglePause();
}

TEST_F(EngineTest, PauseAndResumeReport) {
  Init();
  engine_.TogglePause();
  EXPECT_TRUE(engine_.paused());
  engine_.TogglePause();
  EXPECT_FALSE(engine_.paused());
  const auto paused = sink_.MessagesOf(2130);
  ASSERT_EQ(paused.size(), 2u);
  EXPECT_EQ(paused[0].lparam, 1);
  EXPECT_EQ(paused[1].lparam, 0);
  // No speed yet: the pause reports nothing; the resume always does.
  const std::vector<std::string> expected = {"detail:16:::",
                                             "attribution:click_launch_continue_download_game:::"};
  EXPECT_EQ(sink_.Events(), expected);
}

TEST_F(EngineTest, SpeedStatisticsReports) {
  Init();
  const std::string bytes(2097152, 'y');
  ASSERT_TRUE(WriteWholeFile(L"stats.bin", bytes));
  engine_.DownloadFile("stats.bin", "stats.bin", FileMd5(L"stats.bin"), 2097152, &OnDone, nullptr,
                       1, 0, 0);
  ASSERT_EQ(engine_.doneBytes(), 2097152);
  engine_.ReportSpeedStats("pause");
  EXPECT_TRUE(sink_.Events().empty());  // no speed measured yet

  engine_.ResetSpeedStats();  // the statistics start now
  sink_.statsSize = 0;
  g_tick = 102000;
  engine_.Poll();
  engine_.AddSpeedSample(4096.0);  // bytes at this sample: 2097152
  engine_.ReportSpeedStats("pause");
  engine_.ReportDownloadStats("17", "download_game_finish", true);
  const std::vector<std::string> expected = {
      "launcher::1.000:0.002:pause::1",
      "stats:1048576:2097152:2",
      "detail:17:1.000:0.002:2",
      "attribution:download_game_finish:1.000:0.002:2",
  };
  EXPECT_EQ(sink_.Events(), expected);
}

TEST_F(EngineTest, SpeedLimitModes) {
  DownloadSettings settings;
  settings.downloadLimit = {true, 4096};
  settings.preDownloadLimit = {true, 100};
  Init(settings);
  EXPECT_EQ(engine_.limitMode(), kSpeedLimitDownload);
  // The user's KB/s bound all transfers together.
  EXPECT_EQ(engine_.TotalLimit(), 4096 * 1024);
  // A change to the other mode waits until that mode is in force.
  engine_.ApplySpeedLimit(kSpeedLimitPreDownload, {true, 200});
  EXPECT_EQ(engine_.TotalLimit(), 4096 * 1024);
  engine_.CancelAll(kSpeedLimitPreDownload);
  EXPECT_EQ(engine_.TotalLimit(), 200 * 1024);
  engine_.ApplySpeedLimit(kSpeedLimitPreDownload, {false, 200});
  EXPECT_EQ(engine_.TotalLimit(), 0);
  engine_.ApplySpeedLimit(kSpeedLimitPreDownload, {true, 0});
  EXPECT_EQ(engine_.TotalLimit(), 0);
  engine_.ApplySpeedLimit(7, {true, 1});
  EXPECT_EQ(engine_.TotalLimit(), 0);
  engine_.Poll();
  EXPECT_EQ(engine_.transferLimit(), 0);
}

TEST_F(EngineTest, ShutdownDropsQueuedWorkWithoutCallbacks) {
  Init();
  engine_.DownloadFile("q.bin", "update\\q.bin", "0123456789abcdef0123456789abcdef", 5000, &OnDone,
                       &OnSpeed, 1, 0, 0);
  EXPECT_EQ(engine_.waitingCount(), 1u);
  EXPECT_TRUE(FileExists(L"update\\q.bin.cfg"));
  engine_.Report("{}", "http://127.0.0.1:9/t", false);
  EXPECT_EQ(engine_.QueuedReportCount(), 1u);
  engine_.Shutdown();
  EXPECT_FALSE(engine_.running());
  EXPECT_EQ(engine_.waitingCount(), 0u);
  EXPECT_EQ(engine_.queuedFileCount(), 0u);
  EXPECT_EQ(engine_.QueuedReportCount(), 0u);
  EXPECT_EQ(Record().DoneCount(), 0u);
  // The resume file stays for the next run.
  EXPECT_TRUE(FileExists(L"update\\q.bin.cfg"));
  // A poll after shut-down does nothing.
  engine_.Poll();
  EXPECT_EQ(Record().DoneCount(), 0u);
}

}  // namespace
}  // namespace dltest
