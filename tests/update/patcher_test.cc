// The file appliers against patches made by Debian's bsdiff and against the
// corrupt-patch table (both from tests/fixtures/build_content.py), their
// wrapper codes, and an exit during a large streamed add step.
#include <windows.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "download/md5.h"
#include "test_dir.h"
#include "test_process.h"
#include "update/fixture_files.h"
#include "update/patcher.h"

namespace {

using testsupport::FileExists;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

std::string Narrow(const std::wstring& text) {
  std::string out;
  TextUtil::WideToMultiByte(text, out, CP_ACP);
  return out;
}

TEST(PatcherTest, BothAppliersReproduceBsdiffsNewFiles) {
  const Json::Value manifest = fixtures::ReadJson("patches/manifest.json");
  ASSERT_TRUE(manifest.isArray());
  ASSERT_GE(manifest.size(), 8u);
  for (const Json::Value& c : manifest) {
    const std::string name = c["name"].asString();
    SCOPED_TRACE(name);
    const std::wstring old_path = fixtures::Path("patches/" + c["old"].asString());
    const std::wstring patch = fixtures::Path("patches/" + c["patch"].asString());
    const std::string expected = fixtures::Read("patches/" + c["new"].asString());
    ASSERT_EQ(Md5OfBytes(expected.data(), expected.size()), c["md5"].asString());

    int detail = 77;
    EXPECT_EQ(ApplyPatchFileStreamedW(old_path, L"streamed.bin", patch, detail), 0);
    EXPECT_EQ(detail, 0);
    EXPECT_EQ(ReadWholeFile(L"streamed.bin"), expected);
    EXPECT_EQ(FileExists(L"streamed.bin"), true);

    EXPECT_EQ(ApplyPatchFileInMemoryW(old_path, L"memory.bin", patch), 0);
    EXPECT_EQ(ReadWholeFile(L"memory.bin"), expected);
    std::string md5;
    int64_t size = 0;
    ASSERT_TRUE(Md5OfFileW(L"memory.bin", md5, size));
    EXPECT_EQ(md5, c["md5"].asString());
  }
  // The narrow-path twins.
  const std::string old_a = Narrow(fixtures::Path("patches/binary.old"));
  const std::string patch_a = Narrow(fixtures::Path("patches/binary.patch"));
  const std::string expected = fixtures::Read("patches/binary.new");
  int detail = 5;
  EXPECT_EQ(ApplyPatchFileStreamedA(old_a, "a_streamed.bin", patch_a, detail), 0);
  EXPECT_EQ(ReadWholeFile(L"a_streamed.bin"), expected);
  EXPECT_EQ(ApplyPatchFileInMemoryA(old_a, "a_memory.bin", patch_a), 0);
  EXPECT_EQ(ReadWholeFile(L"a_memory.bin"), expected);
}

TEST(PatcherTest, CorruptPatchTable) {
  const Json::Value manifest = fixtures::ReadJson("corrupt/manifest.json");
  ASSERT_TRUE(manifest.isArray());
  ASSERT_GE(manifest.size(), 30u);
  const std::wstring old_path = fixtures::Path("corrupt/old.bin");
  for (const Json::Value& c : manifest) {
    SCOPED_TRACE(c["name"].asString() + ": " + c["note"].asString());
    const std::wstring patch = fixtures::Path("corrupt/" + c["patch"].asString());
    const int streamed = c["streamed"][0].asInt();
    DeleteFileW(L"streamed.bin");
    DeleteFileW(L"memory.bin");

    int detail = 99;
    EXPECT_EQ(ApplyPatchFileStreamedW(old_path, L"streamed.bin", patch, detail), streamed);
    EXPECT_EQ(detail, c["streamed"][1].asInt());
    // The new file is made once the header passed; it stays after a failure.
    EXPECT_EQ(FileExists(L"streamed.bin"), streamed == 0 || streamed <= -8);

    const int in_memory = ApplyPatchFileInMemoryW(old_path, L"memory.bin", patch);
    EXPECT_EQ(in_memory, c["in_memory"].asInt());
    // The in-memory applier writes only what it produced whole.
    EXPECT_EQ(FileExists(L"memory.bin"), in_memory == 0);

    if (c.isMember("new")) {
      const std::string expected = fixtures::Read("corrupt/" + c["new"].asString());
      EXPECT_EQ(ReadWholeFile(L"streamed.bin"), expected);
      EXPECT_EQ(ReadWholeFile(L"memory.bin"), expected);
    }
  }
}

TEST(PatcherTest, WrapperCodes) {
  const std::wstring old_path = fixtures::Path("patches/text.old");
  const std::wstring patch = fixtures::Path("patches/text.patch");
  int detail = 0;
  EXPECT_EQ(ApplyPatchFileStreamedW(old_path, L"n.bin", L"missing.patch", detail), -1);
  EXPECT_EQ(detail, static_cast<int>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(ApplyPatchFileStreamedW(L"missing.old", L"n.bin", patch, detail), -3);
  EXPECT_FALSE(FileExists(L"n.bin"));
  EXPECT_EQ(ApplyPatchFileStreamedW(old_path, L"no\\such\\folder\\n.bin", patch, detail), -4);
  EXPECT_EQ(ApplyPatchFileStreamedW(old_path, L"", patch, detail), -4);

  EXPECT_EQ(ApplyPatchFileInMemoryW(old_path, L"n.bin", L"missing.patch"), -1);
  EXPECT_EQ(ApplyPatchFileInMemoryW(L"missing.old", L"n.bin", patch), -1);
  EXPECT_FALSE(FileExists(L"n.bin"));
  // The new file cannot be created: -1 and no file.
  ASSERT_TRUE(CreateDirectoryW(L"taken", nullptr));
  EXPECT_EQ(ApplyPatchFileInMemoryW(old_path, L"taken", patch), -1);
  EXPECT_EQ(ApplyPatchFileInMemoryW(old_path, L"no\\such\\folder\\n.bin", patch), -1);
  EXPECT_FALSE(FileExists(L"no\\such\\folder\\n.bin"));

  // Files are opened without sharing: a patch onto its own old file cannot
  // truncate it.
  ASSERT_TRUE(CopyFileW(old_path.c_str(), L"self.bin", FALSE));
  EXPECT_EQ(ApplyPatchFileStreamedW(L"self.bin", L"self.bin", patch, detail), -4);
  EXPECT_EQ(ReadWholeFile(L"self.bin"), fixtures::Read("patches/text.old"));
}

TEST(PatcherTest, ContainerAndStreamedApplierOnHandles) {
  const std::wstring patch = fixtures::Path("patches/grow.patch");
  HANDLE file = CreateFileW(patch.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::unique_ptr<uint8_t[]> image;
  int length = 0;
  EXPECT_EQ(ReadPatchContainer(file, image, length), 1);
  CloseHandle(file);
  ASSERT_GT(length, 32);

  const std::string old_bytes = fixtures::Read("patches/grow.old");
  const std::string expected = fixtures::Read("patches/grow.new");
  ASSERT_TRUE(WriteWholeFile(L"old.bin", old_bytes));
  HANDLE old_file = CreateFileW(L"old.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE new_file =
      CreateFileW(L"new.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(old_file, INVALID_HANDLE_VALUE);
  ASSERT_NE(new_file, INVALID_HANDLE_VALUE);
  int detail = 3;
  EXPECT_EQ(ApplyPatchStreamed(old_file, static_cast<int64_t>(old_bytes.size()), new_file,
                               static_cast<int64_t>(expected.size()), image.get(), length, detail),
            0);
  EXPECT_EQ(detail, 0);
  CloseHandle(old_file);
  CloseHandle(new_file);
  EXPECT_EQ(ReadWholeFile(L"new.bin"), expected);

  // A handle that cannot be read from.
  HANDLE write_only = CreateFileW(L"w.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(write_only, INVALID_HANDLE_VALUE);
  EXPECT_EQ(ReadPatchContainer(write_only, image, length), -1);
  CloseHandle(write_only);
  EXPECT_EQ(ReadPatchContainer(INVALID_HANDLE_VALUE, image, length), -1);
}

// Clears the process-wide flag whatever the test does.
class AbortFlagGuard {
 public:
  AbortFlagGuard() { PatchAbortFlag = false; }
  ~AbortFlagGuard() { PatchAbortFlag = false; }
};

TEST(PatcherTest, ExitDuringTheFirstPieceOfALargeAddStep) {
  AbortFlagGuard guard;
  constexpr int64_t kSize = int64_t{120} << 20;
  // One add step of 120 MiB over a 120 MiB old file; diff bytes of 1.
  std::string image = "BSDIFN40";
  auto number = [&image](int64_t v) {
    for (int i = 0; i < 8; ++i) image.push_back(static_cast<char>(v >> (8 * i)));
  };
  number(24);
  number(kSize);
  number(kSize);
  number(kSize);
  number(0);
  number(0);
  image.append(static_cast<size_t>(kSize), '\x01');
  uLongf packed_size = compressBound(static_cast<uLong>(image.size()));
  std::string container(8 + packed_size, '\0');
  ASSERT_EQ(
      compress2(reinterpret_cast<Bytef*>(&container[8]), &packed_size,
                reinterpret_cast<const Bytef*>(image.data()), static_cast<uLong>(image.size()), 1),
      Z_OK);
  container.resize(8 + packed_size);
  for (int i = 0; i < 4; ++i) {
    container[i] = static_cast<char>(static_cast<uint32_t>(image.size()) >> (8 * i));
    container[4 + i] = static_cast<char>(static_cast<uint32_t>(packed_size) >> (8 * i));
  }
  image.clear();
  image.shrink_to_fit();
  ASSERT_TRUE(WriteWholeFile(L"big.patch", container));
  {
    HANDLE old_file = CreateFileW(L"big.old", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(old_file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size;
    size.QuadPart = kSize;
    ASSERT_TRUE(SetFilePointerEx(old_file, size, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(old_file));
    CloseHandle(old_file);
  }

  PatchAbortFlag = true;  // the user exits while the step runs
  int detail = 0;
  EXPECT_EQ(ApplyPatchFileStreamedW(L"big.old", L"big.new", L"big.patch", detail), -12);
  EXPECT_EQ(detail, kPatchDetailAddFailed);
  WIN32_FILE_ATTRIBUTE_DATA info;
  ASSERT_TRUE(GetFileAttributesExW(L"big.new", GetFileExInfoStandard, &info));
  EXPECT_EQ(info.nFileSizeHigh, 0u);
  EXPECT_EQ(info.nFileSizeLow, static_cast<DWORD>(kPatchPieceSize));  // one piece, no more

  PatchAbortFlag = false;
  EXPECT_EQ(ApplyPatchFileStreamedW(L"big.old", L"big.new", L"big.patch", detail), 0);
  std::string md5;
  int64_t size = 0;
  ASSERT_TRUE(Md5OfFileW(L"big.new", md5, size));
  EXPECT_EQ(size, kSize);
  const std::string ones(static_cast<size_t>(kSize), '\x01');
  EXPECT_EQ(md5, Md5OfBytes(ones.data(), ones.size()));
}

}  // namespace
