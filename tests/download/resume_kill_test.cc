// A download that survives its process being killed: the resume file beside
// the file lets the next run continue where the last record left off, so
// the file completes with the right md5 and at most about a second of each
// transfer is fetched twice.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "download/server_harness.h"
#include "test_dir.h"
#include "test_process.h"

namespace dltest {
namespace {

using testsupport::ReadWholeFile;
using testsupport::WaitUntil;

constexpr int kSize = 48 << 20;  // two chunks: 32 MiB and 16 MiB
constexpr int kRate = 4000000;   // bytes per second per transfer in the first run

std::wstring Env(const wchar_t* name) {
  wchar_t value[2048] = {};
  const DWORD n = GetEnvironmentVariableW(name, value, 2048);
  return n > 0 && n < 2048 ? std::wstring(value, n) : std::wstring();
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  TextUtil::WideToUtf8(text.c_str(), out);
  return out;
}

// First byte of a "bytes=B-E" range.
int64_t RangeStart(const std::string& range) {
  return _atoi64(range.substr(range.find('=') + 1).c_str());
}

// The run that gets killed: started by the test below as a child process.
TEST(ResumeChild, DISABLED_DownloadUntilKilled) {
  const std::wstring dir = Env(L"DLTEST_RESUME_DIR");
  if (dir.empty()) GTEST_SKIP() << "only run as the child of ResumeAfterKill";
  ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({Narrow(Env(L"DLTEST_RESUME_URL"))}));
  const std::string md5 = Narrow(Env(L"DLTEST_RESUME_MD5"));
  fx.Run([&] {
    fx.engine().DownloadFile("big.bin", "update\\big.bin", md5, kSize, &OnDone, &OnSpeed, 1, 0, 0);
  });
  Sleep(60000);
}

// Open ranges of the resume file by chunk index; empty when unreadable.
std::map<int, int64_t> ResumeBegins() {
  std::map<int, int64_t> begins;
  const Json::Value resume = ParseOrNull(ReadWholeFile(L"update\\big.bin.cfg"));
  for (const Json::Value& r : resume["infoList"]) begins[r["index"].asInt()] = r["begin"].asInt64();
  return begins;
}

TEST(ResumeAfterKill, FileCompletesAndLittleIsFetchedTwice) {
  Json::Value config(Json::objectValue);
  config["virtual"]["/hostA/big.bin"] = Object({{"seed", "resume"}, {"size", kSize}});
  TestServer server;
  ASSERT_TRUE(server.Start(config));
  const std::string md5 = server.VirtualMd5("/hostA/big.bin");
  ASSERT_TRUE(server.InstallFaults(Array({Rule(
      "/hostA/big.bin", Array({Object({{"kind", "throttle"}, {"bytes_per_second", kRate}})}))})));

  const std::wstring dir = testsupport::TestDir();
  SetEnvironmentVariableW(L"DLTEST_RESUME_DIR", dir.c_str());
  std::wstring url, md5Wide;
  TextUtil::Utf8ToWide(server.Url("/hostA/").c_str(), url);
  TextUtil::Utf8ToWide(md5.c_str(), md5Wide);
  SetEnvironmentVariableW(L"DLTEST_RESUME_URL", url.c_str());
  SetEnvironmentVariableW(L"DLTEST_RESUME_MD5", md5Wide.c_str());
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  {
    testsupport::TestProcess child(
        self,
        L"--gtest_filter=ResumeChild.DISABLED_DownloadUntilKilled --gtest_also_run_disabled_tests");
    ASSERT_TRUE(child.started());
    // Kill it once both transfers have recorded a good part of their chunk.
    const bool midway = WaitUntil(
        [] {
          const std::map<int, int64_t> begins = ResumeBegins();
          return begins.size() == 2 && begins.at(0) > 5000000 && begins.at(1) > 33554432 + 5000000;
        },
        30000);
    // Not right after a record: most of a second of data is unrecorded now.
    Sleep(800);
    child.Kill();
    SetEnvironmentVariableW(L"DLTEST_RESUME_DIR", nullptr);
    ASSERT_TRUE(midway) << "the first run did not get far enough";
  }
  const std::map<int, int64_t> recorded = ResumeBegins();
  ASSERT_EQ(recorded.size(), 2u);
  ASSERT_LT(recorded.at(1), kSize);

  // What the server sent to the killed run, per chunk start.
  std::map<int64_t, int64_t> firstRun;  // range start -> bytes sent
  ASSERT_TRUE(WaitUntil(
      [&] {
        firstRun.clear();
        for (const Json::Value& r : server.RequestsFor("/hostA/big.bin")) {
          firstRun[RangeStart(RangeOf(r))] = r["bytes_sent"].asInt64();
        }
        return firstRun.size() == 2;
      },
      30000))
      << Compact(server.Control("GET", "requests"));
  server.ClearFaults();
  server.ClearRequests();

  Record().Clear();
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({server.Url("/hostA/")}));
  fx.Run([&] {
    fx.engine().DownloadFile("big.bin", "update\\big.bin", md5, kSize, &OnDone, &OnSpeed, 1, 0, 0);
  });
  ASSERT_TRUE(WaitForDones(1));
  EXPECT_EQ(Record().Dones()[0].code, kDownloadOk) << Record().Dones()[0].message;
  EXPECT_EQ(FileMd5(L"update\\big.bin"), md5);
  EXPECT_FALSE(testsupport::FileExists(L"update\\big.bin.cfg"));

  std::vector<int64_t> secondRun;
  for (const Json::Value& r : server.RequestsFor("/hostA/big.bin")) {
    secondRun.push_back(RangeStart(RangeOf(r)));
  }
  std::sort(secondRun.begin(), secondRun.end());
  ASSERT_EQ(secondRun.size(), 2u);
  const int64_t chunkStarts[2] = {0, 33554432};
  for (int k = 0; k < 2; ++k) {
    ASSERT_EQ(firstRun.count(chunkStarts[k]), 1u) << k;
    const int64_t reached = chunkStarts[k] + firstRun[chunkStarts[k]];
    // Never beyond what was sent (that would leave a hole), and at most
    // about one second of the first run's data again.
    EXPECT_LE(secondRun[k], reached) << k;
    EXPECT_LE(reached - secondRun[k], kRate + (1 << 20))
        << "chunk " << k << " fetched " << (reached - secondRun[k]) << " bytes twice";
    EXPECT_EQ(secondRun[k], recorded.at(k)) << k;
    std::printf("chunk %d: first run reached %lld, second run began at %lld (%lld bytes twice)\n",
                k, static_cast<long long>(reached), static_cast<long long>(secondRun[k]),
                static_cast<long long>(reached - secondRun[k]));
  }
}

}  // namespace
}  // namespace dltest
