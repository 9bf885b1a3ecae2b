// What a content host serves for an update from 3_0_4 to 3_0_5 (made by
// tests/fixtures/build_content.py from two sample trees): the published maps
// read in both forms, their difference against the installed tree, and every
// published patch turning the installed file into the published one.
#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/file_util.h"
#include "download/md5.h"
#include "test_dir.h"
#include "test_process.h"
#include "update/fixture_files.h"
#include "update/patcher.h"
#include "update/version_map.h"

namespace {

using testsupport::FileExists;

// The map of a tree as the launcher computes it for an installed game: every
// file hashed, keyed by its path below the root with "/".
VersionMap HashTree(const std::wstring& root) {
  std::vector<std::wstring> files;
  EXPECT_GT(CollectFiles(root, files, {}), 0);
  VersionMap map;
  for (const std::wstring& file : files) {
    std::wstring relative = file.substr(root.size() + 1);
    for (wchar_t& c : relative) {
      if (c == L'\\') c = L'/';
    }
    std::string key;
    TextUtil::WideToUtf8(relative.c_str(), key);
    std::string md5;
    int64_t size = 0;
    EXPECT_TRUE(Md5OfFileW(file, md5, size));
    map[key] = {md5, static_cast<int32_t>(size)};
  }
  return map;
}

TEST(ContentTest, PublishedMapsReadInBothForms) {
  VersionMap remote;
  std::string error;
  ASSERT_TRUE(LoadVersionMapFile(fixtures::Path("content/version_map.txt"), remote, error))
      << error;
  EXPECT_EQ(GetMapVersion(remote), "3_0_5");
  // The reader gives exactly what the tree holds (hashed here by our own
  // code, there by Python's hashlib).
  VersionMap tree = HashTree(fixtures::Path("sample/new"));
  tree["version"] = {"3_0_5", 0};
  EXPECT_EQ(remote, tree);
  EXPECT_EQ(remote.count("data/sub dir/\xc3\xbcn\xc3\xaf.txt"), 1u);

  VersionMap launcher;
  ASSERT_TRUE(
      LoadVersionMapFile(fixtures::Path("content/launcher_version_map.txt"), launcher, error))
      << error;
  EXPECT_EQ(launcher, HashTree(fixtures::Path("sample/launcher")));
  EXPECT_EQ(GetMapVersion(launcher), "");  // wrapped: the version is not an entry

  // Every published path builds a path under the folder it is fetched into.
  for (const auto& item : remote) {
    if (item.first == "version") continue;
    std::wstring path;
    EXPECT_TRUE(BuildPathUnder(L".\\update", item.first, path)) << item.first;
  }
}

TEST(ContentTest, PatchesTurnTheInstalledTreeIntoThePublishedOne) {
  std::string error;
  VersionMap remote;
  ASSERT_TRUE(LoadVersionMapFile(fixtures::Path("content/version_map.txt"), remote, error));
  VersionMap patches;
  ASSERT_TRUE(
      LoadVersionMapFile(fixtures::Path("content/patchs/3_0_4/patch_list.txt"), patches, error))
      << error;
  patches.erase("version");

  VersionMap local = HashTree(fixtures::Path("sample/old"));
  VersionMap update;
  std::vector<std::string> local_only;
  DiffVersionMaps(local, remote, update, local_only);
  std::set<std::string> fetched;
  for (const auto& item : update) fetched.insert(item.first);
  EXPECT_EQ(fetched, (std::set<std::string>{"VEXA.exe", "data/a.pak", "data/b.txt",
                                            "data/grow_from_empty.bin", "data/new.bin",
                                            "data/sub dir/\xc3\xbcn\xc3\xaf.txt"}));
  EXPECT_EQ(local_only, (std::vector<std::string>{"data/removed.bin"}));

  // Changed files have patches; new files are fetched whole.
  std::set<std::string> patched;
  for (const auto& item : patches) patched.insert(item.first);
  EXPECT_EQ(patched, (std::set<std::string>{"VEXA.exe", "data/a.pak", "data/b.txt",
                                            "data/grow_from_empty.bin"}));

  const std::wstring old_root = fixtures::Path("sample/old");
  const std::wstring patch_root = fixtures::Path("content/patchs/3_0_4");
  for (const auto& item : update) {
    SCOPED_TRACE(item.first);
    std::wstring fetched_file;
    ASSERT_TRUE(BuildPathUnder(fixtures::Path("content"), item.first, fetched_file));
    std::string md5;
    int64_t size = 0;
    auto patch = patches.find(item.first);
    if (patch == patches.end()) {
      ASSERT_TRUE(FileMatchesMd5(fetched_file, item.second.md5, md5, size));
      EXPECT_EQ(size, item.second.size);
      continue;
    }
    std::wstring old_file;
    std::wstring patch_file;
    ASSERT_TRUE(BuildPathUnder(old_root, item.first, old_file));
    ASSERT_TRUE(BuildPathUnder(patch_root, item.first + ".patch", patch_file));
    // The patch list describes the patch file, as the download checks it.
    ASSERT_TRUE(FileMatchesMd5(patch_file, patch->second.md5, md5, size));
    EXPECT_EQ(size, patch->second.size);

    int detail = 0;
    ASSERT_EQ(ApplyPatchFileStreamedW(old_file, L"streamed.bin", patch_file, detail), 0);
    EXPECT_TRUE(FileMatchesMd5(std::wstring(L"streamed.bin"), item.second.md5, md5, size));
    EXPECT_EQ(size, item.second.size);
    ASSERT_EQ(ApplyPatchFileInMemoryW(old_file, L"memory.bin", patch_file), 0);
    EXPECT_TRUE(FileMatchesMd5(std::wstring(L"memory.bin"), item.second.md5, md5, size));
  }
}

TEST(ContentTest, SuffixProbeFile) {
  // The probe of VEXA.exe.patch decides the suffix: a host with ".patch"
  // patches has it, a host with ".qvdiff" patches has not.
  EXPECT_TRUE(FileExists(fixtures::Path("content/patchs/3_0_4/VEXA.exe.patch")));
  EXPECT_FALSE(FileExists(fixtures::Path("content_qvdiff/patchs/3_0_4/VEXA.exe.patch")));
  EXPECT_TRUE(FileExists(fixtures::Path("content_qvdiff/patchs/3_0_4/VEXA.exe.qvdiff")));
  EXPECT_TRUE(FileExists(fixtures::Path("content_qvdiff/patchs/3_0_4/data/a.pak.qvdiff")));
}

}  // namespace
