// Chunk cutting, the resume file beside a download, and the checks on local
// paths and sizes that come before the engine writes anything.
#include "download/chunk_file.h"

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_dir.h"
#include "test_process.h"

namespace {

using testsupport::FileExists;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

constexpr char kMd5[] = "0123456789abcdef0123456789abcdef";
constexpr char kOtherMd5[] = "fedcba9876543210fedcba9876543210";

TEST(ChunkFileTest, CutIntoChunks) {
  struct Case {
    int size;
    std::vector<ChunkRange> chunks;
  };
  const std::vector<Case> cases = {
      {0, {}},
      {-5, {}},
      {1, {{0, 0, 0}}},
      {33554432, {{0, 0, 33554431}}},
      {33554433, {{0, 0, 33554431}, {1, 33554432, 33554432}}},
      {67108864, {{0, 0, 33554431}, {1, 33554432, 67108863}}},
      {100000000, {{0, 0, 33554431}, {1, 33554432, 67108863}, {2, 67108864, 99999999}}},
      {2147483647, {{0, 0, 33554431}, {63, 2113929216, 2147483646}}},
  };
  for (const Case& c : cases) {
    const ChunkList chunks = CutIntoChunks(c.size);
    if (c.size == 2147483647) {
      ASSERT_EQ(chunks.size(), 64u);
      EXPECT_EQ(chunks.front().end, c.chunks[0].end);
      EXPECT_EQ(chunks.back().index, c.chunks[1].index);
      EXPECT_EQ(chunks.back().begin, c.chunks[1].begin);
      EXPECT_EQ(chunks.back().end, c.chunks[1].end);
      continue;
    }
    ASSERT_EQ(chunks.size(), c.chunks.size()) << c.size;
    for (size_t i = 0; i < chunks.size(); ++i) {
      EXPECT_EQ(chunks[i].index, c.chunks[i].index) << c.size;
      EXPECT_EQ(chunks[i].begin, c.chunks[i].begin) << c.size;
      EXPECT_EQ(chunks[i].end, c.chunks[i].end) << c.size;
    }
  }
}

TEST(ChunkFileTest, RangesFitFile) {
  struct Case {
    ChunkList ranges;
    int size;
    bool fits;
  };
  const std::vector<Case> cases = {
      {{{0, 10, 99}}, 100, true},
      {{{0, 0, 33554431}, {1, 33554440, 33554499}}, 33554500, true},
      {{{0, 10, 98}}, 100, false},   // end is not the chunk's end
      {{{0, 10, 100}}, 100, false},  // past the file
      {{{0, -1, 99}}, 100, false},
      {{{0, 50, 40}}, 100, false},  // closed range
      {{{1, 10, 99}}, 100, false},  // no chunk 1
      {{{0, 10, 99}, {0, 20, 99}}, 100, false},
      {{{1, 100, 33554499}}, 33554500, false},  // begins inside chunk 0
      {{{0, 0, 99}}, 0, false},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(RangesFitFile(cases[i].ranges, cases[i].size), cases[i].fits) << "case " << i;
  }
}

TEST(ChunkFileTest, ResumeFileIsWrittenTabIndentedAndReadBack) {
  const ChunkList ranges = {{0, 5, 33554431}, {1, 33554432, 40000000}};
  ASSERT_TRUE(WriteResumeFile("sub\\dir\\file.bin", kMd5, ranges));
  const std::string text = ReadWholeFile(L"sub\\dir\\file.bin.cfg");
  EXPECT_EQ(text,
            "{\n\t\"infoList\" : \n\t[\n\t\t{\n\t\t\t\"begin\" : 5,\n\t\t\t\"end\" : 33554431,\n"
            "\t\t\t\"index\" : 0\n\t\t},\n\t\t{\n\t\t\t\"begin\" : 33554432,\n\t\t\t\"end\" : "
            "40000000,\n\t\t\t\"index\" : 1\n\t\t}\n\t],\n\t\"md5\" : \"" +
                std::string(kMd5) + "\"\n}");
  ChunkList read;
  ASSERT_TRUE(ReadResumeFile("sub\\dir\\file.bin", kMd5, read));
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[1].index, 1);
  EXPECT_EQ(read[1].begin, 33554432);
  EXPECT_EQ(read[1].end, 40000000);
  EXPECT_TRUE(ResumeFileMatchesMd5("sub\\dir\\file.bin", kMd5));
  EXPECT_FALSE(ResumeFileMatchesMd5("sub\\dir\\file.bin", kOtherMd5));
  EXPECT_FALSE(ResumeFileMatchesMd5("sub\\dir\\missing.bin", kMd5));
  // No temporary file is left beside it.
  EXPECT_EQ(ReadWholeFile(L"sub\\dir\\file.bin.cfg.tmp"), "");
}

TEST(ChunkFileTest, ResumeFileCasesThatDeleteOrKeepTheFiles) {
  struct Case {
    const char* name;
    std::string resume;  // "" = no resume file
    bool result;
    bool filesKept;
    size_t ranges;
  };
  const std::string md5 = kMd5;
  const std::vector<Case> cases = {
      {"other md5",
       "{\"md5\":\"" + std::string(kOtherMd5) +
           "\",\"infoList\":[{\"index\":0,\"begin\":0,\"end\":9}]}",
       false, false, 0},
      {"all complete",
       "{\"md5\":\"" + md5 + "\",\"infoList\":[{\"index\":0,\"begin\":10,\"end\":9}]}", false,
       false, 0},
      {"no list", "{\"md5\":\"" + md5 + "\"}", false, false, 0},
      {"md5 not a string", "{\"md5\":5,\"infoList\":[{\"index\":0,\"begin\":0,\"end\":9}]}", false,
       false, 0},
      {"bad elements skipped",
       "{\"md5\":\"" + md5 +
           "\",\"infoList\":[{\"index\":\"0\",\"begin\":0,\"end\":9},7,"
           "{\"index\":1,\"begin\":3,\"end\":9}]}",
       true, true, 1},
      {"not json", "{\"md5\":", false, true, 0},
      {"missing", "", false, true, 0},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteWholeFile(L"f.bin", "0123456789"));
    DeleteFileW(L"f.bin.cfg");
    if (!c.resume.empty()) {
      ASSERT_TRUE(WriteWholeFile(L"f.bin.cfg", c.resume));
    }
    ChunkList ranges;
    EXPECT_EQ(ReadResumeFile("f.bin", md5, ranges), c.result) << c.name;
    EXPECT_EQ(ranges.size(), c.ranges) << c.name;
    EXPECT_EQ(FileExists(L"f.bin"), c.filesKept) << c.name;
    if (!c.resume.empty()) {
      EXPECT_EQ(FileExists(L"f.bin.cfg"), c.filesKept) << c.name;
    }
  }
}

TEST(ChunkFileTest, WritableLocalPaths) {
  struct Case {
    const char* path;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"update\\a.bin", true},
      {".\\update\\data\\a.bin", true},
      {"update/data/a.bin", true},
      {"C:\\Games\\Vexa\\a.bin", true},
      {"\\\\server\\share\\a.bin", true},
      {"a.bin", true},
      {"update\\..\\..\\Windows\\x.dll", false},
      {"..\\x.bin", false},
      {"update\\.\\a.bin", false},
      {"update\\con.txt", false},
      {"update\\NUL", false},
      {"update\\a.bin:stream", false},
      {"update\\a.", false},
      {"update\\a ", false},
      {"update\\a*.bin", false},
      {"C:a.bin", false},
      {"\\root.bin", false},
      {"update\\", false},
      {"", false},
      {"\\\\server", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsWritableLocalPath(c.path), c.ok) << c.path;
}

TEST(ChunkFileTest, CutFileToSize) {
  ASSERT_TRUE(WriteWholeFile(L"long.bin", "0123456789"));
  EXPECT_TRUE(CutFileToSize("long.bin", 4));
  EXPECT_EQ(ReadWholeFile(L"long.bin"), "0123");
  // A shorter file keeps its bytes: a resumed download still needs them.
  EXPECT_TRUE(CutFileToSize("long.bin", 100));
  EXPECT_EQ(ReadWholeFile(L"long.bin"), "0123");
  EXPECT_TRUE(CutFileToSize("deep\\er\\new.bin", 100));
  EXPECT_TRUE(FileExists(L"deep\\er\\new.bin"));
  EXPECT_EQ(ReadWholeFile(L"deep\\er\\new.bin"), "");
  EXPECT_TRUE(DeleteFileIfPresent("long.bin"));
  EXPECT_TRUE(DeleteFileIfPresent("long.bin"));
  EXPECT_FALSE(FileExists(L"long.bin"));
}

}  // namespace
