#include "download/md5.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_dir.h"
#include "test_process.h"

namespace {

using testsupport::TestDir;
using testsupport::WriteWholeFile;

constexpr size_t kMiB = 1 << 20;

// The bytes of the reference files: each byte is bits 16 to 23 of a 32-bit
// linear congruential generator (multiplier 1103515245, increment 12345,
// seed 12345), stepped before every byte.
std::string LcgBytes(size_t n) {
  std::string bytes(n, '\0');
  uint32_t state = 12345;
  for (size_t i = 0; i < n; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<char>((state >> 16) & 0xff);
  }
  return bytes;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// A stream source that gives `good` bytes and then fails as a disk read error
// would.
class FailingBuffer : public std::streambuf {
 public:
  explicit FailingBuffer(size_t good) : data_(good, 'x') {
    setg(&data_[0], &data_[0], &data_[0] + data_.size());
  }

 protected:
  int_type underflow() override { throw std::runtime_error("read error"); }

 private:
  std::string data_;
};

struct Vector {
  std::string input;
  const char* md5;
};

// The test suite of RFC 1321, appendix A.5.
const std::vector<Vector>& RfcSuite() {
  static const std::vector<Vector> suite = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
       "0",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  return suite;
}

struct SizedDigest {
  size_t size;
  const char* md5;
};

// Made once on Linux with a Python generator of the same LcgBytes and
// `python3 lcg.py N | md5sum`, for sizes around the 64-byte block, the 56-byte
// padding limit and the 1 MiB read piece.
const std::vector<SizedDigest>& LcgDigests() {
  static const std::vector<SizedDigest> digests = {
      {0, "d41d8cd98f00b204e9800998ecf8427e"},
      {1, "b96a24be7c40dc85f976c0f866b2cd3b"},
      {55, "bb09419b848287c91a532eb1efc8628f"},
      {56, "8b3b8f957492230196b773f3dc29e52a"},
      {63, "0ffbbcff213794129c9133ec2c051894"},
      {64, "9b7de4df9a621b460e55a1bd91d5d128"},
      {65, "df6bf98a0af8fd63ee9bc0e35a6928af"},
      {kMiB - 1, "d499070d0fee0130b5984ca1887d4075"},
      {kMiB, "5eac8d0ba620099beaec1fec522a6be1"},
      {kMiB + 1, "8e76e245f941df0f3999704c6207a25b"},
      {5 * kMiB + 3, "e127fb4108fcc62f2933f9f4e54e6c6a"},
  };
  return digests;
}

TEST(Md5Test, RfcSuiteFromBytesStreamsAndFiles) {
  int index = 0;
  for (const Vector& v : RfcSuite()) {
    SCOPED_TRACE("input \"" + v.input + "\"");
    EXPECT_EQ(Md5OfBytes(v.input.data(), v.input.size()), v.md5);

    std::istringstream stream(v.input);
    std::string hex;
    int count = -1;
    ASSERT_TRUE(Md5OfStream(&stream, hex, count));
    EXPECT_EQ(hex, v.md5);
    EXPECT_EQ(count, static_cast<int>(v.input.size()));

    const std::wstring path = TestDir() + L"rfc" + std::to_wstring(index++) + L".bin";
    ASSERT_TRUE(WriteWholeFile(path, v.input));
    std::string actual;
    int size = -1;
    EXPECT_TRUE(FileMatchesMd5(path, v.md5, actual, size));
    EXPECT_EQ(actual, v.md5);
    EXPECT_EQ(size, static_cast<int>(v.input.size()));
  }
}

TEST(Md5Test, GeneratedDataAroundBlockBoundariesMatchesMd5sum) {
  for (const SizedDigest& d : LcgDigests()) {
    SCOPED_TRACE("size " + std::to_string(d.size));
    const std::string bytes = LcgBytes(d.size);
    EXPECT_EQ(Md5OfBytes(bytes.data(), bytes.size()), d.md5);

    // Fed in uneven pieces, so that the buffered tail is exercised at every
    // offset.
    Md5 pieces;
    const size_t steps[] = {1, 7, 63, 64, 65, 1000, 4096};
    size_t at = 0;
    for (size_t i = 0; at < bytes.size(); ++i) {
      const size_t n = std::min(steps[i % 7], bytes.size() - at);
      pieces.Update(bytes.data() + at, n);
      at += n;
    }
    EXPECT_EQ(pieces.HexDigest(), d.md5);

    const std::wstring path = TestDir() + L"lcg" + std::to_wstring(d.size) + L".bin";
    ASSERT_TRUE(WriteWholeFile(path, bytes));
    std::string actual;
    int64_t size = -1;
    EXPECT_TRUE(FileMatchesMd5(path, d.md5, actual, size));
    EXPECT_EQ(actual, d.md5);
    EXPECT_EQ(size, static_cast<int64_t>(d.size));

    std::ifstream file(path.c_str(), std::ios::binary);
    std::string hex;
    int64_t count = -1;
    ASSERT_TRUE(Md5OfStream(&file, hex, count));
    EXPECT_EQ(hex, d.md5);
    EXPECT_EQ(count, static_cast<int64_t>(d.size));
  }
}

TEST(Md5Test, DigestOnDemandLetsMoreBytesFollow) {
  // A first digest taken with 0, 55, 56 (padding spills into a second block),
  // 63 and 64 bytes in the tail must leave the running computation intact.
  const std::string bytes = LcgBytes(kMiB + 1);
  const std::string whole = "8e76e245f941df0f3999704c6207a25b";
  for (size_t split : {size_t{0}, size_t{55}, size_t{56}, size_t{63}, size_t{64}, size_t{120},
                       size_t{1000}, kMiB}) {
    SCOPED_TRACE("split at " + std::to_string(split));
    Md5 md5;
    md5.Update(bytes.data(), split);
    EXPECT_EQ(md5.HexDigest(), Md5OfBytes(bytes.data(), split));
    EXPECT_TRUE(md5.finished());
    md5.Update(bytes.data() + split, bytes.size() - split);
    EXPECT_FALSE(md5.finished());
    EXPECT_EQ(md5.HexDigest(), whole);
    // A second digest with nothing added in between is the same.
    md5.Final();
    EXPECT_EQ(Md5Hex(md5.digest()), whole);
  }
}

TEST(Md5Test, FileMatchesMd5MismatchesAndFailures) {
  const std::wstring path = TestDir() + L"abc.txt";
  ASSERT_TRUE(WriteWholeFile(path, "abc"));
  const std::string abc = "900150983cd24fb0d6963f7d28e17f72";

  struct Case {
    const char* name;
    std::wstring path;
    std::string expected;
    bool match;
    const char* actual;
    int size;
  };
  const std::vector<Case> cases = {
      {"right digest", path, abc, true, "900150983cd24fb0d6963f7d28e17f72", 3},
      {"upper-case digest", path, Upper(abc), false, "900150983cd24fb0d6963f7d28e17f72", 3},
      {"other digest", path, "d41d8cd98f00b204e9800998ecf8427e", false,
       "900150983cd24fb0d6963f7d28e17f72", 3},
      {"empty expected", path, "", false, "900150983cd24fb0d6963f7d28e17f72", 3},
      {"missing file", TestDir() + L"missing.bin", abc, false, "", 0},
      {"missing folder", TestDir() + L"no\\such\\file.bin", abc, false, "", 0},
      {"a folder", TestDir(), abc, false, "", 0},
      {"empty path", L"", "d41d8cd98f00b204e9800998ecf8427e", false, "", 0},
      {"embedded zero", path + std::wstring(1, L'\0') + L"x", abc, false, "", 0},
      {"over-long path", TestDir() + std::wstring(40000, L'a'), abc, false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string actual = "stale";
    int size = 77;
    EXPECT_EQ(FileMatchesMd5(c.path, c.expected, actual, size), c.match);
    EXPECT_EQ(actual, c.actual);
    EXPECT_EQ(size, c.size);

    int64_t size64 = 77;
    actual = "stale";
    EXPECT_EQ(FileMatchesMd5(c.path, c.expected, actual, size64), c.match);
    EXPECT_EQ(actual, c.actual);
    EXPECT_EQ(size64, c.size);
  }
}

TEST(Md5Test, NarrowPathsWork) {
  ASSERT_TRUE(WriteWholeFile(TestDir() + L"narrow.txt", "message digest"));
  std::string actual;
  int size = 0;
  EXPECT_TRUE(
      FileMatchesMd5(std::string("narrow.txt"), "f96b697d7cb7938d525a2f31aaf161d0", actual, size));
  EXPECT_EQ(size, 14);
  int64_t size64 = 5;
  std::string hex = "stale";
  EXPECT_FALSE(Md5OfFileA("", hex, size64));
  EXPECT_EQ(hex, "");
  EXPECT_EQ(size64, 0);
  EXPECT_FALSE(FileMatchesMd5(std::string("missing.txt"), "", actual, size));
  EXPECT_EQ(actual, "");
  EXPECT_EQ(size, 0);
}

TEST(Md5Test, BadStreamsAndPointersFailCleanly) {
  std::string hex = "stale";
  int count = 5;
  EXPECT_FALSE(Md5OfStream(nullptr, hex, count));
  EXPECT_EQ(hex, "");
  EXPECT_EQ(count, 0);

  // A stream that never opened.
  std::ifstream missing((TestDir() + L"missing.bin").c_str(), std::ios::binary);
  hex = "stale";
  EXPECT_FALSE(Md5OfStream(&missing, hex, count));
  EXPECT_EQ(hex, "");

  // A read error after 3 MiB must not pass for the digest of a 3 MiB file.
  FailingBuffer buffer(3 * kMiB);
  std::istream failing(&buffer);
  int64_t count64 = 5;
  hex = "stale";
  EXPECT_FALSE(Md5OfStream(&failing, hex, count64));
  EXPECT_EQ(hex, "");
  EXPECT_EQ(count64, 0);

  Md5 md5;
  md5.Update(nullptr, 100);
  md5.Update("abc", 0);
  EXPECT_EQ(md5.HexDigest(), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Hex(nullptr), "");
  EXPECT_EQ(Md5OfBytes(nullptr, 10), "d41d8cd98f00b204e9800998ecf8427e");
}

}  // namespace
