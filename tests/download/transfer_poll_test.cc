// The transfer poll against the local content server: five places that free
// up as soon as a transfer ends, stall detection instead of a total time-out,
// attempts that progressed, pause, and a speed limit that bounds all
// transfers together and follows changes made on another thread.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "download/server_harness.h"
#include "test_dir.h"
#include "test_process.h"

namespace dltest {
namespace {

using testsupport::WaitUntil;

Json::Value Throttle(int bytesPerSecond) {
  return Object({{"kind", "throttle"}, {"bytes_per_second", bytesPerSecond}});
}

class TransferPollTest : public ServedTreeTest {
 protected:
  static void SetUpTestSuite() {
    auto* tree = new ContentTree;
    for (int i = 1; i <= 6; ++i) tree->Add("s" + std::to_string(i) + ".bin", 10 + i, 200000);
    tree->Add("f40k.bin", 20, 40000);
    tree->Add("f300k.bin", 21, 300000);
    tree->Add("f600k.bin", 22, 600000);
    tree->Add("f1500k.bin", 23, 1500000);
    StartServing(tree);
  }

  void Queue(EngineFixture& fx, const std::string& name, int user) {
    const int size = static_cast<int>(tree_->BytesOf(name).size());
    const std::string md5 = tree_->Md5(name);
    fx.Run([&] {
      fx.engine().DownloadFile(name, "update\\" + name, md5, size, &OnDone, &OnSpeed, user, 0, 0);
    });
  }

  void ExpectAllDoneAndRight(const std::vector<std::string>& names) {
    for (const DoneRecord& d : Record().Dones())
      EXPECT_EQ(d.code, kDownloadOk) << d.path << d.message;
    for (const std::string& name : names) {
      std::wstring local = L"update\\";
      for (char c : name) local += static_cast<wchar_t>(c);
      EXPECT_EQ(FileMd5(local), tree_->Md5(name)) << name;
    }
  }
};

TEST_F(TransferPollTest, AFinishedTransferFreesItsPlaceAtOnce) {
  // The first of six files is slow; the sixth must not wait for it.
  ASSERT_TRUE(server_->InstallFaults(Array({Rule("/hostA/s1.bin", Array({Throttle(100000)}))})));
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({A()}));
  fx.thread().set_polling(false);
  std::vector<std::string> names;
  for (int i = 1; i <= 6; ++i) {
    names.push_back("s" + std::to_string(i) + ".bin");
    Queue(fx, names.back(), i);
  }
  size_t running = 0, waiting = 0;
  fx.Run([&] {
    fx.engine().Poll();
    running = fx.engine().runningCount();
    waiting = fx.engine().waitingCount();
  });
  // Five places at most; a place freed during the poll is taken at once.
  EXPECT_LE(running, 5u);
  EXPECT_GE(running, 1u);
  EXPECT_EQ(running + waiting + Record().DoneCount(), 6u);
  EXPECT_TRUE(waiting == 1u || Record().DoneCount() > 0u);
  fx.thread().set_polling(true);
  ASSERT_TRUE(WaitForDones(6));
  const std::vector<DoneRecord> dones = Record().Dones();
  EXPECT_EQ(dones.back().user, 1);
  // The sixth finished while the slow one still ran.
  const auto sixth =
      std::find_if(dones.begin(), dones.end(), [](const DoneRecord& d) { return d.user == 6; });
  ASSERT_NE(sixth, dones.end());
  ExpectAllDoneAndRight(names);
}

TEST_F(TransferPollTest, StalledTransferIsGivenUpAndRetried) {
  ASSERT_TRUE(server_->InstallFaults(Array({Rule(
      "/hostA/f300k.bin",
      Array({Object({{"kind", "stall"}, {"seconds", 60}, {"after_bytes", 70000}}), "pass"}))})));
  DownloadSettings settings;
  settings.stallSeconds = 2;
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({A()}, settings));
  const DWORD start = GetTickCount();
  Queue(fx, "f300k.bin", 1);
  ASSERT_TRUE(WaitForDones(1, 30000));
  EXPECT_LT(GetTickCount() - start, 15000u);
  ExpectAllDoneAndRight({"f300k.bin"});
  const Json::Value requests = server_->RequestsFor("/hostA/f300k.bin");
  ASSERT_EQ(requests.size(), 2u);
  // The retry continues where the stalled attempt stopped.
  EXPECT_EQ(RangeOf(requests[1]), "bytes=70000-299999");
}

TEST_F(TransferPollTest, SlowButSteadyTransferIsNotStalled) {
  ASSERT_TRUE(server_->InstallFaults(Array({Rule("/hostA/f40k.bin", Array({Throttle(10000)}))})));
  DownloadSettings settings;
  settings.stallSeconds = 2;
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({A()}, settings));
  Queue(fx, "f40k.bin", 1);
  ASSERT_TRUE(WaitForDones(1, 30000));
  ExpectAllDoneAndRight({"f40k.bin"});
  EXPECT_EQ(server_->RequestsFor("/hostA/f40k.bin").size(), 1u);
}

TEST_F(TransferPollTest, AttemptsThatProgressedAreNotCounted) {
  // Five cut-off answers that each bring 100000 bytes, then a whole one:
  // more failures than three attempts allow, yet the file completes.
  const Json::Value cut = Object({{"kind", "close_after"}, {"bytes", 100000}});
  ASSERT_TRUE(server_->InstallFaults(
      Array({Rule("/hostA/f600k.bin", Array({cut, cut, cut, cut, cut, "pass"}))})));
  {
    EngineFixture fx;
    ASSERT_TRUE(fx.Start({A()}));
    Queue(fx, "f600k.bin", 1);
    ASSERT_TRUE(WaitForDones(1));
    ExpectAllDoneAndRight({"f600k.bin"});
    const Json::Value requests = server_->RequestsFor("/hostA/f600k.bin");
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(RangeOf(requests[5]), "bytes=500000-599999");
  }
  // A trickle is counted: three attempts, then the failure.
  Record().Clear();
  server_->ClearRequests();
  ASSERT_TRUE(server_->InstallFaults(Array(
      {Rule("/hostA/f300k.bin", Array({Object({{"kind", "close_after"}, {"bytes", 10}})}))})));
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({A()}));
  Queue(fx, "f300k.bin", 1);
  ASSERT_TRUE(WaitForDones(1));
  EXPECT_EQ(Record().Dones()[0].code, kDownloadTransferError);
  EXPECT_EQ(Record().Dones()[0].message.compare(0, 3, "18,"), 0) << Record().Dones()[0].message;
  EXPECT_EQ(server_->RequestsFor("/hostA/f300k.bin").size(), 3u);
}

TEST_F(TransferPollTest, PauseHoldsTransfersMessagesAndTheStallClock) {
  ASSERT_TRUE(server_->InstallFaults(Array({Rule("/hostA/f600k.bin", Array({Throttle(200000)}))})));
  DownloadSettings settings;
  settings.stallSeconds = 2;
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({A()}, settings));
  fx.Run([&] { fx.engine().SetTotalBytes(800000); });
  Queue(fx, "f600k.bin", 1);
  ASSERT_TRUE(WaitUntil([&] { return fx.sink().MessagesOf(2129).size() >= 2; }, 10000));
  fx.Run([&] { fx.engine().TogglePause(); });
  // While paused nothing new starts.
  Queue(fx, "s1.bin", 2);
  const size_t sizeMessages = fx.sink().MessagesOf(2129).size();
  const size_t speedMessages = fx.sink().MessagesOf(2128).size();
  Sleep(3000);  // longer than the stall window: a real pause of the user
  EXPECT_EQ(Record().DoneCount(), 0u);
  EXPECT_EQ(fx.sink().MessagesOf(2129).size(), sizeMessages);
  EXPECT_EQ(fx.sink().MessagesOf(2128).size(), speedMessages);
  EXPECT_EQ(server_->RequestsFor("/hostA/s1.bin").size(), 0u);
  bool paused = false;
  fx.Run([&] {
    paused = fx.engine().paused();
    fx.engine().TogglePause();
  });
  EXPECT_TRUE(paused);
  ASSERT_TRUE(WaitForDones(2, 30000));
  ExpectAllDoneAndRight({"f600k.bin", "s1.bin"});
  // The paused time did not count as a stall: one request only.
  EXPECT_EQ(server_->RequestsFor("/hostA/f600k.bin").size(), 1u);
  const auto pauses = fx.sink().MessagesOf(2130);
  ASSERT_EQ(pauses.size(), 2u);
  EXPECT_EQ(pauses[0].lparam, 1);
  EXPECT_EQ(pauses[1].lparam, 0);
}

TEST_F(TransferPollTest, SpeedLimitBoundsAllTransfersTogether) {
  constexpr int kKiloBytes = 256;
  constexpr double kLimit = kKiloBytes * 1024.0;
  DownloadSettings settings;
  settings.downloadLimit = {true, kKiloBytes};
  struct Case {
    std::vector<std::string> files;
    int64_t shareWhileAllRun;
  };
  const std::vector<Case> cases = {
      {{"s1.bin", "s2.bin", "s3.bin", "s4.bin", "s5.bin"}, static_cast<int64_t>(kLimit) / 5},
      {{"f600k.bin"}, static_cast<int64_t>(kLimit)},
  };
  for (const Case& c : cases) {
    Record().Clear();
    EngineFixture fx;
    ASSERT_TRUE(fx.Start({A()}, settings));
    double bytes = 0;
    const DWORD start = GetTickCount();
    int user = 0;
    for (const std::string& name : c.files) {
      Queue(fx, name, ++user);
      bytes += static_cast<double>(tree_->BytesOf(name).size());
    }
    Sleep(500);
    int64_t share = 0;
    fx.Run([&] { share = fx.engine().transferLimit(); });
    EXPECT_EQ(share, c.shareWhileAllRun);
    ASSERT_TRUE(WaitForDones(c.files.size(), 60000));
    const double seconds = (GetTickCount() - start) / 1000.0;
    ExpectAllDoneAndRight(c.files);
    // The whole limit is used, and not more, whether one or five run.
    const double rate = bytes / seconds;
    EXPECT_LT(rate, kLimit * 1.35) << c.files.size() << " files: " << rate << " B/s";
    EXPECT_GT(rate, kLimit * 0.6) << c.files.size() << " files: " << rate << " B/s";
  }
}

TEST_F(TransferPollTest, LimitChangeFromTheUiThreadReachesRunningTransfers) {
  DownloadSettings settings;
  settings.downloadLimit = {true, 64};
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({A()}, settings));
  const DWORD start = GetTickCount();
  Queue(fx, "f1500k.bin", 1);  // about 23 s at 64 KB/s
  Sleep(800);
  // The other mode is not in force: nothing changes.
  fx.engine().ApplySpeedLimit(kSpeedLimitPreDownload, {false, 64});
  Sleep(200);
  int64_t share = 0;
  fx.Run([&] { share = fx.engine().transferLimit(); });
  EXPECT_EQ(share, 64 * 1024);
  // Called from this thread, as the settings window does.
  fx.engine().ApplySpeedLimit(kSpeedLimitDownload, {false, 64});
  ASSERT_TRUE(WaitForDones(1, 30000));
  EXPECT_LT(GetTickCount() - start, 8000u);
  fx.Run([&] { share = fx.engine().transferLimit(); });
  EXPECT_EQ(share, 0);
  ExpectAllDoneAndRight({"f1500k.bin"});
}

}  // namespace
}  // namespace dltest
