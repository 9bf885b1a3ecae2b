// TLS is verified: peers must present a certificate that chains to the
// system's roots or to the extra CA bundle of the settings, for the host
// that was asked; anything else fails with a clear error.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "download/server_harness.h"
#include "test_dir.h"
#include "test_process.h"

namespace dltest {
namespace {

using testsupport::ReadWholeFile;

class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ca_ = new TestCa;
    ASSERT_TRUE(ca_->Make());
    tree_ = new ContentTree;
    tree_->Add("doc.json", 1, 0);
    tree_->AddVirtual("two.bin", "tls-two", 33554433);
    for (const char* cert : {"server", "untrusted", "wronghost"}) {
      auto* server = new TestServer;
      servers_.push_back(server);
      ASSERT_TRUE(server->Start(tree_->Config(), ca_, cert)) << cert;
    }
  }
  static void TearDownTestSuite() {
    for (TestServer* s : servers_) delete s;
    servers_.clear();
    delete tree_;
    delete ca_;
    tree_ = nullptr;
    ca_ = nullptr;
  }

  void SetUp() override {
    ASSERT_EQ(servers_.size(), 3u);
    CreateDirectoryW(L"save", nullptr);
    Record().Clear();
  }

  static TestServer& Good() { return *servers_[0]; }
  static TestServer& Untrusted() { return *servers_[1]; }
  static TestServer& WrongHost() { return *servers_[2]; }

  std::vector<ResponseRecord> Responses() {
    nbase::AutoLock hold(Record().lock);
    return Record().responses;
  }

  static TestCa* ca_;
  static ContentTree* tree_;
  static std::vector<TestServer*> servers_;
};

TestCa* TlsTest::ca_ = nullptr;
ContentTree* TlsTest::tree_ = nullptr;
std::vector<TestServer*> TlsTest::servers_;

TEST_F(TlsTest, OnlyAVerifiedPeerIsTalkedTo) {
  struct Case {
    const char* name;
    TestServer* server;
    bool bundle;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"trusted through the bundle", &Good(), true, true},
      {"our CA unknown to the system", &Good(), false, false},
      {"self-signed", &Untrusted(), true, false},
      {"certificate for another host", &WrongHost(), true, false},
  };
  for (const Case& c : cases) {
    Record().Clear();
    DownloadSettings settings;
    if (c.bundle) settings.caBundle = ca_->CaPathUtf8();
    DownloadManager engine;
    engine.Init(settings);
    engine.SetResourceUrls({c.server->Url("/hostA/")});
    engine.UseResourceUrls();
    engine.DownloadMemory("doc.json", "", &OnResponse, 1);
    const auto responses = Responses();
    ASSERT_EQ(responses.size(), 1u) << c.name;
    if (c.ok) {
      EXPECT_EQ(responses[0].code, kDownloadOk) << c.name << ": " << responses[0].message;
    } else {
      EXPECT_EQ(responses[0].code, kDownloadUnreachable) << c.name;
      // The reason names the certificate, not just "it failed".
      EXPECT_NE(responses[0].message.find("certificate"), std::string::npos)
          << c.name << ": " << responses[0].message;
    }
    engine.Shutdown();
  }
}

TEST_F(TlsTest, ChunkedDownloadOverVerifiedTls) {
  const std::string md5 = Good().VirtualMd5("/hostA/two.bin");
  DownloadSettings settings;
  settings.caBundle = ca_->CaPathUtf8();
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({Good().Url("/hostA/")}, settings));
  fx.Run([&] {
    fx.engine().DownloadFile("two.bin", "update\\two.bin", md5, 33554433, &OnDone, &OnSpeed, 1, 0,
                             0);
  });
  ASSERT_TRUE(WaitForDones(1));
  EXPECT_EQ(Record().Dones()[0].code, kDownloadOk) << Record().Dones()[0].message;
  EXPECT_EQ(FileMd5(L"update\\two.bin"), md5);
}

TEST_F(TlsTest, UntrustedFileServerFailsTheTransfer) {
  DownloadSettings settings;
  settings.caBundle = ca_->CaPathUtf8();
  EngineFixture fx;
  ASSERT_TRUE(fx.Start({Untrusted().Url("/hostA/")}, settings));
  fx.Run([&] {
    fx.engine().DownloadFile("two.bin", "update\\u.bin", "0123456789abcdef0123456789abcdef",
                             33554433, &OnDone, &OnSpeed, 1, 0, 0);
  });
  ASSERT_TRUE(WaitForDones(1));
  const DoneRecord done = Record().Dones()[0];
  EXPECT_EQ(done.code, kDownloadTransferError);
  // CURLE_PEER_FAILED_VERIFICATION, no status, and the reason.
  EXPECT_EQ(done.message.compare(0, 5, "60,0,"), 0) << done.message;
  EXPECT_NE(done.message.find("certificate"), std::string::npos) << done.message;
  EXPECT_EQ(FileSize(L"update\\u.bin"), 0);
}

TEST_F(TlsTest, UnreadableBundleIsTracedAndTrustsNothingExtra) {
  DownloadSettings settings;
  settings.caBundle = "no\\such\\bundle.pem";
  DownloadManager engine;
  engine.Init(settings);
  EXPECT_EQ(ReadWholeFile(L"save\\dltrace.log"), "ca bundle unreadable:no\\such\\bundle.pem\n");
  engine.SetResourceUrls({Good().Url("/hostA/")});
  engine.UseResourceUrls();
  engine.DownloadMemory("doc.json", "", &OnResponse, 1);
  ASSERT_EQ(Responses().size(), 1u);
  EXPECT_EQ(Responses()[0].code, kDownloadUnreachable);
  engine.Shutdown();
}

}  // namespace
}  // namespace dltest
