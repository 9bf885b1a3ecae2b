// Chunked file downloads against the local content server: ranges and
// resume files, what is refused before a byte is written, retries over the
// base URLs, md5 checks, redirects, percent-encoded names, and a file queued
// twice or after the active list changed.
#include <windows.h>

#include <algorithm>
#include <set>
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

constexpr int kTwoChunks = 33554433;

class FileDownloadTest : public ServedTreeTest {
 protected:
  static void SetUpTestSuite() {
    auto* tree = new ContentTree;
    tree->Add("f300k.bin", 1, 300000);
    tree->Add("f600k.bin", 2, 600000);
    tree->Add("my file.bin", 3, 70000);
    tree->Add("na\xC3\xAFve #1.bin", 4, 70001);
    tree->Add("100%.bin", 5, 70002);
    tree->AddVirtual("two.bin", "two", kTwoChunks);
    StartServing(tree);
    twoMd5_ = server_->VirtualMd5("/hostA/two.bin");
  }

  void Queue(EngineFixture& fx, const std::string& path, const std::string& local,
             const std::string& md5, int size, int user = 1) {
    fx.Run(
        [&] { fx.engine().DownloadFile(path, local, md5, size, &OnDone, &OnSpeed, user, 0, 0); });
  }

  // Ranges of the recorded requests for `path` on host A, in order.
  static std::vector<std::string> Ranges(const std::string& path) {
    std::vector<std::string> out;
    for (const Json::Value& r : server_->RequestsFor(path)) out.push_back(RangeOf(r));
    return out;
  }

  static std::string twoMd5_;
};

std::string FileDownloadTest::twoMd5_;

TEST_F(FileDownloadTest, FileOfTwoChunksIsFetchedInTwoRangesAndVerified) {
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({A()}));
  fx.Run([&] { fx.engine().SetTotalBytes(kTwoChunks); });
  Queue(fx, "two.bin", "update\\two.bin", twoMd5_, kTwoChunks, 9);
  ASSERT_TRUE(WaitForDones(1));
  const DoneRecord done = Record().Dones()[0];
  EXPECT_EQ(done.user, 9);
  EXPECT_EQ(done.code, kDownloadOk) << done.message;
  EXPECT_EQ(done.path, "two.bin");
  EXPECT_EQ(done.message, "");
  EXPECT_EQ(FileMd5(L"update\\two.bin"), twoMd5_);
  EXPECT_FALSE(FileExists(L"update\\two.bin.cfg"));
  std::vector<std::string> ranges = Ranges("/hostA/two.bin");
  std::sort(ranges.begin(), ranges.end());
  EXPECT_EQ(ranges, (std::vector<std::string>{"bytes=0-33554431", "bytes=33554432-33554432"}));
  for (const Json::Value& r : server_->RequestsFor("/hostA/two.bin")) {
    EXPECT_EQ(r["status"].asInt(), 206);
  }
  int64_t doneBytes = 0;
  fx.Run([&] { doneBytes = fx.engine().doneBytes(); });
  EXPECT_EQ(doneBytes, kTwoChunks);
  const auto sizes = fx.sink().MessagesOf(2129);
  ASSERT_FALSE(sizes.empty());
  EXPECT_EQ(sizes.back().wparam, kTwoChunks);
  EXPECT_EQ(sizes.back().lparam, kTwoChunks);
  EXPECT_GT(Record().SpeedCount(), 0u);
}

TEST_F(FileDownloadTest, ResumeFileContinuesItsOpenRangesOnly) {
  const std::string& bytes = tree_->BytesOf("f300k.bin");
  CreateDirectoryW(L"update", nullptr);
  ASSERT_TRUE(WriteWholeFile(L"update\\f.bin", bytes.substr(0, 100000)));
  ASSERT_TRUE(
      WriteWholeFile(L"update\\f.bin.cfg",
                     "{\"md5\":\"" + tree_->Md5("f300k.bin") +
                         "\",\"infoList\":[{\"index\":0,\"begin\":100000,\"end\":299999}]}"));
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({A()}));
  Queue(fx, "f300k.bin", "update\\f.bin", tree_->Md5("f300k.bin"), 300000);
  ASSERT_TRUE(WaitForDones(1));
  EXPECT_EQ(Record().Dones()[0].code, kDownloadOk) << Record().Dones()[0].message;
  EXPECT_EQ(ReadWholeFile(L"update\\f.bin"), bytes);
  EXPECT_EQ(Ranges("/hostA/f300k.bin"), std::vector<std::string>{"bytes=100000-299999"});
  EXPECT_FALSE(FileExists(L"update\\f.bin.cfg"));
  int64_t doneBytes = 0;
  fx.Run([&] { doneBytes = fx.engine().doneBytes(); });
  EXPECT_EQ(doneBytes, 300000);
}

TEST_F(FileDownloadTest, ResumeFileOfOtherContentStartsOver) {
  CreateDirectoryW(L"update", nullptr);
  ASSERT_TRUE(WriteWholeFile(L"update\\f.bin", std::string(300000, 'z')));
  ASSERT_TRUE(WriteWholeFile(L"update\\f.bin.cfg",
                             "{\"md5\":\"0123456789abcdef0123456789abcdef\","
                             "\"infoList\":[{\"index\":0,\"begin\":5,\"end\":299999}]}"));
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({A()}));
  Queue(fx, "f300k.bin", "update\\f.bin", tree_->Md5("f300k.bin"), 300000);
  ASSERT_TRUE(WaitForDones(1));
  EXPECT_EQ(Record().Dones()[0].code, kDownloadOk);
  EXPECT_EQ(Ranges("/hostA/f300k.bin"), std::vector<std::string>{"bytes=0-299999"});
  EXPECT_EQ(FileMd5(L"update\\f.bin"), tree_->Md5("f300k.bin"));
}

TEST_F(FileDownloadTest, LongerOldFileIsCutToSizeOnAFreshStart) {
  const std::string& bytes = tree_->BytesOf("f300k.bin");
  for (const bool withMd5 : {true, false}) {
    Record().Clear();
    server_->ClearRequests();
    CreateDirectoryW(L"update", nullptr);
    // Right content, then stale bytes of an older, longer version.
    ASSERT_TRUE(WriteWholeFile(L"update\\old.bin", bytes + std::string(5000, 'q')));
    EngineFixture fx;
    ASSERT_TRUE(fx.Start({A()}));
    Queue(fx, "f300k.bin", "update\\old.bin", withMd5 ? tree_->Md5("f300k.bin") : "", 300000);
    ASSERT_TRUE(WaitForDones(1));
    EXPECT_EQ(Record().Dones()[0].code, kDownloadOk) << withMd5;
    EXPECT_EQ(FileSize(L"update\\old.bin"), 300000) << withMd5;
    EXPECT_EQ(ReadWholeFile(L"update\\old.bin"), bytes) << withMd5;
    EXPECT_EQ(Ranges("/hostA/f300k.bin"), std::vector<std::string>{"bytes=0-299999"});
    EXPECT_FALSE(FileExists(L"update\\old.bin.cfg"));
  }
}

// Whatever the server sends that is not the asked-for part of the file is
// refused before a byte of it reaches the disk.
TEST_F(FileDownloadTest, AnswersThatAreNotTheRangeWriteNothing) {
  struct Case {
    const char* name;
    Json::Value step;
    bool resumed;  // the local file holds the first 100000 bytes already
    std::string messageHas;
  };
  const std::vector<Case> cases = {
      {"error status", Object({{"kind", "error"}, {"status", 500}, {"body", "oops-oops"}}), false,
       "22,500,"},
      {"range at another byte",
       Object({{"status", 206},
               {"body", "WRONGBYTES"},
               {"headers", Object({{"Content-Range", "bytes 5-14/300000"}})}}),
       false, "does not start at 0"},
      {"range of another size",
       Object({{"status", 206},
               {"body", "WRONGBYTES"},
               {"headers", Object({{"Content-Range", "bytes 0-9/999"}})}}),
       false, "does not match size 300000"},
      {"206 without range", Object({{"status", 206}, {"body", "WRONGBYTES"}}), false,
       "without a usable Content-Range"},
      {"no content", Object({{"status", 204}}), false, "0,204"},
      {"whole body for a later range", Object({{"status", 200}, {"body", "WRONGBYTES"}}), true,
       "200 ignores the range from 100000"},
  };
  const std::string& bytes = tree_->BytesOf("f300k.bin");
  const std::string md5 = tree_->Md5("f300k.bin");
  for (const Case& c : cases) {
    Record().Clear();
    server_->ClearRequests();
    ASSERT_TRUE(server_->InstallFaults(Array({Rule("/hostA/f300k.bin", Array({c.step}))})));
    DeleteFileW(L"update\\w.bin");
    DeleteFileW(L"update\\w.bin.cfg");
    CreateDirectoryW(L"update", nullptr);
    if (c.resumed) {
      ASSERT_TRUE(WriteWholeFile(L"update\\w.bin", bytes.substr(0, 100000)));
      ASSERT_TRUE(
          WriteWholeFile(L"update\\w.bin.cfg",
                         "{\"md5\":\"" + md5 +
                             "\",\"infoList\":[{\"index\":0,\"begin\":100000,\"end\":299999}]}"));
    }
    EngineFixture fx;
    ASSERT_TRUE(fx.Start({A()}));
    Queue(fx, "f300k.bin", "update\\w.bin", md5, 300000);
    ASSERT_TRUE(WaitForDones(1)) << c.name;
    const DoneRecord done = Record().Dones()[0];
    EXPECT_EQ(done.code, kDownloadTransferError) << c.name;
    EXPECT_NE(done.message.find(c.messageHas), std::string::npos) << c.name << ": " << done.message;
    EXPECT_EQ(server_->RequestsFor("/hostA/f300k.bin").size(), 3u) << c.name;
    // Nothing foreign was written: the file is as it was before.
    if (c.resumed) {
      EXPECT_EQ(ReadWholeFile(L"update\\w.bin"), bytes.substr(0, 100000)) << c.name;
      EXPECT_TRUE(FileExists(L"update\\w.bin.cfg")) << c.name;
    } else {
      EXPECT_EQ(FileSize(L"update\\w.bin"), 0) << c.name;
    }
    fx.Stop();
  }
}

TEST_F(FileDownloadTest, WholeFileAnswerIsTakenOnlyAtByteZero) {
  Json::Value first = Rule("/hostA/two.bin", Array({"ignore_range"}));
  first["range_start"] = 0;
  Json::Value second = Rule("/hostA/two.bin", Array({"ignore_range", "pass"}));
  second["range_start"] = 33554432;
  ASSERT_TRUE(server_->InstallFaults(Array({first, second})));
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({A()}));
  Queue(fx, "two.bin", "update\\two.bin", twoMd5_, kTwoChunks);
  ASSERT_TRUE(WaitForDones(1));
  EXPECT_EQ(Record().Dones()[0].code, kDownloadOk) << Record().Dones()[0].message;
  EXPECT_EQ(FileMd5(L"update\\two.bin"), twoMd5_);
  EXPECT_EQ(FileSize(L"update\\two.bin"), kTwoChunks);
  const Json::Value requests = server_->RequestsFor("/hostA/two.bin");
  EXPECT_EQ(requests.size(), 3u);
  const std::string trace = ReadWholeFile(L"save\\dltrace.log");
  EXPECT_NE(trace.find("bad response:two.bin:200:200 ignores the range from 33554432"),
            std::string::npos)
      << trace;
}

TEST_F(FileDownloadTest, ThreeAttemptsPerBaseUrlThenTheNext) {
  ASSERT_TRUE(server_->InstallFaults(
      Array({Rule("/hostA/f300k.bin", Array({Object({{"kind", "error"}, {"status", 500}})}))})));
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({A(), B()}));
  Queue(fx, "f300k.bin", "update\\f.bin", tree_->Md5("f300k.bin"), 300000);
  ASSERT_TRUE(WaitForDones(1));
  EXPECT_EQ(Record().Dones()[0].code, kDownloadOk);
  std::vector<std::string> paths;
  for (const Json::Value& r : server_->Requests()) paths.push_back(r["path"].asString());
  EXPECT_EQ(paths, (std::vector<std::string>{"/hostA/f300k.bin", "/hostA/f300k.bin",
                                             "/hostA/f300k.bin", "/hostB/f300k.bin"}));
  EXPECT_EQ(FileMd5(L"update\\f.bin"), tree_->Md5("f300k.bin"));
}

TEST_F(FileDownloadTest, FailureOnTheLastBaseUrlIsATransferError) {
  ASSERT_TRUE(server_->InstallFaults(
      Array({Rule("/hostA/f300k.bin", Array({Object({{"kind", "error"}, {"status", 500}})}))})));
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({A()}));
  Queue(fx, "f300k.bin", "update\\f.bin", tree_->Md5("f300k.bin"), 300000);
  ASSERT_TRUE(WaitForDones(1));
  const DoneRecord done = Record().Dones()[0];
  EXPECT_EQ(done.code, kDownloadTransferError);
  EXPECT_EQ(done.message, "22,500,The requested URL returned error: 500");
  EXPECT_NE(ReadWholeFile(L"save\\dltrace.log")
                .find("f300k.bin:22,500,The requested URL returned error: 500\n"),
            std::string::npos);
  // The resume file stays, so a later run continues.
  EXPECT_TRUE(FileExists(L"update\\f.bin.cfg"));
}

TEST_F(FileDownloadTest, Md5MismatchFetchesTheWholeFileAgain) {
  const std::string md5 = tree_->Md5("f300k.bin");
  // Once wrong, then right: the file is fetched a second time whole.
  ASSERT_TRUE(server_->InstallFaults(Array(
      {Rule("/hostA/f300k.bin",
            Array({Object({{"kind", "corrupt"}, {"offset", 123456}, {"count", 3}}), "pass"}))})));
  {
    EngineFixture fx;
    ASSERT_TRUE(fx.Start({A()}));
    Queue(fx, "f300k.bin", "update\\m.bin", md5, 300000);
    ASSERT_TRUE(WaitForDones(1));
    EXPECT_EQ(Record().Dones()[0].code, kDownloadOk);
    EXPECT_EQ(Ranges("/hostA/f300k.bin"),
              (std::vector<std::string>{"bytes=0-299999", "bytes=0-299999"}));
    EXPECT_EQ(FileMd5(L"update\\m.bin"), md5);
  }
  // Always wrong: three whole fetches, then the md5 error.
  Record().Clear();
  server_->ClearRequests();
  ASSERT_TRUE(server_->InstallFaults(Array({Rule(
      "/hostA/f300k.bin", Array({Object({{"kind", "corrupt"}, {"offset", 5}, {"count", 1}})}))})));
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({A()}));
  Queue(fx, "f300k.bin", "update\\m2.bin", md5, 300000);
  ASSERT_TRUE(WaitForDones(1));
  EXPECT_EQ(Record().Dones()[0].code, kDownloadMd5Error);
  EXPECT_EQ(Record().Dones()[0].message, "check md5 error");
  EXPECT_EQ(Ranges("/hostA/f300k.bin").size(), 3u);
  EXPECT_NE(ReadWholeFile(L"save\\dltrace.log").find("f300k.bin:" + md5 + "!="), std::string::npos);
}

TEST_F(FileDownloadTest, RedirectsStayOnHttpAndHttps) {
  struct Case {
    const char* name;
    std::string location;
    int code;
  };
  const std::vector<Case> cases = {
      {"to http", "/hostB/f300k.bin", kDownloadOk},
      {"to file", "file:///etc/passwd", kDownloadTransferError},
      {"to ftp", "ftp://127.0.0.1:1/f300k.bin", kDownloadTransferError},
      {"to dict", "dict://127.0.0.1:1/x", kDownloadTransferError},
  };
  for (const Case& c : cases) {
    Record().Clear();
    DeleteFileW(L"update\\r.bin");
    DeleteFileW(L"update\\r.bin.cfg");
    ASSERT_TRUE(server_->InstallFaults(Array({Rule(
        "/hostA/f300k.bin",
        Array({Object({{"kind", "redirect"}, {"status", 302}, {"location", c.location}})}))})));
    EngineFixture fx;
    ASSERT_TRUE(fx.Start({A()}));
    Queue(fx, "f300k.bin", "update\\r.bin", tree_->Md5("f300k.bin"), 300000);
    ASSERT_TRUE(WaitForDones(1)) << c.name;
    const DoneRecord done = Record().Dones()[0];
    EXPECT_EQ(done.code, c.code) << c.name << ": " << done.message;
    if (c.code == kDownloadOk) {
      EXPECT_EQ(FileMd5(L"update\\r.bin"), tree_->Md5("f300k.bin"));
    } else {
      // libcurl refuses the scheme; nothing was fetched from it.
      EXPECT_EQ(done.message.compare(0, 2, "1,"), 0) << c.name << ": " << done.message;
      EXPECT_EQ(FileSize(L"update\\r.bin"), 0) << c.name;
    }
    fx.Stop();
  }
}

TEST_F(FileDownloadTest, NamesArePercentEncodedOnTheWire) {
  struct Case {
    std::string name;  // UTF-8
    std::string wire;
  };
  const std::vector<Case> cases = {
      {"my file.bin", "/hostA/my%20file.bin"},
      {"na\xC3\xAFve #1.bin", "/hostA/na%C3%AFve%20%231.bin"},
      {"100%.bin", "/hostA/100%25.bin"},
      {"f300k.bin", "/hostA/f300k.bin"},
  };
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({A()}));
  int user = 0;
  for (const Case& c : cases) {
    ++user;
    Queue(fx, c.name, "update\\n" + std::to_string(user) + ".bin", tree_->Md5(c.name),
          static_cast<int>(tree_->BytesOf(c.name).size()), user);
  }
  ASSERT_TRUE(WaitForDones(cases.size()));
  for (const DoneRecord& d : Record().Dones()) EXPECT_EQ(d.code, kDownloadOk) << d.path;
  std::set<std::string> wire;
  for (const Json::Value& r : server_->Requests()) wire.insert(r["path"].asString());
  for (const Case& c : cases) EXPECT_EQ(wire.count(c.wire), 1u) << c.wire;
  for (int i = 1; i <= user; ++i) {
    const std::wstring local = L"update\\n" + std::to_wstring(i) + L".bin";
    EXPECT_EQ(FileMd5(local), tree_->Md5(cases[i - 1].name)) << i;
  }
}

TEST_F(FileDownloadTest, GateOptionAddsATimeParameterToTransfers) {
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({A()}));
  fx.Run([&] { fx.engine().SetUseWebExtraParam(true); });
  Queue(fx, "f300k.bin", "update\\t.bin", tree_->Md5("f300k.bin"), 300000);
  ASSERT_TRUE(WaitForDones(1));
  EXPECT_EQ(Record().Dones()[0].code, kDownloadOk);
  const Json::Value requests = server_->RequestsFor("/hostA/f300k.bin");
  ASSERT_EQ(requests.size(), 1u);
  const std::string query = requests[0]["query"].asString();
  ASSERT_EQ(query.compare(0, 2, "t="), 0) << query;
  EXPECT_EQ(query.find_first_not_of("0123456789", 2), std::string::npos) << query;
}

TEST_F(FileDownloadTest, SameFileQueuedTwiceAttachesToTheFirst) {
  ASSERT_TRUE(server_->InstallFaults(
      Array({Rule("/hostA/f600k.bin",
                  Array({Object({{"kind", "throttle"}, {"bytes_per_second", 600000}})}))})));
  const std::string md5 = tree_->Md5("f600k.bin");
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({A()}));
  fx.Run([&] {
    DownloadManager& e = fx.engine();
    e.SetTotalBytes(600000);
    e.DownloadFile("f600k.bin", "update\\same.bin", md5, 600000, &OnDone, &OnSpeed, 1, 0, 0);
    e.DownloadFile("f600k.bin", "update\\same.bin", md5, 600000, &OnDone, &OnSpeed, 2, 0, 0);
    // Another spelling of the same file.
    e.DownloadFile("f600k.bin", ".\\UPDATE/Same.bin", md5, 600000, &OnDone, &OnSpeed, 3, 0, 0);
    // The same file with other content cannot share the download.
    e.DownloadFile("f600k.bin", "update\\same.bin", "0123456789abcdef0123456789abcdef", 600000,
                   &OnDone, &OnSpeed, 4, 0, 0);
  });
  ASSERT_TRUE(WaitForDones(4));
  std::vector<DoneRecord> dones = Record().Dones();
  EXPECT_EQ(dones[0].user, 4);
  EXPECT_EQ(dones[0].code, kDownloadFailed);
  EXPECT_EQ(dones[0].message, "DownloadFile already queued with another md5:update\\same.bin");
  std::set<int> users;
  for (size_t i = 1; i < dones.size(); ++i) {
    EXPECT_EQ(dones[i].code, kDownloadOk);
    users.insert(dones[i].user);
  }
  EXPECT_EQ(users, (std::set<int>{1, 2, 3}));
  EXPECT_EQ(server_->RequestsFor("/hostA/f600k.bin").size(), 1u);
  EXPECT_EQ(FileMd5(L"update\\same.bin"), md5);
  int64_t doneBytes = 0;
  fx.Run([&] { doneBytes = fx.engine().doneBytes(); });
  EXPECT_EQ(doneBytes, 600000);
  // About one size message a second, and the last one says complete.
  const auto sizes = fx.sink().MessagesOf(2129);
  ASSERT_FALSE(sizes.empty());
  EXPECT_LE(sizes.size(), 5u);
  EXPECT_EQ(sizes.back().wparam, 600000);
  EXPECT_EQ(sizes.back().lparam, 600000);
}

TEST_F(FileDownloadTest, QueuedFileKeepsItsOwnBaseUrls) {
  ASSERT_TRUE(server_->InstallFaults(
      Array({Rule("/hostA/f600k.bin",
                  Array({Object({{"kind", "throttle"}, {"bytes_per_second", 600000}})}))})));
  RefusedPort refused;
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({A()}));
  Queue(fx, "f600k.bin", "update\\own.bin", tree_->Md5("f600k.bin"), 600000, 1);
  // Another request makes a list active that leads nowhere.
  fx.Run([&] {
    fx.engine().SetResourceUrls({refused.Url("/hostA/")});
    fx.engine().UseResourceUrls();
    fx.engine().DownloadFile("f300k.bin", "update\\other.bin", tree_->Md5("f300k.bin"), 300000,
                             &OnDone, &OnSpeed, 2, 0, 0);
  });
  ASSERT_TRUE(WaitForDones(2));
  for (const DoneRecord& d : Record().Dones()) {
    if (d.user == 1) {
      EXPECT_EQ(d.code, kDownloadOk) << d.message;
    } else {
      EXPECT_EQ(d.code, kDownloadTransferError);
      EXPECT_EQ(d.message.compare(0, 2, "7,"), 0) << d.message;  // could not connect
    }
  }
  EXPECT_EQ(FileMd5(L"update\\own.bin"), tree_->Md5("f600k.bin"));
  EXPECT_EQ(server_->RequestsFor("/hostA/f600k.bin").size(), 1u);
}

TEST_F(FileDownloadTest, CancelAllKeepsProgressForTheNextTime) {
  ASSERT_TRUE(server_->InstallFaults(
      Array({Rule("/hostA/f600k.bin",
                  Array({Object({{"kind", "throttle"}, {"bytes_per_second", 200000}})}))})));
  const std::string md5 = tree_->Md5("f600k.bin");
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({A()}));
  Queue(fx, "f600k.bin", "update\\c.bin", md5, 600000);
  Sleep(1300);
  fx.Run([&] { fx.engine().CancelAll(kSpeedLimitDownload); });
  Sleep(200);
  EXPECT_EQ(Record().DoneCount(), 0u);
  const Json::Value resume = ParseOrNull(ReadWholeFile(L"update\\c.bin.cfg"));
  ASSERT_TRUE(resume.isObject());
  EXPECT_EQ(resume["md5"].asString(), md5);
  const int begin = resume["infoList"][0]["begin"].asInt();
  EXPECT_GT(begin, 100000);
  EXPECT_LT(begin, 600000);
  EXPECT_EQ(FileSize(L"update\\c.bin") >= begin, true);

  server_->ClearFaults();
  server_->ClearRequests();
  Queue(fx, "f600k.bin", "update\\c.bin", md5, 600000);
  ASSERT_TRUE(WaitForDones(1));
  EXPECT_EQ(Record().Dones()[0].code, kDownloadOk);
  EXPECT_EQ(Ranges("/hostA/f600k.bin"),
            std::vector<std::string>{"bytes=" + std::to_string(begin) + "-599999"});
  EXPECT_EQ(FileMd5(L"update\\c.bin"), md5);
}

}  // namespace
}  // namespace dltest
