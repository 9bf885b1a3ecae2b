// Version maps in both file forms, their validation, difference and writing;
// the version table; game version order and the pre-download checks; the
// apply list and the deferred runtime and font lists.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/file_util.h"
#include "test_dir.h"
#include "test_process.h"
#include "update/version_map.h"

namespace {

using testsupport::FileExists;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

const std::string kMd5A = "0123456789abcdef0123456789abcdef";
const std::string kMd5B = "fedcba9876543210fedcba9876543210";
const std::string kMd5Empty = "d41d8cd98f00b204e9800998ecf8427e";

VersionMap Parse(const std::string& text) {
  VersionMap map;
  std::string error;
  EXPECT_TRUE(ParseVersionMap(text, map, error)) << error << "\n" << text;
  return map;
}

std::string Entry(const std::string& path, const std::string& md5, const std::string& size) {
  return "\"" + path + "\": {\"md5\": \"" + md5 + "\", \"size\": " + size + "}";
}

TEST(VersionMapTest, ReadsBothForms) {
  // Wrapped: the root "version" is no entry.
  VersionMap wrapped =
      Parse("{\"version\": \"1.0.0\", \"list\": {" + Entry("launcher.exe", kMd5A, "12") + "}}");
  ASSERT_EQ(wrapped.size(), 1u);
  EXPECT_EQ(wrapped["launcher.exe"], (VersionEntry{kMd5A, 12}));
  EXPECT_EQ(GetMapVersion(wrapped), "");

  // Wrapped with "version" as an object, as some published maps have it.
  VersionMap wrapped_object =
      Parse("{\"version\": {\"md5\": \"2.0\"}, \"list\": {" + Entry("a", kMd5A, "1") + "}}");
  EXPECT_EQ(wrapped_object.size(), 1u);

  // Flat: the root is the list and "version" becomes a pseudo-entry.
  VersionMap flat =
      Parse("{" + Entry("data/a.pak", kMd5A, "5") + ", " + Entry("VEXA.exe", kMd5B, "2147483647") +
            ", \"version\": {\"md5\": \"1_2_3\"}}");
  ASSERT_EQ(flat.size(), 3u);
  EXPECT_EQ(GetMapVersion(flat), "1_2_3");
  EXPECT_EQ(flat["VEXA.exe"].size, 2147483647);
  EXPECT_EQ(flat["version"].size, 0);

  // A missing size counts 0; "{}" is an empty map; a null list is an empty
  // map (the launcher writes an empty list that way).
  EXPECT_EQ(Parse("{\"a\": {\"md5\": \"" + kMd5A + "\"}}")["a"].size, 0);
  EXPECT_TRUE(Parse("{}").empty());
  EXPECT_TRUE(Parse("{\"list\": null, \"version\": \"4\"}").empty());
  // Comments and a later duplicate key, as the JSON reader takes them.
  VersionMap dup =
      Parse("// published\n{" + Entry("a", kMd5A, "1") + ", " + Entry("a", kMd5B, "2") + "}");
  EXPECT_EQ(dup["a"], (VersionEntry{kMd5B, 2}));
}

TEST(VersionMapTest, EmptyOrBrokenTextLeavesTheMapAsItWas) {
  VersionMap map = {{"keep", {kMd5A, 1}}};
  std::string error;
  EXPECT_FALSE(ParseVersionMap("", map, error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(map.size(), 1u);
  EXPECT_FALSE(ParseVersionMap("{\"a\": ", map, error));
  EXPECT_EQ(map.size(), 1u);

  // A file: emptied first, so an empty file leaves an empty map.
  ASSERT_TRUE(WriteWholeFile(L"empty.txt", ""));
  EXPECT_FALSE(LoadVersionMapFile(L"empty.txt", map, error));
  EXPECT_TRUE(map.empty());
  map["x"] = {kMd5A, 1};
  EXPECT_FALSE(LoadVersionMapFile(L"missing.txt", map, error));
  EXPECT_TRUE(map.empty());
}

// Anything a map could use to reach outside its folder, and any digest that is
// not a digest, makes the whole map unreadable, in both forms.
TEST(VersionMapTest, HostileEntriesMakeTheMapUnreadable) {
  struct Case {
    std::string path;
    std::string md5;
    std::string size;
  };
  const std::vector<Case> cases = {
      {"", kMd5A, "1"},
      {"/etc/passwd", kMd5A, "1"},
      {"\\\\server\\\\share", kMd5A, "1"},
      {"C:/Windows/x.dll", kMd5A, "1"},
      {"C:x", kMd5A, "1"},
      {"data:stream", kMd5A, "1"},
      {"a\\\\b", kMd5A, "1"},
      {"../x", kMd5A, "1"},
      {"a/../../x", kMd5A, "1"},
      {"a/./b", kMd5A, "1"},
      {".", kMd5A, "1"},
      {"a//b", kMd5A, "1"},
      {"a/", kMd5A, "1"},
      {"x.", kMd5A, "1"},
      {"x ", kMd5A, "1"},
      {"a\\u0001b", kMd5A, "1"},
      {"a\\u0000b", kMd5A, "1"},
      {"nul.txt", kMd5A, "1"},
      {"a", "0123456789ABCDEF0123456789ABCDEF", "1"},   // upper case
      {"a", "0123456789abcdef0123456789abcde", "1"},    // 31 digits
      {"a", "0123456789abcdef0123456789abcdef0", "1"},  // 33 digits
      {"a", "0123456789abcdef0123456789abcdeg", "1"},
      {"a", "", "1"},
      {"a", kMd5A, "-1"},
      {"a", kMd5A, "2147483648"},
      {"a", kMd5A, "1.5"},
      {"a", kMd5A, "\"12\""},
  };
  for (const Case& c : cases) {
    const std::string entry = Entry(c.path, c.md5, c.size);
    for (const std::string& text :
         {"{" + entry + "}", "{\"version\": \"1\", \"list\": {" + entry + "}}"}) {
      SCOPED_TRACE(text);
      VersionMap map = {{"keep", {kMd5A, 1}}};
      std::string error;
      EXPECT_FALSE(ParseVersionMap(text, map, error));
      EXPECT_FALSE(error.empty());
      ASSERT_EQ(map.size(), 1u);  // as if the text did not parse
      EXPECT_EQ(map.begin()->first, "keep");
    }
  }
  // Members and lists of the wrong type.
  const std::vector<std::string> wrong_types = {"[]",
                                                "null",
                                                "\"x\"",
                                                "{\"a\": \"" + kMd5A + "\"}",
                                                "{\"list\": []}",
                                                "{\"a\": {\"size\": 1}}",
                                                "{\"a\": {\"md5\": 5, \"size\": 1}}",
                                                "{\"version\": \"1_2_3\"}",
                                                "{\"version\": {\"md5\": \"1\\u0007\"}}"};
  for (const std::string& text : wrong_types) {
    SCOPED_TRACE(text);
    VersionMap map;
    std::string error;
    EXPECT_FALSE(ParseVersionMap(text, map, error));
  }
  // Names that look odd but stay inside the folder are fine.
  VersionMap fine = Parse("{" + Entry("a..b/.hidden/\\u00fcn\\u00ef name.txt", kMd5A, "0") + "}");
  EXPECT_EQ(fine.count("a..b/.hidden/\xc3\xbcn\xc3\xaf name.txt"), 1u);
}

TEST(VersionMapTest, WritesTheWrappedFormSortedAndTabIndented) {
  VersionMap map = {{"b/\xe6\x96\x87.txt", {kMd5B, 7}},
                    {"a.exe", {kMd5A, 3}},
                    {"version", {"9_9_9", 0}},  // not a file: never written as one
                    {"B.txt", {kMd5Empty, 0}}};
  std::string error;
  ASSERT_TRUE(WriteVersionMapFile(L"out.txt", map, "2.3.1", error)) << error;
  // jsoncpp's styled layout: members sorted byte-wise, "\u" escapes.
  const std::string expected =
      "{\n"
      "\t\"list\" : \n"
      "\t{\n"
      "\t\t\"B.txt\" : \n"
      "\t\t{\n"
      "\t\t\t\"md5\" : \"d41d8cd98f00b204e9800998ecf8427e\",\n"
      "\t\t\t\"size\" : 0\n"
      "\t\t},\n"
      "\t\t\"a.exe\" : \n"
      "\t\t{\n"
      "\t\t\t\"md5\" : \"0123456789abcdef0123456789abcdef\",\n"
      "\t\t\t\"size\" : 3\n"
      "\t\t},\n"
      "\t\t\"b/\\u6587.txt\" : \n"
      "\t\t{\n"
      "\t\t\t\"md5\" : \"fedcba9876543210fedcba9876543210\",\n"
      "\t\t\t\"size\" : 7\n"
      "\t\t}\n"
      "\t},\n"
      "\t\"version\" : \"2.3.1\"\n"
      "}";
  EXPECT_EQ(ReadWholeFile(L"out.txt"), expected);

  VersionMap back;
  ASSERT_TRUE(LoadVersionMapFile(L"out.txt", back, error)) << error;
  map.erase("version");
  EXPECT_EQ(back, map);

  // An empty map is written with a null list and reads back empty.
  ASSERT_TRUE(WriteVersionMapFile(L"empty.txt", VersionMap(), "1.0.0", error));
  EXPECT_NE(ReadWholeFile(L"empty.txt").find("\"list\" : null"), std::string::npos);
  back = {{"x", {kMd5A, 1}}};
  EXPECT_TRUE(LoadVersionMapFile(L"empty.txt", back, error)) << error;
  EXPECT_TRUE(back.empty());

  // Nothing is written that would not read back.
  for (const VersionMap& bad : {VersionMap{{"../x", {kMd5A, 1}}}, VersionMap{{"a", {"ABC", 1}}},
                                VersionMap{{"a", {kMd5A, -5}}}}) {
    EXPECT_FALSE(WriteVersionMapFile(L"bad.txt", bad, "1", error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(FileExists(L"bad.txt"));
  }
}

TEST(VersionMapTest, DiffYieldsTheFilesToFetchAndConsumesTheLocalMap) {
  VersionMap remote = {{"same", {kMd5A, 1}},
                       {"changed", {kMd5B, 2}},
                       {"resized", {kMd5A, 99}},
                       {"new", {kMd5A, 3}},
                       {"version", {"3_0_5", 0}}};
  VersionMap local = {{"same", {kMd5A, 1}}, {"changed", {kMd5A, 2}}, {"resized", {kMd5A, 4}},
                      {"old2", {kMd5A, 5}}, {"old1", {kMd5A, 6}},    {"version", {"3_0_4", 0}}};
  VersionMap update = {{"stale", {kMd5A, 1}}};
  std::vector<std::string> local_only = {"kept"};
  DiffVersionMaps(local, remote, update, local_only);
  // Same md5 with another size is not fetched; "version" never is.
  EXPECT_EQ(update, (VersionMap{{"changed", {kMd5B, 2}}, {"new", {kMd5A, 3}}}));
  EXPECT_EQ(local, (VersionMap{{"old1", {kMd5A, 6}}, {"old2", {kMd5A, 5}}}));
  EXPECT_EQ(local_only, (std::vector<std::string>{"kept", "old1", "old2"}));

  // An empty local map: every remote file, but not "version".
  VersionMap empty;
  std::vector<std::string> none;
  DiffVersionMaps(empty, remote, update, none);
  EXPECT_EQ(update.size(), 4u);
  EXPECT_EQ(update.count("version"), 0u);
  EXPECT_TRUE(none.empty());
}

TEST(VersionMapTest, VersionTableHoldsTheTwelveKeys) {
  const std::vector<std::string> expected = {
      "_local_launcher_version_",     "_remote_launcher_version_",
      "_update_launcher_version_",    "_launcher_patch_version_",
      "_local_game_version_",         "_remote_game_version_",
      "_update_game_version_",        "_game_patch_version_",
      "_local_predownload_version_",  "_remote_predownload_version_",
      "_update_predownload_version_", "_predownload_patch_version_"};
  const auto& keys = VersionTable::Keys();
  ASSERT_EQ(keys.size(), expected.size());
  for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(keys[i], expected[i]);

  VersionTable table;
  EXPECT_EQ(table.size(), 0u);
  EXPECT_TRUE(table[VersionTable::kRemoteGameVersion].empty());  // made on look-up
  EXPECT_TRUE(table.Contains("_remote_game_version_"));
  table[VersionTable::kLocalGameVersion]["a"] = {kMd5A, 1};
  table.ResetAll();
  EXPECT_EQ(table.size(), 12u);
  EXPECT_TRUE(table.Get(VersionTable::kLocalGameVersion).empty());
  table.Get(VersionTable::kGamePatchVersion)["p"] = {kMd5B, 2};
  VersionMap& reset = table.Reset(VersionTable::kGamePatchVersion);
  EXPECT_TRUE(reset.empty());
  EXPECT_EQ(&reset, &table[VersionTable::kGamePatchVersion]);
  table.Clear();
  EXPECT_EQ(table.size(), 0u);
}

TEST(VersionMapTest, GameVersionsOrderByFirstThenThirdThenSecond) {
  struct Case {
    const char* a;
    const char* b;
    int order;
  };
  const std::vector<Case> cases = {
      {"3_1_5", "3_2_4", 1},  {"3_2_4", "3_1_5", -1}, {"3_0_5", "3_0_4", 1},
      {"2_9_9", "3_0_0", -1}, {"3_2_4", "3_1_4", 1},  {"10_0_0", "9_99_99", 1},
      {"3_0_4", "3_0_4", 0},  {"0_0_0", "0_0_0", 0},  {"2147483647_0_0", "1_0_0", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    GameVersion a;
    GameVersion b;
    ASSERT_TRUE(ParseGameVersion(c.a, a));
    ASSERT_TRUE(ParseGameVersion(c.b, b));
    EXPECT_EQ(CompareGameVersions(a, b), c.order);
  }
  for (const char* text : {"", "1_2", "1_2_3_4", "a_b_c", "1__3", "1_2_", "1.2.3", "-1_2_3",
                           "1_2_2147483648", " 1_2_3"}) {
    GameVersion v;
    EXPECT_FALSE(ParseGameVersion(text, v)) << text;
  }
}

TEST(VersionMapTest, PreDownloadVersionCheck) {
  struct Case {
    const char* pre;
    const char* local;
    const char* remote;
    int result;
  };
  const std::vector<Case> cases = {
      {"3_0_5", "3_0_4", "", 1},
      {"3_0_5", "3_0_5", "", -6},
      {"3_0_4", "3_0_5", "", -6},
      {"3_0_5", "3_0_4", "3_0_6", -7},
      {"3_0_5", "3_0_4", "3_0_4", 1},
      {"3_1_4", "3_2_3", "", 1},
      {"3_0_7", "3_0_4", "3_0_6", -5},
      {"3_0_6", "3_0_4", "3_0_6", 1},
      {"", "3_0_4", "", 0},
      {"", "", "", 0},
      {"3_0_5", "", "", -1},
      {"3.0.5", "3_0_4", "", -2},
      {"3_0_5", "x", "", -3},
      {"3_0_5", "3_0_4", "3_0", -4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pre) + " / " + c.local + " / " + c.remote);
    EXPECT_EQ(CheckPreDownloadVersion(c.pre, c.local, c.remote), c.result);
  }
}

TEST(VersionMapTest, PrunesPreDownloadFoldersByVersion) {
  const std::wstring root = L"update\\predownload";
  for (const wchar_t* name : {L"2_9_9", L"3_0_0", L"3_0_5", L"3_1_0", L"notaversion"}) {
    ASSERT_TRUE(MakeDirsW(root + L"\\" + name + L"\\inner"));
    ASSERT_TRUE(WriteWholeFile(root + L"\\" + name + L"\\inner\\f.bin", "x"));
  }
  std::vector<std::string> dirs = {"2_9_9", "3_0_0", "notaversion", "3_0_5", "3_1_0"};
  EXPECT_EQ(PrunePreDownloadDirs(root, "3_0_0", dirs), 2);
  EXPECT_EQ(dirs, (std::vector<std::string>{"3_0_5", "3_1_0"}));
  EXPECT_FALSE(IsDirW(root + L"\\2_9_9"));
  EXPECT_FALSE(IsDirW(root + L"\\3_0_0"));  // equal counts as not newer
  EXPECT_TRUE(IsDirW(root + L"\\notaversion"));
  EXPECT_TRUE(FileExists(root + L"\\3_0_5\\inner\\f.bin"));

  std::vector<std::string> empty;
  EXPECT_EQ(PrunePreDownloadDirs(root, "3_0_0", empty), 0);
  EXPECT_EQ(PrunePreDownloadDirs(root, "", dirs), -1);
  EXPECT_EQ(PrunePreDownloadDirs(root, "3.0", dirs), -2);
  EXPECT_EQ(dirs.size(), 2u);

  // A name that would lead out of the folder is no version: dropped, and the
  // folder it names is left alone.
  ASSERT_TRUE(MakeDirsW(L"update\\victim"));
  std::vector<std::string> hostile = {"..\\victim", "../victim", "..", "3_0_5"};
  EXPECT_EQ(PrunePreDownloadDirs(root, "9_0_0", hostile), 0);
  EXPECT_TRUE(IsDirW(L"update\\victim"));
  EXPECT_FALSE(IsDirW(root + L"\\3_0_5"));
}

TEST(VersionMapTest, PreDownloadStatusAndPartialPreDownload) {
  const std::wstring root = L"update\\predownload";
  ASSERT_TRUE(MakeDirsW(root + L"\\3_0_5"));
  std::string error;
  VersionMap finished = {{"a", {kMd5A, 1}}, {"version", {"3_0_5", 0}}};
  ASSERT_TRUE(
      WriteWholeFile(root + L"\\3_0_5\\predownload_version_map.txt",
                     "{" + Entry("a", kMd5A, "1") + ", \"version\": {\"md5\": \"3_0_5\"}}"));
  VersionMap map;
  EXPECT_EQ(GetPreDownloadStatus(root, "", {"3_0_5"}, map), -1);
  EXPECT_EQ(GetPreDownloadStatus(root, "3_0_5", {"3_0_4"}, map), 1);
  EXPECT_EQ(GetPreDownloadStatus(root, "3_0_5", {"3_0_4", "3_0_5"}, map), 0);
  EXPECT_EQ(map, finished);
  // Another version inside, or an unreadable map.
  ASSERT_TRUE(WriteWholeFile(root + L"\\3_0_5\\predownload_version_map.txt",
                             "{\"version\": {\"md5\": \"3_0_6\"}}"));
  EXPECT_EQ(GetPreDownloadStatus(root, "3_0_5", {"3_0_5"}, map), 1);
  ASSERT_TRUE(WriteWholeFile(root + L"\\3_0_5\\predownload_version_map.txt", "{"));
  EXPECT_EQ(GetPreDownloadStatus(root, "3_0_5", {"3_0_5"}, map), 1);

  EXPECT_FALSE(HasPartialPreDownload(root, "3_0_5"));
  ASSERT_TRUE(WriteWholeFile(root + L"\\3_0_5\\tmp_predownload_version_map.txt", "{}"));
  EXPECT_TRUE(HasPartialPreDownload(root, "3_0_5"));
  EXPECT_FALSE(HasPartialPreDownload(root, ""));

  // A version text that climbs out of the folder is never followed, even
  // when a map waits at the place it points to.
  ASSERT_TRUE(MakeDirsW(L"update\\evil"));
  ASSERT_TRUE(WriteWholeFile(L"update\\evil\\predownload_version_map.txt",
                             "{\"version\": {\"md5\": \"../evil\"}}"));
  ASSERT_TRUE(WriteWholeFile(L"update\\evil\\tmp_predownload_version_map.txt", "{}"));
  EXPECT_EQ(GetPreDownloadStatus(root, "../evil", {"../evil"}, map), 1);
  EXPECT_FALSE(HasPartialPreDownload(root, "../evil"));
  EXPECT_FALSE(HasPartialPreDownload(root, "..\\evil"));
}

TEST(VersionMapTest, ApplyListRoundTrip) {
  ASSERT_TRUE(MakeDirsW(L"update"));
  const std::wstring path = L"update\\apply_list.txt";
  ApplyList list{"3_0_5", {"VEXA.exe", "data/a.pak", "data/sub dir/\xc3\xbc.txt"}};
  ASSERT_TRUE(WriteApplyList(path, list));
  const std::string text = ReadWholeFile(path);
  EXPECT_EQ(text.find("{\n\t\"fileList\" : \n\t[\n\t\t\"VEXA.exe\","), 0u) << text;
  ApplyList back;
  ASSERT_TRUE(ReadApplyList(path, back));
  EXPECT_EQ(back.version, list.version);
  EXPECT_EQ(back.fileList, list.fileList);

  // Nothing to record: the older checkpoint stays as it is.
  EXPECT_FALSE(WriteApplyList(path, ApplyList{"3_0_6", {}}));
  EXPECT_FALSE(WriteApplyList(path, ApplyList{"", {"x"}}));
  EXPECT_EQ(ReadWholeFile(path), text);

  // Files that are not a checkpoint of ours.
  for (const char* bad :
       {"", "[]", "{\"version\": 3, \"fileList\": []}", "{\"version\": \"1\", \"fileList\": {}}",
        "{\"version\": \"1\", \"fileList\": [1]}", "{\"version\": \"1\", \"fileList\": [\"../x\"]}",
        "{\"fileList\": []}"}) {
    ASSERT_TRUE(WriteWholeFile(path, bad));
    ApplyList out{"keep", {"keep"}};
    EXPECT_FALSE(ReadApplyList(path, out)) << bad;
    EXPECT_EQ(out.version, "keep");
  }
  ApplyList out;
  EXPECT_FALSE(ReadApplyList(L"update\\missing.txt", out));
}

TEST(VersionMapTest, DeferredListsRoundTrip) {
  ASSERT_TRUE(MakeDirsW(L"update"));
  const std::vector<std::string> paths = {"cef/libcef.dll", "cef/locales/en-US.pak"};
  ASSERT_TRUE(WriteStringListFile(L"update\\cef_update.txt", paths));
  std::vector<std::string> read = {"already"};
  ASSERT_TRUE(ReadStringListFile(L"update\\cef_update.txt", read));
  EXPECT_EQ(read, (std::vector<std::string>{"already", "cef/libcef.dll", "cef/locales/en-US.pak"}));

  ASSERT_TRUE(WriteStringListFile(L"update\\font_update.txt", {}));
  EXPECT_EQ(ReadWholeFile(L"update\\font_update.txt"), "null");
  std::vector<std::string> fonts;
  EXPECT_FALSE(ReadStringListFile(L"update\\font_update.txt", fonts));
  EXPECT_TRUE(fonts.empty());
}

TEST(VersionMapTest, JsonTextCheck) {
  std::string error;
  const std::string good = "{\"a\": [1, 2]}";
  EXPECT_TRUE(IsValidJsonText(good.data(), static_cast<int>(good.size()), error));
  EXPECT_TRUE(error.empty());
  EXPECT_FALSE(IsValidJsonText(good.data(), 6, error));  // cut short
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(IsValidJsonText(good.data(), 0, error));
  EXPECT_FALSE(IsValidJsonText(nullptr, 5, error));
}

}  // namespace
